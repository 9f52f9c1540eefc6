"""The local cloud kept between runs, as Azure keeps a network: two plain commands switch and revert,
every answered write survives a kill at any point, and nothing is left in the temporary folder."""
import json
import os
import shutil



import network_state
from driving import drive
from localarm import SAMPLE_TOPOLOGY, LocalCloud, journal
from test_migrate import TOOL, run


def sample_network(tmp_path):
    path = tmp_path / "sample.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(path)
    return network_state.network(path)


def test_switch_then_revert_as_two_plain_commands(tmp_path):
    os.environ["TMPDIR"] = str(tmp_path / "tmp")
    (tmp_path / "tmp").mkdir()
    kept = tmp_path / "output" / "localcloud"
    try:
        done = run(tmp_path, "discover")
        assert done.returncode == 0, done.stderr
        assert ("local cloud: starts from " + SAMPLE_TOPOLOGY + "; kept in output/localcloud") in done.stderr
        done = run(tmp_path, "switch")
        assert done.returncode == 0, done.stderr
        assert "local cloud" not in done.stderr                      # it goes on from what is kept
        switched = network_state.network(kept / "cloud.json")
        before = sample_network(tmp_path)
        assert network_state.differences(before, switched)
        assert network_state.controller(kept / "controller.json")[0] == {
            "spoke1-vnet-gw": "single_ip", "spoke2-gw": "single_ip", "hub-vnet-gw": "single_ip"}

        done = run(tmp_path, "revert")
        assert done.returncode == 0, done.stdout + done.stderr
        assert network_state.restored(before, network_state.network(kept / "cloud.json")) == {}
        assert network_state.controller(kept / "controller.json")[0] == {
            "spoke1-vnet-gw": "none", "spoke2-gw": "none", "hub-vnet-gw": "none"}
        assert sorted(p.name for p in kept.iterdir()) == ["cloud.journal", "cloud.json", "controller.journal",
                                                          "controller.json"]
        assert (kept / "cloud.journal").read_bytes() == b""          # compacted at the clean exit
        assert list((tmp_path / "tmp").iterdir()) == []

        kept_files = {p.name: p.read_bytes() for p in kept.iterdir()}
        (tmp_path / "bad.yaml").write_text((TOOL / "samples" / "migration.yaml").read_text().replace(
            "subscription_id: 22222222", "subscription: 22222222"))
        assert run(tmp_path, "switch", "--config", tmp_path / "bad.yaml", "--fresh").returncode == 2
        assert {p.name: p.read_bytes() for p in kept.iterdir()} == kept_files     # bad input changes nothing

        switched_again = run(tmp_path, "switch", "--records", tmp_path / "again.json")
        assert switched_again.returncode == 0
        done = run(tmp_path, "discover", "--fresh")
        assert done.returncode == 0
        assert [line for line in done.stderr.splitlines() if line.startswith("local cloud")] == [
            "local cloud: starts over from " + SAMPLE_TOPOLOGY + ", replacing the one kept in output/localcloud"]
        assert network_state.differences(before, network_state.network(kept / "cloud.json")) == {}
    finally:
        del os.environ["TMPDIR"]


def test_a_kill_at_any_write_leaves_every_answered_write(tmp_path, monkeypatch):
    """Every write of a switch: the folder as a kill right after that write's journal line would leave
    it (and with a torn line after it) loads as the cloud was when the write was answered."""
    monkeypatch.chdir(tmp_path)
    assert drive("discover") == 0
    clouds, copies = [], []
    append = journal.Remembered.append

    def append_and_copy(kept, change):
        append(kept, change)
        if kept.snapshot_path.endswith("cloud.json"):
            copy = tmp_path / ("kill-" + str(len(copies)))
            shutil.copytree(kept.folder, copy)
            copies.append(copy)
            clouds.append(clouds[0].to_json()["resources"] if clouds else None)
    monkeypatch.setattr(journal.Remembered, "append", append_and_copy)
    status = drive("switch", hook=lambda cloud: clouds.append(cloud))
    assert status == 0
    cloud, expected = clouds[0], clouds[1:]
    assert len(copies) > 15
    for n, (copy, resources) in enumerate(zip(copies, expected)):
        with open(copy / "cloud.journal", "ab") as torn:
            torn.write(b'{"method": "PUT", "url": "https://management.azure.com/subscriptions/')
        loaded = LocalCloud.remembered(copy)
        loaded.kept.close()
        assert by_id(loaded.to_json()["resources"]) == by_id(resources), n
    assert by_id(LocalCloud.remembered(tmp_path / "output" / "localcloud").to_json()["resources"]) == by_id(
        cloud.to_json()["resources"])


def by_id(resources):
    return {r["id"].lower(): r for r in resources}
