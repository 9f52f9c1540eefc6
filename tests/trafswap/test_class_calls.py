"""Operations that call another operation through the class (`cls.isExpectedVpcPrefix`,
`cls.setDisableRouteTablePropagation`) run it at once only while the class still binds
the library's own method: a subclass's replacement, or the class method re-initialised
in place with another function, is called instead."""
import ipaddress
from types import SimpleNamespace as NS

import pytest

from dm.arm.trafswap import SwitchTraffic
from fakes import vnet
from route_fakes import RouteClient, table


def vpc_cidr(cls):
    allowed = {"allow_vnet_cidrs": [ipaddress.ip_network("10.1.0.0/16")]}
    return cls.discoverVpcCidr(vnet("spoke", prefixes=["10.1.0.0/16", "10.2.0.0/16"]), allowed)


def propagation(cls):
    client = RouteClient([table("spoke-main-1"), table("b")])
    return cls.setDisableAllRouteTablePropagationInVnet(NS(revert=False), client, vnet("spoke"),
                                                        ["spoke-main-1:rg-1"], {"org": "b"}, True)


# (caller, the method it calls, a replacement, what the caller gives with the own method
# and with the replacement).
CASES = {
    "discoverVpcCidr": (vpc_cidr, "isExpectedVpcPrefix", lambda cls, ip, prefixes: ip == "10.2.0.0/16",
                        ["10.1.0.0/16"], ["10.2.0.0/16"]),
    "setDisableAllRouteTablePropagationInVnet": (
        propagation, "setDisableRouteTablePropagation", lambda cls, client, v, name, flag: name,
        [{"vnet": "spoke", "resource_group": "rg-1", "route_table_name": name, "disable_bgp_route_propagation": False}
         for name in ("spoke-main-1", "b")], ["spoke-main-1", "b"]),
}


@pytest.mark.parametrize("caller, name, replacement, own, replaced", CASES.values(), ids=list(CASES))
def test_own_method_is_followed_while_the_class_binds_it(caller, name, replacement, own, replaced, monkeypatch):
    assert caller(SwitchTraffic) == own
    assert caller(SwitchTraffic) == own        # recognised on the first call, told by identity since
    Sub = type("Sub", (SwitchTraffic,), {name: classmethod(replacement)})
    assert caller(Sub) == replaced
    assert caller(type("Plain", (SwitchTraffic,), {})) == own
    method = vars(SwitchTraffic)[name]
    original = method.__func__
    method.__init__(replacement)               # the same classmethod object, another function
    try:
        assert caller(SwitchTraffic) == replaced
    finally:
        method.__init__(original)
    assert caller(SwitchTraffic) == own
    monkeypatch.setattr(SwitchTraffic, name, classmethod(replacement))
    assert caller(SwitchTraffic) == replaced
