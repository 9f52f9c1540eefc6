"""Azure's timing and limits in the local cloud, through the real SDK: throttling answered 429 and
retried by the SDK, a busy VNet answered 409 and a peering to an updating VNet 400, both waited out by
the driver's clients; long-running operations in progress for Azure's time, the resource reading
"Updating" meanwhile (and the driver's cache reading it from ARM until it does not). The cloud's clock is a
simulated one that moves only when someone waits, so nothing here depends on the machine's speed."""
import logging

import pytest
from azure.core.exceptions import HttpResponseError

import localarm.backends.operations
import localarm.timing
import localarm.transport
from localarm import StaticCredential, bind
from localarm_sample import HUB, SPOKES
from migrator import clients, readcache

SCALE = 0.1


class SimulatedTime:
    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.now += seconds


@pytest.fixture
def clock(cloud, monkeypatch):
    simulated = SimulatedTime()
    for module in (localarm.transport, localarm.timing, localarm.backends.operations):
        monkeypatch.setattr(module, "time", simulated)
    cloud.timing = localarm.timing.Timing(SCALE, clock=simulated.monotonic)
    return simulated


def client(cloud, sub, driver):
    if driver:          # as the driver's run gives them to the libraries
        return clients.Shared(bind(cloud).NetworkManagementClient, readcache.ReadCache())(StaticCredential(), sub)
    return bind(cloud).NetworkManagementClient(StaticCredential(), sub)


def move_subnet(network, name, wait=True):
    subnet = network.subnets.get("rg-spoke1", "spoke1-vnet", name)
    subnet.route_table = None
    poller = network.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", name, subnet,
                                                    polling=wait)
    return poller.result() if wait else poller


def busy_vnet(cloud, driver):
    """A subnet update is still in progress when another subnet of the VNet is updated."""
    move_subnet(client(cloud, SPOKES, False), "web", wait=False)
    move_subnet(client(cloud, SPOKES, driver), "app")
    return "/subnets/app", {"routeTable": None}


def peering_to_updating_vnet(cloud, driver):
    """A peering is created towards a VNet whose subnet update is still in progress."""
    move_subnet(client(cloud, SPOKES, False), "web", wait=False)
    remote = client(cloud, SPOKES, False).virtual_networks.get("rg-spoke1", "spoke1-vnet").id
    client(cloud, HUB, driver).virtual_network_peerings.begin_create_or_update(
        "rg-hub", "hub-vnet", "hub-to-spoke1-again", {"remote_virtual_network": {"id": remote}}).result()
    return "/virtualnetworkpeerings/hub-to-spoke1-again", {"peeringState": "Connected"}


CASES = [(409, "AnotherOperationInProgress", busy_vnet),
         (400, "ReferencedResourceNotProvisioned", peering_to_updating_vnet)]


@pytest.mark.parametrize("status, code, act", CASES, ids=[c[1] for c in CASES])
@pytest.mark.parametrize("driver", [False, True], ids=["sdk", "driver"])
def test_busy_answers_reach_the_sdk_and_the_driver_waits_them_out(cloud, clock, caplog, status, code, act, driver):
    caplog.set_level(logging.INFO, logger="dm.migrate")
    if not driver:
        with pytest.raises(HttpResponseError) as refused:
            act(cloud, driver)
        assert refused.value.status_code == status and refused.value.error.code == code
        return
    suffix, expected = act(cloud, driver)
    answered = [c.status for c in cloud.log.calls if c.method == "PUT" and c.path.lower().endswith(suffix)]
    assert answered[0] == status and answered[-1] in (200, 201)
    changed = next(r for r in cloud.resources() if r["id"].lower().endswith(suffix))["properties"]
    assert all(changed.get(k) == v for k, v in expected.items())
    assert [r.message for r in caplog.records if "waited for ARM's operation in progress" in r.message]


def test_throttled_reads_are_retried_by_the_sdk_after_retry_after(cloud, clock, monkeypatch):
    monkeypatch.setitem(localarm.timing.BUCKETS, "read", (2, 1.0))
    network = client(cloud, SPOKES, False)
    names = [network.route_tables.get("rg-spoke1", "rt-spoke1-web").name for _ in range(4)]
    statuses = [c.status for c in cloud.log.calls if c.operation == "route_tables.get"]
    assert names == ["rt-spoke1-web"] * 4 and 429 in statuses and statuses[-1] == 200
    # reads of another subscription draw on its own bucket
    assert client(cloud, HUB, False).route_tables.get("rg-hub", "rt-hub-shared").name == "rt-hub-shared"


@pytest.mark.parametrize("operation, act", [
    ("subnets.create_or_update", lambda cloud: move_subnet(client(cloud, SPOKES, False), "web")),
    ("virtual_network_peerings.delete", lambda cloud: client(cloud, SPOKES, False).virtual_network_peerings
     .begin_delete("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2").result()),
])
def test_long_running_operations_take_azures_time(cloud, clock, operation, act):
    started = clock.now
    act(cloud)
    assert clock.now - started >= localarm.timing.DURATIONS[operation] * SCALE
    assert sum(c.operation == "operations.status" for c in cloud.log.calls) >= 2


def update_table(network):
    table = network.route_tables.get("rg-spoke1", "rt-spoke1-web")
    table.disable_bgp_route_propagation = not table.disable_bgp_route_propagation
    network.route_tables.begin_create_or_update("rg-spoke1", "rt-spoke1-web", table, polling=False)


def web_in_vnet(network):
    return next(s for s in network.virtual_networks.get("rg-spoke1", "spoke1-vnet").subnets if s.name == "web")


# (operation started and not awaited, how one read shows the resource's state)
READS = [
    ("subnets.create_or_update", lambda n: move_subnet(n, "web", wait=False),
     lambda n: n.subnets.get("rg-spoke1", "spoke1-vnet", "web")),
    ("subnets.create_or_update", lambda n: move_subnet(n, "web", wait=False), web_in_vnet),
    ("route_tables.create_or_update", update_table, lambda n: n.route_tables.get("rg-spoke1", "rt-spoke1-web")),
    ("route_tables.create_or_update", update_table,
     lambda n: next(t for t in n.route_tables.list_all() if t.name == "rt-spoke1-web")),
]


@pytest.mark.parametrize("operation, start, read", READS, ids=["subnet", "subnet in its vnet", "table", "table listed"])
def test_a_resource_reads_updating_while_its_operation_is_in_progress_and_the_cache_asks_arm(
        cloud, clock, operation, start, read):
    plain, driver = client(cloud, SPOKES, False), client(cloud, SPOKES, True)
    read(driver)            # the driver's cache holds the state before the write
    start(driver)
    sent = len(cloud.log.calls)
    during = [read(plain).provisioning_state, read(driver).provisioning_state, read(driver).provisioning_state]
    assert during == ["Updating"] * 3 and len(cloud.log.calls) - sent == 3     # the cache asked ARM each time
    clock.sleep(localarm.timing.DURATIONS[operation] * SCALE)
    after = [read(plain).provisioning_state] + [read(driver).provisioning_state for _ in range(3)]
    assert after == ["Succeeded"] * 4
    sent = len(cloud.log.calls)
    assert read(driver).provisioning_state == "Succeeded" and len(cloud.log.calls) == sent   # ended: cached again
