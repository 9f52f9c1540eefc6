"""What Azure refuses, refused the same way through the real SDK: 400 with Azure's error code, nothing changed."""
import pytest
from azure.core.exceptions import HttpResponseError
from azure.mgmt.network.models import RouteTable, Subnet

from localarm import StaticCredential
from localarm_sample import SPOKES, network_id

SPOKE1 = network_id(SPOKES, "rg-spoke1", "virtualNetworks", "spoke1-vnet")


@pytest.mark.parametrize("subnet, code", [
    (Subnet(address_prefix="10.1.9.0/33"), "InvalidAddressPrefixFormat"),
    (Subnet(address_prefix="10.1.9.1/24"), "InvalidCIDRNotation"),
    (Subnet(address_prefix="10.9.9.0/24"), "NetcfgSubnetRangeOutsideVnet"),
    (Subnet(address_prefixes=["10.1.9.0/24", "10.9.9.0/24"]), "NetcfgSubnetRangeOutsideVnet"),
    (Subnet(address_prefix="10.1.0.0/16"), "NetcfgSubnetRangesOverlap"),
    (Subnet(address_prefix="10.1.9.0/24", route_table=RouteTable(id=network_id(SPOKES, "rg-spoke1", "routeTables",
                                                                               "rt-ghost"))),
     "InvalidResourceReference"),
])
def test_a_subnet_azure_refuses(cloud, spokes, subnet, code):
    before = cloud.to_json()
    with pytest.raises(HttpResponseError) as raised:
        spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "new", subnet).result()
    assert (raised.value.status_code, raised.value.error.code) == (400, code)
    assert cloud.to_json() == before


def test_a_subnet_inside_its_vnet_and_apart_from_the_others_is_made(cloud, spokes):
    made = spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "new",
                                                 Subnet(address_prefix="10.1.9.0/24")).result()
    assert made.id == SPOKE1 + "/subnets/new"
    again = spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "new", made).result()
    assert again.address_prefix == "10.1.9.0/24"                # its own range is no overlap


def test_a_lock_made_again_keeps_the_spelling_of_the_resource_id(clients):
    locks = clients.ManagementLockClient(StaticCredential(), SPOKES).management_locks
    made = locks.create_or_update_at_resource_level("rg-spoke1", "Microsoft.Network", "", "virtualNetworks",
                                                    "spoke1-vnet", "freeze", {"level": "CanNotDelete"})
    assert made.id == SPOKE1 + "/providers/Microsoft.Authorization/locks/freeze"
