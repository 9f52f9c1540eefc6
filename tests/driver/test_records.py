"""The records file: always whole on disk, and refused with a reason when it is not usable."""
import os
import signal
import subprocess
import sys
import time

import pytest

from migrator.records import FORMAT, Records, RecordsError, read_document

WRITER = """
import sys
from migrator.records import Records
records = Records(sys.argv[1], "test")
entry = records.begin_vnet("sub", "vnet", "rg")
i = 0
while True:
    i += 1
    step = records.start(entry, "step" + str(i), plan={"filler": "x" * 200000})
    records.finish(step, {"n": i})
    if i == 1:
        print("saving", flush=True)
"""


def test_steps_are_saved_as_they_start_and_finish(tmp_path):
    path = tmp_path / "records.json"
    records = Records(path, "1.2.3")
    entry = records.begin_vnet("SUB-A", "vnet1", "rg1")
    step = records.start(entry, "peerings", plan={"pairs": [{"localPeeringName": "p1"}]})
    on_disk = read_document(path)["vnets"]["sub-a/vnet1"]["steps"]
    assert [(s["name"], s["status"], s["plan"]) for s in on_disk] == [
        ("peerings", "started", {"pairs": [{"localPeeringName": "p1"}]})]
    records.finish(step, {"pairs": []}, errors=2)
    again = Records.open(path, "1.2.3")
    saved = again.vnet("sub-a", "vnet1")["steps"][0]
    assert (saved["status"], saved["records"], saved["library_errors"]) == ("done", {"pairs": []}, 2)
    assert again.held("SUB-A", "vnet1") and not again.held("SUB-A", "vnet2")
    again.reverted(again.vnet("sub-a", "vnet1")["steps"][0])
    assert not Records.open(path, "1.2.3").held("SUB-A", "vnet1")
    assert [p.name for p in tmp_path.iterdir()] == ["records.json"]     # no temporary file left


def test_a_kill_during_a_save_leaves_the_previous_complete_file(tmp_path):
    path = tmp_path / "records.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for delay in (0.0, 0.15, 0.3, 0.45):
        child = subprocess.Popen([sys.executable, "-c", WRITER, str(path)], env=env, stdout=subprocess.PIPE)
        assert child.stdout.readline() == b"saving\n"      # however long a loaded machine takes to start it
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        document = read_document(path)            # raises if the file is torn
        steps = document["vnets"]["sub/vnet"]["steps"]
        assert steps and all(s["status"] in ("started", "done") for s in steps)


@pytest.mark.parametrize("content, reason", [
    ('{"format": "' + FORMAT + '", "vnets": {', "not complete JSON"),
    ('{"format": "other/1", "vnets": {}}', "not a records file of this tool"),
    ('{"format": "' + FORMAT + '"}', 'no "vnets" mapping'),
    ('{"format": "' + FORMAT + '", "vnets": {"s/v": {"subscription_id": "s", "vnet_name": "v", '
     '"resource_group": "rg", "steps": [{"name": "subnets", "status": "half"}]}}}', "unknown status 'half'"),
    ('{"format": "' + FORMAT + '", "vnets": {"s/v": {"vnet_name": "v", "steps": []}}}',
     'has no text "subscription_id"'),
])
def test_an_unusable_file_is_refused_with_its_reason(tmp_path, content, reason):
    path = tmp_path / "records.json"
    path.write_text(content)
    with pytest.raises(RecordsError, match=reason.replace("(", r"\(")):
        Records.open(path, "1")
