"""Recording fakes of the route-table and subnet operations of the network client,
and of the Terraform writer."""
import logging
from types import SimpleNamespace as NS

import pytest

from fakes import SUB


def table(name, rg="rg-1", tags=None, subnets=None, disable=False):
    return NS(name=name, id=f"{SUB.format(rg=rg)}/routeTables/{name}", tags=tags, subnets=subnets,
              disable_bgp_route_propagation=disable)


def subnet_of(vnet, name, route_table=None):
    return NS(name=name, id=vnet.id + "/subnets/" + name, route_table=route_table)


def uses(tbl, vnet, *names):
    """Makes the table's back-references name subnets of the VNet."""
    tbl.subnets = [NS(id=vnet.id + "/subnets/" + n) for n in names]
    return tbl


def table_name(route_table):
    return None if route_table is None else route_table.id.split("/")[-1]


class RouteClient:
    """Route tables and subnets of fixed data. `calls` records every call in
    order; a subnet update records the table name the subnet carried then."""

    def __init__(self, tables=(), subnets=None, broken=()):
        self.calls = []
        self.tables = list(tables)
        self.broken = set(broken)            # table names whose lookup fails
        self.route_tables = NS(list_all=self._list_all, get=self._get,
                               begin_create_or_update=self._update_table)
        self.subnets = NS(list=self._list_subnets, begin_create_or_update=self._update_subnet)
        self._subnets = subnets or {}

    def _list_all(self):
        self.calls.append(("route_tables.list_all",))
        return iter(self.tables)

    def _get(self, rg, name):
        self.calls.append(("route_tables.get", rg, name))
        for t in self.tables:
            if t.id.split("/")[4] == rg and t.name.lower() == name.lower() and name not in self.broken:
                return t
        raise LookupError(f"route table {rg}/{name} not found")

    def _update_table(self, rg, name, obj):
        self.calls.append(("route_tables.begin_create_or_update", rg, name, obj.disable_bgp_route_propagation))
        return Poller(self.calls, name)

    def _list_subnets(self, rg, vnet_name):
        self.calls.append(("subnets.list", rg, vnet_name))
        return iter(self._subnets.get((rg, vnet_name), ()))

    def _update_subnet(self, rg, vnet_name, name, subnet):
        self.calls.append(("subnets.begin_create_or_update", rg, vnet_name, name, table_name(subnet.route_table)))
        return Poller(self.calls, name)

    def writes(self):
        return [c for c in self.calls if c[0].endswith("begin_create_or_update") or c[0] == "result"]


class Poller:
    def __init__(self, calls, name):
        self._calls, self._name = calls, name

    def result(self):
        self._calls.append(("result", self._name))


class TerraformRecorder:
    """Stands in for the Terraform writer: keeps the records, answers discovery info."""

    def __init__(self, discovery=None):
        self.records = []
        self.discovery = discovery

    def createSubnetAssociationTf(self, record):
        self.records.append(record)

    def readDiscoveryInfo(self):
        return self.discovery


def configure_main_prefix(template):
    """Configures the main route-table prefix as a one-step name transform (None: unconfigured)."""
    from dm.arm.res.YamlContext import YamlContext
    steps = [] if template is None else [{"key": "base", "value": template}]
    YamlContext.load({"config": {"configure_main_route_table_prefix": steps}})


LOGGER = "dm.arm.trafswap"


@pytest.fixture
def logged(caplog):
    """Captures the library's report at every level; leaves no configuration behind."""
    from dm.arm.res.YamlContext import YamlContext
    caplog.set_level(logging.DEBUG, LOGGER)
    yield caplog
    YamlContext.load({})


def report(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]
