import logging
from types import SimpleNamespace

import pytest
from hypothesis import given, settings, strategies as st

from dm.arm.cfgbase import Common
from dm.arm.res.YamlContext import YamlContext
from tests.hostile import documents, memory_growth, returns_or_raises

LOGGER = "dm.arm.cfgbase"
VNET = SimpleNamespace(name="spoke1")
HPE_ERROR = "  **Error** max_hpe_performance can only be set when hpe is set to True"
LOCK_ERROR = "**Error** expect a boolean value for delete_vnet_lock, False by default"


@pytest.fixture(autouse=True)
def empty_yaml_context():
    yield
    YamlContext.load({})


def entry(**overrides):
    values = dict(spoke_gw_size="Standard_D3_v2", hpe=None, inspection=None, domain=None,
                  max_hpe_performance=None, spoke_ha=None, enable_spoke_egress=False,
                  copy_quad_zero_route=True, subnet_groups_inspected=None, subnet_groups=None,
                  migrate_non_associated_subnet=False, filter_service_tags=None)
    values.update(overrides)
    return {"spoke1": values}


def account_options(**overrides):
    return dict({"hpe": "false", "max_hpe_performance": None, "spoke_ha": "false"}, **overrides)


def test_vnet_entry_is_written_into_the_options():
    groups = [{"subnet_name": "a"}, {"subnet_name": "b"}, {"subnet_name": "a"}]
    vnets = entry(hpe=True, inspection="True", domain="prod", spoke_ha=False, subnet_groups=groups,
                  spoke_advertisement=["10.0.0.0/16", "10.1.0.0/16"], filter_service_tags=[],
                  transit_gw_name="transit-1", spoke_gw_tags={"env": "prod"})
    YAML = account_options()
    assert Common.readVnetOption(vnets, VNET, YAML) is None
    assert YAML == dict(spoke_gw_name="spoke1-gw", transit_gw_name="transit-1",
                        spoke_gw_tags={"env": "prod"}, ztvx_gw_size="Standard_D3_v2", hpe="true",
                        inspection="true", vnet_name="spoke1", domain="prod",
                        max_hpe_performance=None, spoke_ha="false", enable_spoke_egress=False,
                        copy_quad_zero_route=True, subnet_groups_inspected=None,
                        subnet_groups=groups, subnet_in_subnet_groups=["a", "b", "a"],
                        spoke_advertisement="10.0.0.0/16,10.1.0.0/16", spoke_routes=None,
                        migrate_non_associated_subnet=False, filter_service_tags=[])
    assert YAML["subnet_groups"] is groups


def test_unset_entry_values_keep_or_clear_the_account_values(caplog):
    YAML = account_options(ztvx_gw_size="Standard_B2", inspection="true", domain="d", hpe="true",
                           max_hpe_performance="200")
    Common.readVnetOption(entry(spoke_gw_size=""), VNET, YAML)
    assert (YAML["ztvx_gw_size"], YAML["hpe"], YAML["max_hpe_performance"], YAML["spoke_ha"]) == \
        ("Standard_B2", "true", "200", "false")
    assert YAML["inspection"] is None and YAML["domain"] is None
    assert YAML["subnet_in_subnet_groups"] == [] and YAML["filter_service_tags"] == []
    YAML = account_options()
    Common.readVnetOption(entry(spoke_gw_size=None), VNET, YAML)
    assert "ztvx_gw_size" not in YAML and not caplog.records


def test_hpe_consistency_is_only_logged(caplog):
    YAML = account_options()
    Common.readVnetOption(entry(max_hpe_performance=400), VNET, YAML)
    assert YAML["max_hpe_performance"] == "400" and YAML["hpe"] == "false"
    assert [(r.name, r.levelno, r.message) for r in caplog.records] == [(LOGGER, logging.ERROR, HPE_ERROR)]
    caplog.clear()
    YAML = account_options(max_hpe_performance="300")
    Common.readVnetOption(entry(hpe=True), VNET, YAML)
    assert (YAML["hpe"], YAML["max_hpe_performance"]) == ("true", "300") and not caplog.records


def test_failures_leave_what_was_written_before():
    vnets = entry()
    del vnets["spoke1"]["domain"]
    YAML = account_options()
    with pytest.raises(KeyError, match="domain"):
        Common.readVnetOption(vnets, VNET, YAML)
    assert YAML["vnet_name"] == "spoke1" and "domain" not in YAML
    YAML = account_options()
    with pytest.raises(KeyError, match="subnet_name"):
        Common.readVnetOption(entry(subnet_groups=[{"subnet_name": "a"}, {}]), VNET, YAML)
    assert YAML["subnet_groups"] == [{"subnet_name": "a"}, {}] and YAML["subnet_in_subnet_groups"] == []
    assert "spoke_advertisement" not in YAML
    with pytest.raises(KeyError, match="hpe"):
        Common.readVnetOption(entry(), VNET, {})


def test_option_readers_are_called_through_the_class():
    class Custom(Common):
        @classmethod
        def getSpokeRoutes(cls, vnetInYaml, vnet):
            return cls.__name__ + ":" + vnet.name

        VPC_NAME_MAX_LENGTH = 6
    YAML = account_options()
    Custom.readVnetOption(entry(), VNET, YAML)
    assert YAML["spoke_routes"] == "Custom:spoke1" and YAML["spoke_gw_name"] == "spo-gw"


@pytest.mark.parametrize("value, joined", [
    (["10.0.0.0/16", "10.1.0.0/24"], "10.0.0.0/16,10.1.0.0/24"), ([], ""), ("abc", "a,b,c"),
    (None, None), (["10.0.0.0/16", 5], None), (7, None)])
def test_spoke_lists_are_joined(value, joined):
    for key, reader in (("spoke_advertisement", Common.getSpokeAdvertisement),
                        ("spoke_routes", Common.getSpokeRoutes)):
        assert reader(entry(**{key: value}), VNET) == joined
        assert reader(entry(), VNET) is None
    with pytest.raises(KeyError):
        Common.getSpokeRoutes({}, VNET)


@pytest.mark.parametrize("document, expected, logged", [
    ({"delete_vnet_lock": True}, True, False), ({"delete_vnet_lock": False}, False, False),
    ({"delete_vnet_lock": "true"}, False, True), ({"delete_vnet_lock": 1}, False, True),
    ({}, False, False), ("not a mapping", False, False)])
def test_delete_vnet_lock_switches(caplog, document, expected, logged):
    for section, reader in (("switch_traffic", Common.getSWDeleteVnetLock),
                            ("cleanup", Common.getCUDeleteVnetLock)):
        caplog.clear()
        assert reader({section: document}) is expected
        assert [(r.levelno, r.message) for r in caplog.records] == ([(logging.ERROR, LOCK_ERROR)] if logged else [])
    assert Common.getSWDeleteVnetLock({"cleanup": {"delete_vnet_lock": True}}) is False


def test_prestage_default_route_table():
    assert Common.getPreStageDefaultRouteTable({"prestage": {"default_route_table": "rt-x"}}) == "rt-x"
    for document in ({}, {"prestage": None}, {"prestage": {}}, None):
        assert Common.getPreStageDefaultRouteTable(document) is None


class Raising(dict):
    """Raises the given error when read or iterated."""
    def __init__(self, error):
        self.error = error

    def __getitem__(self, key):
        raise self.error

    def __iter__(self):
        raise self.error


@pytest.mark.parametrize("error", [SystemExit(3), KeyboardInterrupt()])
def test_swallowing_readers_let_exit_and_interrupt_through(error):
    for reader in (Common.getPreStageDefaultRouteTable, Common.getSWDeleteVnetLock,
                   Common.getCUDeleteVnetLock):
        with pytest.raises(type(error)):
            reader(Raising(error))
    with pytest.raises(type(error)):
        Common.getSpokeAdvertisement({"spoke1": {"spoke_advertisement": Raising(error)}}, VNET)


def base(value):
    return {"key": "base", "value": value}


def replace(value):
    return {"key": "replace", "value": value}


@pytest.mark.parametrize("steps, built", [
    ([base("rt-{vnet}")], "rt-spoke1"),
    ([base("{vnet}-{snet}"), replace("-,_")], "spoke1_web"),
    ([replace("a,b")], ""),
    ([base("fixed")], "fixed"),
    ([base("{vnet}"), replace("1,2"), base("{snet}{snet}"), {"key": "other", "value": 0}], "webweb"),
    ([base("{rtb}"), replace("{snet},x,ignored")], "x"),
    ([base("{Vnet}-{vnet}")], "{Vnet}-spoke1")])
def test_transform_steps(steps, built):
    assert Common.transformName(steps, {"vnet": "spoke1", "snet": "web", "rtb": "{snet}"}) == built


@pytest.mark.parametrize("steps, names, error, text", [
    ([base("{vnet}"), replace("no comma")], {"vnet": "v"}, IndexError, "list index out of range"),
    ([base("{vnet}")], {"vnet": 5}, TypeError, "must be str, not int"),
    ([base("{1}")], {1: "v"}, TypeError, "can only concatenate str"),
    ([base(7)], {"vnet": "v"}, AttributeError, "replace"),
    ([{"value": "x"}], {}, KeyError, "key"),
    ([{"key": "base"}], {}, KeyError, "value")])
def test_transform_errors_propagate(steps, names, error, text):
    with pytest.raises(error, match=text):
        Common.transformName(steps, names)


def test_configured_route_table_names():
    assert Common.getMainTablePrefix("spoke1") is None
    assert Common.getCustomizedRouteTableName(Common.CONFIG_RTB_NAME, "v", "s", "r") is None
    YamlContext.load({"config": {"configure_main_route_table_prefix": [base("main-{vnet}-{snet}")],
                                 "configure_route_table_name": [base("{rtb}-{snet}-{vnet}")],
                                 "configure_shared_route_table_name": [base("shared-{vnet}")]}})
    assert Common.getMainTablePrefix("spoke1") == "main-spoke1-{snet}"
    assert Common.getCustomizedRouteTableName(Common.CONFIG_RTB_NAME, "v", "{rtb}", "r") == "r-r-v"
    assert Common.getCustomizedRouteTableName(Common.CONFIG_SHARED_RTB_NAME, "v", "s", "r") == "shared-v"

    class Upper(Common):
        @classmethod
        def transformName(cls, transforms, iDict):
            return list(iDict.items())
    assert Upper.getCustomizedRouteTableName(Common.CONFIG_RTB_NAME, "v", "s", "r") == \
        [("vnet", "v"), ("snet", "s"), ("rtb", "r")]


KEYS = list(entry()["spoke1"]) + ["spoke1", "spoke_advertisement", "spoke_routes", "subnet_name",
                                  "switch_traffic", "cleanup", "prestage", "delete_vnet_lock",
                                  "default_route_table", "key", "value", "base", "replace", "vnet"]


@settings(max_examples=150, deadline=None)
@given(document=documents(KEYS), options=documents(["hpe", "max_hpe_performance"]),
       steps=st.lists(documents(KEYS), max_size=4))
def test_hostile_documents_return_or_raise(document, options, steps):
    YAML = dict(options) if isinstance(options, dict) else {}
    returns_or_raises(Common.readVnetOption, document, VNET, YAML)
    returns_or_raises(Common.getSpokeAdvertisement, document, VNET)
    returns_or_raises(Common.getPreStageDefaultRouteTable, document)
    returns_or_raises(Common.getSWDeleteVnetLock, document)
    returns_or_raises(Common.transformName, steps, document)


def test_repeated_calls_do_not_grow_memory():
    vnets = entry(subnet_groups=[{"subnet_name": "a"}], spoke_advertisement=["10.0.0.0/16", 3])
    steps = [base("{vnet}-{snet}"), replace("-,_"), replace("x")]

    def round_trip():
        Common.readVnetOption(vnets, VNET, account_options(max_hpe_performance="1"))
        returns_or_raises(Common.transformName, steps, {"vnet": "v", "snet": "s"})
        Common.getSWDeleteVnetLock({"switch_traffic": {"delete_vnet_lock": "yes"}})
        Common.getPreStageDefaultRouteTable({})
    logging.getLogger(LOGGER).disabled = True
    try:
        assert memory_growth(round_trip) < 50_000
    finally:
        logging.getLogger(LOGGER).disabled = False
