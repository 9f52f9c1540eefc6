"""Peering removal (dry-run, with lock removal) and remote-gateway use of
SwitchTraffic against the same logic in Python, on 200 peerings of one VNet
whose far ends lie in 5 subscriptions. Credentials and clients are built per
peering as the operations do, so the host's are cheap here (builtins); the
virtual-hub test is the tool's own. Before timing, both sides run on recording
clients and must make the same host calls, log the same lines and return the
same records."""
import itertools
import logging
from bench.models import Model as NS

from bench.run import Case
from dm.arm import trafswap
from dm.arm.discoverylib import DiscoveryLib
from dm.arm.res.VWanMgmt import VWanMgmt
from dm.arm.trafswap import SwitchTraffic

# The module globals of the Python rendering, bound to the same host objects as trafswap's.
yctx = NetworkManagementClient = ManagementLockClient = None
vwm, dl = VWanMgmt, DiscoveryLib


def record(p):
    return {"id": p.id, "name": p.name, "allow_virtual_network_access": p.allow_virtual_network_access,
            "allow_forwarded_traffic": p.allow_forwarded_traffic, "allow_gateway_transit": p.allow_gateway_transit,
            "use_remote_gateways": p.use_remote_gateways, "remote_virtual_network": {"id": p.remote_virtual_network.id}}


class PySwitchTraffic:
    DryRun = True

    @classmethod
    def getVnet(cls, vnetName, network_client):
        for vnet in network_client.virtual_networks.list_all():
            if vnet.name == vnetName:
                return vnet
        return None

    @classmethod
    def getRemotePeering(cls, cred, remotePeeringVnetId, localPeerId):
        logger = logging.getLogger("dm.arm.trafswap")
        parts = localPeerId.split("/")
        localSubscriptionId, localRgName = parts[dl.SUB_I], parts[dl.RG_I]
        localVnetName, localPeeringName = parts[dl.VNET_I], parts[dl.PEER_I]
        localRgNameLC, localVnetNameLC = localRgName.lower(), localVnetName.lower()
        logger.debug("  local subscription id: " + localSubscriptionId)
        logger.debug("  local resource group: " + localRgName)
        logger.debug("  local vnet name: " + localVnetName)
        logger.debug("  local peering name: " + localPeeringName)
        parts = remotePeeringVnetId.split("/")
        remoteRgName, remoteVnetName, remoteSubscriptionId = parts[dl.RG_I], parts[dl.VNET_I], parts[dl.SUB_I]
        logger.debug("  expected remote subscription id: " + remoteSubscriptionId)
        logger.debug("  expected remote resource group: " + remoteRgName)
        logger.debug("  expected remote vnet name: " + remoteVnetName)
        cred = yctx().generateAzureCredential(remoteSubscriptionId)
        network_client = NetworkManagementClient(cred.getCSC(), cred.getSubId())
        localSubscriptionIdLC = localSubscriptionId.lower()
        for peering in list(network_client.virtual_network_peerings.list(remoteRgName, remoteVnetName)):
            back = peering.remote_virtual_network.id.split("/")
            if (back[dl.RG_I].lower() == localRgNameLC and back[dl.VNET_I].lower() == localVnetNameLC
                    and back[dl.SUB_I].lower() == localSubscriptionIdLC):
                logger.debug("  remote peering name: " + peering.name)
                return remoteRgName, remoteVnetName, peering.name, peering
        logger.info("  failed to found remote peering info for " + localPeeringName)
        return None, None, None, None

    @classmethod
    def deleteVnetLock(cls, cred, vnet, indent=0):
        logger = logging.getLogger("dm.arm.trafswap")
        if cred == None or vnet == None:  # noqa: E711 (equality tests, as the library makes them)
            return None
        space = " " * indent
        logger.info(space + "- Delete vnet lock in " + vnet.name)
        lock_client = ManagementLockClient(cred.getSPC(), cred.getSubId())
        rgName = vnet.id.split("/")[dl.RG_I]
        locks = lock_client.management_locks
        resp = locks.list_at_resource_level(rgName, "Microsoft.Network", "", "virtualNetworks", vnet.name)
        try:
            lockObj = resp.next()
            logger.info(space + "  delete lock " + lockObj.name)
            if not cls.DryRun:
                locks.delete_at_resource_level(rgName, "Microsoft.Network", "", "virtualNetworks", vnet.name,
                                               lockObj.name)
        except StopIteration:
            logger.info(space + "  no vnet lock found")
        except Exception as e:
            logger.error(space + "  **Error** " + str(e))

    @classmethod
    def deletePeerings(cls, YAML, subscriptionId, vnet, local_network_client=None, exclude=None):
        logger = logging.getLogger("dm.arm.trafswap")
        if local_network_client == None:  # noqa: E711
            cred = yctx().generateAzureCredential(subscriptionId)
            local_network_client = NetworkManagementClient(cred.getCSC(), cred.getSubId())
        peeringPairList = []
        rgName = vnet.id.split("/")[dl.RG_I]
        logger.info("- Delete peerings")
        if len(vnet.virtual_network_peerings) == 0:
            logger.info("  No peering found")
            return peeringPairList
        for peeringObj in vnet.virtual_network_peerings:
            peeringName = peeringObj.name
            if exclude is not None and peeringName.startswith(exclude):
                logger.info("  controller created peering " + peeringName + " -- skipped")
                continue
            if vwm.getVHubNameFromPeering(peeringObj.remote_virtual_network.id):
                logger.info("  virtual hub connection " + peeringName + " -- skipped")
                continue
            try:
                peering = local_network_client.virtual_network_peerings.get(rgName, vnet.name, peeringName)
                remoteSubscriptionId = peering.remote_virtual_network.id.split("/")[dl.SUB_I]
                cred = yctx().generateAzureCredential(remoteSubscriptionId)
                if cred is None:
                    logger.error("  **Error** Cannot delete peering. Missing credential for remote subscription "
                                 + remoteSubscriptionId)
                    continue
                remote_network_client = NetworkManagementClient(cred.getCSC(), cred.getSubId())
                remoteRgName, remoteVnetName, remotePeeringName, remotePeering = cls.getRemotePeering(
                    cred, peering.remote_virtual_network.id, peering.id)
                peeringProperties = record(peering)
                remotePeeringProperties = record(remotePeering)
                if YAML["delete_peering"] != "all" and remotePeering.allow_gateway_transit == False:  # noqa: E712
                    logger.info("  peering between " + peeringName + " and " + remotePeeringName
                                + " -- skipped, as remote peer's allow-gateway-transit flag is False")
                    continue
                peeringPairList.append({
                    "localSubscriptionId": subscriptionId, "localRgName": rgName, "localVnetName": vnet.name,
                    "localPeeringName": peeringName, "localPeering": peeringProperties,
                    "remoteSubscriptionId": remoteSubscriptionId, "remoteRgName": remoteRgName,
                    "remoteVnetName": remoteVnetName, "remotePeeringName": remotePeeringName,
                    "remotePeering": remotePeeringProperties})
            except Exception as e:
                logger.error("  **Error** " + str(e))
                continue
            if YAML["delete_vnet_lock"] == True:  # noqa: E712
                try:
                    remoteVnet = cls.getVnet(remoteVnetName, remote_network_client)
                    cls.deleteVnetLock(cred, remoteVnet, indent=2)
                except Exception as e:
                    logger.error("  **Error** " + str(e))
            for client, rg, vnetName, name in ((local_network_client, rgName, None, peeringName),
                                               (remote_network_client, remoteRgName, remoteVnetName,
                                                remotePeeringName)):
                logger.info("  delete peering " + name)
                try:
                    if not cls.DryRun:
                        client.virtual_network_peerings.begin_delete(rg, vnetName or vnet.name, name).result()
                except Exception as e:
                    logger.error("  **Error** Failed to delete peering " + name + " -" + str(e))
        return peeringPairList

    @classmethod
    def disableUseRemoteGwInPeering(cls, subscriptionId, local_network_client, vnet, exclude=None):
        logger = logging.getLogger("dm.arm.trafswap")
        peeringPropList = []
        rgName = vnet.id.split("/")[dl.RG_I]
        logger.info("- Disable use_remote_gateways in peerings")
        if len(vnet.virtual_network_peerings) == 0:
            logger.info("  No peering found")
            return peeringPropList
        for peeringObj in vnet.virtual_network_peerings:
            peeringName = peeringObj.name
            if exclude is not None and peeringName.startswith(exclude):
                logger.info("  controller created peering " + peeringName + " -- skipped")
                continue
            if vwm.getVHubNameFromPeering(peeringObj.remote_virtual_network.id):
                logger.info("  virtual hub connection " + peeringName + " -- skipped")
                continue
            try:
                peering = local_network_client.virtual_network_peerings.get(rgName, vnet.name, peeringName)
                if not peering.use_remote_gateways == True:  # noqa: E712
                    continue
                logger.info("  disable use_remote_gateways in peering " + peeringName)
                peeringProperties = record(peering)
                peering.use_remote_gateways = False
                if not cls.DryRun:
                    local_network_client.virtual_network_peerings.begin_create_or_update(
                        rgName, vnet.name, peeringName, peering)
                peeringPropList.append({"localSubscriptionId": subscriptionId, "localRgName": rgName,
                                        "localVnetName": vnet.name, "localPeeringName": peeringName,
                                        "localPeering": peeringProperties})
            except Exception as e:
                logger.warning("  **Alert** " + str(e))
        return peeringPropList


SUBS = [f"{i}{i}{i}{i}{i}{i}{i}{i}-0000-4000-8000-00000000000{i}" for i in range(5)]


def vnet_id(sub, rg, name):
    return f"/subscriptions/{sub}/resourceGroups/{rg}/providers/Microsoft.Network/virtualNetworks/{name}"


def peering(local, remote, name, **flags):
    return NS(name=name, id=local + "/virtualNetworkPeerings/" + name, remote_virtual_network=NS(id=remote),
              allow_virtual_network_access=True, allow_forwarded_traffic=True,
              allow_gateway_transit=flags.get("transit", False), use_remote_gateways=flags.get("use", False))


def host(recorded=None):
    """(local VNet, local client, module globals): 200 peerings of vnet-local (subscription 0) to
    VNets spread over the 5 subscriptions, each remote VNet with two other peerings and a lock.
    With `recorded` (a list), every host call is appended to it."""
    def rec(name, fn):
        if recorded is None:
            return fn

        def call(*args):
            recorded.append((name,) + args)
            return fn(*args)
        return call

    local_id = vnet_id(SUBS[0], "rg-local", "vnet-local")
    locals_, peers, vnets = [], {sub: {} for sub in SUBS}, {sub: [] for sub in SUBS}
    for i in range(200):
        sub = SUBS[i % 5]
        rg, name = f"rg-{i % 7}", f"vnet-{i}"
        remote_id = vnet_id(sub, rg, name)
        locals_.append(peering(local_id, remote_id, f"local-to-{i}", use=i % 2 == 0))
        vnets[sub].append(NS(name=name, id=remote_id))
        peers[sub][rg, name] = [peering(remote_id, vnet_id(sub, "rg-x", f"other-{i}"), "o1", transit=True),
                                peering(remote_id, vnet_id(SUBS[1], "rg-local", "vnet-local"), "impostor", transit=True),
                                peering(remote_id, local_id, f"{i}-to-local", transit=i % 3 != 0)]
    # A hub of the second subscription: 300 spokes' peerings, the local VNet's last.
    hub_id = vnet_id(SUBS[1], "rg-hub", "vnet-hub")
    peers[SUBS[1]]["rg-hub", "vnet-hub"] = [
        peering(hub_id, vnet_id(SUBS[i % 5], f"rg-{i % 7}", f"spoke-{i}"), f"hub-to-{i}", transit=True)
        for i in range(298)] + [peering(hub_id, vnet_id(SUBS[1], "rg-local", "vnet-local"), "impostor"),
                                peering(hub_id, local_id, "hub-to-local", transit=True)]
    fields = {p.name: vars(p) for p in locals_}          # get answers a fresh model, as the SDK does
    lock = NS(name="vnet-lock")
    pager = NS(next=rec("locks.next", itertools.repeat(lock).__next__))
    poller = NS(result=rec("poller.result", itertools.repeat(None).__next__))
    clients, lock_clients, creds = {}, {}, {}
    for sub in SUBS:
        csc, spc = ("csc", sub), ("spc", sub)
        creds[sub] = NS(getCSC=rec("getCSC", itertools.repeat(csc).__next__),
                        getSPC=rec("getSPC", itertools.repeat(spc).__next__),
                        getSubId=rec("getSubId", itertools.repeat(sub).__next__))
        listed = peers[sub]
        clients[csc] = NS(
            virtual_network_peerings=NS(get=rec("peerings.get", lambda rg, v, name: NS(**fields[name])),
                                        list=rec("peerings.list", lambda rg, v, listed=listed: iter(listed[rg, v])),
                                        begin_create_or_update=rec("peerings.begin_create_or_update",
                                                                   lambda rg, v, name, parameters: poller),
                                        begin_delete=rec("peerings.begin_delete", lambda rg, v, name: poller)),
            virtual_networks=NS(list_all=rec("vnets.list_all", vnets[sub].__iter__)))
        lock_clients[spc] = NS(management_locks=NS(
            list_at_resource_level=rec("locks.list", lambda rg, ns, parent, kind, name: pager),
            delete_at_resource_level=rec("locks.delete", lambda rg, ns, parent, kind, name, lock: None)))

    class YamlContext:
        __slots__ = ()
        generateAzureCredential = staticmethod(rec("credential", creds.get))

    names = {"yctx": YamlContext, "NetworkManagementClient": rec("NetworkManagementClient", clients.get),
             "ManagementLockClient": rec("ManagementLockClient", lock_clients.get)}
    vnet = NS(name="vnet-local", id=local_id, virtual_network_peerings=locals_)
    return vnet, clients[("csc", SUBS[0])], names


def bind(names):
    """Bind the host objects as the module globals of both renderings."""
    for name, value in names.items():
        setattr(trafswap, name, value)
        globals()[name] = value
    SwitchTraffic.DryRun = True


class Lines(logging.Handler):
    def __init__(self):
        super().__init__()
        self.lines = []

    def emit(self, record):
        self.lines.append((record.levelname, record.getMessage()))


OPTIONS = {"delete_peering": "transit", "delete_vnet_lock": True}


def same_host_calls(runs):
    """Each run on recording clients, for C++ then Python: calls, lines and results must agree."""
    logger = logging.getLogger("dm.arm.trafswap")
    seen = []
    for impl in (SwitchTraffic, PySwitchTraffic):
        calls, lines = [], Lines()
        vnet, client, names = host(calls)
        bind(names)
        logger.addHandler(lines)
        try:
            results = [run(impl, vnet, client) for run in runs]
        finally:
            logger.removeHandler(lines)
        seen.append((calls, lines.lines, results))
    if seen[0] != seen[1]:
        raise SystemExit("peerings: the C++ and the Python renderings differ in host calls, lines or results")


def cases():
    logger = logging.getLogger("dm.arm.trafswap")
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False

    def delete(impl, vnet, client):
        return impl.deletePeerings(OPTIONS, SUBS[0], vnet, client, "zentrova-")

    def disable(impl, vnet, client):
        return impl.disableUseRemoteGwInPeering(SUBS[0], client, vnet, "zentrova-")

    same_host_calls([delete, disable])
    vnet, client, names = host()
    bind(names)
    hub = vnet_id(SUBS[1], "rg-hub", "vnet-hub")
    cred, hub_vnet = names["yctx"].generateAzureCredential(SUBS[1]), NS(name="vnet-hub", id=hub)

    def remote(impl, vnet, client):
        return impl.getRemotePeering(None, hub, vnet.id + "/virtualNetworkPeerings/local-to-hub")

    def lock(impl, vnet, client):
        return impl.deleteVnetLock(cred, hub_vnet, indent=2)

    def at(level, run):
        """The run with the module logger at `level` (set once, so a case's repeats all pay the same)."""
        def call(impl):
            if logger.level != level:
                logger.setLevel(level)
            return run(impl, vnet, client)
        return lambda: call(SwitchTraffic), lambda: call(PySwitchTraffic)

    return [
        Case("deletePeerings (200 peerings, 5 subs, locks, dry-run)", *at(logging.INFO, delete), number=100),
        Case("deletePeerings, log level WARNING", *at(logging.WARNING, delete), number=100),
        Case("disableUseRemoteGwInPeering (200 peerings, dry-run)", *at(logging.INFO, disable), number=300),
        Case("disableUseRemoteGwInPeering, log level WARNING", *at(logging.WARNING, disable), number=300),
        Case("getRemotePeering (hub with 300 peerings, the match last)", *at(logging.INFO, remote), number=2000),
        Case("deleteVnetLock (a lock, indent 2, dry-run)", *at(logging.INFO, lock), number=20000),
    ]
