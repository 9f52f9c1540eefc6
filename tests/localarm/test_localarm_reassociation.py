"""Subnets moved between route tables the way the switch moves them: a whole
route-table model as the association, tables in other resource groups, ids in
another letter case, requests whose pollers nobody awaits."""
from azure.mgmt.network.models import RouteTable

from localarm_sample import subnet_refs, table_id


def test_association_moves_across_resource_groups_on_acceptance(cloud, spokes):
    apps = spokes.subnets.get("rg-spoke2", "spoke2-vnet", "apps")
    apps.route_table = spokes.route_tables.get("rg-spoke2", "rt-spoke2-apps-zentrova")
    spokes.subnets.begin_create_or_update("rg-spoke2", "spoke2-vnet", "apps", apps)      # not awaited
    assert subnet_refs(cloud, "rg-network", "rt-shared-apps") == []
    assert "subnets" not in cloud.get(table_id("rg-network", "rt-shared-apps"))["properties"]
    assert subnet_refs(cloud, "rg-spoke2", "rt-spoke2-apps-zentrova") == ["apps"]

    # Back onto the original, named in another letter case: the stored
    # association keeps the table's own id.
    apps.route_table = RouteTable(id=table_id("rg-network", "rt-shared-apps").upper().replace("/SUBSCRIPTIONS/",
                                                                                                "/subscriptions/"))
    moved = spokes.subnets.begin_create_or_update("rg-spoke2", "spoke2-vnet", "apps", apps).result()
    assert moved.route_table.id == table_id("rg-network", "rt-shared-apps")
    assert subnet_refs(cloud, "rg-network", "rt-shared-apps") == ["apps"]
    assert subnet_refs(cloud, "rg-spoke2", "rt-spoke2-apps-zentrova") == []


def test_propagation_flag_kept_through_a_put_of_the_whole_model(cloud, spokes):
    table = spokes.route_tables.get("rg-spoke2", "rt-spoke2-apps-zentrova")
    for flag in (True, False):
        table.disable_bgp_route_propagation = flag
        spokes.route_tables.begin_create_or_update("rg-spoke2", table.name, table)        # not awaited
        stored = cloud.get(table.id)
        assert stored["properties"]["disableBgpRoutePropagation"] is flag
        assert stored["tags"] == {"vnet": "spoke2-vnet", "Org_RT": "org_rt-shared-apps"}
        assert [r["name"] for r in stored["properties"]["routes"]] == ["to-firewall"]
