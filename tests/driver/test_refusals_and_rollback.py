"""What the driver refuses before anything changes, and how it ends a VNet whose switch fails: rolled
back at once, left for an expert (--keep-partial), or the run stopped (--stop-on-failure)."""
import json

import pytest

import network_state
from driving import drive
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from migrator.records import Records
from test_migrate import SPOKES, config_with

HUB = "11111111-1111-4111-8111-111111111111"
GROUP = "/subscriptions/{}/resourceGroups/{}"
NET = GROUP + "/providers/Microsoft.Network/{}"
SPOKE1, SPOKE2, HUBV = (SPOKES, "spoke1-vnet"), (SPOKES, "spoke2-vnet"), (HUB, "hub-vnet")


def keep_locks(document):
    document["switch_traffic"]["delete_vnet_lock"] = False


# (scope of the lock, its level, whether the switch removes remote VNet locks, VNets refused)
LOCKS = [
    (NET.format(SPOKES, "rg-spoke1", "virtualNetworks/spoke1-vnet"), "ReadOnly", True, {SPOKE1}),
    (GROUP.format(SPOKES, "rg-spoke2"), "CanNotDelete", True, {SPOKE2}),
    (NET.format(SPOKES, "rg-spoke1", "routeTables/rt-spoke1-web-zentrova"), "ReadOnly", True, {SPOKE1}),
    (NET.format(SPOKES, "rg-spoke2", "virtualNetworks/spoke2-vnet/subnets/apps"), "ReadOnly", True, {SPOKE2}),
    ("/subscriptions/" + HUB, "CanNotDelete", True, {SPOKE1, SPOKE2}),   # the hub's halves of their peerings
    (None, None, False, {SPOKE1, SPOKE2}),           # the hub VNet's own lock, which the switch then keeps
]


@pytest.mark.parametrize("scope, level, remove_remote_locks, refused", LOCKS)
def test_a_lock_that_would_refuse_a_step_refuses_the_vnet_before_anything_changes(
        tmp_path, monkeypatch, scope, level, remove_remote_locks, refused):
    monkeypatch.chdir(tmp_path)
    s0, s1, records = tmp_path / "s0.json", tmp_path / "s1.json", tmp_path / "records.json"
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    if scope:
        cloud.locks.put(scope, "guard", level)
    cloud.save(s0)
    config = ["--config", config_with(tmp_path, (lambda d: None) if remove_remote_locks else keep_locks)]
    assert drive("discover", "--state", s0, *config) == 0
    lock = "guard" if scope else "hub-vnet-lock"
    assert drive("plan", "--state", s0, "--json", tmp_path / "plan.json", *config) == 1
    planned = json.loads((tmp_path / "plan.json").read_text())["vnets"]
    assert {(v["subscription_id"], v["vnet"]) for v in planned if v["outcome"] == "refused"} == refused
    assert all(v["reason"].startswith("lock " + lock + " (") for v in planned if v["outcome"] == "refused")

    assert drive("switch", "--state", s0, "--save-state", s1, "--records", records, "--json",
                 tmp_path / "switch.json", *config) == 1
    outcomes = {(v["subscription_id"], v["vnet"]): v["outcome"]
                for v in json.loads((tmp_path / "switch.json").read_text())["vnets"]}
    assert {v for v, outcome in outcomes.items() if outcome == "refused"} == refused
    assert set(outcomes.values()) <= {"refused", "done"}
    before, after = network_state.network(s0), network_state.network(s1)
    for vnet in refused:
        assert not Records.open(records, "test").held(*vnet)
        assert network_state.vnet_resources(after, vnet) == network_state.vnet_resources(before, vnet) != {}


def test_a_failed_step_rolls_the_vnet_back_naming_the_resource_and_property_in_the_alert_log(tmp_path, monkeypatch):
    """The propagation write of a staged table is accepted but its operation fails: the library sees
    nothing wrong; the read-back does, and the VNet goes back while the others are switched."""
    monkeypatch.chdir(tmp_path)
    s0, s1, records = tmp_path / "s0.json", tmp_path / "s1.json", tmp_path / "records.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert drive("discover", "--state", s0) == 0

    def fail_later(cloud):
        cloud.fail("route_tables.create_or_update", where="rt-spoke1-web-zentrova", operation_failed=True)
    assert drive("switch", "--state", s0, "--save-state", s1, "--records", records, "--json",
                 tmp_path / "switch.json", hook=fail_later) == 1
    summary = json.loads((tmp_path / "switch.json").read_text())
    outcomes = {v["vnet"]: (v["outcome"], v.get("reason")) for v in summary["vnets"]}
    reason = "route table rg-spoke1/rt-spoke1-web-zentrova: disableBgpRoutePropagation not changed as planned"
    assert outcomes["spoke1-vnet"][0] == "rolled back" and reason in outcomes["spoke1-vnet"][1]
    assert {outcomes[v][0] for v in ("spoke2-vnet", "hub-vnet")} == {"done"}
    assert reason in (tmp_path / "output" / "log" / "dm.alert.log").read_text()
    held = Records.open(records, "test")
    assert not held.held(*SPOKE1) and held.held(*SPOKE2) and held.held(*HUBV)
    before, after = network_state.network(s0), network_state.network(s1)
    assert network_state.restored(network_state.vnet_resources(before, SPOKE1), network_state.vnet_resources(after, SPOKE1)) == {}
    spoke1_tables = {rid: v for rid, v in after.items()
                     if "/resourcegroups/rg-spoke1/" in rid and "/routetables/" in rid}
    assert spoke1_tables == {rid: v for rid, v in before.items() if rid in spoke1_tables}


@pytest.mark.parametrize("option, spoke1, later", [
    ("--keep-partial", "failed", "done"), ("--stop-on-failure", "rolled back", "skipped")])
def test_keep_partial_leaves_the_vnet_and_stop_on_failure_switches_no_further_vnet(tmp_path, monkeypatch, option,
                                                                                  spoke1, later):
    monkeypatch.chdir(tmp_path)
    s0, s1, s2, records = (tmp_path / n for n in ("s0.json", "s1.json", "s2.json", "records.json"))
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert drive("discover", "--state", s0) == 0
    assert drive("switch", "--parallel", "1", "--state", s0, "--save-state", s1, "--records", records,
                 "--json", tmp_path / "s.json", option,
                 hook=lambda cloud: cloud.fail("virtual_network_peerings.delete", status=500)) == 1
    outcomes = {v["vnet"]: v["outcome"] for v in json.loads((tmp_path / "s.json").read_text())["vnets"]}
    assert outcomes == {"spoke1-vnet": spoke1, "spoke2-vnet": later, "hub-vnet": later}
    before, after = network_state.network(s0), network_state.network(s1)
    spoke1_left = network_state.restored(network_state.vnet_resources(before, SPOKE1), network_state.vnet_resources(after, SPOKE1))
    assert (spoke1_left != {}) == (option == "--keep-partial")      # half-switched only when asked
    assert Records.open(records, "test").held(*SPOKE1) == (option == "--keep-partial")
    # either way the revert from the records brings the whole network back
    assert drive("revert", "--state", s1, "--save-state", s2, "--records", records) == 0
    assert network_state.restored(before, network_state.network(s2)) == {}
