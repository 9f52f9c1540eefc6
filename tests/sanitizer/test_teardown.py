"""Importing the modules again and ending the interpreter while it holds
them: fresh classes that work, and a clean exit (under the sanitizer run
these interpreters inherit the sanitizers, which report on exit)."""
import os
import pathlib
import subprocess
import sys

import pytest

import dm.arm.cfgbase

REPO = pathlib.Path(__file__).resolve().parents[2]
PACKAGES = pathlib.Path(dm.arm.cfgbase.__file__).resolve().parents[2]     # where the modules under test are
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")

SETUP = """
import importlib, sys
from dm.arm.cfgbase import Common
from dm.arm.trafswap import SwitchTraffic

def works(common, switch):
    assert common.getMainTablePrefix("vnet-a") == Common.getMainTablePrefix("vnet-a")
    assert switch.deduceTransitNameWithRegion("eastus") == "azu-use-transit-gw"
    assert switch.deduceGwNameWithSubnetCidr("westus", "10.2.0.0/24") == "azu-usw-0a020000-gw"
    try:
        switch.getVnet()
    except TypeError:
        pass

class Exits:
    def __init__(self, error):
        self.error = error
    def __str__(self):
        raise self.error
"""

SCRIPTS = {
    "import again after removal from sys.modules": (0, """
import dm.arm.cfgbase, dm.arm.trafswap
old = (Common, SwitchTraffic)
for round in range(3):
    for name in ("dm.arm.trafswap", "dm.arm.cfgbase"):
        del sys.modules[name]
    fresh_cfgbase = importlib.import_module("dm.arm.cfgbase")
    fresh_trafswap = importlib.import_module("dm.arm.trafswap")
    assert fresh_cfgbase.Common is not old[0] and fresh_trafswap.SwitchTraffic is not old[1]
    works(fresh_cfgbase.Common, fresh_trafswap.SwitchTraffic)
works(*old)
"""),
    "importlib.reload": (0, """
import dm.arm.cfgbase as cfgbase, dm.arm.trafswap as trafswap
for round in range(3):
    works(importlib.reload(cfgbase).Common, importlib.reload(trafswap).SwitchTraffic)
works(Common, SwitchTraffic)
"""),
    "exit holding classes, subclasses and a cycle": (0, """
class Mine(SwitchTraffic):
    pass
keep = [Common, SwitchTraffic, Mine, SwitchTraffic.getVnet]
keep.append(keep)
works(Common, Mine)
"""),
    "an uncaught error from inside an operation": (1, """
Common.logSubscription(Exits(ValueError("from inside")))
"""),
    "sys.exit inside an operation": (3, """
Common.logSubscription(Exits(SystemExit(3)))
"""),
    "the process's own exit from an operation": (1, """
Common.getAzureSubscriptionInfo({})
"""),
    "KeyboardInterrupt inside an operation": (-2, """
Common.logSubscription(Exits(KeyboardInterrupt()))
"""),
}


@pytest.mark.parametrize("name", SCRIPTS)
def test_interpreter_ends_cleanly(name, tmp_path):
    status, script = SCRIPTS[name]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGES), str(REPO)]))
    done = subprocess.run([sys.executable, "-c", SETUP + script], capture_output=True, text=True, env=env,
                          cwd=tmp_path, timeout=120)
    assert done.returncode == status, done.stderr
    assert not [report for report in SANITIZER_REPORTS if report in done.stderr], done.stderr
