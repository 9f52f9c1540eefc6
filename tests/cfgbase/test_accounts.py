"""Subscription credential maps, the record selected for a subscription, and
the account-name and VNet-list readers of Common."""
import logging
import types

import pytest

from dm.arm import cfgbase
from dm.arm.cfgbase import Common


def cred(secret_env="ENV", **more):
    return dict({"arm_application_secret_env": secret_env, "arm_application_id": "app",
                 "arm_directory_id": "dir"}, **more)


def lines(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "dm.arm.cfgbase"]


def test_azure_cred_map_in_document_order_later_entries_winning():
    doc = {"azure_cred": {"zentrova": cred(arm_application_secret_data_src="ztr-src", arm_subscription_id=5),
                          "app2": cred("E2", arm_subscription_id=["s1", "s2"]),
                          "app3": cred("E3", arm_subscription_id=["s2"], arm_application_secret_data_src="kv")}}
    result = Common.getAzureSubscriptionInfo(doc)
    assert list(result) == ["zentrova", "s1", "s2"]
    assert list(result["zentrova"].items()) == [
        ("secret_env", "ENV"), ("secret_data_src", "ztr-src"), ("app_id", "app"), ("dir_id", "dir"),
        ("sub_id", "zentrova"), ("apps", "zentrova")]
    assert result["s1"] == {"secret_env": "E2", "secret_data_src": "", "app_id": "app", "dir_id": "dir",
                            "sub_id": "s1", "apps": "app2"}
    assert (result["s2"]["apps"], result["s2"]["secret_data_src"]) == ("app3", "kv")


@pytest.mark.parametrize("doc, line", [
    ({}, "**Error** YAML missing 'azure_cred' definition"),
    ({"azure_cred": [cred()]}, "**Error** YAML missing 'azure_cred' definition"),
    ({"azure_cred": {"app2": cred(arm_subscription_id="s1")}},
     "**Error** YAML azure_cred: 'app2' arm_subscription_id - list of subscription Id strings expected"),
    ({"azure_cred": {"app2": {"arm_application_secret_env": "E", "arm_subscription_id": ["s1"]}}},
     "**Error** YAML azure_cred: 'app2' missing 'arm_application_id'"),
    ({"azure_cred": {"app2": cred()}}, "**Error** YAML azure_cred: 'app2' missing 'arm_subscription_id'"),
])
def test_malformed_azure_cred_logs_one_line_and_exits_with_status_1(caplog, doc, line):
    with pytest.raises(SystemExit) as exited:
        Common.getAzureSubscriptionInfo(doc)
    assert exited.value.code == 1 and lines(caplog) == [(logging.ERROR, line)]


def test_exit_goes_through_the_module_sys_and_the_loop_goes_on_when_it_returns(monkeypatch):
    statuses = []
    monkeypatch.setattr(cfgbase, "sys", types.SimpleNamespace(exit=statuses.append))
    doc = {"azure_cred": {"bad": {"arm_subscription_id": ["s0"]}, "good": cred(arm_subscription_id=["s1"])}}
    assert list(Common.getAzureSubscriptionInfo(doc)) == ["s1"] and statuses == [1]


def test_entry_errors_other_than_a_missing_key_propagate_without_exit(caplog):
    with pytest.raises(TypeError):
        Common.getAzureSubscriptionInfo({"azure_cred": {"app2": ["not", "a", "mapping"]}})
    with pytest.raises(TypeError, match="unhashable"):
        Common.getAzureSubscriptionInfo({"azure_cred": {"app2": cred(arm_subscription_id=[["s"]])}})
    assert lines(caplog) == []
    assert Common.getAzureSubscriptionInfo({"azure_cred": {"app2": {"arm_subscription_id": []}}}) == {}


def test_azurerm_and_vnet_cidr_maps(caplog):
    entry = dict(cred("E"), arm_subscription_id="s1", alias="al", account_name="acct")
    azurerm = Common.getAzurermSubscriptionInfo({"terraform": {"azurerm": [entry, dict(entry, alias="al2")]}})
    assert list(azurerm["s1"].items()) == [("secret_env", "E"), ("app_id", "app"), ("dir_id", "dir"),
                                           ("alias", "al2"), ("account_name", "acct"), ("sub_id", "s1")]
    assert Common.getVnetCidrSubscriptionInfo({"vnet_cidr": [entry]}) == {
        "s1": {"secret_env": "E", "app_id": "app", "dir_id": "dir"}}
    with pytest.raises(KeyError, match="account_name"):
        Common.getAzurermSubscriptionInfo({"terraform": {"azurerm": [dict(cred(), arm_subscription_id="s", alias="a")]}})
    with pytest.raises(KeyError, match="arm_application_secret_env"):
        Common.getVnetCidrSubscriptionInfo({"vnet_cidr": [{"arm_subscription_id": "s"}]})
    assert lines(caplog) == []


SUBSCRIPTIONS = {"zentrova": {"app_id": "default", "sub_id": "zentrova", "tags": ["shared"]},
                 "s1": {"app_id": "one", "sub_id": "s1"}}


@pytest.mark.parametrize("account, name, alias", [
    ({"account_name": "acct-1", "tf_provider_alias": "acct_1"}, "acct-1", "acct_1"),
    ({"account_name": "acct-1", "tf_provider_alias": None}, "acct-1", "acct-1"),
    ({"tf_provider_alias": "acct_1"}, None, "acct_1"),
])
def test_selected_record_is_stamped_with_account_name_and_alias(account, name, alias):
    record = Common.getSubscription(SUBSCRIPTIONS, "s1", account)
    assert (record["app_id"], record.get("account_name"), record["alias"]) == ("one", name, alias)
    assert "alias" not in SUBSCRIPTIONS["s1"]


def test_default_record_copy_none_without_default_and_accounts_equal_to_none():
    record = Common.getSubscription(SUBSCRIPTIONS, "s9")
    assert record == {"app_id": "default", "sub_id": "s9", "tags": ["shared"]}
    assert SUBSCRIPTIONS["zentrova"]["sub_id"] == "zentrova" and record["tags"] is SUBSCRIPTIONS["zentrova"]["tags"]
    assert Common.getSubscription({"s1": {}}, "s2", account={"account_name": "a"}) is None

    class EqualsNone:
        def __eq__(self, other):
            return other is None
    assert Common.getSubscription(SUBSCRIPTIONS, "s1", EqualsNone()) == SUBSCRIPTIONS["s1"]
    with pytest.raises(AttributeError):
        Common.getSubscription({"s1": ("no", "copy")}, "s1")


class Interrupting(dict):
    def __getitem__(self, key):
        raise KeyboardInterrupt


def test_arm_account_name_or_azuredev_after_an_error_line(caplog):
    assert Common.getArmAccountName({"terraform": {"zentrova_account": {"account_name": 7}}}) == 7
    for doc in [{}, {"terraform": {"zentrova_account": []}}, None]:
        assert Common.getArmAccountName(doc) == "AzureDev"
    assert lines(caplog) == [(logging.ERROR, "**Error** failed to read account name from yaml. Use default AzureDev")] * 3
    with pytest.raises(KeyboardInterrupt):
        Common.getArmAccountName(Interrupting())


def test_subscription_vnets_is_the_value_itself_unless_empty_or_unreadable():
    vnets, shared = ["vnet1"], {}
    assert Common.getSubscriptionVnets({"vnets": vnets}) is vnets
    assert Common.getSubscriptionVnets({"vnets": shared}) is not shared
    for entry in [{"vnets": []}, {}, {"vnets": 5}, None]:
        assert type(Common.getSubscriptionVnets(entry)) is dict and Common.getSubscriptionVnets(entry) == {}
    with pytest.raises(KeyboardInterrupt):
        Common.getSubscriptionVnets(Interrupting())
