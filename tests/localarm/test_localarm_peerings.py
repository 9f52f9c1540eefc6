"""Peering halves: created from a plain mapping or a model, deleted, and their states."""
import pytest
from azure.core.exceptions import HttpResponseError

from dm.arm.res.VWanMgmt import VWanMgmt
from localarm import LocalCloud, StaticCredential, bind
from localarm_sample import HUB, SPOKES, network_id


def record(peering):
    """A peering as the switch writes it down: the SDK's attribute names, id and name included."""
    return {"id": peering.id, "name": peering.name,
            "allow_virtual_network_access": peering.allow_virtual_network_access,
            "allow_forwarded_traffic": peering.allow_forwarded_traffic,
            "allow_gateway_transit": peering.allow_gateway_transit,
            "use_remote_gateways": peering.use_remote_gateways,
            "remote_virtual_network": {"id": peering.remote_virtual_network.id}}


def states(network, rg, vnet):
    return {p.name: p.peering_state for p in network.virtual_network_peerings.list(rg, vnet)}


def test_deleting_one_half_disconnects_the_other_and_recreating_both_reconnects(spokes):
    one = record(spokes.virtual_network_peerings.get("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2"))
    two = record(spokes.virtual_network_peerings.get("rg-spoke2", "spoke2-vnet", "spoke2-to-spoke1"))
    spokes.virtual_network_peerings.begin_delete("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2").result()
    assert states(spokes, "rg-spoke2", "spoke2-vnet")["spoke2-to-spoke1"] == "Disconnected"
    spokes.virtual_network_peerings.begin_delete("rg-spoke2", "spoke2-vnet", "spoke2-to-spoke1").result()
    assert "spoke1-to-spoke2" not in states(spokes, "rg-spoke1", "spoke1-vnet")

    created = spokes.virtual_network_peerings.begin_create_or_update(
        "rg-spoke2", "spoke2-vnet", "spoke2-to-spoke1", two).result()
    assert created.peering_state == "Initiated"
    spokes.virtual_network_peerings.begin_create_or_update("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2", one).result()
    assert states(spokes, "rg-spoke1", "spoke1-vnet")["spoke1-to-spoke2"] == "Connected"
    assert states(spokes, "rg-spoke2", "spoke2-vnet")["spoke2-to-spoke1"] == "Connected"


def test_cross_subscription_pair_reconnects_when_the_deleted_half_is_recreated(spokes, hub):
    local = spokes.virtual_network_peerings.get("rg-spoke1", "spoke1-vnet", "spoke1-to-hub")
    saved = record(local)
    spokes.virtual_network_peerings.begin_delete("rg-spoke1", "spoke1-vnet", "spoke1-to-hub").result()
    remote = hub.virtual_network_peerings.get("rg-hub", "hub-vnet", "hub-to-spoke1")
    assert remote.peering_state == "Disconnected"
    hub.virtual_network_peerings.begin_create_or_update("rg-hub", "hub-vnet", "hub-to-spoke1", remote).result()
    assert states(hub, "rg-hub", "hub-vnet")["hub-to-spoke1"] == "Disconnected"   # alone it stays so

    again = spokes.virtual_network_peerings.begin_create_or_update(
        "rg-spoke1", "spoke1-vnet", "spoke1-to-hub", saved).result()
    assert again.peering_state == "Connected"
    assert again.use_remote_gateways is True and again.remote_address_space.address_prefixes == ["10.0.0.0/16"]
    assert states(hub, "rg-hub", "hub-vnet")["hub-to-spoke1"] == "Connected"


def test_updating_a_connected_half_changes_its_flags_only(spokes):
    peering = spokes.virtual_network_peerings.get("rg-spoke2", "spoke2-vnet", "spoke2-to-hub")
    peering.use_remote_gateways = False
    spokes.virtual_network_peerings.begin_create_or_update("rg-spoke2", "spoke2-vnet", "spoke2-to-hub", peering)
    updated = spokes.virtual_network_peerings.get("rg-spoke2", "spoke2-vnet", "spoke2-to-hub")
    assert (updated.use_remote_gateways, updated.allow_virtual_network_access, updated.peering_state) == (
        False, True, "Connected")


def test_peering_to_a_vnet_that_does_not_exist_is_refused(spokes):
    body = {"remote_virtual_network": {"id": network_id(HUB, "rg-hub", "virtualNetworks", "ghost-vnet")}}
    with pytest.raises(HttpResponseError) as raised:
        spokes.virtual_network_peerings.begin_create_or_update("rg-spoke1", "spoke1-vnet", "to-ghost", body)
    assert raised.value.status_code == 400 and raised.value.error.code == "InvalidResourceReference"
    assert "to-ghost" not in states(spokes, "rg-spoke1", "spoke1-vnet")


def test_a_spoke_peered_with_a_virtual_wan_hub_is_recognised_by_its_remote_vnet():
    managed = "33333333-3333-4333-8333-333333333333"     # the hub's managed VNet lives in Microsoft's subscription
    cloud = LocalCloud.from_topology({"subscriptions": {
        managed: {"RG_hub-east_4f2a": {"vnets": {"HV_hub-east_4f2a": {"address_space": ["10.90.0.0/23"]}}}},
        SPOKES: {"rg-s": {"vnets": {"s": {"address_space": ["10.9.0.0/16"], "peerings": {
            "RemoteVnetToHubPeering_1": {"remote": managed + "/RG_hub-east_4f2a/HV_hub-east_4f2a",
                                         "use_remote_gateways": True}}}}}}}})
    spokes = bind(cloud).NetworkManagementClient(StaticCredential(), SPOKES)
    (to_hub,) = spokes.virtual_network_peerings.list("rg-s", "s")
    assert to_hub.peering_state == "Initiated"
    assert VWanMgmt.getVHubNameFromPeering(to_hub.remote_virtual_network.id) == "hub-east"
