"""Per-account options and the document-wide readers of Common."""
import logging

import pytest

from dm.arm.cfgbase import Common


def lines(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "dm.arm.cfgbase"]


class Interrupting(dict):
    def __getitem__(self, key):
        raise KeyboardInterrupt


def test_account_name_text_or_none_after_an_error_line(caplog):
    name = type("Name", (str,), {})("acct-1")
    assert Common.getAccountName({"account_name": name}) is name
    assert Common.getAccountName({"subscription_id": "sub-1", "account_name": 12}) is None
    assert Common.getAccountName({"subscription_id": "sub-1"}) is None
    assert lines(caplog) == [(logging.ERROR, "**Error** expect 'account_name' to be a string but got 12"),
                             (logging.ERROR, "**Error** missing 'account_name' for sub-1 in 'account_info'")]
    with pytest.raises(KeyError, match="subscription_id"):
        Common.getAccountName({})


SUBSCRIPTIONS = {"zentrova": {"app_id": "default", "sub_id": "zentrova"}}


def account(**options):
    return dict({"subscription_id": "sub-1", "account_name": "acct-1", "vwan": {"hub": "h1"},
                 "hpe": True, "max_hpe_performance": False}, **options)


@pytest.mark.parametrize("options, hpe, max_hpe", [
    ({}, "true", "false"), ({"hpe": "Off", "max_hpe_performance": None}, "off", None),
    ({"max_hpe_performance": "HIGH"}, "true", "high")])
def test_account_options_are_written_into_the_run_context(options, hpe, max_hpe):
    acct = account(tf_provider_alias="acct_1", **options)
    run = {"subscriptionMap": SUBSCRIPTIONS, "max_hpe_performance": "stale"}
    assert Common.readAccountOption(acct, run) is None
    assert list(run.items()) == [("subscriptionMap", SUBSCRIPTIONS), ("max_hpe_performance", max_hpe),
                                 ("subscriptionId", "sub-1"), ("provider", "acct_1"), ("vwan", {"hub": "h1"}),
                                 ("hpe", hpe)]
    assert run["vwan"] is acct["vwan"]


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


def without(key):
    return {k: v for k, v in account().items() if k != key}


@pytest.mark.parametrize("acct, subscription_map, error, written", [
    (without("account_name"), SUBSCRIPTIONS, KeyError, ["subscriptionId"]),  # the default record has no alias
    (account(), {}, TypeError, ["subscriptionId"]),  # no record at all
    (without("vwan"), SUBSCRIPTIONS, KeyError, ["subscriptionId", "provider"]),
    (without("max_hpe_performance"), SUBSCRIPTIONS, KeyError,
     ["subscriptionId", "provider", "vwan", "hpe", "max_hpe_performance"]),
])
def test_failure_leaves_what_was_written_before_it(acct, subscription_map, error, written):
    run = {"subscriptionMap": subscription_map}
    with pytest.raises(error):
        Common.readAccountOption(acct, run)
    assert list(run)[1:] == written


def test_filter_cidrs_is_the_value_itself_or_a_new_empty_list():
    cidrs = []
    assert Common.getFilterCidrs({"filter_cidrs": cidrs}) is cidrs
    assert Common.getFilterCidrs({}) == [] == Common.getFilterCidrs(None)
    assert Common.getFilterCidrs({}) is not Common.getFilterCidrs({})
    with pytest.raises(KeyboardInterrupt):
        Common.getFilterCidrs(Interrupting())


def accounts(backend, *entries):
    return {"account_info": list(entries), "terraform": {"enable_s3_backend": backend}}


@pytest.mark.parametrize("doc, subs_id, required", [
    (accounts(False, {"subscription_id": "s1", "onboard_account": True}), "s1", True),
    (accounts(False, {"subscription_id": "s1", "onboard_account": True}), "s2", False),
    (accounts(True, {"subscription_id": "s1", "onboard_account": False}), "s1", True),
    (accounts("true", {"subscription_id": "s1"}), "s1", False),  # only a value equal to True counts
    (accounts(False, {"subscription_id": "s1", "onboard_account": False},
              {"subscription_id": "s1", "onboard_account": "yes"}), "s1", True),
])
def test_main_tf_is_required_by_onboarding_or_the_remote_backend(doc, subs_id, required):
    assert Common.isMainTfRequired(doc, subs_id) is required


@pytest.mark.parametrize("doc", [
    {"terraform": {"enable_s3_backend": True}},
    {"account_info": [{"subscription_id": "s1", "onboard_account": False}], "terraform": {}},
    {"account_info": [{"subscription_id": "s1", "onboard_account": 0}]},
    accounts(True, {"subscription_id": "s1"}, {"onboard_account": True}),
])
def test_main_tf_test_reads_every_section_it_names(doc):
    with pytest.raises(KeyError):
        Common.isMainTfRequired(doc, "s1")


class Unreadable(dict):
    def __getitem__(self, key):
        raise AssertionError(f"read {key!r}")


@pytest.mark.parametrize("terraform", [{}, {"terraform": {}}, {"terraform": Unreadable()}])
def test_main_tf_backend_is_not_read_once_an_entry_requires_it(terraform):
    doc = dict({"account_info": [{"subscription_id": "s1", "onboard_account": False},
                                 {"subscription_id": "s1", "onboard_account": [0]}]}, **terraform)
    assert Common.isMainTfRequired(doc, "s1") is True


def test_controller_private_ip_or_none_without_logging(caplog):
    assert Common.getControllerPrivateIp({"zentrova": {"controller_private_ip": "10.0.0.4"}}) == "10.0.0.4"
    assert [Common.getControllerPrivateIp(doc) for doc in [{}, {"zentrova": None}, None]] == [None] * 3
    assert lines(caplog) == []
    with pytest.raises(KeyboardInterrupt):
        Common.getControllerPrivateIp(Interrupting())


def test_transit_peering_map_is_the_value_itself_or_a_new_empty_dict():
    peerings = {"transit-a": ["spoke-1"]}
    assert Common.getTransitPeeringMap({"switch_traffic": {"transit_peerings": peerings}}) is peerings
    for doc in [{}, {"switch_traffic": {}}, {"switch_traffic": {"transit_peerings": None}}]:
        assert Common.getTransitPeeringMap(doc) == {} and Common.getTransitPeeringMap(doc) is not Common.getTransitPeeringMap(doc)
    with pytest.raises(TypeError):
        Common.getTransitPeeringMap({"switch_traffic": ["not", "a", "mapping"]})


class EqualsNone:
    def __eq__(self, other):
        return other is None


class Lowered(str):
    def lower(self):
        return "lowered by the subclass"


class ShowsAs:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def test_shortcuts_for_exact_types_leave_other_types_to_their_own_methods():
    # `== None` answers at once for the exact dict, list and str only
    for value in [[], "", {"a": 1}]:
        doc = {"switch_traffic": {"transit_peerings": value}}
        assert Common.getTransitPeeringMap(doc) is value
    assert Common.getTransitPeeringMap({"switch_traffic": {"transit_peerings": EqualsNone()}}) == {}
    assert Common.getSubscription({"s1": {"a": 1}}, "s1", EqualsNone()) == {"a": 1}
    # str(x).lower(): a text of a str subclass keeps its own lower
    run = {"subscriptionMap": SUBSCRIPTIONS}
    Common.readAccountOption(account(hpe=ShowsAs(Lowered("ON")), max_hpe_performance=ShowsAs("MAX"),
                                     tf_provider_alias="a"), run)
    assert (run["hpe"], run["max_hpe_performance"]) == ("lowered by the subclass", "max")


def test_selected_record_is_copied_by_its_own_copy_method():
    class Record(dict):
        def copy(self):
            return {"copied": True}
    assert Common.getSubscription({"s1": Record(a=1)}, "s1") == {"copied": True}
    original = {"a": [1]}
    copied = Common.getSubscription({"s1": original}, "s1", {"account_name": "n"})
    assert type(copied) is dict and copied is not original and copied["a"] is original["a"]
    assert original == {"a": [1]}


def test_logger_is_asked_for_on_every_call_and_follows_changed_names(monkeypatch):
    from dm.arm import cfgbase
    asked = []

    def getLogger(name=None):
        asked.append(name)
        return logging.Logger("recording")
    doc = {"zentrova": {"controller_private_ip": "10.0.0.4"}}
    for _ in range(2):
        assert Common.getControllerPrivateIp(doc) == "10.0.0.4"
    monkeypatch.setattr(logging, "getLogger", getLogger)  # the logging module's namespace changes
    Common.getControllerPrivateIp(doc)
    Common.getControllerPrivateIp(doc)
    assert asked == ["dm.arm.cfgbase"] * 2
    monkeypatch.setattr(cfgbase, "__name__", "renamed")  # the module's globals change
    Common.getAccountName({"account_name": "a"})
    monkeypatch.setattr(cfgbase, "logging", type("NotAModule", (), {"getLogger": staticmethod(getLogger)}))
    Common.getArmAccountName({})
    monkeypatch.delattr(cfgbase, "logging")
    with pytest.raises(NameError, match="logging"):
        Common.getControllerPrivateIp(doc)
    assert asked == ["dm.arm.cfgbase"] * 2 + ["renamed"] * 2
