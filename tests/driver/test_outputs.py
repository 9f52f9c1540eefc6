"""What other tools and people read: --help per command with the exit codes, and --json from discover."""
import json

import pytest

from test_migrate import SPOKES, run


@pytest.mark.parametrize("command, has, lacks", [
    ("discover", ["--json FILE", "--fresh"], ["--dry-run", "--records"]),
    ("switch", ["--dry-run", "--records FILE"], []),
    ("revert", ["--dry-run", "--records FILE"], []),
    ("plan", ["--html FILE"], ["--dry-run", "--records"]),
])
def test_each_command_has_its_own_help(tmp_path, command, has, lacks):
    done = run(tmp_path, command, "--help")
    assert done.returncode == 0
    assert done.stdout.startswith("usage: migrate.py " + command + " [-h]")
    assert all(option in done.stdout for option in has) and not any(option in done.stdout for option in lacks)
    assert "  130  stopped by Ctrl-C, SIGTERM or SIGHUP (the records are saved; the revert command is shown)" in (
        done.stdout.splitlines())
    assert "  2    nothing done because of bad input" in done.stdout


def test_discover_writes_json(tmp_path):
    done = run(tmp_path, "--subscription", SPOKES, "--json", tmp_path / "discover.json")
    assert done.returncode == 0, done.stderr
    written = json.loads((tmp_path / "discover.json").read_text())
    assert written["command"] == "discover" and written["complete"] is True
    assert written["accounts"] == [{"subscription_id": SPOKES, "complete": True,
                                    "discovery": "output/terraform/spokes-prod/discovery.json"}]
    spoke1 = ("/subscriptions/" + SPOKES + "/resourcegroups/rg-spoke1/providers/microsoft.network/"
              "virtualnetworks/spoke1-vnet")
    assert written["network"][spoke1]["address_space"] == ["10.1.0.0/16"]
    assert (tmp_path / written["accounts"][0]["discovery"]).exists()
