"""A recording fake of several subscriptions' peerings and locks, with the
module globals the peering operations look up (credentials, clients, hub test)."""
import copy
from types import SimpleNamespace as NS

import pytest

from dm.arm import trafswap

LOGGER = "dm.arm.trafswap"


def vnet_id(sub, rg, vnet):
    return f"/subscriptions/{sub}/resourceGroups/{rg}/providers/Microsoft.Network/virtualNetworks/{vnet}"


def peering(name, local, remote, **flags):
    """A peering model on VNet `local` (sub, rg, vnet) pointing at `remote`."""
    values = dict(allow_virtual_network_access=True, allow_forwarded_traffic=False,
                  allow_gateway_transit=False, use_remote_gateways=False)
    values.update(flags)
    return NS(name=name, id=vnet_id(*local) + "/virtualNetworkPeerings/" + name,
              remote_virtual_network=NS(id=vnet_id(*remote)), **values)


class Poller:
    def __init__(self, cloud, done, error=None):
        self.cloud, self.done, self.error = cloud, done, error

    def result(self):
        self.cloud.calls.append(("result",))
        if self.error:
            raise self.error
        self.done()


class Cloud:
    """Peerings per VNet, locks per VNet; every request recorded as (op, sub, *args).

    `failures[op]` is an exception raised by the next request of that operation.
    """

    def __init__(self, known=None):
        self.peerings = {}      # (sub, rg, vnet) -> list of peering models
        self.locks = {}         # (sub, rg, vnet) -> list of lock names
        self.calls = []
        self.failures = {}
        self.known = known      # subscriptions with a credential (None: every one)

    def add(self, model):
        parts = model.id.split("/")
        self.peerings.setdefault((parts[2], parts[4], parts[8]), []).append(model)
        return model

    def pair(self, name, local, remote, back_name=None, back=None, **flags):
        """Both halves; `back` gives the remote half's own flags."""
        here = self.add(peering(name, local, remote, **flags))
        there = self.add(peering(back_name or name + "-back", remote, local, **(back or {})))
        return here, there

    def vnet(self, sub, rg, name):
        return NS(name=name, id=vnet_id(sub, rg, name), virtual_network_peerings=list(self.peerings.get((sub, rg, name), [])))

    def _request(self, op, sub, *args):
        self.calls.append((op, sub) + args)
        failure = self.failures.pop(op, None)
        if failure is not None:
            raise failure

    def network_client(self, sub):
        def get(rg, vnet, name):
            self._request("peerings.get", sub, rg, vnet, name)
            found = [p for p in self.peerings.get((sub, rg, vnet), []) if p.name == name]
            if not found:
                raise LookupError("peering " + name + " not found")
            return copy.deepcopy(found[0])

        def list_(rg, vnet):
            self._request("peerings.list", sub, rg, vnet)
            return iter(list(self.peerings.get((sub, rg, vnet), [])))

        def begin_delete(rg, vnet, name):
            self._request("peerings.begin_delete", sub, rg, vnet, name)
            key = (sub, rg, vnet)
            error = self.failures.pop("result", None)
            return Poller(self, lambda: self.peerings.__setitem__(
                key, [p for p in self.peerings.get(key, []) if p.name != name]), error)

        def begin_create_or_update(rg, vnet, name, body):
            self._request("peerings.begin_create_or_update", sub, rg, vnet, name, copy.deepcopy(body))
            return Poller(self, lambda: None, self.failures.pop("result", None))

        def list_all():
            self._request("vnets.list_all", sub)
            return iter([self.vnet(*key) for key in self.peerings if key[0] == sub] +
                        [self.vnet(*key) for key in self.locks if key[0] == sub and key not in self.peerings])

        return NS(virtual_network_peerings=NS(get=get, list=list_, begin_delete=begin_delete,
                                              begin_create_or_update=begin_create_or_update),
                  virtual_networks=NS(list_all=list_all))

    def lock_client(self, sub):
        def list_at_resource_level(rg, namespace, parent, kind, vnet):
            self._request("locks.list", sub, rg, namespace, parent, kind, vnet)
            names = list(self.locks.get((sub, rg, vnet), []))

            def first():
                self._request("locks.next", sub)
                if not names:
                    raise StopIteration
                return NS(name=names[0])
            return NS(next=first)

        def delete_at_resource_level(rg, namespace, parent, kind, vnet, name):
            self._request("locks.delete", sub, rg, namespace, parent, kind, vnet, name)
            self.locks[sub, rg, vnet].remove(name)

        return NS(management_locks=NS(list_at_resource_level=list_at_resource_level,
                                      delete_at_resource_level=delete_at_resource_level))

    def credential(self, sub):
        return NS(getCSC=lambda: ("csc", sub), getSPC=lambda: ("spc", sub), getSubId=lambda: sub)

    def install(self, monkeypatch):
        """Bind the module globals the operations look up to this cloud."""
        cloud = self

        class YamlContext:
            def generateAzureCredential(self, sub):
                cloud._request("credential", sub)
                if cloud.known is not None and sub not in cloud.known:
                    return None
                return cloud.credential(sub)

        def network_client(csc, sub):
            assert csc == ("csc", sub)
            cloud._request("NetworkManagementClient", sub)
            return cloud.network_client(sub)

        def lock_client(spc, sub):
            assert spc == ("spc", sub)
            cloud._request("ManagementLockClient", sub)
            return cloud.lock_client(sub)

        monkeypatch.setattr(trafswap, "yctx", YamlContext)
        monkeypatch.setattr(trafswap, "NetworkManagementClient", network_client)
        monkeypatch.setattr(trafswap, "ManagementLockClient", lock_client)
        monkeypatch.setattr(trafswap, "vwm", NS(getVHubNameFromPeering=lambda rid: "hub1" if "/HV_" in rid else None))
        return self

    def ops(self):
        return [c[0] for c in self.calls]


@pytest.fixture
def cloud(monkeypatch):
    monkeypatch.setattr(trafswap.SwitchTraffic, "DryRun", False)
    return Cloud().install(monkeypatch)


def report(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]
