"""VNets, subnets and route tables through the real network client."""
import pytest
from azure.core.exceptions import HttpResponseError, ResourceNotFoundError
from hypothesis import given, settings
from hypothesis import strategies as st

from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, bind
from localarm_sample import SPOKES, subnet_refs, table_id


def test_list_all_pages_through_every_resource_of_the_subscription_only():
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY, page_size=3)
    network = bind(cloud).NetworkManagementClient(StaticCredential(), SPOKES)
    names = [table.name for table in network.route_tables.list_all()]
    assert len(names) == 11 and len(set(names)) == 11
    assert "rt-hub-shared" not in names                       # the hub's table is in the other subscription
    assert cloud.log.count("route_tables.list_all") == 4      # pages of 3, 3, 3, 2
    assert [vnet.name for vnet in network.virtual_networks.list_all()] == ["spoke1-vnet", "spoke2-vnet"]
    in_group = [table.name for table in network.route_tables.list("rg-spoke1")]
    assert sorted(in_group) == sorted(n for n in names if n.startswith(("rt-spoke1-", "spoke1-")))
    assert cloud.log.count("route_tables.list") == 3          # pages of 3, 3, 1


def test_vnet_answers_with_its_subnets_and_peerings(spokes):
    vnet = spokes.virtual_networks.get("rg-spoke1", "spoke1-vnet")
    assert vnet.address_space.address_prefixes == ["10.1.0.0/16"]
    subnets = {subnet.name: subnet for subnet in vnet.subnets}
    assert subnets["web"].route_table.id == table_id("rg-spoke1", "rt-spoke1-web")
    assert subnets["db"].route_table is None
    assert {p.name: p.peering_state for p in vnet.virtual_network_peerings} == {
        "spoke1-to-hub": "Connected", "spoke1-to-spoke2": "Connected"}
    assert [s.name for s in spokes.subnets.list("rg-spoke1", "spoke1-vnet")] == [s.name for s in vnet.subnets]


@pytest.mark.parametrize("call, code", [
    (lambda n: n.virtual_networks.get("rg-spoke1", "no-vnet"), "ResourceNotFound"),
    (lambda n: n.route_tables.get("rg-spoke1", "no-table"), "ResourceNotFound"),
    (lambda n: n.subnets.get("rg-spoke1", "spoke1-vnet", "no-subnet"), "NotFound"),
    (lambda n: n.subnets.get("rg-spoke1", "no-vnet", "web"), "ResourceNotFound"),
    (lambda n: n.virtual_network_peerings.get("rg-spoke1", "spoke1-vnet", "no-peering"), "NotFound"),
    (lambda n: list(n.subnets.list("rg-spoke1", "no-vnet")), "ResourceNotFound"),
])
def test_missing_resources_raise_resource_not_found(spokes, call, code):
    with pytest.raises(ResourceNotFoundError) as raised:
        call(spokes)
    assert raised.value.status_code == 404 and raised.value.error.code == code


def test_unknown_subscription_and_group(clients, spokes):
    stranger = clients.NetworkManagementClient(StaticCredential(), "99999999-9999-4999-8999-999999999999")
    with pytest.raises(ResourceNotFoundError) as raised:
        list(stranger.route_tables.list_all())
    assert raised.value.error.code == "SubscriptionNotFound"
    table = spokes.route_tables.get("rg-spoke1", "rt-spoke1-web")
    with pytest.raises(ResourceNotFoundError) as raised:
        spokes.route_tables.begin_create_or_update("rg-nowhere", "rt", table).result()
    assert raised.value.error.code == "ResourceGroupNotFound"


def test_subnet_association_moves_the_back_references(cloud, spokes):
    subnet = spokes.subnets.get("rg-spoke1", "spoke1-vnet", "app")
    subnet.route_table = spokes.route_tables.get("rg-spoke1", "rt-spoke1-app-zentrova")   # a full model
    moved = spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "app", subnet).result()
    assert moved.route_table.id == table_id("rg-spoke1", "rt-spoke1-app-zentrova")
    assert moved.provisioning_state == "Succeeded"
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-app") == ["app2"]
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-app-zentrova") == ["app"]
    tables = {t.name: t for t in spokes.route_tables.list_all()}
    assert [s.id.rsplit("/", 1)[1] for s in tables["rt-spoke1-app-zentrova"].subnets] == ["app"]

    moved.route_table = None
    spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "app", moved).result()
    assert spokes.subnets.get("rg-spoke1", "spoke1-vnet", "app").route_table is None
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-app-zentrova") == []


def test_subnet_on_a_missing_route_table_is_refused(cloud, spokes):
    subnet = spokes.subnets.get("rg-spoke1", "spoke1-vnet", "web")
    subnet.route_table.id = table_id("rg-spoke1", "rt-gone")
    with pytest.raises(HttpResponseError) as raised:
        spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "web", subnet)
    assert raised.value.status_code == 400 and raised.value.error.code == "InvalidResourceReference"
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-web") == ["web"]


def test_subnet_update_keeps_what_azure_owns(cloud, hub):
    subnet = hub.subnets.get("rg-hub", "hub-vnet", "GatewaySubnet")
    assert ["/virtualNetworkGateways/hub-vpngw/" in c.id for c in subnet.ip_configurations] == [True]
    subnet.address_prefix = "10.0.255.0/26"
    updated = hub.subnets.begin_create_or_update("rg-hub", "hub-vnet", "GatewaySubnet", subnet).result()
    assert updated.address_prefix == "10.0.255.0/26" and len(updated.ip_configurations) == 1


def test_route_table_update_applies_on_acceptance_and_keeps_back_references(cloud, spokes):
    table = spokes.route_tables.get("rg-spoke1", "rt-spoke1-app")
    table.disable_bgp_route_propagation = True
    spokes.route_tables.begin_create_or_update("rg-spoke1", "rt-spoke1-app", table)     # not awaited
    stored = cloud.get(table_id("rg-spoke1", "rt-spoke1-app"))
    assert stored["properties"]["disableBgpRoutePropagation"] is True
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-app") == ["app", "app2"]
    assert [r.name for r in spokes.route_tables.get("rg-spoke1", "rt-spoke1-app").routes] == ["onprem"]


def test_new_route_table_is_created_and_listed(spokes):
    template = spokes.route_tables.get("rg-spoke1", "rt-spoke1-web")
    template.tags = {"vnet": "spoke1-vnet"}
    created = spokes.route_tables.begin_create_or_update("rg-spoke1", "rt-new", template).result()
    assert created.id == table_id("rg-spoke1", "rt-new") and created.subnets is None   # no subnet uses it
    assert "rt-new" in [t.name for t in spokes.route_tables.list_all()]


def test_long_running_operations_poll_as_azure_answers():
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY, lro_polls=3)
    network = bind(cloud).NetworkManagementClient(StaticCredential(), SPOKES)
    subnet = network.subnets.get("rg-spoke1", "spoke1-vnet", "db")
    initial = network.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "db", subnet, polling=False).result()
    assert initial.provisioning_state == "Updating"
    cloud.log.clear()
    network.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "db", subnet).result()
    assert [call.operation for call in cloud.log.calls] == [
        "subnets.create_or_update"] + ["operations.status"] * 4 + ["subnets.get"]
    cloud.log.clear()
    assert network.virtual_network_peerings.begin_delete("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2").result() is None
    assert [(c.operation, c.status) for c in cloud.log.calls] == [
        ("virtual_network_peerings.delete", 202)] + [("operations.status", 200)] * 4 + [("operations.result", 204)]


def test_deleting_a_missing_peering_succeeds_at_once(cloud, spokes):
    assert spokes.virtual_network_peerings.begin_delete("rg-spoke1", "spoke1-vnet", "never").result() is None
    assert [c.status for c in cloud.log.calls] == [204]


def test_an_operation_the_cloud_does_not_serve_is_named_in_the_refusal(cloud, spokes):
    with pytest.raises(HttpResponseError) as raised:
        spokes.virtual_networks.begin_delete("rg-spoke2", "spoke2-vnet")
    assert raised.value.status_code == 501 and "DELETE /subscriptions/" in raised.value.message
    assert cloud.log.calls[-1].operation == "unknown"


@settings(max_examples=30, deadline=None)
@given(moves=st.lists(st.tuples(st.integers(0, 4), st.one_of(st.none(), st.integers(0, 2))), max_size=12))
def test_back_references_always_match_the_subnets(moves):
    cloud = LocalCloud.from_topology({"subscriptions": {SPOKES: {"rg": {
        "route_tables": {"rt-%d" % i: {} for i in range(3)},
        "vnets": {"vnet": {"address_space": ["10.0.0.0/16"],
                           "subnets": {"s%d" % i: "10.0.%d.0/24" % i for i in range(5)}}}}}}})
    network = bind(cloud).NetworkManagementClient(StaticCredential(), SPOKES)
    for subnet_index, table_index in moves:
        subnet = network.subnets.get("rg", "vnet", "s%d" % subnet_index)
        subnet.route_table = None if table_index is None else network.route_tables.get("rg", "rt-%d" % table_index)
        network.subnets.begin_create_or_update("rg", "vnet", subnet.name, subnet).result()
    on = {s.name: s.route_table and s.route_table.id.rsplit("/", 1)[1] for s in network.subnets.list("rg", "vnet")}
    for table in network.route_tables.list_all():
        assert sorted(ref.id.rsplit("/", 1)[1] for ref in table.subnets or ()) == sorted(
            name for name, table_name in on.items() if table_name == table.name)
