"""The client secret and the controller access id never leave the process in
writing: a whole rehearsed switch and revert, with every logger at DEBUG,
writes neither into a log, the terminal, the records or state files; the
controller operations' error texts never quote the access id."""
import json
import logging
import os
import pathlib
import re
import subprocess
import sys
import traceback

import pytest
import yaml

import dm.arm.trafswap as trafswap
from dm.arm.res.Globals import Globals
from dm.arm.trafswap import SwitchTraffic
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from localctl import LocalController

REPO = pathlib.Path(__file__).resolve().parents[2]
TOOL = REPO / "migration" / "discovery_migration"
SECRET = "s3cr3t-CLIENT-0a1b2c3d4e5f"
CID = "cid-ACCESS-9f8e7d6c5b4a"
# The driver as a user runs it, with the root logger at DEBUG into a file of its
# own, so the SDK's, the HTTP libraries' and the local services' lines are kept too.
DEBUG_RUN = """import logging, runpy, sys
logging.basicConfig(level=logging.DEBUG, filename=sys.argv.pop(1),
                    format="%(asctime)s %(levelname)s %(name)s: %(message)s")
sys.argv[0] = {tool!r}
runpy.run_path(sys.argv[0], run_name="__main__")
""".format(tool=str(TOOL / "migrate.py"))


def run(cwd, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TOOL), str(REPO)]), ARM_CLIENT_SECRET=SECRET,
               ARM_HUB_CLIENT_SECRET=SECRET, ZENTROVA_CID=CID)
    return subprocess.run([sys.executable, "-c", DEBUG_RUN, str(cwd / "debug.log"), *map(str, args)],
                          capture_output=True, text=True, env=env, cwd=cwd, timeout=300)


def written(folder, skip):
    """Every file under folder but those named in skip, as text."""
    return {path: path.read_text(errors="replace") for path in folder.rglob("*")
            if path.is_file() and path.name not in skip}


def test_a_rehearsed_switch_and_revert_writes_neither_secret(tmp_path):
    config = yaml.safe_load((TOOL / "samples" / "migration.yaml").read_text())
    config["log_output"] = str(tmp_path / "output")
    (tmp_path / "migration.yaml").write_text(yaml.safe_dump(config))
    # A saved network and controller whose access id is the recognisable one.
    saved = tmp_path / "network.json"
    LocalCloud.from_topology(SAMPLE_TOPOLOGY).save(saved)
    controller_file = tmp_path / "network.json.controller.json"
    for command in (["discover"], ["switch", "--dry-run", "--save-state", saved]):
        first = run(tmp_path, *command, "--config", "migration.yaml", "--state", saved)
        assert first.returncode == 0, first.stdout + first.stderr
    state = json.loads(controller_file.read_text())
    state["cid"] = CID
    controller_file.write_text(json.dumps(state))

    done = run(tmp_path, "rehearse", "--config", "migration.yaml", "--state", saved, "--save-state",
               tmp_path / "after.json", "--json", tmp_path / "summary.json")
    assert done.returncode == 0, done.stdout + done.stderr
    files = written(tmp_path, skip={"migration.yaml", controller_file.name, "after.json.controller.json"})
    debug = files[tmp_path / "debug.log"]
    assert "DEBUG" in debug and re.search(r'"POST /\S+ HTTP/1.1" 200', debug)     # the controller was reached
    assert any(path.name == "dm.log" for path in files) and any(path.suffix == ".json" for path in files)
    for where, text in [("standard output", done.stdout), ("standard error", done.stderr), *files.items()]:
        assert SECRET not in text, f"client secret in {where}"
        assert CID not in text, f"controller access id in {where}"


@pytest.fixture
def controller(monkeypatch):
    with LocalController() as ctl:
        ctl.state.cid = CID
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", ctl.ca_bundle)
        monkeypatch.setenv("NO_PROXY", "127.0.0.1")
        monkeypatch.setattr(Globals, "CID", CID)
        monkeypatch.setattr(Globals, "api_ep_url", ctl.url)
        monkeypatch.setattr(Globals, "yaml", {"configure_gw_name": True, "domain": "prod", "spoke_gw_name": "gw"})
        monkeypatch.setattr(Globals, "_dryRun", False)
        yield ctl


FAULTS = [{"refuse": f"access id {CID} is not valid"}, {"status": 500}, {"status": 403}, {"close": True}]
CALLS = [lambda url: SwitchTraffic.enableSingleIPSnat(url, CID, "gw"),
         lambda url: SwitchTraffic.disableSnat(url, CID, "gw"),
         lambda url: SwitchTraffic.getTransitVnet(url, CID, "gw"),
         lambda url: SwitchTraffic.attach_spoke_domain(True)]


@pytest.mark.parametrize("fault", FAULTS, ids=lambda f: next(iter(f)))
def test_controller_errors_never_quote_the_access_id(controller, fault, caplog, monkeypatch):
    monkeypatch.setattr(trafswap, "av", trafswap.av)
    caplog.set_level(logging.DEBUG)
    texts = []
    for call in CALLS:
        controller.faults[:] = []
        controller.fail(**fault)
        try:
            call(controller.url)
        except Exception as error:      # noqa: BLE001 -- each failure's text is what is checked
            texts.append("".join(traceback.format_exception(type(error), error, error.__traceback__)) + repr(error))
    texts.extend(record.getMessage() for record in caplog.records)
    assert texts and not [text for text in texts if CID in text]
