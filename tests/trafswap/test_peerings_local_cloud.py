"""Peering removal and restore, remote-gateway use and lock removal through the
real network and lock SDK on the local cloud, within and across subscriptions."""
import logging

from dm.arm.trafswap import SwitchTraffic
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from peering_world import HUB, LOGGER, SPOKES, connect, flags, network, peerings, recorded_ids, writes  # noqa: F401

OPTIONS = {"delete_peering": "all", "delete_vnet_lock": True}
MANAGED = "33333333-3333-4333-8333-333333333333"


def mesh():
    """Spoke "app" in the spokes subscription peers with: the hub (other subscription, locked, transit),
    "data" (same subscription, no transit), a virtual-WAN hub, and a controller-made transit VNet."""
    transit = {"allow_gateway_transit": True, "allow_forwarded_traffic": True}
    return LocalCloud.from_topology({"subscriptions": {
        HUB: {"rg-hub": {"vnets": {
            "hub": {"address_space": ["10.0.0.0/16"], "locks": {"keep": "CanNotDelete"},
                    "peerings": {"hub-to-app": dict(transit, remote=SPOKES + "/rg-app/app")}},
            "zt-transit": {"address_space": ["10.50.0.0/16"],
                           "peerings": {"zt-transit-to-app": dict(transit, remote=SPOKES + "/rg-app/app")}}}}},
        MANAGED: {"RG_vwan-east_1": {"vnets": {"HV_vwan-east_1": {"address_space": ["10.90.0.0/23"]}}}},
        SPOKES: {
            "rg-app": {"vnets": {"app": {"address_space": ["10.1.0.0/16"], "peerings": {
                "app-to-hub": {"remote": HUB + "/rg-hub/hub", "use_remote_gateways": True,
                               "allow_forwarded_traffic": True},
                "app-to-data": {"remote": "rg-data/data", "allow_virtual_network_access": False},
                "to-vwan": {"remote": MANAGED + "/RG_vwan-east_1/HV_vwan-east_1"},
                "zentrova-app-to-transit": {"remote": HUB + "/rg-hub/zt-transit"}}}}},
            "rg-data": {"vnets": {"data": {"address_space": ["10.2.0.0/16"], "locks": {"ro": "ReadOnly"},
                                           "peerings": {"data-to-app": {"remote": "rg-app/app",
                                                                        "allow_forwarded_traffic": True}}}}}}}})


def app_vnet():
    return SwitchTraffic.getVnet("app", network(SPOKES))


def test_sample_spoke_delete_then_add_brings_both_halves_back(connect, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    cloud = connect(LocalCloud.from_topology(SAMPLE_TOPOLOGY))
    before = peerings(cloud)
    spokes = network(SPOKES)
    vnet = SwitchTraffic.getVnet("spoke1-vnet", spokes)
    pairs = SwitchTraffic.deletePeerings(OPTIONS, SPOKES, vnet, spokes, "zentrova-")

    assert [(p["localPeeringName"], p["remotePeeringName"]) for p in pairs] == [
        ("spoke1-to-hub", "hub-to-spoke1"), ("spoke1-to-spoke2", "spoke2-to-spoke1")]
    assert set(before) - set(peerings(cloud)) == recorded_ids(pairs)       # exactly the recorded halves are gone
    assert "hub-vnet-lock" not in str(cloud.to_json())                    # removed so the hub half could go
    assert not [m for level, m in ((r.levelname, r.getMessage()) for r in caplog.records) if level == "ERROR"]

    SwitchTraffic.addPeerings(pairs)
    after = peerings(cloud)
    assert flags(after) == flags(before) and {s for _, s, _ in after.values()} == {"Connected"}


def test_across_subscriptions_with_locks_hub_and_controller_peerings(connect, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    cloud = connect(mesh())
    before = peerings(cloud)
    pairs = SwitchTraffic.deletePeerings(OPTIONS, SPOKES, app_vnet(), None, "zentrova-")

    assert [p["localPeeringName"] for p in pairs] == ["app-to-hub", "app-to-data"]
    assert [(p["remoteSubscriptionId"], p["remoteRgName"], p["remoteVnetName"]) for p in pairs] == [
        (HUB, "rg-hub", "hub"), (SPOKES, "rg-data", "data")]
    lines = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert "  virtual hub connection to-vwan -- skipped" in lines
    assert "  controller created peering zentrova-app-to-transit -- skipped" in lines
    assert "    delete lock keep" in lines and "    delete lock ro" in lines
    after_delete = peerings(cloud)
    assert set(before) - set(after_delete) == recorded_ids(pairs)
    assert {k for k, v in after_delete.items() if v[1] == "Disconnected"} == set()      # both halves went

    SwitchTraffic.addPeerings(pairs)
    after = peerings(cloud)
    assert flags(after) == flags(before)
    assert {k.rsplit("/", 1)[1]: s for k, (_, s, _) in after.items()} == {
        "hub-to-app": "Connected", "zt-transit-to-app": "Connected", "app-to-hub": "Connected",
        "app-to-data": "Connected", "to-vwan": "Initiated", "zentrova-app-to-transit": "Connected",
        "data-to-app": "Connected"}


def test_remote_half_without_transit_stays_unless_all(connect):
    cloud = connect(mesh())
    pairs = SwitchTraffic.deletePeerings({"delete_peering": "transit", "delete_vnet_lock": True}, SPOKES, app_vnet(),
                                         network(SPOKES), "zentrova-")
    assert [p["localPeeringName"] for p in pairs] == ["app-to-hub"]
    assert "/subscriptions/" + SPOKES.lower() + "/resourcegroups/rg-app/providers/microsoft.network/" \
        "virtualnetworks/app/virtualnetworkpeerings/app-to-data" in peerings(cloud)


def test_locked_remote_vnet_refuses_the_remote_delete_and_the_record_restores_it(connect, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    cloud = connect(mesh())
    before = peerings(cloud)
    pairs = SwitchTraffic.deletePeerings(dict(OPTIONS, delete_vnet_lock=False), SPOKES, app_vnet(),
                                         network(SPOKES), "zentrova-")
    errors = [r.getMessage() for r in caplog.records if r.levelname == "ERROR"]
    assert len(errors) == 2 and all("ScopeLocked" in e for e in errors)
    assert errors[0].startswith("  **Error** Failed to delete peering hub-to-app -(ScopeLocked)")
    assert {v[1] for k, v in peerings(cloud).items() if k.endswith(("/hub-to-app", "/data-to-app"))} == {"Disconnected"}

    SwitchTraffic.addPeerings(pairs)
    assert flags(peerings(cloud)) == flags(before)
    assert peerings(cloud)[next(k for k in before if k.endswith("/hub-to-app"))][1] == "Connected"


def test_remote_gateway_use_off_and_back(connect):
    cloud = connect(mesh())
    spokes = network(SPOKES)
    records = SwitchTraffic.disableUseRemoteGwInPeering(SPOKES, spokes, app_vnet(), "zentrova-")
    assert [r["localPeeringName"] for r in records] == ["app-to-hub"]
    assert spokes.virtual_network_peerings.get("rg-app", "app", "app-to-hub").use_remote_gateways is False
    before = peerings(cloud)

    SwitchTraffic.restoreUseRemoteGwInPeering(spokes, records)
    restored = spokes.virtual_network_peerings.get("rg-app", "app", "app-to-hub")
    assert restored.use_remote_gateways is True and restored.peering_state == "Connected"
    assert {k: v for k, v in peerings(cloud).items() if not k.endswith("/app-to-hub")} == {
        k: v for k, v in before.items() if not k.endswith("/app-to-hub")}


def test_dry_run_reads_and_records_alike_but_sends_no_write(connect, monkeypatch):
    cloud = connect(mesh())
    real = SwitchTraffic.deletePeerings(OPTIONS, SPOKES, app_vnet(), None, "zentrova-")
    cloud = connect(mesh())
    before = peerings(cloud)
    cloud.log.clear()
    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    spokes = network(SPOKES)
    assert SwitchTraffic.deletePeerings(OPTIONS, SPOKES, app_vnet(), None, "zentrova-") == real
    SwitchTraffic.addPeerings(real)
    gateway_records = SwitchTraffic.disableUseRemoteGwInPeering(SPOKES, spokes, app_vnet())
    SwitchTraffic.restoreUseRemoteGwInPeering(spokes, gateway_records)
    assert [r["localPeeringName"] for r in gateway_records] == ["app-to-hub"]
    counts = cloud.log.counts()
    assert counts["management_locks.list_at_resource_level"] == 2 and counts["virtual_network_peerings.get"] >= 4
    assert writes(cloud) == [] and peerings(cloud) == before
