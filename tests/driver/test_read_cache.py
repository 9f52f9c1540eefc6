"""The run's read cache: a switch that reads through it decides as one that reads everything afresh,
also when another writer changes resources between its steps; and it halves the requests."""
import json
import pathlib
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import estate
import network_state
from driving import drive
from localarm import LocalCloud, StaticCredential, bind
from migrator import steps, targets

STEPS = (steps.ROUTE_TABLES, steps.PROPAGATION, steps.SUBNETS, steps.PEERINGS, steps.GATEWAY_USE, steps.SNAT)


def toggle_propagation(network, spoke, table):
    def change():
        rtb = network.route_tables.get("rg-spoke%d" % spoke, table % spoke)
        rtb.disable_bgp_route_propagation = not rtb.disable_bgp_route_propagation
        network.route_tables.begin_create_or_update("rg-spoke%d" % spoke, table % spoke, rtb).result()
    return change


def tag_table(network, spoke, table):
    """A change the switch does not decide on, which its own update of the table must not undo."""
    def change():
        rtb = network.route_tables.get("rg-spoke%d" % spoke, table % spoke)
        rtb.tags = dict(rtb.tags or {}, owner="another-writer")
        network.route_tables.begin_create_or_update("rg-spoke%d" % spoke, table % spoke, rtb).result()
    return change


def toggle_forwarding(network, rg, vnet, peering):
    def change():
        half = network.virtual_network_peerings.get(rg, vnet, peering)
        half.allow_forwarded_traffic = not half.allow_forwarded_traffic
        network.virtual_network_peerings.begin_create_or_update(rg, vnet, peering, half).result()
    return change


# What another writer changes: (name, change(network of the spoke's subscription, spoke index)).
CHANGES = [
    ("staged table's propagation", lambda net, i: toggle_propagation(net, i, "rt-spoke%d-1-zentrova")),
    ("main table's propagation", lambda net, i: toggle_propagation(net, i, "spoke%d-main-1")),
    ("staged table's tags", lambda net, i: tag_table(net, i, "rt-spoke%d-2-zentrova")),
    ("spoke's half of the hub peering", lambda net, i: toggle_forwarding(net, "rg-spoke%d" % i, "spoke%d" % i,
                                                                         "spoke%d-to-hub" % i)),
    ("hub's half of the peering", lambda net, i: toggle_forwarding(net, "rg-hub%d" % i, "hub%d" % i,
                                                                   "hub%d-to-spoke%d" % (i, i))),
]


def switch(folder, name, changes, monkeypatch, cached):
    """A switch of the estate with another writer making `changes` [(spoke, before which step, change)];
    the records of each step (without times and plans), the network after and the requests made."""
    clouds = []
    with monkeypatch.context() as patch:
        patch.chdir(folder)             # the run's output and its local controller's certificate: this test's own
        if not cached:
            patch.setattr(targets, "share_clients", lambda: None)
        step = steps.step

        pending = list(changes)     # each made once: before the step is first run (a rehearsal runs it too)

        def step_after_another_writer(run, records, entry, step_name, body, **kwargs):
            for spoke, before, change in list(pending):
                if before == step_name and run.name == "spoke%d" % spoke:
                    pending.remove((spoke, before, change))
                    sub = estate.subscription_id(spoke % 2)
                    CHANGES[change][1](bind(clouds[0]).NetworkManagementClient(StaticCredential(), sub), spoke)()
            return step(run, records, entry, step_name, body, **kwargs)
        patch.setattr(steps, "step", step_after_another_writer)
        status = drive("switch", "--parallel", "1", "--state", folder / "s0.json", "--save-state", folder / (name + ".json"),
                       "--config", folder / "migration.yaml", "--records", folder / (name + "-records.json"),
                       hook=clouds.append)
    document = json.loads((folder / (name + "-records.json")).read_text())
    decided = {vnet: [(s["name"], s["status"], s["records"], s.get("library_errors")) for s in entry["steps"]]
               for vnet, entry in document["vnets"].items()}
    return status, decided, network_state.network(folder / (name + ".json")), len(clouds[0].log.calls)


@settings(max_examples=10, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(st.sampled_from([0, 1]), st.sampled_from(STEPS), st.integers(0, len(CHANGES) - 1)),
                max_size=3, unique_by=lambda change: (change[0], change[2])))
def test_another_writer_between_steps_changes_no_decision(monkeypatch, changes):
    """Each resource is changed once: a change the run has not read is caught by If-Match when the
    run writes the resource. (A resource changed and changed back after the run read it, into a state
    on which the libraries decide to write nothing, would go unnoticed: no write, no 412.)"""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="read-cache-"))
    topology, _ = estate.write(folder, 4, 2)
    LocalCloud.from_topology(topology).save(folder / "s0.json")
    *cached, _ = switch(folder, "cached", changes, monkeypatch, cached=True)
    *fresh, _ = switch(folder, "fresh", changes, monkeypatch, cached=False)
    assert cached == fresh


def estate_switches(monkeypatch, folder):
    topology, _ = estate.write(folder, 12, 3)
    LocalCloud.from_topology(topology).save(folder / "s0.json")
    status, decided, after, requests = switch(folder, "cached", [], monkeypatch, cached=True)
    *fresh, fresh_requests = switch(folder, "fresh", [], monkeypatch, cached=False)
    return [status, decided, after], fresh, requests / len(estate.spokes_of(12, 3)), fresh_requests


def test_a_switch_through_the_cache_decides_as_one_without_it_with_fewer_requests(monkeypatch, tmp_path):
    cached, fresh, per_vnet, fresh_requests = estate_switches(monkeypatch, tmp_path)
    assert cached == fresh and cached[0] == 0
    assert per_vnet * len(estate.spokes_of(12, 3)) < fresh_requests


def test_a_switch_makes_at_most_52_requests_per_vnet(monkeypatch, tmp_path):
    """51.1 today: besides the steps' own requests, each step's check reads ARM itself (the VNet's
    5 route tables, its peerings' halves, the locks: about 10), every awaited update's operation
    is polled and the resource read after it (a write's answer is not its state: 3 subnet reads)."""
    assert estate_switches(monkeypatch, tmp_path)[2] <= 52
