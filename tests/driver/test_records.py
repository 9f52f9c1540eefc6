"""The records file: every event on disk before the run goes on, a killed run's journal folded in,
and a file that is changed, torn, of the wrong shape or held by another run refused with its reason."""
import copy
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from migrator.journal import document_digest
from migrator.records import OLD_FORMAT, Records, RecordsError

WRITER = """
import sys
from migrator.records import Records
records = Records(sys.argv[1], "test")
entry = records.begin_vnet("sub", "vnet", "rg")
i = 0
while True:
    i += 1
    step = records.start(entry, "snat", plan={"gateway": "x" * 20000, "before": None})
    records.finish(step, {"gateway": "gw" + str(i)})
"""
HOLDER = """
import sys
from migrator.records import Records
records = Records.open(sys.argv[1], "test", lock=True)
print("held", flush=True)
sys.stdin.read()
"""
PAIR = {"localSubscriptionId": "SUB-A", "localRgName": "rg1", "localVnetName": "vnet1", "localPeeringName": "p1",
        "localPeering": {"id": "/p1", "name": "p1", "allow_virtual_network_access": True,
                         "allow_forwarded_traffic": False, "allow_gateway_transit": False,
                         "use_remote_gateways": True, "remote_virtual_network": {"id": "/hub"}},
        "remoteSubscriptionId": "SUB-H", "remoteRgName": "rg-hub", "remoteVnetName": "hub", "remotePeeringName": "p2"}
PAIR["remotePeering"] = dict(PAIR["localPeering"], id="/p2", name="p2")
PROPAGATION = {"vnet": "vnet1", "resource_group": "rg1", "route_table_name": "t1",
               "disable_bgp_route_propagation": False}


def environment():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def switched(path):
    """A run's records, as a switch of vnet1 leaves them: view written, lock released."""
    records = Records.open(path, "1.2.3", lock=True)
    entry = records.begin_vnet("SUB-A", "vnet1", "rg1")
    records.finish(records.start(entry, "route_tables"), {"staged": ["t1-copy:rg1"], "map": {"t1": "t1-copy"}})
    records.finish(records.start(entry, "propagation", plan=[PROPAGATION]), [PROPAGATION])
    step = records.start(entry, "peerings", plan={"pairs": [PAIR], "locks": []})
    records.finish(step, {"pairs": [PAIR], "locks": []})
    records.close()
    return json.loads(path.read_text())


def test_events_are_on_disk_as_they_happen_and_the_view_is_written_at_the_end(tmp_path):
    path = tmp_path / "records.json"
    records = Records(path, "1.2.3")
    entry = records.begin_vnet("SUB-A", "vnet1", "rg1")
    records.finish(records.start(entry, "route_tables"), {"staged": [], "map": {}})
    step = records.start(entry, "peerings", plan={"pairs": [PAIR], "locks": []})
    assert not path.exists()                                     # no whole-document rewrite per event
    on_disk = Records.open(path, "1.2.3").vnet("sub-a", "vnet1")["steps"]     # read from the journal
    assert [(s["name"], s["status"], s.get("plan")) for s in on_disk] == [
        ("route_tables", "done", None), ("peerings", "started", {"pairs": [PAIR], "locks": []})]
    records.finish(step, {"pairs": [], "locks": []}, errors=2)
    records.close()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["records.json", "records.json.lock"]
    document = json.loads(path.read_text())
    assert document["digest"] == document_digest(document)
    again = Records.open(path, "1.2.3", lock=True)
    saved = again.vnet("sub-a", "vnet1")["steps"][1]
    assert (saved["status"], saved["records"], saved["library_errors"]) == ("done", {"pairs": [], "locks": []}, 2)
    assert again.held("SUB-A", "vnet1") and not again.held("SUB-A", "vnet2")
    again.reverted(saved)
    again.close()
    # only the route-table discovery is left unreverted: it changed nothing, so the VNet is free again
    assert not Records.open(path, "1.2.3").held("SUB-A", "vnet1")


def test_a_killed_writer_leaves_every_complete_event_and_the_next_run_folds_them_in(tmp_path):
    path = tmp_path / "records.json"
    journal = tmp_path / "records.json.journal"
    for events in (3, 40, 41):
        child = subprocess.Popen([sys.executable, "-c", WRITER, str(path)], env=environment())
        try:
            while not journal.exists() or journal.read_bytes().count(b"\n") < events:
                assert child.poll() is None
                time.sleep(0.01)                                 # a poll, not a guess at the machine's speed
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait()
        records = Records.open(path, "test", lock=True)
        steps = records.vnet("sub", "vnet")["steps"]
        assert len(steps) >= events // 2 - 1 and all(s["status"] in ("started", "done") for s in steps)
        assert all(s["records"] == {"gateway": "gw" + str(i)} for i, s in enumerate(steps, 1) if s["status"] == "done")
        records.close()                                          # folded into the view, journal gone
        assert not journal.exists() and Records.open(path, "test").vnet("sub", "vnet")["steps"] == steps
        path.unlink()


def test_a_torn_last_line_is_ignored_with_a_warning(tmp_path):
    path = tmp_path / "records.json"
    records = Records(path, "1")
    entry = records.begin_vnet("SUB-A", "vnet1", "rg1")
    records.start(entry, "snat")
    records.lock.release()                                       # as a kill leaves it
    with open(tmp_path / "records.json.journal", "ab") as journal:
        journal.write(b'{"event":"step","vnet":"sub-a/vnet1","index":0,"set":{"status":"do')
    warnings = []
    again = Records.open(path, "1", warn=lambda where, text: warnings.append((where.name, text)))
    assert [s["status"] for s in again.vnet("SUB-A", "vnet1")["steps"]] == ["started"]
    assert warnings == [("records.json.journal", "its last line is incomplete (a write cut short); it is ignored")]


def old_form(document):
    document = dict(document, format=OLD_FORMAT)
    del document["digest"]
    return document


def resealed(document):
    return dict(document, digest=document_digest(document))


def at(path):
    def change(document):
        *keys, last = path
        target = document
        for key in keys:
            target = target[key]
        if last is None:
            target.clear()
        else:
            target[last] = VALUE[path]
        return document
    return change


V1 = ("vnets", "sub-a/vnet1")
STEP = V1 + ("steps",)
VALUE = {STEP + (1, "records", 0, "route_table_name"): 12,
         STEP + (2, "records", "pairs", 0, "localPeeringName"): None,
         STEP + (2, "plan", "pairs", 0, "localPeering", "remote_virtual_network"): "/hub",
         STEP + (1, "plan", 0, "vnet"): "vnet2",
         STEP + (2, "records", "pairs", 0, "extra"): 1,
         STEP + (1, "status"): "half",
         STEP + (1, "name"): "routes",
         V1 + ("subscription_id",): "SUB-B"}


@pytest.mark.parametrize("change, reason", [
    (lambda d: json.dumps(d)[:-40], "it is not complete JSON"),
    (lambda d: b"\xff" + json.dumps(d).encode(), "it is not UTF-8 text (byte 0)"),
    (lambda d: dict(d, format="other/1"), "it is not a records file of this tool"),
    (lambda d: "[" * 100000, "it is not a records file of this tool (nested too deeply)"),
    (lambda d: resealed(dict(d, vnets=[])), 'it has no "vnets" mapping'),
    (lambda d: json.dumps(d).replace("p1", "p3"), "its content does not match its digest"),
    (lambda d: dict(d, digest="sha256:" + "0" * 64), "its content does not match its digest"),
    (lambda d: {k: v for k, v in d.items() if k != "digest"}, "its content does not match its digest"),
    (lambda d: old_form(at(STEP + (1, "records", 0, "route_table_name"))(d)),
     "vnets.sub-a/vnet1.steps[1] (propagation).records[0].route_table_name: expected text, found 12"),
    (lambda d: resealed(at(STEP + (2, "records", "pairs", 0, "localPeeringName"))(d)),
     "steps[2] (peerings).records.pairs[0].localPeeringName: expected text, found None"),
    (lambda d: resealed(at(STEP + (2, "plan", "pairs", 0, "localPeering", "remote_virtual_network"))(d)),
     "pairs[0].localPeering.remote_virtual_network: expected a mapping, found '/hub'"),
    (lambda d: resealed(at(STEP + (2, "records", "pairs", 0, "extra"))(d)),
     "steps[2] (peerings).records.pairs[0]: unexpected extra"),
    (lambda d: resealed(at(STEP + (1, "plan", 0, "vnet"))(d)),
     "steps[1] (propagation).plan[0]: a record of another VNet (sub-a/rg1/vnet2)"),
    (lambda d: resealed(at(STEP + (1, "status"))(d)), "steps[1] (propagation).status: unknown status 'half'"),
    (lambda d: resealed(at(STEP + (1, "name"))(d)), "steps[1].name: not a step of a switch: 'routes'"),
    (lambda d: resealed(at(V1 + ("subscription_id",))(d)), "vnets.sub-a/vnet1: the entry is of SUB-B/vnet1"),
])
def test_an_unusable_file_is_refused_with_its_reason(tmp_path, change, reason):
    path = tmp_path / "records.json"
    content = change(switched(path))
    if isinstance(content, dict):
        content = json.dumps(content)
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(RecordsError) as refused:
        Records.open(path, "1", warn=lambda where, text: None)
    assert reason in str(refused.value)


def test_a_digest_that_does_not_match_is_a_warning_with_force_and_an_old_file_is_read(tmp_path):
    path = tmp_path / "records.json"
    document = switched(path)
    path.write_text(json.dumps(document).replace('"p1"', '"p9"'))
    warnings = []
    forced = Records.open(path, "1", force=True, warn=lambda where, text: warnings.append(text))
    assert forced.vnet("SUB-A", "vnet1")["steps"][2]["plan"]["pairs"][0]["localPeeringName"] == "p9"
    assert warnings == ["its content does not match its digest; used as it is (--force)"]
    path.write_text(json.dumps(old_form(copy.deepcopy(document))))
    old = Records.open(path, "1", warn=lambda where, text: warnings.append(text))
    assert old.held("SUB-A", "vnet1")
    assert warnings[1] == "written without a digest by an earlier version of the tool; read as it is"


@pytest.mark.parametrize("line, change, reason", [
    (2, lambda text: text.replace("vnet1", "vnet2"), "line 2 does not match its digest"),
    (3, lambda text: text.replace('"snat"', '"domain"'), "line 3 does not match its digest"),
    (2, lambda text: "", "line 2 does not match its digest"),                   # a line removed
    (4, lambda text: text.replace('"gw1"', "7"), "line 4 does not match its digest"),
])
def test_a_changed_journal_line_breaks_its_chain(tmp_path, line, change, reason):
    path = tmp_path / "records.json"
    records = Records(path, "1")
    entry = records.begin_vnet("SUB-A", "vnet1", "rg1")
    records.finish(records.start(entry, "snat"), {"gateway": "gw1"})
    journal = tmp_path / "records.json.journal"
    lines = journal.read_text().splitlines(keepends=True)
    lines[line - 1] = change(lines[line - 1])
    journal.write_text("".join(lines))
    with pytest.raises(RecordsError, match=reason):
        Records.open(path, "1")


def test_a_second_run_on_the_file_is_refused_naming_the_holder(tmp_path):
    path = tmp_path / "records.json"
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(path)], env=environment(),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        with pytest.raises(RecordsError, match="in use by another run \\(process " + str(holder.pid) + ","):
            Records.open(path, "1", lock=True)
        assert Records.open(path, "1").vnet("SUB-A", "vnet1") is None      # reading needs no lock
    finally:
        holder.communicate("")
    Records.open(path, "1", lock=True).close()                 # free once the holder ended
