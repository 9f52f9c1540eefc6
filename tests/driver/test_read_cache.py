"""The run's read cache: what it answers and when it asks ARM again; a switch that reads through it
decides as one that reads everything afresh, also when another writer changes resources between its
steps; it saves requests; and threads sharing it never read a state older than their own last write,
nor undo each other's writes."""
import json
import pathlib
import sys
import tempfile
import types
from concurrent.futures import ThreadPoolExecutor

import pytest
from azure.core.exceptions import HttpResponseError, ResourceNotFoundError
from azure.mgmt.resourcegraph import models as graph_models
from hypothesis import HealthCheck, given, settings, strategies as st

import estate
import network_state
from driving import drive
from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, bind
from migrator import clients, models, readcache, steps, targets

STEPS = (steps.ROUTE_TABLES, steps.PROPAGATION, steps.SUBNETS, steps.PEERINGS, steps.GATEWAY_USE, steps.SNAT)


SUB = "22222222-2222-4222-8222-222222222222"
VNET_LOCK = ("rg-spoke1", "Microsoft.Network", "", "virtualNetworks", "spoke1-vnet")


def run_clients(cloud, reads=readcache.ALL):
    """The SDK clients as a run hands them out (`reads`: the cache's own, a step check's, or past it)."""
    cache, bound = readcache.ReadCache(), bind(cloud)
    network, locks, graph = [{readcache.ALL: k, readcache.READS: k.checking, readcache.NONE: k.past}[reads]
                             for k in (clients.Shared(c, cache) for c in (
                                 bound.NetworkManagementClient, bound.ManagementLockClient, bound.ResourceGraphClient))]
    return types.SimpleNamespace(network=network(StaticCredential(), SUB), graph=graph(StaticCredential()),
                                 locks=locks(StaticCredential(), SUB).management_locks)


def table_or_none(run):
    try:
        return run.network.route_tables.get("rg-spoke1", "rt-new").name
    except ResourceNotFoundError:
        return None


def lock_or_none(run):
    try:
        return run.locks.get_at_resource_level(*VNET_LOCK, "new-lock").level
    except ResourceNotFoundError:
        return None


def graph_tables(run):
    query = graph_models.QueryRequest(subscriptions=[SUB], query="Resources | where type =~ "
                                      "'Microsoft.Network/routeTables' | project name",
                                      options=graph_models.QueryRequestOptions(result_format="objectArray"))
    return sorted(row["name"] for row in run.graph.resources(query).data)


def create_table(run):
    """Not awaited, as the libraries' propagation updates (an awaited one ends with a read of the table)."""
    run.network.route_tables.begin_create_or_update("rg-spoke1", "rt-new", {"location": "eastus"})


def create_lock(run):
    run.locks.create_or_update_at_resource_level(*VNET_LOCK, "new-lock", {"level": "CanNotDelete"})


# (a read, what the run then writes, the client the read goes through, whether ARM is asked again)
ANSWERS = [
    ("a table not found, until the run creates it", table_or_none, create_table, readcache.ALL, True),
    ("the subscription's tables, until the run creates one in a group",
     lambda run: sorted(t.name for t in run.network.route_tables.list_all()), create_table, readcache.ALL, True),
    ("a graph query, until the run writes a type it names", graph_tables, create_table, readcache.ALL, True),
    ("a graph query, while the run writes types it does not name", graph_tables, create_lock, readcache.ALL, False),
    ("the subscription's locks, until the run locks a VNet",
     lambda run: sorted(lock.name for lock in run.locks.list_at_subscription_level()), create_lock, readcache.ALL,
     True),
    ("a lock as the run's write answered it", lock_or_none, create_lock, readcache.ALL, False),
    ("a lock a step's check reads back: from ARM, not the write's answer", lock_or_none, create_lock,
     readcache.READS, True),
]


@pytest.mark.parametrize("read, write, reads, asked", [a[1:] for a in ANSWERS], ids=[a[0] for a in ANSWERS])
def test_the_cache_answers_as_arm_does_and_asks_again_after_what_changes_the_answer(read, write, reads, asked):
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    run = run_clients(cloud, reads)
    first = read(run)
    sent = len(cloud.log.calls)
    assert read(run) == first and len(cloud.log.calls) == sent          # answered from the cache
    write(run)
    sent = len(cloud.log.calls)
    after = read(run)
    assert (len(cloud.log.calls) > sent) == asked
    assert after == read(run_clients(cloud, readcache.NONE))        # what ARM answers now


# Reads whose SDK models the run builds once per state and hands out as copies
MODELS = [
    ("the subscription's VNets", lambda n: list(n.virtual_networks.list_all())),
    ("a VNet", lambda n: n.virtual_networks.get("rg-spoke1", "spoke1-vnet")),
    ("the subscription's route tables", lambda n: list(n.route_tables.list_all())),
    ("a route table", lambda n: n.route_tables.get("rg-spoke1", "rt-spoke1-app")),
    ("a VNet's subnets", lambda n: list(n.subnets.list("rg-spoke1", "spoke1-vnet"))),
    ("a subnet", lambda n: n.subnets.get("rg-spoke1", "spoke1-vnet", "app")),
    ("a VNet's peerings", lambda n: list(n.virtual_network_peerings.list("rg-spoke1", "spoke1-vnet"))),
    ("a peering", lambda n: n.virtual_network_peerings.get("rg-spoke1", "spoke1-vnet", "spoke1-to-hub")),
]


def as_dicts(models):
    return [m.as_dict(keep_readonly=True) for m in models] if isinstance(models, list) else as_dicts([models])


def scribble(models):
    """Changes every model, list and mapping in reach, as a reader of an answer may."""
    for model in models if isinstance(models, list) else [models]:
        for name, value in list(vars(model).items()):
            if isinstance(value, list):
                scribble([v for v in value if hasattr(v, "_attribute_map")])
                value.append("scribbled")
            elif hasattr(value, "_attribute_map"):
                scribble(value)
            elif isinstance(value, dict):
                value["scribbled"] = True
            else:
                setattr(model, name, "scribbled")


@pytest.mark.parametrize("read", [m[1] for m in MODELS], ids=[m[0] for m in MODELS])
def test_models_from_the_cache_equal_the_sdks_and_are_each_readers_own(read):
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    run = run_clients(cloud)
    built = read(run.network)       # from ARM's answer
    sent = len(cloud.log.calls)
    again = read(run.network)       # from the cache
    assert len(cloud.log.calls) == sent
    fresh = read(run_clients(cloud, readcache.NONE).network)
    assert built == again == fresh and as_dicts(again) == as_dicts(fresh)
    scribble(again)
    assert again != fresh and read(run.network) == fresh and built == fresh


JSON = st.recursive(st.none() | st.booleans() | st.integers() | st.text(max_size=4),
                    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
                    max_leaves=8)
STATES = st.fixed_dictionaries({"id": st.sampled_from(["/a", "/b", "/c"])}, optional={"properties": JSON})


@settings(max_examples=200, deadline=None)
@given(st.lists(st.one_of(STATES, st.fixed_dictionaries({"value": st.lists(STATES, max_size=4)},
                                                        optional={"nextLink": JSON}))))
def test_an_answers_text_is_json_dumps_of_it_however_often_its_states_come(bodies):
    memo = models.ModelMemo()
    for body in bodies + bodies:
        assert memo.text(body) == json.dumps(body)


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


def test_a_switch_makes_at_most_37_requests_per_vnet(monkeypatch, tmp_path):
    """36.8 today. 25.7 are the libraries' own writes and what the SDK sends to follow them (2
    status polls per awaited operation: one at once, one after Retry-After, as against Azure; the
    read after each awaited subnet update). The rest are reads: the first read of what the VNet's
    switch decides on, what each step's check reads back after the step's writes ended (one VNet
    read for the subnets, the VNet and the remote VNet for the peerings, one route-table list per
    resource group for the propagation), and the peering halves read again after the VNet's
    earlier writes (ARM cannot guard the deletion of a partner half)."""
    assert estate_switches(monkeypatch, tmp_path)[2] <= 37


OWN = [("rg-spoke1", t) for t in ("rt-spoke1-web", "rt-spoke1-app", "spoke1-vnet-main-1", "spoke1-vnet-main-2")]
SHARED = ("rg-network", "rt-shared-apps")
ROUNDS, TRIES = 12, 200


def by_get(network, table):
    return network.route_tables.get(*table)


def by_page(network, table):
    return next(t for t in network.route_tables.list_all() if t.name == table[1])


# Which tables each of 4 threads tags (its own tag on each, again and again), and how it reads them.
THREADS = [
    ("distinct tables, read one by one", lambda i: [OWN[i]], by_get),
    ("one table shared by all, read one by one", lambda i: [SHARED], by_get),
    ("own and shared tables, read in list pages", lambda i: [OWN[i], SHARED], by_page),
]


@pytest.mark.parametrize("tables, read", [t[1:] for t in THREADS], ids=[t[0] for t in THREADS])
def test_threads_sharing_the_cache_never_read_older_than_their_own_last_write(tables, read):
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    network = clients.Shared(bind(cloud).NetworkManagementClient, readcache.ReadCache())(StaticCredential(), SUB)
    last, stale = {}, []

    def tag(me, table):
        state = read(network, table)
        if int((state.tags or {}).get(me, 0)) < last.get((me, table), 0):
            stale.append((me, table, (state.tags or {}).get(me), last[me, table]))
        return state

    def work(me, index):
        for n in range(1, ROUNDS + 1):
            for table in tables(index):
                for _ in range(TRIES):      # a 412: another thread wrote since this one read; read again
                    state = tag(me, table)
                    state.tags = dict(state.tags or {}, **{me: str(n)})
                    try:
                        network.route_tables.begin_create_or_update(*table, state).result()
                        break
                    except HttpResponseError as error:
                        assert error.status_code == 412
                last[me, table] = n
                tag(me, table)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)         # the threads interleave within requests, not only between them
    try:
        with ThreadPoolExecutor(4) as pool:
            for done in [pool.submit(work, "writer%d" % i, i) for i in range(4)]:
                done.result()
    finally:
        sys.setswitchinterval(interval)
    assert stale == []
    plain = bind(cloud).NetworkManagementClient(StaticCredential(), SUB)       # no write undone another's
    assert {(me, table): int(plain.route_tables.get(*table).tags[me]) for me, table in last} == last
