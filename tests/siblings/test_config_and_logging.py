import copy
import io
import logging
import logging.config

import pytest
import yaml

import dm.logconf
from dm.arm.core.config import dump_to_dict, load_from_yaml


def test_yaml_round_trips_to_independent_plain_containers(tmp_path):
    path = tmp_path / "accounts.yaml"
    path.write_text("label: ACCOUNTS\naccount_info:\n  - subscription_id: sub-1\n    vnets: [{vnet_name: v1}]\n")
    config = load_from_yaml(path)
    first = dump_to_dict(config)
    assert first == {"label": "ACCOUNTS", "account_info": [{"subscription_id": "sub-1",
                                                            "vnets": [{"vnet_name": "v1"}]}]}
    first["account_info"][0]["vnets"].clear()
    assert dump_to_dict(config)["account_info"][0]["vnets"] == [{"vnet_name": "v1"}]
    path.write_text("")
    assert dump_to_dict(load_from_yaml(path)) == {}


@pytest.mark.parametrize("text, error", [
    ("!!python/object/apply:os.system ['true']\n", yaml.constructor.ConstructorError),
    ("- a\n- b\n", ValueError),
    ("key: [unclosed\n", yaml.YAMLError),
])
def test_unsafe_or_malformed_yaml_is_refused(tmp_path, text, error):
    path = tmp_path / "bad.yaml"
    path.write_text(text)
    with pytest.raises(error):
        load_from_yaml(path)


@pytest.fixture
def applied_logging(tmp_path):
    config = copy.deepcopy(dm.logconf.logging_config)
    config["handlers"]["logConsoleHandler"]["filename"] = str(tmp_path / "dm.log")
    config["handlers"]["alertHandler"]["filename"] = str(tmp_path / "dm.alert.log")
    console = config["handlers"]["consoleHandler"]["stream"] = io.StringIO()
    logging.config.dictConfig(config)
    yield tmp_path, console
    dm_logger = logging.getLogger("dm")
    for handler in list(dm_logger.handlers):
        dm_logger.removeHandler(handler)
        handler.close()
    dm_logger.propagate = True
    dm_logger.setLevel(logging.NOTSET)


def test_library_records_reach_log_and_alert_files(applied_logging):
    folder, console = applied_logging
    assert list(folder.iterdir()) == []
    logging.getLogger("dm.arm.trafswap").info("- Delete peerings")
    logging.getLogger("dm.arm.cfgbase").warning("**Alert** output folder")
    logging.getLogger("dm.arm.trafswap").debug("  **Alert** detail")
    run_log = (folder / "dm.log").read_text()
    alert_log = (folder / "dm.alert.log").read_text()
    assert "- Delete peerings" in run_log and "**Alert** output folder" in run_log and "detail" in run_log
    assert "**Alert** output folder" in alert_log and "Delete peerings" not in alert_log
    assert console.getvalue() == "- Delete peerings\n**Alert** output folder\n"
