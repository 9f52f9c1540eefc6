"""The input document, the configuration file, the global options and the
document-kind check of Common."""
import json
import logging
import pathlib
import types

import pytest

from dm.arm import cfgbase
from dm.arm.cfgbase import Common


def lines(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "dm.arm.cfgbase"]


# ---------------------------------------------------------------- loadInputJson

@pytest.fixture
def data_dir(monkeypatch, tmp_path):
    """A data directory of our own; Common's REGION and AZURE_SUBNET restored afterwards."""
    monkeypatch.setattr(Common, "REGION", Common.REGION)
    monkeypatch.setattr(Common, "AZURE_SUBNET", Common.AZURE_SUBNET)
    monkeypatch.setattr(Common, "get_data_path", classmethod(lambda cls: tmp_path))
    (tmp_path / "azure_data").mkdir()
    return tmp_path / "azure_data" / "input.json"


@pytest.fixture
def opened(monkeypatch):
    """Every file the module opens, through its `open`."""
    files = []

    def recording_open(name, *args):
        files.append(open(name, *args))
        return files[-1]
    monkeypatch.setattr(cfgbase, "open", recording_open, raising=False)
    return files


def test_input_document_sets_common_and_the_file_is_closed(data_dir, opened):
    data_dir.write_text(json.dumps({"AZURE_SUBNET": ["GatewaySubnet"], "REGION": {"eastus": "East US"}}))

    class Sub(Common):
        pass
    assert Sub.loadInputJson() is None
    assert (Common.REGION, Common.AZURE_SUBNET) == ({"eastus": "East US"}, ["GatewaySubnet"])
    assert "REGION" not in vars(Sub) and "AZURE_SUBNET" not in vars(Sub)
    assert [f.name for f in opened] == [str(data_dir)] and opened[0].closed


def test_invalid_document_raises_the_decoder_error_and_the_file_is_closed(data_dir, opened):
    data_dir.write_text("{not json")
    before = Common.REGION
    with pytest.raises(json.JSONDecodeError):
        Common.loadInputJson()
    assert len(opened) == 1 and opened[0].closed
    assert Common.REGION is before


def test_missing_document_names_the_file(data_dir, opened):
    with pytest.raises(FileNotFoundError) as raised:
        Common.loadInputJson()
    assert raised.value.filename == str(data_dir)
    assert opened == []


def test_region_is_replaced_before_a_missing_azure_subnet_is_noticed(data_dir):
    data_dir.write_text(json.dumps({"REGION": {"westus": "West US"}}))
    with pytest.raises(KeyError, match="AZURE_SUBNET"):
        Common.loadInputJson()
    assert Common.REGION == {"westus": "West US"}


# ---------------------------------------------------------------- convert_yaml_to_json

def test_yaml_file_becomes_plain_mappings_from_text_or_path(tmp_path):
    path = tmp_path / "accounts.yaml"
    path.write_text("label: ACCOUNTS\naccount_info:\n  - subscription_id: s1\n    vnets: [{vnet_name: v1}]\n")
    expected = {"label": "ACCOUNTS", "account_info": [{"subscription_id": "s1", "vnets": [{"vnet_name": "v1"}]}]}
    assert Common.convert_yaml_to_json(str(path)) == expected
    assert Common.convert_yaml_to_json(path) == expected


def test_loader_gets_a_path_object_through_the_module_names(monkeypatch):
    seen = []
    monkeypatch.setattr(cfgbase, "load_from_yaml", lambda p: seen.append(p) or "config")
    monkeypatch.setattr(cfgbase, "dump_to_dict", lambda c: {"dumped": c})
    assert Common.convert_yaml_to_json("a/b.yaml") == {"dumped": "config"}
    assert seen == [pathlib.Path("a/b.yaml")] and isinstance(seen[0], pathlib.Path)


# ---------------------------------------------------------------- readGlobalConfigOption

def document(**config):
    return {"config": dict({"configure_route_table_name": [{"key": "k", "value": "v"}],
                            "configure_main_route_table_prefix": []}, **config),
            "zentrova": {"tf_controller_access": {"mode": "ssm"}},
            "terraform": {"tf_cloud": "cloud", "module_name": "mod"},
            "alert": {"check_gateway_existence": True},
            "switch_traffic": {"manage_propagate_gateway_routes": False}}


BOOLEANS = ["configure_gw_name", "configure_gw_subnet_nsg", "configure_staging_attachment",
            "configure_spoke_advertisement", "enable_spoke_split_cidr", "configure_private_subnet",
            "configure_subnet_groups"]


def test_global_options_are_written_in_order_with_defaults(caplog):
    YAML = {"earlier": 1, "configure_gw_name": "old"}
    assert Common.readGlobalConfigOption(document(configure_private_subnet=True,
                                                  configure_shared_route_table_replication=2), YAML) is None
    assert list(YAML.items()) == [("earlier", 1), ("configure_gw_name", False)] + [
        (name, name == "configure_private_subnet") for name in BOOLEANS[1:]] + [
        ("configure_shared_route_table_replication", 2),
        ("configure_route_table_name", [{"Key": "k", "Value": "v"}]),
        ("configure_main_route_table_prefix", []),
        ("tf_controller_access", {"mode": "ssm"}), ("tf_cloud", "cloud"), ("module_name", "mod"),
        ("check_gateway_existence", True), ("manage_propagate_gateway_routes", False)]
    assert lines(caplog) == []


def test_wrong_typed_options_are_reported_and_stored_unchanged(caplog):
    caplog.set_level(logging.DEBUG, logger="dm")
    value = ["not", "an", "int"]
    YAML = {}
    Common.readGlobalConfigOption(document(configure_gw_name="yes",
                                           configure_shared_route_table_replication=value), YAML)
    assert YAML["configure_gw_name"] == "yes" and YAML["configure_shared_route_table_replication"] is value
    assert [(r.name, r.getMessage()) for r in caplog.records] == [
        ("dm.CrossCloudCfgbase", "Invalid Global option configure_gw_name. Valid input is a boolean"),
        ("dm.arm.cfgbase", "Invalid Global option configure_shared_route_table_replication. "
                           "Valid input is an integer")]


def test_replication_true_passes_and_absent_leaves_no_key(caplog):
    YAML = {}
    Common.readGlobalConfigOption(document(configure_shared_route_table_replication=True), YAML)
    assert YAML["configure_shared_route_table_replication"] is True
    YAML = {}
    Common.readGlobalConfigOption(document(), YAML)
    assert "configure_shared_route_table_replication" not in YAML
    assert lines(caplog) == []


def test_validators_and_naming_go_through_cls_with_the_tags_of_cls():
    calls = []

    class Sub(Common):
        GLOBAL_ATTRIBUTE_LIST = {"flag": "boolean", "label": "string", "count": "int", "free": "other",
                                 "absent_label": "string", "absent_free": "other"}

        @classmethod
        def validateBoolean(cls, *args):
            calls.append(("boolean",) + args)

        @classmethod
        def validateString(cls, *args):
            calls.append(("string",) + args)

        @classmethod
        def validateInt(cls, *args):
            calls.append(("int",) + args)

        @classmethod
        def getRouteTableNameConfig(cls, value):
            return ("named", value)

    YAML = {}
    Sub.readGlobalConfigOption(document(flag=1, label=2, count=3, free=4), YAML)
    assert calls == [("boolean", "Global", "flag", 1), ("string", "Global", "label", 2),
                     ("int", "Global", "count", 3)]
    assert list(YAML)[:5] == ["flag", "label", "count", "free", "absent_label"]
    assert (YAML["free"], YAML["absent_label"], "absent_free" in YAML) == (4, "", False)
    assert YAML["configure_route_table_name"] == ("named", [{"key": "k", "value": "v"}])


@pytest.mark.parametrize("change, error, written", [
    (lambda tags: tags.update(extra="boolean"), "dictionary changed size during iteration", ["first"]),
    (lambda tags: (tags.pop("first"), tags.update(extra="boolean")), "dictionary keys changed during iteration",
     ["first", "second"]),
])
def test_option_list_changed_by_a_validator_fails_as_its_iteration_does(change, error, written):
    def make():
        return {"first": "boolean", "second": "boolean"}

    def python_walk(tags):  # what a loop over tags.items() makes of the same change
        try:
            for name, _ in tags.items():
                if name == "first":
                    change(tags)
        except RuntimeError as e:
            return str(e)

    class Sub(Common):
        GLOBAL_ATTRIBUTE_LIST = make()

        @classmethod
        def validateBoolean(cls, scope, name, value):
            if name == "first":
                change(cls.GLOBAL_ATTRIBUTE_LIST)
    assert python_walk(make()) == error
    YAML = {}
    with pytest.raises(RuntimeError, match=error):
        Sub.readGlobalConfigOption(document(first=True, second=False), YAML)
    assert list(YAML) == written


def test_option_list_may_be_any_mapping_with_items():
    class Sub(Common):
        GLOBAL_ATTRIBUTE_LIST = types.MappingProxyType({"b": "boolean", "a": "string"})
    YAML = {}
    Sub.readGlobalConfigOption(document(a="x"), YAML)
    assert list(YAML.items())[:2] == [("b", False), ("a", "x")]


def test_missing_section_raises_after_the_earlier_keys_are_written():
    doc = document()
    del doc["alert"]
    YAML = {}
    with pytest.raises(KeyError, match="alert"):
        Common.readGlobalConfigOption(doc, YAML)
    assert list(YAML)[-5:] == ["configure_route_table_name", "configure_main_route_table_prefix",
                               "tf_controller_access", "tf_cloud", "module_name"]
    with pytest.raises(KeyError, match="config"):
        Common.readGlobalConfigOption({}, {})
    doc = document()
    del doc["config"]["configure_main_route_table_prefix"]
    with pytest.raises(KeyError, match="configure_main_route_table_prefix"):
        Common.readGlobalConfigOption(doc, {})


# ---------------------------------------------------------------- getRouteTableNameConfig

@pytest.mark.parametrize("value, expected", [
    ([{"key": "^rt-", "value": "stg-"}], [{"Key": "^rt-", "Value": "stg-"}]),
    ([{"value": 2, "key": 1, "extra": 0}, {"key": None, "value": ""}],
     [{"Key": 1, "Value": 2}, {"Key": None, "Value": ""}]),
    ([], []),
    (None, []),
    (7, []),
    ([{"key": "k"}], []),
    ([{"key": "k", "value": "v"}, "text"], []),
])
def test_route_table_naming_lists(value, expected):
    result = Common.getRouteTableNameConfig(value)
    assert result == expected and type(result) is list
    assert [list(entry) for entry in result] == [["Key", "Value"]] * len(expected)


def test_route_table_naming_walks_any_iterable_and_a_list_as_it_changes():
    pairs = [{"key": i, "value": -i} for i in range(3)]
    assert Common.getRouteTableNameConfig(tuple(pairs)) == Common.getRouteTableNameConfig(iter(pairs)) == [
        {"Key": i, "Value": -i} for i in range(3)]

    class Growing(dict):
        """A transform whose lookup adds one more to the list being walked."""
        def __getitem__(self, key):
            if key == "key" and len(walked) < 40:
                walked.append(Growing(key=len(walked), value=0))
            return dict.__getitem__(self, key)
    walked = [Growing(key=0, value=0)]
    result = Common.getRouteTableNameConfig(walked)
    assert [entry["Key"] for entry in result] == list(range(40))

    class Shrinking(dict):
        def __getitem__(self, key):
            if key == "value":
                del walked[-1]
            return dict.__getitem__(self, key)
    walked = [Shrinking(key=i, value=i) for i in range(6)]
    assert [entry["Key"] for entry in Common.getRouteTableNameConfig(walked)] == [0, 1, 2]


def test_route_table_naming_lets_interrupts_through():
    class Interrupting(dict):
        def __getitem__(self, key):
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        Common.getRouteTableNameConfig([Interrupting()])


# ---------------------------------------------------------------- validateInt

def test_only_non_integers_are_logged_at_error_and_nothing_is_raised(caplog):
    class Count(int):
        pass
    for value in [0, 2 ** 80, True, Count(4), "1", 1.0, None]:
        assert Common.validateInt("Global", "n", value) is None
    assert Common.validateInt(3, ["opt"], "x") is None
    assert lines(caplog) == [(logging.ERROR, "Invalid Global option n. Valid input is an integer")] * 3 + [
        (logging.ERROR, "Invalid 3 option ['opt']. Valid input is an integer")]


# ---------------------------------------------------------------- expectYamlType

def test_matching_label_returns_none_silently(capsys):
    assert Common.expectYamlType({"label": "ACCOUNTS"}, "ACCOUNTS") is None
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("doc, shown", [({"label": "VNETS"}, "VNETS"), ({}, "None"), ([1], "None")])
def test_other_label_prints_the_alert_and_exits_with_status_1(capsys, doc, shown):
    with pytest.raises(SystemExit) as exited:
        Common.expectYamlType(doc, "ACCOUNTS")
    assert exited.value.code == 1
    assert capsys.readouterr().out == f"**Alert** Expect YAML for ACCOUNTS, got {shown} instead!\n"


def test_label_is_asked_again_for_the_message_and_exit_goes_through_module_sys(monkeypatch, capsys):
    statuses = []
    monkeypatch.setattr(cfgbase, "sys", types.SimpleNamespace(exit=statuses.append))
    labels = iter(["first", "second"])

    class Sub(Common):
        @classmethod
        def getLabel(cls, doc):
            return next(labels)
    assert Sub.expectYamlType({}, 42) is None
    assert statuses == [1]
    assert capsys.readouterr().out == "**Alert** Expect YAML for 42, got second instead!\n"
