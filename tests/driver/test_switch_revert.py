"""Switch and revert through the driver, end to end on the local cloud and the local controller."""
import json
import logging

from localarm import SAMPLE_TOPOLOGY, LocalCloud
from migrator.summary import Progress

import network_state
from test_migrate import run

INITIAL_CONTROLLER = ({"spoke1-vnet-gw": "none", "spoke2-gw": "none", "hub-vnet-gw": "none"}, {"prod": []})


def test_switch_revert_switch_revert_in_separate_processes_comes_back_to_the_first_state(tmp_path):
    s0, s1, s2, records = (tmp_path / n for n in ("s0.json", "s1.json", "s2.json", "records.json"))
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    refused = run(tmp_path, "switch", "--state", s0)
    assert refused.returncode == 2
    assert refused.stderr.splitlines()[0] == ("error: output/terraform/spokes-prod/discovery.json: missing; run "
                                              "discover first (config.configure_shared_route_table_replication is on)")
    assert run(tmp_path, "discover", "--state", s0).returncode == 0

    done = run(tmp_path, "switch", "--state", s0, "--save-state", s1, "--records", records,
               "--json", tmp_path / "switch.json")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "  records: " + str(records) in done.stdout
    report = json.loads((tmp_path / "switch.json").read_text())
    assert report["totals"] == {"vnets_done": 3, "vnets_skipped": 0, "vnets_refused": 0, "vnets_rolled_back": 0,
                                "vnets_failed": 0, "subnets_moved": 6, "peerings_removed": 2, "errors": 0}
    spoke1 = "/subscriptions/22222222-2222-4222-8222-222222222222/resourcegroups/rg-spoke1/providers/microsoft.network/"
    assert {"resource_id": spoke1 + "virtualnetworks/spoke1-vnet", "property": "subnets.web",
            "before": spoke1 + "routetables/rt-spoke1-web", "after": spoke1 + "routetables/rt-spoke1-web-zentrova",
            "reason": "changed by the switch",
            "text": "rg-spoke1/virtualnetworks/spoke1-vnet subnets web: rg-spoke1/routetables/rt-spoke1-web -> "
                    "rg-spoke1/routetables/rt-spoke1-web-zentrova"} in report["differences"]
    assert [(d["property"], d["before"], d["after"]) for d in report["differences"]
            if d["resource_id"].endswith("/hub-vnet") and d["property"] == "locks"] == [
        ("locks", ["hub-vnet-lock (CanNotDelete)"], [])]
    switched = network_state.network(s1)
    assert network_state.differences(network_state.network(s0), switched)      # the switch changed things
    assert network_state.controller(str(s1) + ".controller.json") == (
        {"spoke1-vnet-gw": "single_ip", "spoke2-gw": "single_ip", "hub-vnet-gw": "single_ip"},
        {"prod": ["spoke1-vnet-gw"]})
    steps = json.loads(records.read_text())["vnets"]["22222222-2222-4222-8222-222222222222/spoke1-vnet"]["steps"]
    assert [(s["name"], s["status"]) for s in steps] == [
        ("route_tables", "done"), ("propagation", "done"), ("subnets", "done"), ("peerings", "done"),
        ("gateway_use", "done"), ("snat", "done"), ("domain", "done")]

    again = run(tmp_path, "switch", "--state", s1, "--records", records)
    assert again.returncode == 1
    assert ("**Error** VNet spoke1-vnet not switched: its switch is already recorded in " + str(records)
            + "; revert it first") in again.stdout.splitlines()

    done = run(tmp_path, "revert", "--state", s1, "--save-state", s2, "--records", records)
    assert done.returncode == 0, done.stdout + done.stderr
    assert network_state.restored(network_state.network(s0), network_state.network(s2)) == {}
    assert network_state.controller(str(s2) + ".controller.json") == INITIAL_CONTROLLER
    steps = json.loads(records.read_text())["vnets"]["22222222-2222-4222-8222-222222222222/spoke1-vnet"]["steps"]
    assert {s["status"] for s in steps} == {"reverted"}

    # A second revert of the same records finds everything undone: no write, exit 0.
    s3 = tmp_path / "s3.json"
    again = run(tmp_path, "revert", "--state", s2, "--save-state", s3, "--records", records)
    assert again.returncode == 0, again.stdout + again.stderr
    assert network_state.network(s3) == network_state.network(s2)

    # A reverted VNet is no longer held: switch and revert again, back to the same state.
    s4, s5 = tmp_path / "s4.json", tmp_path / "s5.json"
    assert run(tmp_path, "switch", "--state", s2, "--save-state", s4, "--records", records).returncode == 0
    assert network_state.differences(network_state.network(s4), switched) == {}
    assert run(tmp_path, "revert", "--state", s4, "--save-state", s5, "--records", records).returncode == 0
    assert network_state.network(s5) == network_state.network(s2)
    assert network_state.controller(str(s5) + ".controller.json") == INITIAL_CONTROLLER


def test_plan_and_dry_runs_send_no_write_and_leave_the_saved_cloud_as_it_was(tmp_path):
    s0, s1 = tmp_path / "s0.json", tmp_path / "s1.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(s0)
    assert run(tmp_path, "discover", "--state", s0).returncode == 0
    plan = run(tmp_path, "plan", "--state", s0, "--save-state", s1)
    assert plan.returncode == 0, plan.stdout + plan.stderr
    assert s1.read_bytes() == s0.read_bytes()
    assert network_state.controller(str(s1) + ".controller.json") == INITIAL_CONTROLLER
    lines = plan.stdout.splitlines()
    for line in ["  switch web from rt-spoke1-web to rt-spoke1-web-zentrova",
                 "  disable propagate-gateway-route in rt-spoke1-web-zentrova",
                 "  delete peering hub-to-spoke1",
                 "- Enable Single IP SNAT on spoke1-vnet-gw",
                 "- Attach spoke1-vnet-gw to domain prod",
                 "  subnet web: rt-spoke1-web -> rt-spoke1-web-zentrova",
                 "  would remove lock hub-vnet-lock on VNet hub-vnet"]:
        assert line in lines
    assert "=== Summary of plan (dry run: nothing was changed) ===" in lines
    assert not (tmp_path / "output/records").exists()


class Terminal:
    def __init__(self):
        self.written = ""

    def isatty(self):
        return True

    def write(self, text):
        self.written += text

    def flush(self):
        pass


def test_progress_line_only_on_a_terminal_and_for_more_than_a_few_vnets():
    terminal = Terminal()
    progress = Progress(5, terminal)
    for name in "abcde":
        progress.next("sub " + name)
    progress.close()
    assert "[1/5] sub a" in terminal.written and "[5/5] sub e" in terminal.written
    assert terminal.written.endswith("\r\033[K")
    # a log line on the terminal clears the progress line first, which is drawn again after it
    terminal = Terminal()
    console = logging.StreamHandler(terminal)
    logging.getLogger("dm").addHandler(console)
    try:
        progress = Progress(5, terminal)
        progress.next("sub a")
        logging.getLogger("dm.migrate").warning("a log line")
        progress.close()
    finally:
        logging.getLogger("dm").removeHandler(console)
    assert terminal.written == "\r\033[K[1/5] sub a\r\033[Ka log line\n\r\033[K[1/5] sub a\r\033[K"
    few = Terminal()
    progress = Progress(3, few)
    progress.next("sub a")
    progress.close()
    assert few.written == ""
