"""The records file under the driver: two runs at once, a kill at every journal event, and random
corruption, each followed by a revert on the local cloud and the local controller through the real SDK."""
import json
import os
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

import network_state
from driving import drive
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from migrator import records as records_module
from migrator.journal import document_digest
from test_fault_sweep import at_write
from test_migrate import REPO, TOOL, run

SPOKES = "22222222-2222-4222-8222-222222222222"
# Runs the driver and, at the journal event given, saves the local cloud and controller as they are
# (they outlive the driver in reality) and kills the driver with SIGKILL, before or after that event.
KILLER = """
import os, signal, sys
import migrate
from migrator import environment, journal, localcontroller

target, when, state = int(sys.argv[1]), sys.argv[2], sys.argv[3]
envs, seen, local, append = [], [0], environment.local, journal.Journal.append

def capture(*args):
    envs.append(local(*args))
    return envs[-1]

def die():
    envs[0].cloud.save(state)
    localcontroller.save(envs[0].local_controller, state)
    os.kill(os.getpid(), signal.SIGKILL)

def append_or_die(self, event):
    seen[0] += 1
    if seen[0] == target and when == "before":
        die()
    written = append(self, event)
    if seen[0] == target and when == "after":
        die()
    return written

environment.local, journal.Journal.append = capture, append_or_die
sys.exit(migrate.main(sys.argv[4:]))
"""


def restored_as_before(s0, s2):
    return (network_state.restored(network_state.network(s0), network_state.network(s2)) == {}
            and network_state.controller(str(s2) + ".controller.json") == network_state.controller(
                str(s0) + ".controller.json"))


@pytest.fixture()
def sample(tmp_path, monkeypatch):
    """A folder with the sample cloud (s0, and its controller) and its discovery made."""
    monkeypatch.chdir(tmp_path)
    s0 = tmp_path / "s0.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert drive("discover", "--state", s0, "--save-state", s0) == 0
    assert drive("plan", "--state", s0, "--save-state", s0) == 0        # the controller's state saved beside it
    return s0


def test_a_second_run_on_the_same_records_is_refused_naming_the_first(tmp_path, sample):
    records, s1, s2, s3 = (tmp_path / n for n in ("records.json", "s1.json", "s2.json", "s3.json"))
    second = []

    def start_the_second(handle, method, url, content):
        second.append(run(tmp_path, "switch", "--vnet", "spoke2-vnet", "--state", sample, "--save-state",
                          tmp_path / "never.json", "--records", records))
        return handle(method, url, content)
    assert drive("switch", "--vnet", "spoke1-vnet", "--state", sample, "--save-state", s1,
                 "--records", records, hook=at_write(3, start_the_second)) == 0
    refused = second[0]
    assert refused.returncode == 2
    assert refused.stderr.splitlines()[0] == (
        "error: " + str(records) + ": cannot use it: it is in use by another run (process " + str(os.getpid())
        + ", lock " + str(records) + ".lock)")
    assert not (tmp_path / "never.json").exists()
    # once the first has ended, the second goes ahead and the file keeps both
    assert drive("switch", "--vnet", "spoke2-vnet", "--state", s1, "--save-state", s2, "--records", records) == 0
    assert sorted(json.loads(records.read_text())["vnets"]) == [SPOKES + "/spoke1-vnet", SPOKES + "/spoke2-vnet"]
    assert drive("revert", "--state", s2, "--save-state", s3, "--records", records) == 0
    assert restored_as_before(sample, s3)


def test_a_kill_at_any_journal_event_leaves_records_the_revert_restores_from(tmp_path, sample):
    clean = tmp_path / "clean.json"
    assert drive("switch", "--vnet", "spoke1-vnet", "--state", sample, "--records", clean) == 0
    steps = json.loads(clean.read_text())["vnets"][SPOKES + "/spoke1-vnet"]["steps"]
    events = 1 + 2 * len(steps)                 # the VNet's entry, then each step's start and end
    assert events == 15
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TOOL), str(REPO)]))
    # after every event, and before every step's end (its change made, its records not yet saved)
    points = [(n, "after") for n in range(1, events + 1)] + [(n, "before") for n in range(3, events + 1, 2)]
    for n, when in points:
        records, s1, s2 = (tmp_path / (name + str(n) + when + ".json") for name in ("records-", "s1-", "s2-"))
        killed = subprocess.run([sys.executable, "-c", KILLER, str(n), when, str(s1), "switch", "--vnet",
                                 "spoke1-vnet", "--state", str(sample), "--records", str(records)],
                                env=env, cwd=tmp_path, capture_output=True, timeout=120)
        assert killed.returncode == -9, (n, when, killed.stderr[-2000:])
        assert not records.exists() and records.with_name(records.name + ".journal").exists()
        assert drive("revert", "--state", s1, "--save-state", s2, "--records", records) in (0, 1), (n, when)
        assert restored_as_before(sample, s2), (n, when)
        view = json.loads(records.read_text())              # the revert folded the journal into the view
        assert view["digest"] == document_digest(view)


@pytest.fixture(scope="module")
def switched(tmp_path_factory):
    """The sample switched, its records as a finished run leaves them (the view) and as a kill at the
    very end leaves them (the journal alone), and the network a clean revert gives."""
    folder = tmp_path_factory.mktemp("switched")
    monkeypatch = pytest.MonkeyPatch()
    monkeypatch.chdir(folder)
    s0, s1, clean = folder / "s0.json", folder / "s1.json", folder / "clean.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert drive("discover", "--state", s0) == 0
    assert drive("switch", "--state", s0, "--save-state", s1, "--records", folder / "view.json") == 0
    monkeypatch.setattr(records_module.Records, "save", lambda self: None)
    assert drive("switch", "--state", s0, "--records", folder / "journal.json") == 0
    monkeypatch.undo()
    monkeypatch.chdir(folder)
    shutil.copy(folder / "view.json", folder / "reverted.json")
    assert drive("revert", "--state", s1, "--save-state", clean, "--records", folder / "reverted.json") == 0
    monkeypatch.undo()
    return folder


MUTATIONS = ("flip", "delete", "insert", "truncate", "duplicate")


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(form=st.sampled_from(["view.json", "journal.json.journal"]), mutation=st.sampled_from(MUTATIONS),
       data=st.data())
def test_a_corrupted_records_file_is_refused_or_reverts_as_a_clean_one(switched, monkeypatch, form, mutation, data):
    monkeypatch.chdir(switched)
    content = (switched / form).read_bytes()
    journal = form.endswith(".journal")
    # A journal cut at a line is what a kill leaves (the kill test covers that): here a cut tears its last line.
    first = content.rindex(b"\n", 0, len(content) - 1) + 1 if journal and mutation == "truncate" else 0
    at = data.draw(st.integers(first, len(content) - 1), label="at")
    span = data.draw(st.integers(1, 64), label="span")
    end = min(at + span, len(content) - 1) if journal else at + span      # a journal keeps its last newline
    if mutation == "flip":
        changed = content[:at] + bytes([content[at] ^ (1 << data.draw(st.integers(0, 7)))]) + content[at + 1:]
    elif mutation == "delete":
        changed = content[:at] + content[end:]
    elif mutation == "insert":
        changed = content[:at] + data.draw(st.binary(min_size=1, max_size=8)) + content[at:]
    elif mutation == "truncate":
        changed = content[:at]
    else:
        changed = content[:end] + content[at:]
    name = "mutated.json"
    for leftover in ("mutated.json", "mutated.json.journal", "s2.json"):
        (switched / leftover).unlink(missing_ok=True)
    (switched / (name + ".journal" if journal else name)).write_bytes(changed)
    status = drive("revert", "--state", switched / "s1.json", "--save-state", switched / "s2.json",
                   "--records", switched / name)
    event(form + (" refused" if status == 2 else " reverted"))
    if status == 2:
        assert not (switched / "s2.json").exists()                      # refused: nothing done
    else:
        assert network_state.network(switched / "s2.json") == network_state.network(switched / "clean.json")
        assert network_state.controller(switched / "s2.json.controller.json") == network_state.controller(
            switched / "clean.json.controller.json")


def test_records_of_another_network_are_refused_unless_forced(tmp_path, switched):
    document = json.loads((switched / "view.json").read_text())
    other = json.loads(json.dumps(document).replace("spoke1-vnet", "spoke9-vnet"))
    other["vnets"] = {k.replace("spoke1-vnet", "spoke9-vnet"): v for k, v in other["vnets"].items()}
    other["digest"] = document_digest(other)
    records = tmp_path / "other.json"
    records.write_text(json.dumps(other))
    refused = run(switched, "revert", "--state", switched / "s1.json", "--save-state", tmp_path / "s2.json",
                  "--records", records)
    assert refused.returncode == 2
    assert refused.stderr.splitlines()[0] == (
        "error: " + str(records) + ": names VNet spoke9-vnet of subscription " + SPOKES
        + ", which the network does not have (--force reverts all the same)")
    assert not (tmp_path / "s2.json").exists()
    forced = run(switched, "revert", "--state", switched / "s1.json", "--save-state", tmp_path / "s2.json",
                 "--records", records, "--force")
    assert forced.returncode == 0, forced.stdout + forced.stderr
    web = "/subscriptions/" + SPOKES + "/resourcegroups/rg-spoke1/providers/microsoft.network/"
    after = network_state.network(tmp_path / "s2.json")[web + "virtualnetworks/spoke1-vnet/subnets/web"]
    assert after == web + "routetables/rt-spoke1-web-zentrova"          # nothing recorded for it: still switched
