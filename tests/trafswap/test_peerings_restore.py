"""Re-creating recorded peerings and switching remote-gateway use on a
recording fake: lines, order, guarded halves, dry-run and bad records."""
import logging

import pytest

from dm.arm.trafswap import SwitchTraffic
from peering_fakes import LOGGER, cloud, peering, report, vnet_id  # noqa: F401 (fixture)

A = ("sub-1", "rg-a", "vnet-a")
B = ("sub-2", "rg-b", "vnet-b")


def pair_record(local_name="a-to-b", remote_name="b-to-a"):
    def props(name, here, there):
        return {"id": vnet_id(*here) + "/virtualNetworkPeerings/" + name, "name": name,
                "allow_virtual_network_access": True, "allow_forwarded_traffic": True,
                "allow_gateway_transit": here == B, "use_remote_gateways": here == A,
                "remote_virtual_network": {"id": vnet_id(*there)}}
    return {"localSubscriptionId": "sub-1", "localRgName": "rg-a", "localVnetName": "vnet-a",
            "localPeeringName": local_name, "localPeering": props(local_name, A, B),
            "remoteSubscriptionId": "sub-2", "remoteRgName": "rg-b", "remoteVnetName": "vnet-b",
            "remotePeeringName": remote_name, "remotePeering": props(remote_name, B, A)}


def creates(cloud):
    return [c[1:5] + (c[5]["name"],) for c in cloud.calls if c[0] == "peerings.begin_create_or_update"]


# ---------------------------------------------------------------- addPeerings

def test_add_recreates_local_then_remote_from_the_records(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    records = [pair_record(), pair_record("a-to-b2", "b2-to-a")]
    assert SwitchTraffic.addPeerings(records) is None
    assert [c for c in cloud.calls if c[0] != "peerings.begin_create_or_update"][:4] == [
        ("credential", "sub-1"), ("NetworkManagementClient", "sub-1"), ("result",), ("credential", "sub-2")]
    assert creates(cloud) == [("sub-1", "rg-a", "vnet-a", "a-to-b", "a-to-b"), ("sub-2", "rg-b", "vnet-b", "b-to-a", "b-to-a"),
                              ("sub-1", "rg-a", "vnet-a", "a-to-b2", "a-to-b2"),
                              ("sub-2", "rg-b", "vnet-b", "b2-to-a", "b2-to-a")]
    sent = [c[5] for c in cloud.calls if c[0] == "peerings.begin_create_or_update"]
    assert sent[0] == records[0]["localPeering"] and sent[1] == records[0]["remotePeering"]   # as recorded
    assert cloud.ops().count("result") == 4
    assert report(caplog) == [("INFO", "- Restore peerings"),
                              ("INFO", "  add local peering a-to-b to vnet-a"), ("INFO", "  add remote peering b-to-a to vnet-b"),
                              ("INFO", "  add local peering a-to-b2 to vnet-a"), ("INFO", "  add remote peering b2-to-a to vnet-b")]


def test_add_empty_list(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    SwitchTraffic.addPeerings([])
    assert report(caplog) == [("INFO", "- Restore peerings"), ("INFO", "  no peering found")]
    assert cloud.calls == []


def test_add_failure_of_one_half_goes_on_with_the_other_and_later_records(cloud, caplog, monkeypatch):
    caplog.set_level(logging.INFO, LOGGER)
    cloud.failures["peerings.begin_create_or_update"] = RuntimeError("conflict")
    SwitchTraffic.addPeerings([pair_record(), pair_record("x", "y")])
    assert ("ERROR", "  **Error** Failed to add peering a-to-b -conflict") == report(caplog)[2]
    assert [c[3] for c in creates(cloud)] == ["a-to-b", "b-to-a", "x", "y"]

    # No credential for the remote subscription: logged for that half only.
    cloud.known = {"sub-1"}
    cloud.calls.clear()
    caplog.clear()
    SwitchTraffic.addPeerings([pair_record(), pair_record("x", "y")])
    assert report(caplog)[2:4] == [("INFO", "  add remote peering b-to-a to vnet-b"), (
        "ERROR", "  **Error** Failed to add peering b-to-a -'NoneType' object has no attribute 'getCSC'")]
    assert [c[3] for c in creates(cloud)] == ["a-to-b", "x"]

    # A credential lookup that raises for the local half is logged after its line.
    class Failing:
        def generateAzureCredential(self, sub):
            if sub == "sub-1":
                raise LookupError("secret not set")
            return cloud.credential(sub)
    from dm.arm import trafswap
    monkeypatch.setattr(trafswap, "yctx", Failing)
    cloud.known = None
    cloud.calls.clear()
    caplog.clear()
    SwitchTraffic.addPeerings([pair_record(), pair_record("x", "y")])
    assert report(caplog)[1:4] == [("INFO", "  add local peering a-to-b to vnet-a"),
                                   ("ERROR", "  **Error** Failed to add peering a-to-b -secret not set"),
                                   ("INFO", "  add remote peering b-to-a to vnet-b")]
    assert [c[3] for c in creates(cloud)] == ["b-to-a", "y"]


def test_add_bad_records(cloud, caplog, monkeypatch):
    caplog.set_level(logging.INFO, LOGGER)
    broken = pair_record()
    del broken["localPeering"], broken["remoteRgName"]
    SwitchTraffic.addPeerings([broken])
    assert report(caplog)[2::2] == [("ERROR", "  **Error** Failed to add peering a-to-b -'localPeering'"),
                                    ("ERROR", "  **Error** Failed to add peering b-to-a -'remoteRgName'")]

    # Under dry-run the create arguments are not read at all, and nothing is sent.
    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    cloud.calls.clear()
    caplog.clear()
    SwitchTraffic.addPeerings([broken])
    assert [level for level, _ in report(caplog)] == ["INFO"] * 3
    assert cloud.ops() == ["credential", "NetworkManagementClient", "credential", "NetworkManagementClient"]

    for record, error in (({"localSubscriptionId": "sub-1"}, KeyError),
                          ("not a mapping", TypeError)):
        with pytest.raises(error):
            SwitchTraffic.addPeerings([record])
    with pytest.raises(TypeError):
        SwitchTraffic.addPeerings(None)


# ---------------------------------------------------------------- remote-gateway use

def test_disable_and_restore_use_remote_gateways(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    cloud.add(peering("uses", A, B, use_remote_gateways=True))
    cloud.add(peering("plain", A, ("sub-1", "rg-c", "vnet-c")))
    cloud.add(peering("zt-gw", A, ("sub-1", "rg-d", "vnet-d"), use_remote_gateways=True))
    cloud.add(peering("hub", A, ("sub-9", "rg-h", "HV_hub_1"), use_remote_gateways=True))
    client = cloud.network_client("sub-1")
    records = SwitchTraffic.disableUseRemoteGwInPeering("sub-1", client, cloud.vnet(*A), "zt")

    assert [list(r) for r in records] == [["localSubscriptionId", "localRgName", "localVnetName", "localPeeringName",
                                           "localPeering"]]
    assert records[0]["localPeering"]["use_remote_gateways"] is True and records[0]["localPeeringName"] == "uses"
    updates = [c for c in cloud.calls if c[0] == "peerings.begin_create_or_update"]
    assert [(u[4], u[5].use_remote_gateways) for u in updates] == [("uses", False)]
    assert "result" not in cloud.ops()                      # not awaited
    assert report(caplog) == [("INFO", "- Disable use_remote_gateways in peerings"),
                              ("INFO", "  disable use_remote_gateways in peering uses"),
                              ("INFO", "  controller created peering zt-gw -- skipped"),
                              ("INFO", "  virtual hub connection hub -- skipped")]

    caplog.clear()
    cloud.calls.clear()
    turned_off = dict(records[0], localPeering=dict(records[0]["localPeering"], use_remote_gateways=False))
    assert SwitchTraffic.restoreUseRemoteGwInPeering(client, records + [turned_off]) is None
    assert [(c[4], c[5].use_remote_gateways) for c in cloud.calls if c[0] == "peerings.begin_create_or_update"] == [
        ("uses", True), ("uses", False)]
    assert report(caplog) == [("INFO", "- Restore use_remote_gateways in peering"),
                              ("INFO", "  set use_remote_gateways to True in uses"),
                              ("INFO", "  set use_remote_gateways to False in uses")]


def test_gateway_use_failures_dry_run_and_empty(cloud, caplog, monkeypatch):
    caplog.set_level(logging.INFO, LOGGER)
    cloud.add(peering("one", A, B, use_remote_gateways=True))
    cloud.add(peering("two", A, ("sub-1", "rg-c", "vnet-c"), use_remote_gateways=True))
    client = cloud.network_client("sub-1")
    cloud.failures["peerings.begin_create_or_update"] = RuntimeError("busy")
    records = SwitchTraffic.disableUseRemoteGwInPeering("sub-1", client, cloud.vnet(*A))
    assert [r["localPeeringName"] for r in records] == ["two"]           # a failed update is not recorded
    assert ("WARNING", "  **Alert** busy") in report(caplog)

    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    cloud.calls.clear()
    dry = SwitchTraffic.disableUseRemoteGwInPeering("sub-1", client, cloud.vnet(*A))
    assert [r["localPeeringName"] for r in dry] == ["one", "two"]
    SwitchTraffic.restoreUseRemoteGwInPeering(client, dry + [pair_record()])   # a pair record serves as well
    assert "peerings.begin_create_or_update" not in cloud.ops()
    assert ("WARNING", "  **Alert** peering a-to-b not found") in report(caplog)

    caplog.clear()
    assert SwitchTraffic.disableUseRemoteGwInPeering("sub-1", client, cloud.vnet("sub-1", "rg-z", "empty")) == []
    SwitchTraffic.restoreUseRemoteGwInPeering(client, [])
    assert [m for _, m in report(caplog)] == ["- Disable use_remote_gateways in peerings", "  No peering found",
                                              "- Restore use_remote_gateways in peering",
                                              "  no peering needs to be restored"]
    with pytest.raises(KeyError):
        SwitchTraffic.restoreUseRemoteGwInPeering(client, [{"localRgName": "rg-a", "localPeeringName": "one",
                                                            "localVnetName": "vnet-a", "localPeering": {}}])


# ---------------------------------------------------------------- deleteVnetLock

def test_delete_vnet_lock(cloud, caplog, monkeypatch):
    caplog.set_level(logging.INFO, LOGGER)
    cloud.locks[B] = ["first", "second"]
    vnet = cloud.vnet(*B)
    cred = cloud.credential("sub-2")
    SwitchTraffic.deleteVnetLock(cred, vnet, indent=2)
    SwitchTraffic.deleteVnetLock(cred, vnet)
    SwitchTraffic.deleteVnetLock(cred, vnet, 1)
    assert cloud.locks[B] == []
    assert [c for c in cloud.calls if c[0] == "locks.delete"] == [
        ("locks.delete", "sub-2", "rg-b", "Microsoft.Network", "", "virtualNetworks", "vnet-b", "first"),
        ("locks.delete", "sub-2", "rg-b", "Microsoft.Network", "", "virtualNetworks", "vnet-b", "second")]
    assert [m for _, m in report(caplog)] == ["  - Delete vnet lock in vnet-b", "    delete lock first",
                                              "- Delete vnet lock in vnet-b", "  delete lock second",
                                              " - Delete vnet lock in vnet-b", "   no vnet lock found"]

    cloud.calls.clear()
    caplog.clear()
    assert SwitchTraffic.deleteVnetLock(None, vnet) is None and SwitchTraffic.deleteVnetLock(cred, None) is None
    assert cloud.calls == [] and report(caplog) == []

    cloud.locks[B] = ["kept"]
    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    SwitchTraffic.deleteVnetLock(cred, vnet)
    assert cloud.locks[B] == ["kept"] and "locks.delete" not in cloud.ops()
    monkeypatch.setattr(SwitchTraffic, "DryRun", False)

    caplog.clear()
    cloud.failures["locks.next"] = RuntimeError("listing failed")
    SwitchTraffic.deleteVnetLock(cred, vnet, indent=2)
    cloud.failures["locks.delete"] = RuntimeError("refused")
    SwitchTraffic.deleteVnetLock(cred, vnet, indent=2)
    assert report(caplog)[1::2] == [("ERROR", "    **Error** listing failed"), ("INFO", "    delete lock kept")]
    assert report(caplog)[-1] == ("ERROR", "    **Error** refused")

    cloud.failures["locks.list"] = RuntimeError("not caught")
    with pytest.raises(RuntimeError):
        SwitchTraffic.deleteVnetLock(cred, vnet)
    with pytest.raises(TypeError):
        SwitchTraffic.deleteVnetLock(cred, vnet, indent="2")
    cloud.failures["locks.next"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        SwitchTraffic.deleteVnetLock(cred, vnet)
