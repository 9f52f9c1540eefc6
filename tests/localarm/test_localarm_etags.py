"""Etags and If-Match through the real SDK: a write on a state that changed since it was read is refused
with 412, as Azure refuses it; a write on the current state goes through."""
import pytest
from azure.core.exceptions import HttpResponseError


def read_table(spokes):
    return spokes.route_tables.get("rg-spoke1", "rt-spoke1-web")


def update_table(spokes, table, headers):
    table.disable_bgp_route_propagation = not table.disable_bgp_route_propagation
    return spokes.route_tables.begin_create_or_update("rg-spoke1", "rt-spoke1-web", table, headers=headers).result()


def read_subnet(spokes):
    return spokes.subnets.get("rg-spoke1", "spoke1-vnet", "web")


def update_subnet(spokes, subnet, headers):
    subnet.route_table = None
    return spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "web", subnet, headers=headers).result()


def read_peering(spokes):
    return spokes.virtual_network_peerings.get("rg-spoke1", "spoke1-vnet", "spoke1-to-hub")


def delete_peering(spokes, peering, headers):
    return spokes.virtual_network_peerings.begin_delete("rg-spoke1", "spoke1-vnet", "spoke1-to-hub",
                                                        headers=headers).result()


KINDS = [("route table", read_table, update_table), ("subnet", read_subnet, update_subnet),
         ("peering", read_peering, delete_peering)]


@pytest.mark.parametrize("kind, read, write", KINDS, ids=[k[0] for k in KINDS])
@pytest.mark.parametrize("changed_since", [False, True])
def test_if_match_refuses_a_write_on_a_changed_state(spokes, cloud, kind, read, write, changed_since):
    seen = read(spokes)
    assert seen.etag and read(spokes).etag == seen.etag
    vnet_etag = spokes.virtual_networks.get("rg-spoke1", "spoke1-vnet").etag
    if changed_since:       # another writer changes the resource between the read and the write
        update_subnet(spokes, read_subnet(spokes), {}) if kind == "subnet" else update_table(spokes, read_table(spokes), {})
        if kind == "peering":
            other = read_peering(spokes)
            other.allow_forwarded_traffic = not other.allow_forwarded_traffic
            spokes.virtual_network_peerings.begin_create_or_update("rg-spoke1", "spoke1-vnet", "spoke1-to-hub",
                                                                   other).result()
    before = cloud.get(seen.id)
    if changed_since:
        with pytest.raises(HttpResponseError) as refused:
            write(spokes, seen, {"If-Match": seen.etag})
        assert refused.value.status_code == 412 and cloud.get(seen.id) == before
    else:
        write(spokes, seen, {"If-Match": seen.etag})
        assert cloud.get(seen.id) != before
        # a VNet's etag moves with its subnets and peerings, a route table's is its own
        assert (spokes.virtual_networks.get("rg-spoke1", "spoke1-vnet").etag != vnet_etag) == (kind != "route table")
