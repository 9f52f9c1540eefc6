"""Loading, global-option, folder and banner operations on arbitrary and
hostile documents: each call returns or raises an ordinary exception (the
document-kind check may end the process, with status 1 after its alert
line), and repeated calls do not grow memory."""
import copy
import logging
import types

import pytest
from hypothesis import given, settings, strategies as st

from dm import logconf
from dm.arm import cfgbase
from dm.arm.cfgbase import Common
from tests.hostile import HostileBool, assert_not_broken, HostileEq, HostileMapping, HostileStr, documents, memory_growth, returns_or_raises

KEYS = ["config", "zentrova", "terraform", "alert", "switch_traffic", "label", "key", "value",
        "tf_controller_access", "tf_cloud", "module_name", "check_gateway_existence",
        "manage_propagate_gateway_routes", "configure_route_table_name",
        "configure_main_route_table_prefix", "configure_gw_name",
        "configure_shared_route_table_replication", "log_output", "terraform_output",
        "account_folder", "tmp_folder_id", "account_info", "vnets", "vnet_name", "sub_id",
        "account_name"]

ALERT = "**Alert** Expect YAML for "


@pytest.fixture(scope="module")
def sandbox():
    """Printed lines recorded, the log folder never made on disk, the logging
    configuration a copy, log records dropped."""
    printed = []
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(cfgbase, "print", printed.append, raising=False)
        mp.setattr(cfgbase, "makedirs", lambda folder: None)
        mp.setattr(logconf, "logging_config", copy.deepcopy(logconf.logging_config))
        for name in ("dm.arm.cfgbase", "dm.CrossCloudCfgbase"):
            mp.setattr(logging.getLogger(name), "disabled", True)
        yield printed


def vnet_like(fields):
    return types.SimpleNamespace(**{name: value for name, value in fields.items() if isinstance(name, str)
                                    and name.isidentifier()})


def one_round(doc, other, printed):
    try:
        Common.expectYamlType(doc, other)
    except SystemExit as exited:
        assert exited.code == 1 and printed[-1].startswith(ALERT)
    except Exception as error:
        assert_not_broken(error)
    returns_or_raises(Common.readGlobalConfigOption, doc, {})
    returns_or_raises(Common.validateInt, doc, other, doc)
    returns_or_raises(Common.getTmpFolderId, doc, other)
    Common.getLogFolder(doc)  # never raises
    Common.getRouteTableNameConfig(doc)  # never raises
    returns_or_raises(Common.intLogLocationMgmtVnetCidr, doc)
    returns_or_raises(Common.getTargetLocation, other, doc)
    returns_or_raises(Common.logSubscription, doc)
    returns_or_raises(Common.logVnetHeader, vnet_like(doc) if isinstance(doc, dict) else doc)


@settings(max_examples=150, deadline=None)
@given(doc=documents(KEYS), other=documents(KEYS, max_leaves=8))
def test_hostile_documents_return_or_raise(sandbox, doc, other):
    one_round(doc, other, sandbox)


HOSTILE_INPUTS = [
    {"config": {"configure_gw_name": HostileStr(), "configure_shared_route_table_replication": HostileEq(),
                "configure_route_table_name": [HostileMapping(a=1)], "configure_main_route_table_prefix": []},
     "zentrova": HostileMapping(a=1)},
    {"config": HostileMapping(a=1), "label": HostileEq(), "log_output": HostileStr()},
    {"terraform": {"terraform_output": HostileStr(), "account_folder": "name", "tmp_folder_id": HostileEq()},
     "sub_id": "s", "account_name": HostileStr()},
    {"terraform": {"terraform_output": "/o", "account_folder": HostileStr(), "tmp_folder_id": "VNET_ID"},
     "account_info": [{"vnets": HostileMapping(a=1)}], "label": HostileBool(), "log_output": "/nowhere"},
    {"name": HostileStr(), "location": "l", "id": "/a/b/c/d/e", "address_space": HostileMapping(a=1)},
]


def test_repeated_calls_on_hostile_inputs_do_not_grow_memory(sandbox):
    def round_of_calls():
        for doc in HOSTILE_INPUTS:
            for other in (HOSTILE_INPUTS[2], "ACCOUNTS", HostileStr()):
                one_round(doc, other, sandbox)
        sandbox.clear()

    assert memory_growth(round_of_calls, rounds=200) < 50_000
