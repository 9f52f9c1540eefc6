"""Management locks: listing at resource level, deletion, and the refusals they cause."""
import pytest
from azure.core.exceptions import HttpResponseError, ResourceExistsError

from localarm import StaticCredential
from localarm_sample import HUB, SPOKES, network_id


def vnet_locks(lock_client, rg, vnet):
    return lock_client.management_locks.list_at_resource_level(rg, "Microsoft.Network", "", "virtualNetworks", vnet)


def test_lock_is_listed_deleted_and_then_gone(clients):
    locks = clients.ManagementLockClient(StaticCredential(), HUB)
    lock = vnet_locks(locks, "rg-hub", "hub-vnet").next()
    assert (lock.name, lock.level) == ("hub-vnet-lock", "CanNotDelete")
    locks.management_locks.delete_at_resource_level("rg-hub", "Microsoft.Network", "", "virtualNetworks",
                                                    "hub-vnet", lock.name)
    with pytest.raises(StopIteration):
        vnet_locks(locks, "rg-hub", "hub-vnet").next()


def test_can_not_delete_refuses_deletes_below_the_vnet_and_allows_updates(cloud, hub):
    with pytest.raises(ResourceExistsError) as raised:
        hub.virtual_network_peerings.begin_delete("rg-hub", "hub-vnet", "hub-to-spoke1")
    assert raised.value.status_code == 409 and raised.value.error.code == "ScopeLocked"
    hub_vnet = network_id(HUB, "rg-hub", "virtualNetworks", "hub-vnet")
    assert "following scope(s) are locked: '" + hub_vnet + "'" in raised.value.message
    assert hub.virtual_network_peerings.get("rg-hub", "hub-vnet", "hub-to-spoke1").peering_state == "Connected"
    subnet = hub.subnets.get("rg-hub", "hub-vnet", "shared")
    subnet.route_table = None
    hub.subnets.begin_create_or_update("rg-hub", "hub-vnet", "shared", subnet).result()
    assert hub.subnets.get("rg-hub", "hub-vnet", "shared").route_table is None


def test_read_only_refuses_writes_on_that_vnet_only(cloud, spokes):
    cloud.locks.put(network_id(SPOKES, "rg-spoke1", "virtualNetworks", "spoke1-vnet"), "freeze", "ReadOnly")
    subnet = spokes.subnets.get("rg-spoke1", "spoke1-vnet", "db")
    subnet.route_table = spokes.route_tables.get("rg-spoke1", "spoke1-vnet-main-1")
    with pytest.raises(HttpResponseError) as raised:
        spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "db", subnet)
    assert raised.value.error.code == "ScopeLocked" and "write operation" in raised.value.message
    assert spokes.subnets.get("rg-spoke1", "spoke1-vnet", "db").route_table is None
    other = spokes.subnets.get("rg-spoke2", "spoke2-vnet", "batch")
    spokes.subnets.begin_create_or_update("rg-spoke2", "spoke2-vnet", "batch", other).result()


def test_vnet_without_lock_lists_none(clients):
    locks = clients.ManagementLockClient(StaticCredential(), SPOKES)
    assert list(vnet_locks(locks, "rg-spoke1", "spoke1-vnet")) == []
