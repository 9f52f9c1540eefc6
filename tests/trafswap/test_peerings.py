"""Peering lookup, removal and restore on a recording fake: lines, call order,
skip rules, records, and that a failure never loses a deleted peering's record."""
import logging

import pytest

from dm.arm.trafswap import SwitchTraffic
from peering_fakes import LOGGER, cloud, peering, report, vnet_id  # noqa: F401 (fixture)

A = ("sub-1", "rg-a", "vnet-a")
B = ("sub-2", "rg-b", "vnet-b")
C = ("sub-1", "rg-c", "vnet-c")
D = ("sub-1", "rg-d", "vnet-d")
OPTIONS = {"delete_peering": "transit", "delete_vnet_lock": False}
PAIR_KEYS = ["localSubscriptionId", "localRgName", "localVnetName", "localPeeringName", "localPeering",
             "remoteSubscriptionId", "remoteRgName", "remoteVnetName", "remotePeeringName", "remotePeering"]
RECORD_KEYS = ["id", "name", "allow_virtual_network_access", "allow_forwarded_traffic", "allow_gateway_transit",
               "use_remote_gateways", "remote_virtual_network"]


def delete(cloud, vnet, options=OPTIONS, exclude=None, client=True):
    local = cloud.network_client(vnet.id.split("/")[2]) if client else None
    return SwitchTraffic.deletePeerings(options, vnet.id.split("/")[2], vnet, local, exclude)


# ---------------------------------------------------------------- getRemotePeering

def test_remote_lookup_lines_and_match(cloud, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    here, _ = cloud.pair("a-to-b", A, B)
    # Listed first on vnet-b: same rg and VNet names in another subscription (not vnet-a).
    cloud.add(cloud.peerings[B].pop())
    cloud.peerings[B].insert(0, peering("impostor", B, ("sub-9", "RG-A", "VNET-A")))
    cloud.add(peering("second", B, ("SUB-1", "rg-A", "Vnet-A")))

    found = SwitchTraffic.getRemotePeering("unused", here.remote_virtual_network.id, here.id)
    assert found[:3] == ("rg-b", "vnet-b", "a-to-b-back") and found[3].name == "a-to-b-back"
    assert cloud.calls == [("credential", "sub-2"), ("NetworkManagementClient", "sub-2"),
                           ("peerings.list", "sub-2", "rg-b", "vnet-b")]
    assert report(caplog) == [
        ("DEBUG", "  local subscription id: sub-1"), ("DEBUG", "  local resource group: rg-a"),
        ("DEBUG", "  local vnet name: vnet-a"), ("DEBUG", "  local peering name: a-to-b"),
        ("DEBUG", "  expected remote subscription id: sub-2"), ("DEBUG", "  expected remote resource group: rg-b"),
        ("DEBUG", "  expected remote vnet name: vnet-b"), ("DEBUG", "  remote peering name: a-to-b-back")]


def test_remote_lookup_ignores_case_and_keeps_the_given_names(cloud):
    cloud.add(peering("back", B, ("SUB-1", "RG-A", "VNet-A")))
    rg, name, peering_name, model = SwitchTraffic.getRemotePeering(
        None, vnet_id("sub-2", "rg-b", "vnet-b"), vnet_id(*A) + "/virtualNetworkPeerings/x")
    assert (rg, name, peering_name, model.name) == ("rg-b", "vnet-b", "back", "back")


def test_remote_lookup_not_found_and_failures(cloud, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    local_id = vnet_id(*A) + "/virtualNetworkPeerings/lonely"
    assert SwitchTraffic.getRemotePeering(None, vnet_id(*B), local_id) == (None, None, None, None)
    assert report(caplog)[-1] == ("INFO", "  failed to found remote peering info for lonely")

    cloud.known = set()                 # no credential: the client cannot be built
    caplog.clear()
    with pytest.raises(AttributeError, match="getCSC"):
        SwitchTraffic.getRemotePeering(None, vnet_id(*B), local_id)
    assert len(report(caplog)) == 7     # every debug line comes before the cloud is asked
    with pytest.raises(IndexError):
        SwitchTraffic.getRemotePeering(None, "/subscriptions/sub-2", local_id)


# ---------------------------------------------------------------- deletePeerings

def test_delete_records_both_halves_then_deletes_local_then_remote(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    here, there = cloud.pair("a-to-b", A, B, back={"allow_gateway_transit": True}, use_remote_gateways=True)
    vnet = cloud.vnet(*A)
    cloud.calls.clear()
    pairs = delete(cloud, vnet)

    assert len(pairs) == 1 and list(pairs[0]) == PAIR_KEYS
    pair = pairs[0]
    assert [pair[k] for k in PAIR_KEYS if not k.endswith("Peering")] == [
        "sub-1", "rg-a", "vnet-a", "a-to-b", "sub-2", "rg-b", "vnet-b", "a-to-b-back"]
    assert list(pair["localPeering"]) == RECORD_KEYS
    assert pair["localPeering"] == {
        "id": here.id, "name": "a-to-b", "allow_virtual_network_access": True, "allow_forwarded_traffic": False,
        "allow_gateway_transit": False, "use_remote_gateways": True,
        "remote_virtual_network": {"id": vnet_id(*B)}}
    assert pair["remotePeering"]["allow_gateway_transit"] is True and pair["remotePeering"]["id"] == there.id
    assert [c for c in cloud.calls if c[0] != "result"] == [
        ("peerings.get", "sub-1", "rg-a", "vnet-a", "a-to-b"),
        ("credential", "sub-2"), ("NetworkManagementClient", "sub-2"),
        ("credential", "sub-2"), ("NetworkManagementClient", "sub-2"), ("peerings.list", "sub-2", "rg-b", "vnet-b"),
        ("peerings.begin_delete", "sub-1", "rg-a", "vnet-a", "a-to-b"),
        ("peerings.begin_delete", "sub-2", "rg-b", "vnet-b", "a-to-b-back")]
    assert cloud.ops().count("result") == 2 and cloud.peerings[A] == cloud.peerings[B] == []
    assert report(caplog) == [("INFO", "- Delete peerings"), ("INFO", "  delete peering a-to-b"),
                              ("INFO", "  delete peering a-to-b-back")]


def remote(i):
    return ("sub-2", "rg-r", f"vnet-{i}")


def test_delete_skip_rules(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    transit = {"allow_gateway_transit": True}
    cloud.pair("zt-made", A, remote(1), back=transit)
    cloud.pair("made-zt", A, remote(2), back=transit)
    cloud.pair("ZT-upper", A, remote(3), back=transit)
    cloud.add(peering("to-hub", A, ("sub-3", "rg-h", "HV_hub1_x")))
    cloud.pair("plain", A, remote(4))                                      # remote half without transit
    cloud.pair("unset", A, remote(5), back={"allow_gateway_transit": None})
    pairs = delete(cloud, cloud.vnet(*A), exclude="zt")

    assert [p["localPeeringName"] for p in pairs] == ["made-zt", "ZT-upper", "unset"]
    lines = [m for _, m in report(caplog)]
    assert lines[1] == "  controller created peering zt-made -- skipped"
    assert "  virtual hub connection to-hub -- skipped" in lines
    assert ("  peering between plain and plain-back -- skipped, as remote peer's allow-gateway-transit flag is False"
            in lines)
    assert not any(c[-1] in ("zt-made", "to-hub") for c in cloud.calls)      # skipped before any request
    assert ("peerings.get", "sub-1", "rg-a", "vnet-a", "plain") in cloud.calls
    assert not any(c[0] == "peerings.begin_delete" and c[-1] in ("plain", "plain-back") for c in cloud.calls)

    cloud.calls.clear()
    assert [p["localPeeringName"] for p in delete(cloud, cloud.vnet(*A), dict(OPTIONS, delete_peering="All"))] == [
        "zt-made"]                   # "All" is not "all"; no exclude now
    assert [p["localPeeringName"] for p in delete(cloud, cloud.vnet(*A), dict(OPTIONS, delete_peering="all"))] == [
        "plain"]


def test_delete_without_peerings_and_the_local_client_fallback(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    assert delete(cloud, cloud.vnet(*A), client=False) == []
    assert report(caplog) == [("INFO", "- Delete peerings"), ("INFO", "  No peering found")]
    assert cloud.calls == [("credential", "sub-1"), ("NetworkManagementClient", "sub-1")]

    cloud.pair("a-to-b", A, B, back={"allow_gateway_transit": True})
    cloud.calls.clear()
    assert len(delete(cloud, cloud.vnet(*A), client=False)) == 1
    assert cloud.calls[:3] == [("credential", "sub-1"), ("NetworkManagementClient", "sub-1"),
                               ("peerings.get", "sub-1", "rg-a", "vnet-a", "a-to-b")]


def test_delete_record_phase_failures_skip_the_peering(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    cloud.pair("to-b", A, B, back={"allow_gateway_transit": True})
    cloud.add(peering("one-sided", A, D))            # no half points back
    cloud.pair("to-c", A, C, back={"allow_gateway_transit": True})
    cloud.known = {"sub-1"}
    pairs = delete(cloud, cloud.vnet(*A), {"delete_vnet_lock": False})          # "delete_peering" missing

    assert [p["localPeeringName"] for p in pairs] == []
    assert report(caplog)[1:] == [
        ("ERROR", "  **Error** Cannot delete peering. Missing credential for remote subscription sub-2"),
        ("INFO", "  failed to found remote peering info for one-sided"),
        ("ERROR", "  **Error** 'NoneType' object has no attribute 'id'"),
        ("ERROR", "  **Error** 'delete_peering'")]
    assert "peerings.begin_delete" not in cloud.ops()

    cloud.failures["peerings.get"] = RuntimeError("throttled")
    caplog.clear()
    assert [p["localPeeringName"] for p in delete(cloud, cloud.vnet(*A))] == ["to-c"]
    assert report(caplog)[1] == ("ERROR", "  **Error** throttled")


def test_delete_failures_after_recording_keep_the_record(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    cloud.pair("to-b", A, B, back={"allow_gateway_transit": True})
    cloud.pair("to-c", A, C, back={"allow_gateway_transit": True})
    cloud.failures["peerings.begin_delete"] = RuntimeError("refused")
    cloud.failures["result"] = RuntimeError("operation failed")
    pairs = delete(cloud, cloud.vnet(*A))

    assert [p["localPeeringName"] for p in pairs] == ["to-b", "to-c"]
    assert report(caplog)[1:4] == [("INFO", "  delete peering to-b"),
                                   ("ERROR", "  **Error** Failed to delete peering to-b -refused"),
                                   ("INFO", "  delete peering to-b-back")]
    assert ("ERROR", "  **Error** Failed to delete peering to-b-back -operation failed") in report(caplog)


def test_delete_removes_the_remote_vnet_lock_first_and_survives_its_failure(cloud, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    cloud.pair("to-b", A, B, back={"allow_gateway_transit": True})
    cloud.pair("to-c", A, C, back={"allow_gateway_transit": True})
    cloud.locks[B] = ["lock-b", "lock-b2"]
    cloud.locks[A] = ["local-lock"]
    options = dict(OPTIONS, delete_vnet_lock=True)
    pairs = delete(cloud, cloud.vnet(*A), options)

    assert len(pairs) == 2 and cloud.locks == {B: ["lock-b2"], A: ["local-lock"]}
    ops = [c for c in cloud.ops() if c != "result"]
    assert ops[ops.index("peerings.list"):ops.index("peerings.begin_delete")] == [
        "peerings.list", "vnets.list_all", "ManagementLockClient", "locks.list", "locks.next", "locks.delete"]
    assert ("locks.list", "sub-2", "rg-b", "Microsoft.Network", "", "virtualNetworks", "vnet-b") in cloud.calls
    assert report(caplog)[1:5] == [("INFO", "  - Delete vnet lock in vnet-b"), ("INFO", "    delete lock lock-b"),
                                   ("INFO", "  delete peering to-b"), ("INFO", "  delete peering to-b-back")]
    assert ("INFO", "    no vnet lock found") in report(caplog)

    # A lock step that raises is logged; the deletes of that peering go on and its record stays.
    cloud.pair("to-b", A, B, back={"allow_gateway_transit": True})
    cloud.failures["vnets.list_all"] = RuntimeError("list failed")
    caplog.clear()
    assert [p["localPeeringName"] for p in delete(cloud, cloud.vnet(*A), options)] == ["to-b"]
    assert report(caplog)[1:4] == [("ERROR", "  **Error** list failed"), ("INFO", "  delete peering to-b"),
                                   ("INFO", "  delete peering to-b-back")]
    assert cloud.peerings[A] == cloud.peerings[B] == []

    with pytest.raises(KeyError):          # the lock switch itself is required
        cloud.pair("again", A, B, back={"allow_gateway_transit": True})
        delete(cloud, cloud.vnet(*A), {"delete_peering": "all"})


def test_delete_dry_run_records_alike_and_deletes_nothing(cloud, caplog, monkeypatch):
    caplog.set_level(logging.INFO, LOGGER)
    cloud.pair("to-b", A, B, back={"allow_gateway_transit": True})
    cloud.locks[B] = ["lock-b"]
    options = dict(OPTIONS, delete_vnet_lock=True)
    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    dry = delete(cloud, cloud.vnet(*A), options)
    dry_lines = report(caplog)
    assert not {"peerings.begin_delete", "locks.delete", "result"} & set(cloud.ops())
    assert cloud.locks[B] == ["lock-b"] and len(cloud.peerings[A]) == 1

    monkeypatch.setattr(SwitchTraffic, "DryRun", False)
    caplog.clear()
    assert delete(cloud, cloud.vnet(*A), options) == dry
    assert report(caplog) == dry_lines


def test_delete_lets_interrupts_through(cloud):
    cloud.pair("to-b", A, B, back={"allow_gateway_transit": True})
    cloud.failures["peerings.get"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        delete(cloud, cloud.vnet(*A))
    cloud.failures["peerings.begin_delete"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        delete(cloud, cloud.vnet(*A))
