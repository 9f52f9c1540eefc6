"""Subscription credential maps, the record selected for a subscription, and
the account-name and VNet-list readers of Common."""
import collections
import logging
import types

import pytest

from dm.arm import cfgbase
from dm.arm.cfgbase import Common


def cred(secret_env="ARM_CLIENT_SECRET", app_id="app", dir_id="dir", **more):
    entry = {"arm_application_secret_env": secret_env, "arm_application_id": app_id,
             "arm_directory_id": dir_id}
    entry.update(more)
    return entry


def error_lines(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "dm.arm.cfgbase"]


# ---------------------------------------------------------------- getAzureSubscriptionInfo

def test_azure_cred_map_has_default_and_per_subscription_records_in_order():
    doc = {"azure_cred": {
        "zentrova": cred(arm_application_secret_data_src="ztr-azure-client-secret",
                         arm_subscription_id="ignored for the default"),
        "app2": cred("SECRET2", "a2", "d2", arm_subscription_id=["s1", "s2"]),
    }}
    result = Common.getAzureSubscriptionInfo(doc)
    assert list(result) == ["zentrova", "s1", "s2"]
    assert result["zentrova"] == {"secret_env": "ARM_CLIENT_SECRET",
                                  "secret_data_src": "ztr-azure-client-secret", "app_id": "app",
                                  "dir_id": "dir", "sub_id": "zentrova", "apps": "zentrova"}
    assert list(result["s2"].items()) == [("secret_env", "SECRET2"), ("secret_data_src", ""),
                                          ("app_id", "a2"), ("dir_id", "d2"), ("sub_id", "s2"),
                                          ("apps", "app2")]
    assert result["s1"] is not result["s2"]


def test_later_entry_naming_a_subscription_replaces_the_earlier_record_whole():
    doc = {"azure_cred": collections.OrderedDict([
        ("first", cred("E1", arm_subscription_id=["s"], arm_application_secret_data_src="src1")),
        ("second", cred("E2", arm_subscription_id=["s"])),
    ])}
    assert Common.getAzureSubscriptionInfo(doc) == {"s": {
        "secret_env": "E2", "secret_data_src": "", "app_id": "app", "dir_id": "dir",
        "sub_id": "s", "apps": "second"}}


@pytest.mark.parametrize("doc, line", [
    ({"config": {}}, "**Error** YAML missing 'azure_cred' definition"),
    ({"azure_cred": [cred()]}, "**Error** YAML missing 'azure_cred' definition"),
    ({"azure_cred": {"app2": cred(arm_subscription_id="s1")}},
     "**Error** YAML azure_cred: 'app2' arm_subscription_id - list of subscription Id strings expected"),
    ({"azure_cred": {"app2": {"arm_application_secret_env": "E", "arm_subscription_id": ["s1"]}}},
     "**Error** YAML azure_cred: 'app2' missing 'arm_application_id'"),
    ({"azure_cred": {"app2": cred()}}, "**Error** YAML azure_cred: 'app2' missing 'arm_subscription_id'"),
    ({"azure_cred": {"zentrova": {"arm_application_id": "a"}}},
     "**Error** YAML azure_cred: 'zentrova' missing 'arm_application_secret_env'"),
])
def test_malformed_azure_cred_logs_one_line_and_exits_with_status_1(caplog, doc, line):
    with pytest.raises(SystemExit) as exited:
        Common.getAzureSubscriptionInfo(doc)
    assert exited.value.code == 1
    assert error_lines(caplog) == [(logging.ERROR, line)]


def test_exit_goes_through_the_module_sys_and_the_loop_goes_on_when_it_returns(monkeypatch, caplog):
    statuses = []
    monkeypatch.setattr(cfgbase, "sys", types.SimpleNamespace(exit=statuses.append))
    doc = {"azure_cred": {"bad": {"arm_subscription_id": ["s0"]},
                          "good": cred(arm_subscription_id=["s1"])}}
    assert list(Common.getAzureSubscriptionInfo(doc)) == ["s1"]
    assert statuses == [1]
    assert error_lines(caplog) == [(logging.ERROR, "**Error** YAML azure_cred: 'bad' missing 'arm_application_secret_env'")]


def test_entry_errors_other_than_a_missing_key_propagate_without_exit(caplog):
    with pytest.raises(TypeError):
        Common.getAzureSubscriptionInfo({"azure_cred": {"app2": ["not", "a", "mapping"]}})
    with pytest.raises(TypeError, match="unhashable"):
        Common.getAzureSubscriptionInfo({"azure_cred": {"app2": cred(arm_subscription_id=[["s"]])}})
    assert error_lines(caplog) == []


def test_empty_subscription_list_reads_no_fields():
    assert Common.getAzureSubscriptionInfo({"azure_cred": {"app2": {"arm_subscription_id": []}}}) == {}


# ---------------------------------------------------------------- azurerm and vnet_cidr maps

def test_azurerm_map_records_carry_alias_account_name_and_sub_id_in_order(caplog):
    entry = dict(cred("E", "a", "d"), arm_subscription_id="s1", alias="al", account_name="acct")
    later = dict(entry, alias="al2")
    result = Common.getAzurermSubscriptionInfo({"terraform": {"azurerm": [entry, later]}})
    assert list(result["s1"].items()) == [("secret_env", "E"), ("app_id", "a"), ("dir_id", "d"),
                                          ("alias", "al2"), ("account_name", "acct"), ("sub_id", "s1")]
    assert error_lines(caplog) == []


def test_vnet_cidr_map_records_hold_the_three_credential_fields():
    entries = [dict(cred("E", "a", "d"), arm_subscription_id="s1"),
               dict(cred("F", "b", "e"), arm_subscription_id="s2")]
    assert Common.getVnetCidrSubscriptionInfo({"vnet_cidr": entries}) == {
        "s1": {"secret_env": "E", "app_id": "a", "dir_id": "d"},
        "s2": {"secret_env": "F", "app_id": "b", "dir_id": "e"}}


@pytest.mark.parametrize("reader, doc, missing", [
    (Common.getAzurermSubscriptionInfo, {"terraform": {}}, "azurerm"),
    (Common.getAzurermSubscriptionInfo,
     {"terraform": {"azurerm": [dict(cred(), arm_subscription_id="s", alias="a")]}}, "account_name"),
    (Common.getVnetCidrSubscriptionInfo, {}, "vnet_cidr"),
    (Common.getVnetCidrSubscriptionInfo, {"vnet_cidr": [{"arm_subscription_id": "s"}]},
     "arm_application_secret_env"),
])
def test_azurerm_and_vnet_cidr_readers_raise_key_error_on_missing_keys(caplog, reader, doc, missing):
    with pytest.raises(KeyError) as raised:
        reader(doc)
    assert raised.value.args == (missing,)
    assert error_lines(caplog) == []


# ---------------------------------------------------------------- getSubscription

SUBSCRIPTIONS = {"zentrova": {"app_id": "default", "sub_id": "zentrova", "tags": ["shared"]},
                 "s1": {"app_id": "one", "sub_id": "s1"}}


@pytest.mark.parametrize("account, name, alias", [
    ({"account_name": "acct-1", "tf_provider_alias": "acct_1"}, "acct-1", "acct_1"),
    ({"account_name": "acct-1", "tf_provider_alias": None}, "acct-1", "acct-1"),
    ({"tf_provider_alias": "acct_1"}, None, "acct_1"),
    ({}, None, None),
])
def test_selected_record_is_stamped_with_account_name_and_alias(account, name, alias):
    record = Common.getSubscription(SUBSCRIPTIONS, "s1", account)
    assert (record.get("account_name"), record.get("alias")) == (name, alias)
    assert record["app_id"] == "one" and "alias" not in SUBSCRIPTIONS["s1"]


def test_unknown_subscription_gets_a_copy_of_the_default_with_its_id():
    record = Common.getSubscription(SUBSCRIPTIONS, "s9")
    assert record == {"app_id": "default", "sub_id": "s9", "tags": ["shared"]}
    record["app_id"] = "changed"
    assert SUBSCRIPTIONS["zentrova"]["app_id"] == "default" and SUBSCRIPTIONS["zentrova"]["sub_id"] == "zentrova"
    assert record["tags"] is SUBSCRIPTIONS["zentrova"]["tags"]


def test_no_record_without_default_even_with_an_account():
    assert Common.getSubscription({"s1": {}}, "s2", account={"account_name": "a"}) is None


def test_account_equal_to_none_is_not_looked_at():
    class EqualsNone:
        def __eq__(self, other):
            return other is None
        def __contains__(self, key):
            raise AssertionError("looked at")
    assert Common.getSubscription(SUBSCRIPTIONS, "s1", EqualsNone()) == SUBSCRIPTIONS["s1"]


def test_record_without_copy_raises_attribute_error():
    with pytest.raises(AttributeError):
        Common.getSubscription({"s1": ("no", "copy")}, "s1")


# ---------------------------------------------------------------- getArmAccountName, getSubscriptionVnets

def test_arm_account_name_is_returned_unchanged(caplog):
    assert Common.getArmAccountName({"terraform": {"zentrova_account": {"account_name": 7}}}) == 7
    assert error_lines(caplog) == []


@pytest.mark.parametrize("doc", [{}, {"terraform": None}, {"terraform": {"zentrova_account": []}}, None])
def test_unreadable_arm_account_name_falls_back_to_azuredev(caplog, doc):
    assert Common.getArmAccountName(doc) == "AzureDev"
    assert error_lines(caplog) == [
        (logging.ERROR, "**Error** failed to read account name from yaml. Use default AzureDev")]


class Interrupting(dict):
    def __getitem__(self, key):
        raise KeyboardInterrupt


def test_readers_that_absorb_any_error_let_interrupts_through():
    with pytest.raises(KeyboardInterrupt):
        Common.getArmAccountName(Interrupting())
    with pytest.raises(KeyboardInterrupt):
        Common.getSubscriptionVnets(Interrupting())


def test_subscription_vnets_is_the_value_itself_unless_empty_or_unreadable():
    vnets = ["vnet1"]
    assert Common.getSubscriptionVnets({"vnets": vnets}) is vnets
    for entry in [{"vnets": []}, {}, {"vnets": 5}, None, "text"]:
        empty = Common.getSubscriptionVnets(entry)
        assert empty == {} and type(empty) is dict
    shared = {}
    assert Common.getSubscriptionVnets({"vnets": shared}) is not shared
