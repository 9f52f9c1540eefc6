"""The route-table half of a switch and its revert through the real SDK on the
local cloud: the cloud before, between and after, the Terraform file, dry-run."""
import json
import logging
from types import SimpleNamespace as NS

import hcl2
import pytest
from azure.core.exceptions import HttpResponseError

from dm.arm.terraform import ASSOCIATION_FILE, Terraform
from dm.arm.trafswap import SwitchTraffic
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from route_runs import associations, network_client, options, propagation, revert, state, switch

SPOKES = "22222222-2222-4222-8222-222222222222"
SPOKE_VNETS = ("spoke1-vnet", "spoke2-vnet")
LOGGER = "dm.arm.trafswap"


def rid(rg, *type_names):
    return ("/subscriptions/" + SPOKES + "/resourceGroups/" + rg + "/providers/Microsoft.Network/"
            + "/".join(type_names)).lower()


def subnet(rg, vnet, name):
    return rid(rg, "virtualNetworks", vnet, "subnets", name)


def table(rg, name):
    return rid(rg, "routeTables", name)


@pytest.fixture(autouse=True)
def output_folder(tmp_path):
    Terraform.setOutputFolder(tmp_path / "acct")
    yield tmp_path / "acct"
    Terraform.outputFolder = None


def test_switch_then_revert_on_the_sample(tmp_path, output_folder):
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    before = state(cloud)
    network = network_client(cloud, SPOKES)
    records = {name: switch(network, name, options()) for name in SPOKE_VNETS}

    moved = associations(cloud)
    assert {k: v for k, v in moved.items() if v != associations(LocalCloud.from_topology(SAMPLE_TOPOLOGY)).get(k)} == {
        subnet("rg-spoke1", "spoke1-vnet", "web"): table("rg-spoke1", "rt-spoke1-web-zentrova"),
        subnet("rg-spoke1", "spoke1-vnet", "app"): table("rg-spoke1", "rt-spoke1-app-zentrova"),
        subnet("rg-spoke1", "spoke1-vnet", "app2"): table("rg-spoke1", "rt-spoke1-app-zentrova"),
        subnet("rg-spoke1", "spoke1-vnet", "db"): table("rg-spoke1", "spoke1-vnet-main-1"),
        subnet("rg-spoke1", "spoke1-vnet", "legacy"): table("rg-spoke1", "spoke1-vnet-main-2"),
        subnet("rg-spoke2", "spoke2-vnet", "apps"): table("rg-spoke2", "rt-spoke2-apps-zentrova"),
        subnet("rg-spoke2", "spoke2-vnet", "batch"): table("rg-spoke2", "spoke2-vnet-main-1"),
    }
    staged = {table("rg-spoke1", n) for n in ("rt-spoke1-web-zentrova", "rt-spoke1-app-zentrova",
                                               "spoke1-vnet-main-1", "spoke1-vnet-main-2")}
    staged |= {table("rg-spoke2", n) for n in ("rt-spoke2-apps-zentrova", "spoke2-vnet-main-1", "spoke2-vnet-main-2")}
    assert {k for k, v in propagation(cloud).items() if v} == staged      # pollers never awaited
    shared = cloud.get(table("rg-network", "rt-shared-apps"))             # the back-reference left the other group
    assert "subnets" not in shared["properties"]

    # The revert runs in a later process, on the saved cloud.
    cloud.save(tmp_path / "state.json")
    cloud = LocalCloud.load(tmp_path / "state.json")
    network = network_client(cloud, SPOKES)
    for name in SPOKE_VNETS:
        revert(network, name, options(), records[name])

    # Everything is as before, except what the revert defines otherwise: a
    # subnet left on a main table goes to the VNet's default table when one is
    # configured and found (db, which had none before), else to none. The
    # overlay gateway's own subnet was never moved.
    expected = json.loads(json.dumps(before))
    db, default = subnet("rg-spoke1", "spoke1-vnet", "db"), table("rg-spoke1", "spoke1-vnet-default")
    expected[db]["properties"]["routeTable"] = {"id": cloud.get(default)["id"]}
    expected[default]["properties"]["subnets"] = sorted(expected[default]["properties"]["subnets"] + [db])
    after = state(cloud)
    assert after.keys() == expected.keys()
    for key in expected:
        assert after[key] == expected[key], key


def test_terraform_file_of_the_switch_reads_back(output_folder):
    network = network_client(LocalCloud.from_topology(SAMPLE_TOPOLOGY), SPOKES)
    for name in SPOKE_VNETS:
        switch(network, name, options(grouped=["app2"]))
    with open(output_folder / ASSOCIATION_FILE) as f:
        document = hcl2.load(f)
    resources = {name.strip('"'): (body["provider"], body["subnet_id"], body["route_table_id"])
                 for block in document["resource"] for kind, named in block.items()
                 if kind == '"azurerm_subnet_route_table_association"' for name, body in named.items()}
    managed = "${module.%s.azurerm_route_table_zentrova_managed%s.id}"
    assert resources == {
        "spoke1-vnet_web_rt-spoke1-web-zentrova": (
            "${azurerm.spokes}", "${azurerm_subnet.spoke1-vnet_web.id}",
            managed % ("spoke1-vnet", '["rt-spoke1-web-zentrova"]')),
        "spoke1-vnet_app_rt-spoke1-app-zentrova": (
            "${azurerm.spokes}", "${azurerm_subnet.spoke1-vnet_app.id}",
            managed % ("spoke1-vnet", '["rt-spoke1-app-zentrova"]')),
        "spoke1-vnet_db_spoke1-vnet-main-1": (
            "${azurerm.spokes}", "${azurerm_subnet.spoke1-vnet_db.id}", managed % ("spoke1-vnet", "_main[0]")),
        "spoke1-vnet_legacy_spoke1-vnet-main-2": (
            "${azurerm.spokes}", "${azurerm_subnet.spoke1-vnet_legacy.id}", managed % ("spoke1-vnet", "_main[1]")),
        "spoke2-vnet_apps_rt-spoke2-apps-zentrova": (
            "${azurerm.spokes}", "${azurerm_subnet.spoke2-vnet_apps.id}",
            managed % ("spoke2-vnet", '["rt-spoke2-apps-zentrova"]')),
        "spoke2-vnet_batch_spoke2-vnet-main-1": (
            "${azurerm.spokes}", "${azurerm_subnet.spoke2-vnet_batch.id}", managed % ("spoke2-vnet", "_main[0]")),
    }
    imports = {block["to"].split(".")[1].rstrip("}"): json.loads(block["id"]) for block in document["import"]}
    assert imports.keys() == resources.keys()
    assert imports["spoke2-vnet_batch_spoke2-vnet-main-1"] == network.subnets.get("rg-spoke2", "spoke2-vnet", "batch").id


def sections(caplog):
    """The report lines of the run without the closing association report,
    which shows the cloud as it stands (unchanged under dry-run)."""
    lines, closing = [], False
    for r in caplog.records:
        if r.name != LOGGER:
            continue
        message = r.getMessage()
        if message.startswith("- "):
            closing = message == "- Discover subnet to route-table association"
        if not closing:
            lines.append((r.levelname, message))
    return lines


def test_dry_run_changes_nothing_and_reports_as_a_real_run(tmp_path, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    real_cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    Terraform.setOutputFolder(tmp_path / "real")
    real_network = network_client(real_cloud, SPOKES)
    real_records = {name: switch(real_network, name, options()) for name in SPOKE_VNETS}
    real_lines = sections(caplog)
    real_cloud.save(tmp_path / "switched.json")

    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    caplog.clear()
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    cloud.save(tmp_path / "before.json")
    Terraform.setOutputFolder(tmp_path / "dry")
    network = network_client(cloud, SPOKES)
    dry_records = {name: switch(network, name, options()) for name in SPOKE_VNETS}
    cloud.save(tmp_path / "after.json")
    assert (tmp_path / "after.json").read_bytes() == (tmp_path / "before.json").read_bytes()
    assert {call.method for call in cloud.log.calls} == {"GET"} and cloud.log.count("route_tables.get") > 0
    assert sections(caplog) == real_lines and dry_records == real_records
    assert (tmp_path / "dry" / ASSOCIATION_FILE).read_text() == (tmp_path / "real" / ASSOCIATION_FILE).read_text()

    # A dry-run revert of the real switch leaves that cloud as it was too.
    switched = LocalCloud.load(tmp_path / "switched.json")
    for name in SPOKE_VNETS:
        revert(network_client(switched, SPOKES), name, options(), real_records[name])
    switched.save(tmp_path / "switched-after.json")
    assert (tmp_path / "switched-after.json").read_bytes() == (tmp_path / "switched.json").read_bytes()
    assert {call.method for call in switched.log.calls} == {"GET"}


def test_a_switch_failing_midway_leaves_moved_subnets_for_the_revert():
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    before = state(cloud)
    network = network_client(cloud, SPOKES)
    vnet = SwitchTraffic.getVnet("spoke1-vnet", network)
    target = {}
    staged, info = SwitchTraffic.discoverRouteTable(network, False, vnet, target)
    records = SwitchTraffic.setDisableAllRouteTablePropagationInVnet(NS(revert=False), network, vnet, staged, target,
                                                                     True)
    cloud.fail("subnets.create_or_update", nth=3, status=500)          # the third subnet update: app2
    with pytest.raises(HttpResponseError):
        SwitchTraffic.updateSubnetAssociation(options(), False, network, vnet, target, info)
    moved = {k: v for k, v in associations(cloud).items() if before[k]["properties"].get("routeTable", {}).get(
        "id", "").lower() != (v or "")}
    assert moved == {subnet("rg-spoke1", "spoke1-vnet", "web"): table("rg-spoke1", "rt-spoke1-web-zentrova"),
                     subnet("rg-spoke1", "spoke1-vnet", "app"): table("rg-spoke1", "rt-spoke1-app-zentrova")}

    revert(network, "spoke1-vnet", options(), records)
    assert state(cloud) == before
