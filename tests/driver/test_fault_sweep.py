"""Every write of a switch, made to fail in each way Azure and the controller fail, or interrupted:
each VNet ends wholly switched or wholly back, the records say which, and the revert from the records
brings the network back (in process, so the cloud's and the controller's requests can be hooked)."""
import json
import pathlib
import types

import pytest
import yaml

import network_state
from driving import drive
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from localarm.faults import ANY_WRITE, WRITES
from localctl.faults import ANY_WRITE as ANY_CONTROLLER_WRITE, WRITE_ACTIONS
from dm.arm.zentrova import Zentrova
from migrator import steps
from migrator.records import Records
from test_migrate import SAMPLE_CONFIG
from test_round_trip_property import SUBSCRIPTIONS, configuration

CLOUD_FAULTS = {"500": dict(status=500), "429": dict(status=429), "reset": dict(transport_error=True),
                "operation failed": dict(operation_failed=True), "reply lost": dict(lost_reply=True)}
CONTROLLER_FAULTS = {"500": dict(status=500), "429": dict(status=429), "reset": dict(close=True),
                     "refused": dict(refuse="Injected refusal."), "reply lost": dict(lost=True)}


class World:
    """A network, its configuration, the writes of its clean switch, and the network as it is once
    any set of its VNets is switched (each found once, by switching those VNets cleanly)."""

    def __init__(self, folder, topology, config_args):
        self.folder, self.args = folder, list(config_args)
        self.s0 = folder / "s0.json"
        LocalCloud.from_topology(topology).save(self.s0)
        assert drive("discover", "--state", self.s0, *self.args) == 0
        clouds, controllers = [], []
        self.vnets = [(a["subscription_id"], v["vnet_name"]) for a in self.document()["account_info"]
                      for v in a.get("vnets") or ()]
        # a plan changes nothing; saved, it adds the controller's first state beside the cloud's
        assert drive("plan", "--state", self.s0, "--save-state", self.s0, "--vnet", self.vnets[0][1], *self.args) == 0
        self.expected = {frozenset(): (network_state.network(self.s0), self.controller(self.s0))}
        done = self.file("clean")
        assert drive("switch", "--parallel", 1, "--state", self.s0, "--save-state", done,
                     "--records", self.file("clean-records"), *self.args, hook=clouds.append,
                     controller_hook=controllers.append) == 0
        self.expected[frozenset(self.vnets)] = (network_state.network(done), self.controller(done))
        self.cloud_writes = sum(1 for c in clouds[0].log.calls if c.method in WRITES)
        self.controller_writes = len([r for r in controllers[0].requests() if r.action in WRITE_ACTIONS])

    def document(self):
        return yaml.safe_load(pathlib.Path(self.args[1]).read_text())

    def file(self, name):
        return self.folder / (name.replace(" ", "-") + ".json")

    @staticmethod
    def controller(state):
        return network_state.controller(str(state) + ".controller.json")

    def switched_only(self, held):
        """The network and controller with exactly the VNets of `held` switched, in the configuration's order."""
        key = frozenset(held)
        if key not in self.expected:
            state = self.s0
            for sub, name in [v for v in self.vnets if v in key]:
                after = self.file("only-" + "-".join(sorted(n for _, n in key)) + "-" + name)
                assert drive("switch", "--state", state, "--save-state", after, "--vnet", name, "--subscription",
                             sub, "--records", self.file("only-records-" + name + str(len(self.expected))),
                             *self.args) == 0
                state = after
            self.expected[key] = (network_state.network(state), self.controller(state))
        return self.expected[key]


def sample_world(folder):
    return World(folder, SAMPLE_TOPOLOGY, ["--config", SAMPLE_CONFIG])


# Three VNets in two subscriptions: peerings across both, a lock the switch removes, staged copies.
GENERATED = yaml.safe_load("""
location: eastus
subscriptions:
  {0}:
    rg0:
      route_tables:
        vnet0-main-1: {{}}
        vnet0-main-2: {{}}
        vnet0-default: {{}}
        rt-vnet0-0: {{}}
        rt-vnet0-0-copy: {{tags: {{vnet: vnet0, Org_RT: org_rt-vnet0-0}}}}
      vnets:
        vnet0:
          address_space: [10.0.0.0/16]
          subnets:
            s0: {{prefix: 10.0.0.0/24, route_table: rt-vnet0-0}}
            s1: 10.0.1.0/24
            s2: {{prefix: 10.0.2.0/24, route_table: vnet0-default}}
          peerings:
            vnet0-to-vnet1: {{remote: {1}/rg1/vnet1, use_remote_gateways: true}}
            vnet0-to-vnet2: {{remote: rg2/vnet2, allow_gateway_transit: true}}
    rg2:
      route_tables: {{vnet2-main-1: {{}}, vnet2-main-2: {{}}}}
      vnets:
        vnet2:
          address_space: [10.2.0.0/16]
          subnets: {{s0: 10.2.0.0/24}}
          peerings:
            vnet2-to-vnet0: {{remote: rg0/vnet0, use_remote_gateways: true}}
  {1}:
    rg1:
      route_tables: {{vnet1-main-1: {{}}, vnet1-main-2: {{}}, rt-vnet1-0: {{}},
                     rt-vnet1-0-copy: {{tags: {{vnet: vnet1, Org_RT: org_rt-vnet1-0}}}}}}
      vnets:
        vnet1:
          address_space: [10.1.0.0/16]
          subnets:
            s0: {{prefix: 10.1.0.0/24, route_table: rt-vnet1-0}}
            s1: 10.1.1.0/24
          peerings:
            vnet1-to-vnet0: {{remote: {0}/rg0/vnet0, allow_gateway_transit: true}}
          locks: {{vnet1-lock: CanNotDelete}}
""".format(*SUBSCRIPTIONS))


def generated_world(folder):
    vnets = [{"name": name, "sub": sub, "migrate": True} for sub, name in
             [(SUBSCRIPTIONS[0], "vnet0"), (SUBSCRIPTIONS[0], "vnet2"), (SUBSCRIPTIONS[1], "vnet1")]]
    document = configuration(vnets, "all")
    document["switch_traffic"]["delete_vnet_lock"] = True
    (folder / "migration.yaml").write_text(yaml.safe_dump(document))
    return World(folder, GENERATED, ["--config", folder / "migration.yaml"])


@pytest.fixture(scope="module")
def worlds(tmp_path_factory):
    made = {}

    def world(name):
        if name not in made:
            folder = tmp_path_factory.mktemp(name)
            with pytest.MonkeyPatch.context() as patch:
                patch.chdir(folder)
                made[name] = (folder, {"sample": sample_world, "generated": generated_world}[name](folder))
        return made[name]
    return world


def held(world, records):
    return {v for v in world.vnets if Records.open(records, "test").held(*v)}


def check_one_fault(world, tmp_path, label, hook=None, controller_hook=None, parallel=1):
    """A switch meeting one fault: each VNet wholly switched or wholly back, as the records say; then
    the revert from the records brings back the network and the controller.

    With VNets switched at the same time, the far half of a peering between two switched VNets and a
    remote VNet's lock go with whichever VNet's step came first, so only each VNet's subnets are
    compared with the network switched one VNet after another."""
    s1, s2, records = (tmp_path / (name + label.replace(" ", "-") + ".json") for name in ("s1-", "s2-", "r-"))
    status = drive("switch", "--parallel", parallel, "--state", world.s0, "--save-state", s1, "--records", records,
                   *world.args, hook=hook, controller_hook=controller_hook)
    switched = held(world, records)
    assert status == (0 if switched == set(world.vnets) else 1), label
    network, controller = world.switched_only(switched)
    if parallel == 1:
        assert network_state.restored(network, network_state.network(s1)) == {}, label
    for vnet in world.vnets:
        assert network_state.restored(network_state.subnets_of(network, vnet),
                                      network_state.subnets_of(network_state.network(s1), vnet)) == {}, label
    assert World.controller(s1) == controller, label
    assert drive("revert", "--state", s1, "--save-state", s2, "--records", records, *world.args) == 0, label
    assert network_state.restored(network_state.network(world.s0), network_state.network(s2)) == {}, label
    assert World.controller(s2) == world.expected[frozenset()][1], label
    assert held(world, records) == set(), label


def cases(world, kinds, writes, every):
    """(n, kind): on the sample every kind at every write; on a larger network a sample of the writes,
    each kind in turn, so the sweep stays quick."""
    return [(n, kind) for n in range(1, writes + 1) for i, kind in enumerate(kinds)
            if every == 1 or (n + i) % every == 0]


@pytest.mark.parametrize("network, every, parallel", [("sample", 1, 1), ("generated", 5, 1), ("sample", 2, 8),
                                                       ("generated", 7, 8)])
def test_any_single_cloud_fault_at_any_write_leaves_each_vnet_switched_or_back(worlds, tmp_path, monkeypatch,
                                                                               network, every, parallel):
    folder, world = worlds(network)
    monkeypatch.chdir(folder)
    assert world.cloud_writes > 10
    for n, kind in cases(world, list(CLOUD_FAULTS), world.cloud_writes, every):
        check_one_fault(world, tmp_path, kind + " at cloud write " + str(n),
                        hook=lambda cloud: cloud.fail(ANY_WRITE, nth=n, **CLOUD_FAULTS[kind]), parallel=parallel)


@pytest.mark.parametrize("parallel", [1, 8])
def test_any_single_controller_fault_at_any_write_leaves_each_vnet_switched_or_back(worlds, tmp_path, monkeypatch,
                                                                                    parallel):
    folder, world = worlds("sample")
    monkeypatch.chdir(folder)
    assert world.controller_writes >= 4
    for n, kind in cases(world, list(CONTROLLER_FAULTS), world.controller_writes, 1):
        check_one_fault(world, tmp_path, kind + " at controller write " + str(n),
                        controller_hook=lambda controller: controller.fail(ANY_CONTROLLER_WRITE, nth=n,
                                                                           **CONTROLLER_FAULTS[kind]),
                        parallel=parallel)


def at_write(n, act):
    """A hook that lets `act(cloud, method, url, content)` answer the n-th write request."""
    def hook(cloud):
        handle, seen = cloud.handle, [0]

        def handle_hooked(method, url, content=None, **headers):
            if method in WRITES:
                seen[0] += 1
                if seen[0] == n:
                    return act(lambda *args: handle(*args, **headers), method, url, content)
            return handle(method, url, content, **headers)
        cloud.handle = handle_hooked
    return hook


def interrupt(handle, method, url, content):
    raise KeyboardInterrupt


@pytest.mark.parametrize("parallel", [1, 8])
def test_a_revert_finishes_after_the_switch_is_killed_at_any_write(worlds, tmp_path, monkeypatch, parallel):
    folder, world = worlds("sample")
    monkeypatch.chdir(folder)
    for n in range(1, world.cloud_writes + 1):
        s1, s2, s3, records = (tmp_path / (name + str(n) + ".json") for name in ("s1-", "s2-", "s3-", "records-"))
        status = drive("switch", "--parallel", parallel, "--state", world.s0, "--save-state", s1, "--records", records,
                       *world.args, hook=at_write(n, interrupt))
        assert status == 130, n
        json.loads(records.read_text())                          # whole, whatever happened
        assert drive("revert", "--state", s1, "--save-state", s2, "--records", records, *world.args) == 0, n
        assert network_state.restored(network_state.network(world.s0), network_state.network(s2)) == {}, n
        assert World.controller(s2) == world.expected[frozenset()][1], n
        # a second revert of the same records finds nothing to do
        assert drive("revert", "--state", s2, "--save-state", s3, "--records", records, *world.args) == 0, n
        assert network_state.network(s3) == network_state.network(s2), n


def test_a_kill_before_any_controller_write_leaves_a_revert_that_finishes_and_a_vnet_switchable_again(
        worlds, tmp_path, monkeypatch):
    """Killed after a step is saved as started and before its request leaves (a domain attach, a SNAT
    change): the revert reads the controller and undoes only what is there."""
    folder, world = worlds("sample")
    monkeypatch.chdir(folder)
    post = Zentrova.zentrova_post.__func__
    for n in range(1, world.controller_writes + 1):
        s1, s2, s3, records = (tmp_path / (name + str(n) + ".json") for name in ("c1-", "c2-", "c3-", "cr-"))
        seen = []

        def killed(cls, url, payload):
            if payload.get("action") in WRITE_ACTIONS:
                seen.append(payload["action"])
                if len(seen) == n:
                    raise KeyboardInterrupt
            return post(cls, url, payload)
        with monkeypatch.context() as patch:
            patch.setattr(Zentrova, "zentrova_post", classmethod(killed))
            assert drive("switch", "--state", world.s0, "--save-state", s1, "--records", records,
                         *world.args) == 130, n
        assert drive("revert", "--state", s1, "--save-state", s2, "--records", records, *world.args) == 0, n
        assert network_state.restored(network_state.network(world.s0), network_state.network(s2)) == {}, n
        assert World.controller(s2) == world.expected[frozenset()][1], (n, seen[-1])
        assert drive("switch", "--state", s2, "--save-state", s3, "--records", records, *world.args) == 0, n
        assert World.controller(s3) == world.expected[frozenset(world.vnets)][1], n


def test_a_first_ctrl_c_stops_after_the_step_in_flight(tmp_path, monkeypatch, capsys):
    """The handler of the first Ctrl-C only asks to stop; here it is asked during the third write."""
    monkeypatch.chdir(tmp_path)
    s0, s1, s2, records = (tmp_path / n for n in ("s0.json", "s1.json", "s2.json", "records.json"))
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert drive("discover", "--state", s0) == 0

    def ask_to_stop(handle, method, url, content):
        steps.stop_requested.set()
        return handle(method, url, content)
    try:
        status = drive("switch", "--parallel", 1, "--state", s0, "--save-state", s1, "--records", records,
                       hook=at_write(3, ask_to_stop))
    finally:
        steps.stop_requested.clear()
    assert status == 130
    assert " revert --config " in capsys.readouterr().err
    vnets = json.loads(records.read_text())["vnets"]
    assert list(vnets) == ["22222222-2222-4222-8222-222222222222/spoke1-vnet"]
    taken = vnets["22222222-2222-4222-8222-222222222222/spoke1-vnet"]["steps"]
    assert [(s["name"], s["status"]) for s in taken] == [("route_tables", "done"), ("propagation", "done")]
    # the request in flight completed and was recorded; the next ones were not sent
    assert [r["route_table_name"] for r in taken[1]["records"]] == [
        "spoke1-vnet-main-1", "spoke1-vnet-main-2", "rt-spoke1-web-zentrova"]
    assert drive("revert", "--state", s1, "--save-state", s2, "--records", records) == 0
    assert network_state.restored(network_state.network(s0), network_state.network(s2)) == {}
