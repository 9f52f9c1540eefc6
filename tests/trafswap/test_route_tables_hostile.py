"""Route-table switching on malformed models, mappings and clients: every call
returns or raises an ordinary exception, and failing calls do not grow memory."""
import logging
from types import SimpleNamespace as NS

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import dm.arm.trafswap as trafswap
from dm.arm.trafswap import SwitchTraffic
from route_fakes import TerraformRecorder
from tests.hostile import HostileBool, HostileEq, HostileMapping, HostileStr, documents, hostile_objects, \
    memory_growth, returns_or_raises, scalars

ID = "/subscriptions/s/resourceGroups/rg-1/providers/Microsoft.Network/routeTables/"
values = st.one_of(scalars, hostile_objects, st.sampled_from([ID + "v-main-1", "v-main-1", "org_t", "ORG_x"]))
tag_maps = st.one_of(st.none(), hostile_objects, st.lists(values, max_size=2),
                     st.dictionaries(st.sampled_from(["vnet", "Org_RT", "org_rt", "x"]), values, max_size=3))


@st.composite
def tables(draw):
    return NS(name=draw(values), id=draw(values), tags=draw(tag_maps), disable_bgp_route_propagation=draw(values),
              subnets=draw(st.one_of(st.none(), st.lists(st.builds(NS, id=values), max_size=2))))


@st.composite
def subnets(draw):
    return NS(name=draw(values), id=draw(values), route_table=draw(st.one_of(st.none(), tables(), hostile_objects)))


def client(table_list, subnet_list):
    def get(rg, name):
        for t in table_list:
            if t.name is name:
                return t
        raise LookupError(name)
    return NS(route_tables=NS(list_all=lambda: iter(table_list), get=get,
                              begin_create_or_update=lambda *a: NS(result=lambda: None)),
              subnets=NS(list=lambda rg, name: iter(subnet_list),
                         begin_create_or_update=lambda *a: NS(result=lambda: None)))


def one_round(table_list, subnet_list, vnet, yaml, target, records, revert):
    network = client(table_list, subnet_list)
    for t in table_list[:2]:
        returns_or_raises(SwitchTraffic.isMainRtb, vnet, t)
    returns_or_raises(SwitchTraffic.discoverRouteTable, network, revert, vnet, target)
    returns_or_raises(SwitchTraffic.setDisableRouteTablePropagation, network, vnet, "v-main-1", revert)
    returns_or_raises(SwitchTraffic.setDisableAllRouteTablePropagationInVnet, NS(revert=revert), network, vnet,
                      ["v-main-1:rg-1"], target, revert)
    returns_or_raises(SwitchTraffic.restoreRouteTablePropagationInVnet, network, records)
    returns_or_raises(SwitchTraffic.updateSubnetAssociation, yaml, revert, network, vnet, target, {})


@pytest.fixture(autouse=True)
def quiet_writer(monkeypatch):
    monkeypatch.setattr(trafswap, "tf", TerraformRecorder({"rtbSubnetGwGroupInfos": {}}))


@settings(max_examples=150, deadline=None)
@given(table_list=st.lists(tables(), max_size=4), subnet_list=st.lists(subnets(), max_size=4),
       vnet=st.builds(NS, name=values, id=st.one_of(values, st.just(ID + "v"))),
       yaml=documents(["default_route_table", "subscriptionInfo", "migrate_non_associated_subnet",
                       "subnet_in_subnet_groups", "alias"]),
       target=st.one_of(documents(["v-main-1", "org_t"]), st.dictionaries(values.filter(lambda v: v.__hash__), values,
                                                                          max_size=3)),
       records=st.one_of(documents(["resource_group", "route_table_name"]), st.lists(hostile_objects, max_size=2)),
       revert=st.one_of(st.booleans(), hostile_objects))
def test_malformed_input_returns_or_raises(table_list, subnet_list, vnet, yaml, target, records, revert):
    one_round(table_list, subnet_list, vnet, yaml, target, records, revert)


def test_repeated_failing_calls_do_not_grow_memory(monkeypatch):
    # The test run keeps every log record it captures: not part of the measure.
    monkeypatch.setattr(logging.getLogger("dm.arm.trafswap"), "propagate", False)
    vnet = NS(name="v", id=ID + "v")
    table_list = [NS(name="v-main-1", id=ID + "v-main-1", tags=None, subnets=None, disable_bgp_route_propagation=HostileEq()),
                  NS(name="copy", id=ID + "copy", tags={"vnet": "V", "Org_RT": "org_gone"}, subnets=None),
                  NS(name=HostileStr(), id=ID + "x", tags={"vnet": "v", "org_rt": HostileStr()}, subnets=None),
                  NS(name="t", id=HostileEq(), tags=HostileMapping(a=1), subnets=None)]
    subnet_list = [NS(name="a", id="a", route_table=None), NS(name="b", id="b", route_table=HostileEq()),
                   NS(name=HostileStr(), id="c", route_table=table_list[0])]
    yaml = {"default_route_table": HostileStr(), "subscriptionInfo": {}, "migrate_non_associated_subnet": HostileBool(),
            "subnet_in_subnet_groups": HostileMapping(a=1)}
    records = [{"resource_group": "rg-1", "route_table_name": "v-main-1"}, {"resource_group": "rg-1"}]

    def round_of_calls():
        for revert in (False, True, HostileBool()):
            one_round(table_list, subnet_list, vnet, yaml, {"gone": "copy", HostileStr(): 1}, records, revert)
        one_round(table_list, subnet_list, vnet, dict(yaml, default_route_table=None), {}, records, False)

    assert memory_growth(round_of_calls, rounds=300) < 50_000
