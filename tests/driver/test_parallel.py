"""VNets switched and reverted at the same time, with the local cloud answering at Azure's timing (at
a small scale, so that operations overlap and its busy answers come): the network ends as a switch
made one VNet after another leaves it, the revert restores it, and each VNet's lines stay together."""
import json
import re

import estate
import network_state
from driving import drive
from localarm import LocalCloud

VNETS, SUBSCRIPTIONS = 12, 3


def run(folder, command, state, saved, parallel, *extra, hook=None, controller_hook=None):
    return drive(command, "--parallel", parallel, "--state", state, "--save-state", saved, "--config",
                 folder / "migration.yaml", "--records", folder / ("records-%s.json" % parallel), "--json",
                 folder / ("%s-%s.json" % (command, parallel)), *extra, hook=hook, controller_hook=controller_hook)


def test_vnets_switched_at_the_same_time_end_as_one_after_another_and_their_revert_restores_them(
        tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    estate.write(tmp_path, VNETS, SUBSCRIPTIONS)
    s0 = tmp_path / "s0.json"
    LocalCloud.from_topology(tmp_path / "topology.yaml").save(s0)
    assert drive("discover", "--state", s0, "--config", tmp_path / "migration.yaml") == 0
    assert run(tmp_path, "switch", s0, tmp_path / "one-by-one.json", 1) == 0

    clouds, controllers = [], []
    assert run(tmp_path, "switch", s0, tmp_path / "s1.json", 8, "--azure-timing", "0.02", hook=clouds.append,
               controller_hook=controllers.append) == 0
    switched = network_state.network(tmp_path / "s1.json")
    assert network_state.differences(network_state.network(tmp_path / "one-by-one.json"), switched) == {}
    outcomes = json.loads((tmp_path / "switch-8.json").read_text())["vnets"]
    assert [v["outcome"] for v in outcomes] == ["done"] * len(estate.spokes_of(VNETS, SUBSCRIPTIONS))
    assert [v["vnet"] for v in outcomes] == [v["vnet"] for v in json.loads((tmp_path / "switch-1.json").read_text())[
        "vnets"]]                                    # the summary keeps the configuration's order
    assert overlapped(clouds[0].log.calls), "no two VNets were worked on at the same time"
    assert controllers[0].connections <= 1 + 8 < len(controllers[0].log)     # one kept open per thread

    assert run(tmp_path, "revert", tmp_path / "s1.json", tmp_path / "s2.json", 8, "--azure-timing", "0.02") == 0
    assert network_state.restored(network_state.network(s0), network_state.network(tmp_path / "s2.json")) == {}

    log = (tmp_path / "output" / "log" / "dm.log").read_text()
    blocks = re.split(r"^.* === (?:switch|revert) VNet ", log, flags=re.M)[1:]
    assert len(blocks) == 3 * len(outcomes)
    for block in blocks:                             # each VNet's lines together, under its own heading
        name = block.split(" ", 1)[0]
        assert set(re.findall(r"- Changes in VNet (\S+)", block.split("=== Summary")[0])) == {name}


def overlapped(calls):
    """Whether requests of two VNets came between the first and the last request of a third's."""
    spans = {}
    for index, call in enumerate(calls):
        found = re.search(r"/virtualNetworks/(spoke\d+)", call.path)
        if found:
            first, _ = spans.get(found.group(1), (index, index))
            spans[found.group(1)] = (first, index)
    return any(a != b and spans[a][0] < spans[b][0] < spans[a][1] for a in spans for b in spans)
