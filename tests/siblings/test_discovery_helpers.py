from types import SimpleNamespace

import pytest

from dm.arm.discoverylib import DiscoveryLib
from dm.arm.res.CaseInsensitiveHelper import (CaseInsensitiveDict, case_insensitive_equal,
                                              case_insensitive_not_equal, case_insensitive_startswith)
from dm.arm.res.VWanMgmt import VWanMgmt

VNET_ID = "/subscriptions/sub-1/resourceGroups/rg-1/providers/Microsoft.Network/virtualNetworks/vnet1"


def route_table(*subnet_ids):
    return SimpleNamespace(subnets=[SimpleNamespace(id=i) for i in subnet_ids])


@pytest.mark.parametrize("table, used", [
    (route_table(VNET_ID + "/subnets/web"), True),
    (route_table(VNET_ID.upper() + "/SUBNETS/web"), True),
    (route_table("/subscriptions/sub-1/resourceGroups/rg-1/providers/Microsoft.Network/virtualNetworks/vnet10/subnets/a",
                 None), False),
    (route_table(), False),
    (SimpleNamespace(subnets=None), False),
])
def test_route_table_use_in_vnet(table, used):
    assert DiscoveryLib.isRouteTableUsedInVnet(table, SimpleNamespace(id=VNET_ID)) is used


@pytest.mark.parametrize("remote_id, hub", [
    ("/subscriptions/s/resourceGroups/RG_hub-east_1a2b/providers/Microsoft.Network/virtualNetworks/HV_hub-east_1a2b",
     "hub-east"),
    ("/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/hv_my_hub_99", "my_hub"),
    ("/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/HV_hub", "hub"),
    ("/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/HV_", None),
    ("/subscriptions/s/resourceGroups/HV_rg/providers/Microsoft.Network/virtualNetworks/spoke", None),
    (None, None),
])
def test_virtual_hub_recognised_from_managed_vnet_name(remote_id, hub):
    assert VWanMgmt.getVHubNameFromPeering(remote_id) == hub


def test_case_insensitive_helpers():
    table = CaseInsensitiveDict({"RT-Web": 1})
    table["rt-db"] = 2
    assert "rt-web" in table and table["RT-DB"] == 2 and len(table) == 2
    assert case_insensitive_equal("Hub-VNet", "hub-vnet") and not case_insensitive_not_equal("A", "a")
    assert case_insensitive_not_equal("hub", "hub2")
    assert case_insensitive_startswith("ORG_rt-web", "org_") and not case_insensitive_startswith("rt", "org_")
