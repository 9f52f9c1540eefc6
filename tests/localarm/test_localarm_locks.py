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


def put_lock(locks, scope, name, level):
    """A lock created through the SDK at the scope's level: subscription, resource group, resource, subnet."""
    parameters = {"level": level}
    m = locks.management_locks
    if scope == "subscription":
        return m.create_or_update_at_subscription_level(name, parameters)
    if scope == "group":
        return m.create_or_update_at_resource_group_level("rg-spoke1", name, parameters)
    if scope == "table":
        return m.create_or_update_at_resource_level("rg-spoke1", "Microsoft.Network", "", "routeTables",
                                                    "spoke1-vnet-main-1", name, parameters)
    return m.create_or_update_at_resource_level("rg-spoke1", "Microsoft.Network", "virtualNetworks/spoke1-vnet",
                                                "subnets", "db", name, parameters)


# (scope of the lock, level, what is tried, whether it is refused)
SCOPES = [("subscription", "ReadOnly", "subnet db", True), ("subscription", "CanNotDelete", "subnet db", False),
          ("subscription", "CanNotDelete", "peering delete", True), ("group", "ReadOnly", "table", True),
          ("group", "ReadOnly", "subnet db", True), ("group", "CanNotDelete", "peering delete", True),
          ("table", "ReadOnly", "table", True), ("table", "ReadOnly", "subnet db", False),
          ("subnet", "ReadOnly", "subnet db", True), ("subnet", "ReadOnly", "subnet app", False),
          ("subnet", "ReadOnly", "peering delete", False)]


@pytest.mark.parametrize("scope, level, action, refused", SCOPES)
def test_locks_at_every_scope_refuse_what_is_below_them_and_list_at_the_subscription(clients, spokes, scope, level,
                                                                                     action, refused):
    locks = clients.ManagementLockClient(StaticCredential(), SPOKES)
    put_lock(locks, scope, "guard", level)
    assert [(lock.name, lock.level) for lock in locks.management_locks.list_at_subscription_level()] == [
        ("guard", level)]

    def attempt():
        if action == "table":
            table = spokes.route_tables.get("rg-spoke1", "spoke1-vnet-main-1")
            table.disable_bgp_route_propagation = True
            return spokes.route_tables.begin_create_or_update("rg-spoke1", "spoke1-vnet-main-1", table).result()
        if action == "peering delete":
            return spokes.virtual_network_peerings.begin_delete("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2").result()
        name = action.split()[1]
        subnet = spokes.subnets.get("rg-spoke1", "spoke1-vnet", name)
        subnet.route_table = spokes.route_tables.get("rg-spoke1", "spoke1-vnet-main-2")
        return spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", name, subnet).result()
    if refused:
        with pytest.raises(HttpResponseError) as raised:
            attempt()
        assert raised.value.error.code == "ScopeLocked"
    else:
        attempt()
    moved = spokes.subnets.get("rg-spoke1", "spoke1-vnet", "db").route_table
    peerings = [p.name for p in spokes.virtual_network_peerings.list("rg-spoke1", "spoke1-vnet")]
    assert (moved is not None and moved.id.endswith("spoke1-vnet-main-2")) == (action == "subnet db" and not refused)
    assert ("spoke1-to-spoke2" in peerings) == (action != "peering delete" or refused)
