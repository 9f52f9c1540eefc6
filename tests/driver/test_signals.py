"""SIGTERM and SIGHUP stop a switch as the first Ctrl-C does, and the command printed reverts it."""
import os
import shlex
import signal

import pytest

import network_state
from driving import drive
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from migrator import steps
from test_fault_sweep import at_write
from test_migrate import SAMPLE_CONFIG


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_stops_the_switch_and_the_printed_command_reverts_it(tmp_path, monkeypatch, capsys, request, signum):
    monkeypatch.chdir(tmp_path)
    # the signal's default, as a shell starts the tool (under nohup SIGHUP is ignored, and the run leaves it so)
    was = signal.signal(signum, signal.SIG_DFL)
    request.addfinalizer(lambda: signal.signal(signum, was))
    s0, s1, s2 = (tmp_path / n for n in ("s0.json", "s1 saved.json", "s2.json"))
    records = tmp_path / "records of 'the' switch.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert drive("discover", "--state", s0) == 0

    def signal_self(handle, method, url, content):
        os.kill(os.getpid(), signum)           # handled in this thread, before the request goes on
        return handle(method, url, content)
    previous = {s: signal.getsignal(s) for s in (signal.SIGTERM, signal.SIGHUP)}
    try:
        status = drive("switch", "--parallel", "1", "--state", s0, "--save-state", s1, "--records", records,
                       hook=at_write(3, signal_self))
    finally:
        steps.stop_requested.clear()
    assert {s: signal.getsignal(s) for s in previous} == previous        # the run's handlers are gone
    err = capsys.readouterr().err.splitlines()
    assert status == 130
    name = signal.Signals(signum).name
    assert name + ": stopping; no further request is sent, the records are saved (Ctrl-C again to stop at once)" in err
    last = err[-1]
    assert last.startswith("stopped by " + name + " in VNet spoke1-vnet at step propagation; the records are in "
                           + str(records) + "; undo what ran with: ")
    command = shlex.split(last.split("undo what ran with: ")[1])
    assert command[1:] == ["revert", "--config", str(SAMPLE_CONFIG), "--records", str(records), "--state", str(s1)]
    switched = network_state.network(s1)
    untouched = [rid for rid in network_state.differences(network_state.network(s0), switched)
                 if "spoke1-vnet" not in rid and "rt-spoke1" not in rid]
    assert network_state.differences(network_state.network(s0), switched) and untouched == []

    assert drive(*command[1:], "--save-state", s2) == 0
    assert network_state.restored(network_state.network(s0), network_state.network(s2)) == {}
