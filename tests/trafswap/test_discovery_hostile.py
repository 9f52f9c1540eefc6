"""Discovery on malformed models and clients: every call returns or raises an
ordinary exception, and repeating failing calls does not grow memory."""
import ipaddress
from types import SimpleNamespace as NS

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from dm.arm.trafswap import SwitchTraffic
from tests.hostile import HostileBool, HostileEq, HostileMapping, HostileStr, hostile_objects, memory_growth, \
    returns_or_raises, scalars

# ipaddress itself warns when handed a boolean as an address.
pytestmark = pytest.mark.filterwarnings("ignore:__int__ returned non-int:DeprecationWarning")

values = st.one_of(scalars, hostile_objects, st.lists(st.one_of(scalars, hostile_objects), max_size=4))
networks = st.sampled_from([ipaddress.ip_network("10.0.0.0/8"), ipaddress.ip_network("fd00::/8"),
                            "10.0.0.0/8", None, HostileEq()])


@st.composite
def subnets(draw):
    route_table = draw(st.one_of(st.none(), hostile_objects, st.builds(NS, id=values)))
    return NS(name=draw(values), route_table=route_table)


@st.composite
def vnets(draw):
    return NS(name=draw(values), id=draw(st.one_of(values, st.just("/s/x/r/rg-1/p/t/v"))),
              address_space=NS(address_prefixes=draw(values)))


def client(vnet_list, subnet_list):
    return NS(virtual_networks=NS(list_all=lambda: iter(vnet_list)),
              subnets=NS(list=lambda rg, name: iter(subnet_list)))


def one_round(vnet_list, subnet_list, name, tables, allowed):
    network = client(vnet_list, subnet_list)
    returns_or_raises(SwitchTraffic.getVnet, name, network)
    for vnet in vnet_list[:2]:
        returns_or_raises(SwitchTraffic.discoverSubnets, network, vnet)
        returns_or_raises(SwitchTraffic.discoverVpcCidr, vnet, {"allow_vnet_cidrs": allowed})
    for table in tables:
        returns_or_raises(SwitchTraffic.discoverSubnetAssociation, NS(subnets=table), [])
    for prefix in ("10.1.0.0/16", "fd00::/64", "10.1.0.1/16", HostileStr()):
        returns_or_raises(SwitchTraffic.isExpectedVpcPrefix, prefix, allowed)


@settings(max_examples=150, deadline=None)
@given(vnet_list=st.lists(vnets(), max_size=3), subnet_list=st.lists(subnets(), max_size=4), name=values,
       tables=st.lists(values, max_size=3), allowed=st.one_of(st.lists(networks, max_size=3), values))
def test_malformed_models_return_or_raise(vnet_list, subnet_list, name, tables, allowed):
    one_round(vnet_list, subnet_list, name, tables, allowed)


def test_repeated_failing_calls_do_not_grow_memory():
    broken = NS(name=HostileStr(), id=HostileEq(), address_space=NS(address_prefixes=["10.1.0.0/16", "x"]))
    good = NS(name="v", id="/s/x/r/rg-1/p/t/v", address_space=NS(address_prefixes=["10.1.0.0/16", "fd00::/64"]))
    vnet_list = [broken, good]
    subnet_list = [NS(name="a", route_table=HostileEq()), NS(name=HostileStr(), route_table=None),
                   NS(name="b", route_table=NS(id=42))]
    tables = [[HostileBool()], HostileMapping(a=1), None, ["x", "y"]]
    allowed = [ipaddress.ip_network("10.0.0.0/8"), HostileEq()]

    def round_of_calls():
        one_round(vnet_list, subnet_list, HostileEq(), tables, allowed)
        one_round(vnet_list, subnet_list, "v", tables, [ipaddress.ip_network("10.0.0.0/8")])

    assert memory_growth(round_of_calls, rounds=500) < 50_000
