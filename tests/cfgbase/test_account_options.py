"""Per-account options and the document-wide readers of Common."""
import logging

import pytest

from dm.arm.cfgbase import Common


def log_lines(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "dm.arm.cfgbase"]


class Interrupting(dict):
    def __getitem__(self, key):
        raise KeyboardInterrupt


# ---------------------------------------------------------------- getAccountName

class Name(str):
    pass


def test_account_name_text_is_returned(caplog):
    name = Name("acct-1")
    assert Common.getAccountName({"account_name": name}) is name
    assert log_lines(caplog) == []


@pytest.mark.parametrize("account, line", [
    ({"subscription_id": "sub-1", "account_name": 12},
     "**Error** expect 'account_name' to be a string but got 12"),
    ({"subscription_id": "sub-1", "account_name": None},
     "**Error** expect 'account_name' to be a string but got None"),
    ({"subscription_id": "sub-1"}, "**Error** missing 'account_name' for sub-1 in 'account_info'"),
])
def test_bad_account_name_logs_an_error_and_gives_none(caplog, account, line):
    assert Common.getAccountName(account) is None
    assert log_lines(caplog) == [(logging.ERROR, line)]


def test_account_without_name_or_subscription_raises_key_error():
    with pytest.raises(KeyError, match="subscription_id"):
        Common.getAccountName({})


# ---------------------------------------------------------------- readAccountOption

SUBSCRIPTIONS = {"zentrova": {"app_id": "default", "sub_id": "zentrova"}}


def account(**options):
    entry = {"subscription_id": "sub-1", "account_name": "acct-1", "vwan": {"hub": "h1"},
             "hpe": True, "max_hpe_performance": False}
    entry.update(options)
    return entry


def test_account_options_are_written_into_the_run_context(caplog):
    acct = account(tf_provider_alias="acct_1")
    run = {"subscriptionMap": SUBSCRIPTIONS}
    assert Common.readAccountOption(acct, run) is None
    assert list(run.items()) == [("subscriptionMap", SUBSCRIPTIONS), ("subscriptionId", "sub-1"),
                                 ("provider", "acct_1"), ("vwan", {"hub": "h1"}), ("hpe", "true"),
                                 ("max_hpe_performance", "false")]
    assert run["vwan"] is acct["vwan"]
    assert log_lines(caplog) == []


@pytest.mark.parametrize("value, written", [(None, None), ("HIGH", "high"), (3, "3")])
def test_max_hpe_performance_is_lower_case_text_unless_none(value, written):
    run = {"subscriptionMap": SUBSCRIPTIONS, "max_hpe_performance": "stale"}
    Common.readAccountOption(account(max_hpe_performance=value, hpe="Off"), run)
    assert (run["hpe"], run["max_hpe_performance"]) == ("off", written)


def test_subscription_is_selected_through_the_class_it_is_called_on():
    calls = []

    class Custom(Common):
        @classmethod
        def getSubscription(cls, subscriptionMap, subscriptionId, account=None):
            calls.append((subscriptionMap, subscriptionId, account))
            return {"alias": "from-subclass"}

    acct, run = account(), {"subscriptionMap": "map"}
    Custom.readAccountOption(acct, run)
    assert calls == [("map", "sub-1", acct)] and run["provider"] == "from-subclass"


@pytest.mark.parametrize("acct, run, error, written", [
    (account(), {}, KeyError, ["subscriptionId"]),
    ({"subscription_id": "sub-1", "hpe": True}, {"subscriptionMap": SUBSCRIPTIONS}, KeyError,
     ["subscriptionMap", "subscriptionId"]),  # a default record carries no alias without a name
    (account(), {"subscriptionMap": {}}, TypeError, ["subscriptionMap", "subscriptionId"]),
    ({k: v for k, v in account().items() if k != "vwan"}, {"subscriptionMap": SUBSCRIPTIONS},
     KeyError, ["subscriptionMap", "subscriptionId", "provider"]),
    ({k: v for k, v in account().items() if k != "max_hpe_performance"},
     {"subscriptionMap": SUBSCRIPTIONS}, KeyError,
     ["subscriptionMap", "subscriptionId", "provider", "vwan", "hpe", "max_hpe_performance"]),
])
def test_failure_leaves_what_was_written_before_it(acct, run, error, written):
    with pytest.raises(error):
        Common.readAccountOption(acct, run)
    assert list(run) == written


# ---------------------------------------------------------------- getFilterCidrs

def test_filter_cidrs_is_the_value_itself_or_a_new_empty_list():
    cidrs = []
    assert Common.getFilterCidrs({"filter_cidrs": cidrs}) is cidrs
    for acct in [{}, None, 5]:
        empty = Common.getFilterCidrs(acct)
        assert empty == [] and empty is not Common.getFilterCidrs(acct)
    with pytest.raises(KeyboardInterrupt):
        Common.getFilterCidrs(Interrupting())


# ---------------------------------------------------------------- isMainTfRequired

def accounts(backend, *entries):
    return {"account_info": list(entries), "terraform": {"enable_s3_backend": backend}}


@pytest.mark.parametrize("doc, subs_id, required", [
    (accounts(False, {"subscription_id": "s1", "onboard_account": True}), "s1", True),
    (accounts(False, {"subscription_id": "s1", "onboard_account": True}), "s2", False),
    (accounts(True, {"subscription_id": "s1", "onboard_account": False}), "s1", True),
    (accounts(True), "s9", True),
    (accounts("true", {"subscription_id": "s1"}), "s1", False),  # only a value equal to True counts
    (accounts(1, {"subscription_id": "s1", "onboard_account": 0}), "s1", True),
    (accounts(False, {"subscription_id": "s1", "onboard_account": False},
              {"subscription_id": "s1", "onboard_account": "yes"}), "s1", True),
    (accounts(False, {"subscription_id": "s2", "onboard_account": True},
              {"subscription_id": "s1", "onboard_account": []}), "s1", False),
])
def test_main_tf_is_required_by_onboarding_or_the_remote_backend(doc, subs_id, required):
    assert Common.isMainTfRequired(doc, subs_id) is required


@pytest.mark.parametrize("doc", [
    {"terraform": {"enable_s3_backend": True}},
    {"account_info": [{"subscription_id": "s1", "onboard_account": True}]},
    {"account_info": [{"subscription_id": "s1", "onboard_account": True}], "terraform": {}},
    accounts(True, {"subscription_id": "s1"}, {"onboard_account": True}),
])
def test_main_tf_test_reads_every_section_it_names(doc):
    with pytest.raises(KeyError):
        Common.isMainTfRequired(doc, "s1")


# ---------------------------------------------------------------- getControllerPrivateIp, getTransitPeeringMap

def test_controller_private_ip_or_none_without_logging(caplog):
    assert Common.getControllerPrivateIp({"zentrova": {"controller_private_ip": "10.0.0.4"}}) == "10.0.0.4"
    for doc in [{}, {"zentrova": None}, {"zentrova": {}}, None]:
        assert Common.getControllerPrivateIp(doc) is None
    assert log_lines(caplog) == []
    with pytest.raises(KeyboardInterrupt):
        Common.getControllerPrivateIp(Interrupting())


def test_transit_peering_map_is_the_value_itself_or_a_new_empty_dict():
    peerings = {"transit-a": ["spoke-1"]}
    assert Common.getTransitPeeringMap({"switch_traffic": {"transit_peerings": peerings}}) is peerings
    for doc in [{}, {"switch_traffic": {}}, {"switch_traffic": {"transit_peerings": None}}]:
        empty = Common.getTransitPeeringMap(doc)
        assert empty == {} and empty is not Common.getTransitPeeringMap(doc)


def test_transit_peering_map_lets_other_errors_through():
    with pytest.raises(TypeError):
        Common.getTransitPeeringMap({"switch_traffic": ["not", "a", "mapping"]})
    with pytest.raises(TypeError):
        Common.getTransitPeeringMap(None)
