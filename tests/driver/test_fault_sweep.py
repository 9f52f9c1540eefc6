"""Every write of a switch, made to fail, interrupted or throttled in turn: the revert from the
records brings the network back each time (in process, so the cloud's requests can be hooked)."""
import json

import pytest

import network_state
from driving import drive
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from localarm.router import Reply
from migrator import steps

WRITES = ("PUT", "DELETE")


def at_write(n, act):
    """A hook that lets `act(cloud, method, url, content)` answer the n-th write request."""
    def hook(cloud):
        handle, seen = cloud.handle, [0]

        def handle_hooked(method, url, content=None):
            if method in WRITES:
                seen[0] += 1
                if seen[0] == n:
                    return act(handle, method, url, content)
            return handle(method, url, content)
        cloud.handle = handle_hooked
    return hook


def fail(status):
    def act(handle, method, url, content):
        headers = {"Retry-After": "1"} if status == 429 else {}
        return Reply(status, {"error": {"code": "Injected", "message": "injected " + str(status)}}, headers)
    return act


def interrupt(handle, method, url, content):
    raise KeyboardInterrupt


@pytest.fixture(scope="module")
def writes(tmp_path_factory):
    """The write requests of a clean switch of the sample, counted once."""
    folder = tmp_path_factory.mktemp("clean")
    monkeypatch = pytest.MonkeyPatch()
    monkeypatch.chdir(folder)
    s0 = folder / "s0.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert drive("discover", "--state", s0) == 0
    seen = []
    assert drive("switch", "--state", s0, "--records", folder / "r.json",
                 hook=lambda cloud: seen.append(cloud)) == 0
    monkeypatch.undo()
    return [c for c in seen[0].log.calls if c.method in WRITES]


@pytest.mark.parametrize("mode", ["failure", "interrupt", "throttled"])
def test_revert_restores_after_any_single_fault(tmp_path, monkeypatch, writes, mode):
    monkeypatch.chdir(tmp_path)
    s0 = tmp_path / "s0.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert drive("discover", "--state", s0) == 0
    act = {"failure": fail(500), "interrupt": interrupt, "throttled": fail(429)}[mode]
    assert len(writes) > 10
    # A throttled request fails like any other on the local cloud (its clients do not retry): a third suffices.
    for n, call in enumerate(writes, 1):
        if mode == "throttled" and n % 3:
            continue
        s1, s2, records = (tmp_path / (name + str(n) + ".json") for name in ("s1-", "s2-", "records-"))
        status = drive("switch", "--state", s0, "--save-state", s1, "--records", records,
                       hook=at_write(n, act))
        assert status == (130 if mode == "interrupt" else status), (n, call)
        json.loads(records.read_text())                          # whole, whatever happened
        assert drive("revert", "--state", s1, "--save-state", s2, "--records", records) in (0, 1)
        left = network_state.restored(network_state.network(s0), network_state.network(s2))
        assert left == {}, (n, call.operation, call.path)


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
        status = drive("switch", "--state", s0, "--save-state", s1, "--records", records,
                       hook=at_write(3, ask_to_stop))
    finally:
        steps.stop_requested.clear()
    assert status == 130
    assert "migrate.py revert --records " + str(records) in capsys.readouterr().err
    vnets = json.loads(records.read_text())["vnets"]
    assert list(vnets) == ["22222222-2222-4222-8222-222222222222/spoke1-vnet"]
    taken = vnets["22222222-2222-4222-8222-222222222222/spoke1-vnet"]["steps"]
    assert [(s["name"], s["status"]) for s in taken] == [("route_tables", "done"), ("propagation", "done")]
    # the request in flight completed and was recorded; the next ones were not sent
    assert [r["route_table_name"] for r in taken[1]["records"]] == [
        "spoke1-vnet-main-1", "spoke1-vnet-main-2", "rt-spoke1-web-zentrova"]
    assert drive("revert", "--state", s1, "--save-state", s2, "--records", records) == 0
    assert network_state.restored(network_state.network(s0), network_state.network(s2)) == {}
