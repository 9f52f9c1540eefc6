"""Account and credential readers on arbitrary and hostile documents: each
call returns or raises an ordinary exception (the azure_cred reader may end
the process, with status 1 after its error line), and repeated calls do not
grow memory."""
import logging

import pytest
from hypothesis import given, settings, strategies as st

from dm.arm.cfgbase import Common
from tests.hostile import HostileBool, assert_not_broken, HostileEq, HostileMapping, HostileStr, documents, memory_growth, returns_or_raises

KEYS = ["azure_cred", "zentrova", "arm_subscription_id", "arm_application_secret_env",
        "arm_application_secret_data_src", "arm_application_id", "arm_directory_id", "terraform",
        "azurerm", "alias", "account_name", "vnet_cidr", "zentrova_account", "vnets",
        "subscription_id", "tf_provider_alias", "vwan", "hpe", "max_hpe_performance", "filter_cidrs",
        "account_info", "onboard_account", "enable_s3_backend", "controller_private_ip",
        "switch_traffic", "transit_peerings", "subscriptionMap"]

EXIT_LINES = ("**Error** YAML missing 'azure_cred' definition", "**Error** YAML azure_cred: '")

ONE_ARGUMENT = [Common.getAzurermSubscriptionInfo, Common.getVnetCidrSubscriptionInfo,
                Common.getArmAccountName, Common.getSubscriptionVnets, Common.getAccountName,
                Common.getFilterCidrs, Common.getControllerPrivateIp, Common.getTransitPeeringMap]


@pytest.fixture(scope="module")
def recorder():
    handler = logging.Handler()
    handler.lines = []
    handler.emit = lambda record: handler.lines.append(record.getMessage())
    logging.getLogger("dm.arm.cfgbase").addHandler(handler)
    yield handler
    logging.getLogger("dm.arm.cfgbase").removeHandler(handler)


@settings(max_examples=150, deadline=None)
@given(doc=documents(KEYS), other=documents(KEYS, max_leaves=8), third=documents(KEYS, max_leaves=8))
def test_hostile_documents_return_or_raise(recorder, doc, other, third):
    recorder.lines.clear()
    try:
        Common.getAzureSubscriptionInfo(doc)
    except SystemExit as exited:
        assert exited.code == 1 and recorder.lines[-1].startswith(EXIT_LINES)
    except Exception as error:
        assert_not_broken(error)
    for reader in ONE_ARGUMENT:
        returns_or_raises(reader, doc)
    returns_or_raises(Common.getSubscription, doc, other, third)
    returns_or_raises(Common.isMainTfRequired, doc, other)
    returns_or_raises(Common.readAccountOption, doc, {"subscriptionMap": other})


HOSTILE_INPUTS = [
    {"azure_cred": {"zentrova": {"arm_application_secret_env": HostileStr()}, "a": {"arm_subscription_id": ["s"]}}},
    {"azure_cred": {HostileEq(): HostileMapping(x=1)}},
    {"terraform": {"azurerm": [HostileMapping(a=1)], "zentrova_account": HostileMapping(a=1)}},
    {"subscription_id": "s", "account_name": HostileStr(), "hpe": HostileStr(), "vnets": HostileMapping()},
    {"account_info": [{"subscription_id": "s", "onboard_account": HostileBool()}],
     "terraform": {"enable_s3_backend": HostileEq()}},
    {"switch_traffic": {"transit_peerings": HostileEq()}, "zentrova": HostileMapping(a=1)},
]


def test_repeated_calls_on_hostile_inputs_do_not_grow_memory(monkeypatch):
    monkeypatch.setattr(logging.getLogger("dm.arm.cfgbase"), "disabled", True)
    maps = {"zentrova": {"sub_id": "zentrova"}, "s": HostileMapping(a=1)}

    def round_of_calls():
        for doc in HOSTILE_INPUTS:
            try:
                Common.getAzureSubscriptionInfo(doc)
            except (Exception, SystemExit):
                pass
            for reader in ONE_ARGUMENT:
                returns_or_raises(reader, doc)
            returns_or_raises(Common.getSubscription, maps, "s", doc)
            returns_or_raises(Common.getSubscription, maps, "x", doc)
            returns_or_raises(Common.isMainTfRequired, doc, "s")
            returns_or_raises(Common.readAccountOption, doc, {"subscriptionMap": maps})

    assert memory_growth(round_of_calls, rounds=400) < 50_000
