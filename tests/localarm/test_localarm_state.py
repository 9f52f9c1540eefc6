"""Seeding, saving and loading the cloud's state."""
import json

import pytest

from localarm import SAMPLE_TOPOLOGY, SAMPLES, LocalCloud, StaticCredential, bind, topology
from localarm_sample import SPOKES, network_id, subnet_refs, table_id

PROD = "33333333-3333-4333-8333-333333333333"


def test_saved_state_loads_into_an_equal_cloud_that_serves_the_sdk(cloud, spokes, tmp_path):
    subnet = spokes.subnets.get("rg-spoke1", "spoke1-vnet", "web")
    subnet.route_table = spokes.route_tables.get("rg-spoke1", "rt-spoke1-web-zentrova")
    spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "web", subnet).result()
    spokes.virtual_network_peerings.begin_delete("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2").result()
    cloud.save(tmp_path / "state.json")

    loaded = LocalCloud.load(tmp_path / "state.json")
    assert loaded.to_json() == cloud.to_json()
    network = bind(loaded).NetworkManagementClient(StaticCredential(), SPOKES)
    staged = network.route_tables.get("rg-spoke1", "rt-spoke1-web-zentrova")
    assert [s.id.rsplit("/", 1)[1] for s in staged.subnets] == ["web"]
    peering = network.virtual_network_peerings.get("rg-spoke2", "spoke2-vnet", "spoke2-to-spoke1")
    assert peering.peering_state == "Disconnected"


def test_loading_rebuilds_back_references_from_the_subnets(cloud):
    state = cloud.to_json()
    for resource in state["resources"]:
        if resource["type"] == "Microsoft.Network/routeTables":
            resource["properties"]["subnets"] = []
    assert subnet_refs(LocalCloud.from_json(state), "rg-spoke1", "rt-spoke1-app") == ["app", "app2"]
    with pytest.raises(ValueError):
        LocalCloud.from_json({"resources": []})


def test_cli_json_imports_as_the_sdk_would_read_it():
    cloud = LocalCloud()
    cloud.import_cli(SAMPLES + "/az-network-vnet-list.json", SAMPLES + "/az-network-route-table-list.json")
    network = bind(cloud).NetworkManagementClient(StaticCredential(), PROD)
    tables = {t.name: t for t in network.route_tables.list_all()}
    assert [s.id.rsplit("/", 1)[1] for s in tables["rt-prod-frontend"].subnets] == ["frontend", "services"]
    assert tables["rt-prod-frontend-zentrova"].tags == {"vnet": "prod-vnet", "Org_RT": "org_rt-prod-frontend"}
    assert tables["rt-prod-frontend"].routes[0].next_hop_ip_address == "10.20.1.4"
    vnet = network.virtual_networks.get("rg-prod", "prod-vnet")
    assert (vnet.location, vnet.tags) == ("westeurope", {"env": "prod"})
    assert [(p.name, p.peering_state) for p in vnet.virtual_network_peerings] == [("prod-to-shared", "Connected")]
    frontend = cloud.get(network_id(PROD, "rg-prod", "virtualNetworks", "prod-vnet", "subnets", "frontend"))
    assert frontend["properties"]["routeTable"] == {"id": table_id("rg-prod", "rt-prod-frontend", PROD)}
    assert "resourceGroup" not in frontend


def test_cli_json_may_be_given_as_text_or_objects():
    with open(SAMPLES + "/az-network-route-table-list.json") as file:
        text = file.read()
    from_text, from_objects = LocalCloud(), LocalCloud()
    from_text.import_cli(text)
    from_objects.import_cli(json.loads(text))
    assert from_text.to_json() == from_objects.to_json()
    with pytest.raises(ValueError):
        LocalCloud().import_cli([{"name": "no-id"}])


def test_sample_is_staged_the_way_the_switch_recognises_it(cloud):
    """Each staged copy is tagged with a VNet and "org_" + an original table that VNet's subnets use,
    and sits with the VNet's two main tables in the VNet's own resource group."""
    vnets = {v["name"]: v for v in cloud.resources() if v["type"] == "Microsoft.Network/virtualNetworks"}
    tables = {t["name"]: t for t in cloud.resources() if t["type"] == "Microsoft.Network/routeTables"}
    staged = [t for t in tables.values() if "vnet" in t.get("tags", {})]
    assert len(staged) == 3
    for copy in staged:
        vnet = vnets[copy["tags"]["vnet"]]
        original = tables[copy["tags"]["Org_RT"][len("org_"):]]
        assert any(ref["id"].startswith(vnet["id"] + "/subnets/") for ref in original["properties"]["subnets"])
        rg = vnet["id"].split("/")[4]
        assert copy["id"].split("/")[4] == rg
        assert {vnet["name"] + "-main-1", vnet["name"] + "-main-2"} <= {
            t["name"] for t in tables.values() if t["id"].split("/")[4] == rg}


@pytest.mark.parametrize("change, message", [
    (lambda t: t["subscriptions"][SPOKES]["rg-spoke1"].update(vnetz={}), "vnetz"),
    (lambda t: t["subscriptions"][SPOKES]["rg-spoke1"]["vnets"]["spoke1-vnet"]["peerings"]
        ["spoke1-to-spoke2"].update(remote="a/b/c/d"), "a/b/c/d"),
    (lambda t: t["subscriptions"][SPOKES]["rg-spoke1"]["vnets"]["spoke1-vnet"].update(gateways={"gw": "Vpnn"}), "Vpnn"),
])
def test_topology_mistakes_are_named(change, message):
    document = topology.read(SAMPLE_TOPOLOGY)
    change(document)
    with pytest.raises(ValueError, match=message):
        LocalCloud.from_topology(document)
