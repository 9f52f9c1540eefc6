"""Output folders, the log location and the report banners of Common."""
import copy
import logging
import pathlib
import types

import pytest

from dm import logconf
from dm.arm import cfgbase
from dm.arm.cfgbase import Common


def lines(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "dm.arm.cfgbase"]


# ---------------------------------------------------------------- getTmpFolderId

def tmp_doc(tmp_folder_id, account_info=({"vnets": [{"vnet_name": "spoke-1"}, {"vnet_name": "spoke-2"}]},)):
    return {"terraform": {"tmp_folder_id": tmp_folder_id}, "account_info": list(account_info)}


@pytest.mark.parametrize("tmp_folder_id, file_name, expected", [
    ("VNET_ID", "ignored.yaml", "spoke-1"),
    ("YAML_ID", "/cfg/prod.accounts.yaml", "prod-accounts-yaml"),
    ("YAML_ID", pathlib.Path("rel/dir/a.b"), "a-b"),
    ("YAML_ID", "plain", "plain"),
    ("vnet_id", "x.yaml", None),
    ("yaml_id", "x.yaml", None),
    (None, "x.yaml", None),
])
def test_tmp_folder_id(tmp_folder_id, file_name, expected):
    assert Common.getTmpFolderId(tmp_doc(tmp_folder_id), file_name) == expected


def test_tmp_folder_id_lookups_raise():
    with pytest.raises(KeyError):
        Common.getTmpFolderId({"terraform": {}}, "x")
    with pytest.raises(IndexError):
        Common.getTmpFolderId(tmp_doc("VNET_ID", account_info=[{"vnets": []}]), "x")


# ---------------------------------------------------------------- getLogFolder

def test_log_folder_is_the_value_itself(caplog):
    folder = ["any", "value"]
    assert Common.getLogFolder({"log_output": folder}) is folder
    assert lines(caplog) == []


@pytest.mark.parametrize("doc", [{}, None, ["log_output"], "text"])
def test_unreadable_log_folder_defaults_with_a_warning(caplog, doc):
    assert Common.getLogFolder(doc) == "./"
    assert lines(caplog) == [(logging.WARNING,
                              '**Alert** output folder attribute log_output not defined, default to "./"')]


class Interrupting(dict):
    """Raises KeyboardInterrupt when `key` is looked up."""
    def __init__(self, key, **items):
        super().__init__(items)
        self.key = key

    def __getitem__(self, key):
        if key == self.key:
            raise KeyboardInterrupt
        return super().__getitem__(key)


def test_guarded_lookups_let_interrupts_through():
    with pytest.raises(KeyboardInterrupt):
        Common.getLogFolder(Interrupting("log_output"))
    terraform = Interrupting("account_folder", terraform_output="/out")
    with pytest.raises(KeyboardInterrupt):
        Common.getTargetLocation(INFO, {"terraform": terraform})


# ---------------------------------------------------------------- intLogLocationMgmtVnetCidr

@pytest.fixture
def log_config(monkeypatch):
    config = copy.deepcopy(logconf.logging_config)
    monkeypatch.setattr(logconf, "logging_config", config)
    return config


def test_log_folder_is_made_and_both_file_names_point_into_it(tmp_path, log_config):
    out = tmp_path / "run" / "out"
    assert Common.intLogLocationMgmtVnetCidr({"log_output": str(out)}) is logconf
    assert (out / "log").is_dir()
    handlers = log_config["handlers"]
    assert handlers["logConsoleHandler"]["filename"] == f"{out}/log/dm.log"
    assert handlers["alertHandler"]["filename"] == f"{out}/log/dm.alert.log"
    assert handlers["consoleHandler"] == logconf.logging_config["handlers"]["consoleHandler"]
    assert "filename" not in handlers["consoleHandler"]


def test_existing_log_folder_is_reused_and_the_folder_is_joined_as_text(tmp_path, log_config):
    (tmp_path / "log").mkdir()
    (tmp_path / "log" / "dm.log").write_text("kept")
    Common.intLogLocationMgmtVnetCidr({"log_output": pathlib.Path(str(tmp_path) + "/")})
    assert log_config["handlers"]["alertHandler"]["filename"] == f"{tmp_path}/log/dm.alert.log"
    assert (tmp_path / "log" / "dm.log").read_text() == "kept"


def test_the_module_names_are_used_at_call_time(monkeypatch, log_config):
    made = []
    monkeypatch.setattr(cfgbase, "path", types.SimpleNamespace(exists=lambda p: p == "kept/log"))
    monkeypatch.setattr(cfgbase, "makedirs", made.append)
    Common.intLogLocationMgmtVnetCidr({"log_output": 7})
    Common.intLogLocationMgmtVnetCidr({"log_output": "kept"})
    assert made == ["7/log"]
    assert log_config["handlers"]["logConsoleHandler"]["filename"] == "kept/log/dm.log"


def test_log_location_failures(tmp_path, log_config):
    with pytest.raises(KeyError):
        Common.intLogLocationMgmtVnetCidr({})
    (tmp_path / "file").write_text("")
    with pytest.raises(OSError):
        Common.intLogLocationMgmtVnetCidr({"log_output": str(tmp_path / "file")})
    del log_config["handlers"]["alertHandler"]
    with pytest.raises(KeyError, match="alertHandler"):
        Common.intLogLocationMgmtVnetCidr({"log_output": str(tmp_path)})
    assert log_config["handlers"]["logConsoleHandler"]["filename"] == f"{tmp_path}/log/dm.log"


# ---------------------------------------------------------------- getTargetLocation

INFO = {"sub_id": "0000-1111", "account_name": "prod-acct"}
UNKNOWN = ", use default subscription ID as folder name"


def target(**terraform):
    return {"terraform": dict({"terraform_output": "/out"}, **terraform)}


@pytest.mark.parametrize("folder, expected", [
    ("name", "/out/prod-acct"), ("NAME", "/out/prod-acct"), ("Name", "/out/prod-acct"),
    ("id", "/out/0000-1111"), ("ID", "/out/0000-1111"),
])
def test_account_folder_selects_name_or_id_in_any_case(caplog, folder, expected):
    assert Common.getTargetLocation(INFO, target(account_folder=folder)) == expected
    assert lines(caplog) == []


def test_absent_account_folder_selects_the_subscription_id_silently(caplog):
    assert Common.getTargetLocation(INFO, target()) == "/out/0000-1111"
    assert Common.getTargetLocation({"sub_id": 5}, target(terraform_output=pathlib.Path("/o"))) == "/o/5"
    assert lines(caplog) == []


@pytest.mark.parametrize("folder, shown", [
    (None, "None"), ("other", "other"), ("", ""), (" name", " name"),
    (3, "3"), (["name"], "['name']"), (True, "True"),      # not text: handled as unknown
])
def test_unknown_account_folder_logs_and_selects_the_subscription_id(caplog, folder, shown):
    assert Common.getTargetLocation(INFO, target(account_folder=folder)) == "/out/0000-1111"
    assert lines(caplog) == [(logging.ERROR, "**Error** unknown account_folder value: " + shown + UNKNOWN)]


class Lowering(str):
    def lower(self):
        return "id"


@pytest.mark.parametrize("folder, expected", [
    ("nam", None), ("names", None), ("i", None), ("idd", None), ("NAM\u0395", None),  # a Greek capital E
    ("\u0130D", None),                  # lower() gives "i" + a combining dot + "d"
    ("\u212aey", None),                 # the Kelvin sign lower-cases to an ASCII "k"
    (Lowering("name"), "/out/0000-1111"),  # a str subclass is asked for its own lower()
])
def test_account_folder_is_compared_by_its_own_lower_case(caplog, folder, expected):
    got = Common.getTargetLocation(INFO, target(account_folder=folder))
    assert got == (expected or "/out/0000-1111")
    assert len(lines(caplog)) == (0 if expected else 1)


@pytest.mark.parametrize("output", ["out", "ŏut", "o€t", "😀ut", ""])
@pytest.mark.parametrize("sub_id", ["s", "š", "€", "😀", ""])
def test_target_location_joins_texts_of_any_width(output, sub_id):
    assert Common.getTargetLocation({"sub_id": sub_id}, target(terraform_output=output)) == output + "/" + sub_id


def test_target_location_joins_as_text_and_raises_on_missing_keys(caplog):
    assert Common.getTargetLocation(INFO, target(terraform_output="out/", account_folder="id")) == "out//0000-1111"
    with pytest.raises(KeyError, match="terraform_output"):
        Common.getTargetLocation(INFO, {"terraform": {"account_folder": "id"}})
    with pytest.raises(KeyError, match="account_name"):
        Common.getTargetLocation({"sub_id": "s"}, target(account_folder="name"))
    with pytest.raises(KeyError, match="sub_id"):
        Common.getTargetLocation({}, target())
    assert lines(caplog) == []


# ---------------------------------------------------------------- banners

PLUS, MINUS = "+" * 45, "-" * 45


def test_subscription_banner(caplog):
    caplog.set_level(logging.DEBUG, logger="dm")
    assert Common.logSubscription(1234) is None
    assert lines(caplog) == [(logging.WARNING, line) for line in
                             ["", PLUS, "", "    Subscription ID :  1234", "", PLUS, ""]]


def vnet(**fields):
    values = dict(name="spoke-1", location="westeurope",
                  id="/subscriptions/s/resourceGroups/rg-net/providers/Microsoft.Network/virtualNetworks/spoke-1",
                  address_space=types.SimpleNamespace(address_prefixes=["10.0.0.0/16", "10.9.0.0/24"]))
    values.update(fields)
    return types.SimpleNamespace(**values)


def test_vnet_banner_has_one_cidrs_line_with_the_list(caplog):
    caplog.set_level(logging.DEBUG, logger="dm")
    assert Common.logVnetHeader(vnet()) is None
    assert lines(caplog) == [(logging.INFO, line) for line in [
        "", MINUS, "",
        "    Vnet Name : spoke-1",
        "    CIDRs     : ['10.0.0.0/16', '10.9.0.0/24']",
        "    Region    : westeurope",
        "    RG        : rg-net",
        "", MINUS, ""]]


def test_vnet_banner_reads_everything_before_the_first_line(caplog):
    no_location = vnet()
    del no_location.location
    for value, error in [(no_location, AttributeError), (vnet(id="/subscriptions/s/resourceGroups"), IndexError),
                         (vnet(address_space=None), AttributeError)]:
        with pytest.raises(error):
            Common.logVnetHeader(value)
    assert lines(caplog) == []


def test_route_table_banner(caplog):
    caplog.set_level(logging.DEBUG, logger="dm")
    assert Common.logRouteTableHeader() is None
    assert lines(caplog) == [(logging.INFO, line) for line in
                             ["", MINUS, "", "    Route Tables", "", MINUS, ""]]
