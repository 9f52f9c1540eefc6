"""VNet and subnet discovery against small fakes: results, report lines, errors."""
import ipaddress
import logging

import pytest

from dm.arm.cfgbase import Common
from dm.arm.discoverylib import DiscoveryLib
from dm.arm.trafswap import SwitchTraffic
from fakes import NetworkClient, route_table_ref, subnet, vnet

LOGGER = "dm.arm.trafswap"


def report(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def test_get_vnet_first_exact_match():
    first, second = vnet("hub", rg="rg-a"), vnet("hub", rg="rg-b")
    client = NetworkClient(vnets=[vnet("spoke"), first, second])
    assert SwitchTraffic.getVnet("hub", client) is first
    assert SwitchTraffic.getVnet("Hub", client) is None
    assert SwitchTraffic.getVnet("missing", NetworkClient()) is None
    assert client.calls == [("virtual_networks.list_all",), ("virtual_networks.list_all",)]


def test_discover_subnets_report(caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    v = vnet("spoke", rg="rg-9")
    client = NetworkClient(subnets={("rg-9", "spoke"): [
        subnet("GatewaySubnet", route_table_ref("rt-gw")),     # reserved, even with a table
        subnet("app", route_table_ref("rt-a")),
        subnet("db"),
        subnet(None),
    ]})
    assert SwitchTraffic.discoverSubnets(client, v) is None
    assert client.calls == [("subnets.list", "rg-9", "spoke")]
    assert report(caplog) == [
        ("INFO", "- Discover subnet to route-table association"),
        ("INFO", "  found Azure GatewaySubnet -- skipped "),
        ("INFO", "  subnet app is associated to rt-a"),
        ("INFO", "  subnet db has no route table"),
        ("INFO", "  subnet None has no route table"),
    ]


def test_reserved_names_are_read_at_call_time(caplog, monkeypatch):
    caplog.set_level(logging.INFO, LOGGER)
    monkeypatch.setattr(Common, "AZURE_SUBNET", ["app"])
    client = NetworkClient(subnets={("rg-1", "v"): [subnet("app"), subnet("GatewaySubnet")]})
    SwitchTraffic.discoverSubnets(client, vnet("v"))
    assert [m for _, m in report(caplog)][1:] == ["  found Azure app -- skipped ",
                                                  "  subnet GatewaySubnet has no route table"]


def test_route_table_compared_with_none_by_equality(caplog):
    caplog.set_level(logging.INFO, LOGGER)

    class EqualsNone:          # a reference that says it equals None counts as none
        id = "/x/routeTables/never-read"
        def __eq__(self, other):
            return other is None
    client = NetworkClient(subnets={("rg-1", "v"): [subnet("s", EqualsNone())]})
    SwitchTraffic.discoverSubnets(client, vnet("v"))
    assert report(caplog)[-1] == ("INFO", "  subnet s has no route table")


def test_subnet_association_appends_references():
    refs = [object(), object(), object()]
    assocs = ["earlier"]
    SwitchTraffic.discoverSubnetAssociation(type("R", (), {"subnets": refs}), assocs)
    assert assocs == ["earlier"] + refs
    for empty in (None, []):
        SwitchTraffic.discoverSubnetAssociation(type("R", (), {"subnets": empty}), assocs)
    assert len(assocs) == 4


def test_subnet_association_ignores_key_error_only():
    class Picky(list):
        def append(self, x):
            if x == "bad":
                raise KeyError(x)
            super().append(x)
    picky = Picky()
    SwitchTraffic.discoverSubnetAssociation(type("R", (), {"subnets": ["a", "bad", "b"]}), picky)
    assert picky == ["a", "b"]

    class Broken(list):
        def append(self, x):
            raise ValueError("full")
    with pytest.raises(ValueError):
        SwitchTraffic.discoverSubnetAssociation(type("R", (), {"subnets": ["a"]}), Broken())


def test_vpc_cidr_selection():
    allowed = {"allow_vnet_cidrs": [ipaddress.ip_network("10.0.0.0/8")]}
    v = vnet("v", prefixes=["10.1.0.0/16", "192.168.0.0/24", "10.1.0.0/16", "10.0.0.0/8"])
    assert SwitchTraffic.discoverVpcCidr(v, allowed) == ["10.1.0.0/16", "10.1.0.0/16", "10.0.0.0/8"]
    assert SwitchTraffic.discoverVpcCidr(v, {"allow_vnet_cidrs": []}) == []
    with pytest.raises(KeyError):
        SwitchTraffic.discoverVpcCidr(v, {})
    assert SwitchTraffic.isExpectedVpcPrefix("10.1.0.0/16", [ipaddress.ip_network("10.1.0.0/16")])
    assert not SwitchTraffic.isExpectedVpcPrefix("10.1.0.0/16", [])


def test_vpc_cidr_errors_propagate():
    v4 = [ipaddress.ip_network("10.0.0.0/8")]
    with pytest.raises(ValueError):                     # host bits set
        SwitchTraffic.discoverVpcCidr(vnet("v", prefixes=["10.1.0.1/16"]), {"allow_vnet_cidrs": v4})
    with pytest.raises(TypeError):                      # IPv6 against an IPv4 range
        SwitchTraffic.discoverVpcCidr(vnet("v", prefixes=["fd00::/64"]), {"allow_vnet_cidrs": v4})


def test_vpc_cidr_uses_the_subclass_test():
    class Everything(SwitchTraffic):
        @classmethod
        def isExpectedVpcPrefix(cls, ip, prefixes):
            return True
    v = vnet("v", prefixes=["not a prefix"])
    assert Everything.discoverVpcCidr(v, {"allow_vnet_cidrs": None}) == ["not a prefix"]


SEGMENTS = len(vnet("v").id.split("/"))


@pytest.mark.parametrize("position", [
    -2**63, -2**63 + 1, -2**63 - 1, 2**63 - 1, 2**63, -2**100, 2**100,
    -SEGMENTS - 1, -SEGMENTS, -1, 0, SEGMENTS - 1, SEGMENTS,
])
def test_resource_group_position_indexes_as_python_does(monkeypatch, position):
    # Any position beyond the id's segments is an IndexError, never a wrapped index.
    monkeypatch.setattr(DiscoveryLib, "RG_I", position)
    v = vnet("v", rg="rg-7")
    client = NetworkClient(subnets={(seg, "v"): [] for seg in v.id.split("/")})
    try:
        expected = v.id.split("/")[position]
    except IndexError as e:
        with pytest.raises(IndexError, match=str(e)):
            SwitchTraffic.discoverSubnets(client, v)
        assert client.calls == []
    else:
        SwitchTraffic.discoverSubnets(client, v)
        assert client.calls == [("subnets.list", expected, "v")]
