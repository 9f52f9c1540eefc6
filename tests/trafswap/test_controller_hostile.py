"""Controller and resource-graph operations on malformed replies, documents and models:
every call returns or raises an ordinary exception, and repeating failing calls
does not grow memory."""
import contextlib
import logging
from types import SimpleNamespace as NS

from hypothesis import given, settings
from hypothesis import strategies as st

import dm.arm.trafswap as trafswap
from controller_fakes import Controller, Credential, ProcessContext, credential_factory, network_client_class, \
    resource_graph
from dm.arm.trafswap import SwitchTraffic
from tests.hostile import HostileBool, HostileEq, HostileMapping, HostileStr, documents, hostile_objects, \
    memory_growth, returns_or_raises, scalars

REPLY_KEYS = ("return", "results", "account_list", "gw_name", "account_name", "vpc_id", "arm_subscription_id",
              "arm_ad_client_id", "arm_ad_tenant_id")
values = st.one_of(scalars, hostile_objects)
replies = st.one_of(documents(REPLY_KEYS), st.fixed_dictionaries(
    {"return": st.one_of(st.just(True), values),
     "results": st.lists(st.fixed_dictionaries({"gw_name": st.sampled_from(["gw", "x"]),
                                                "account_name": values, "vpc_id": values}), max_size=3)}))
account_replies = st.one_of(documents(REPLY_KEYS), st.fixed_dictionaries(
    {"return": st.just(True), "results": st.fixed_dictionaries({"account_list": st.lists(documents(REPLY_KEYS),
                                                                                          max_size=3)})}))
yamls = st.one_of(documents(("configure_gw_name", "domain", "spoke_gw_name")),
                  st.fixed_dictionaries({"configure_gw_name": values, "domain": values, "spoke_gw_name": values}))


@contextlib.contextmanager
def installed(**names):
    saved = {name: getattr(trafswap, name) for name in names}
    for name, value in names.items():
        setattr(trafswap, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(trafswap, name, value)


def fakes(gateways, accounts, document, rows):
    calls = []
    return {"av": Controller(replies={"list_gateway_info": gateways, "list_accounts": accounts}),
            "Globals": ProcessContext(document), "yctx": credential_factory(calls),
            "NetworkManagementClient": network_client_class(calls, {}),
            "arg": resource_graph(calls, NS(total_records=len(rows), data=rows)), "calls": calls}


def one_round(globals_, attach, gw_name, vnet_id):
    with installed(**{name: value for name, value in globals_.items() if name != "calls"}):
        returns_or_raises(SwitchTraffic.getTransitVnet, "u", "c", gw_name)
        returns_or_raises(SwitchTraffic.attach_spoke_domain, attach)
        returns_or_raises(SwitchTraffic.enableSingleIPSnat, "u", "c", gw_name)
        returns_or_raises(SwitchTraffic.disableSnat, "u", "c", gw_name)
        returns_or_raises(SwitchTraffic.isVnetWithVng, Credential(), NS(id=vnet_id, name=gw_name), gw_name)
    globals_["av"].calls.clear()
    globals_["Globals"].reads.clear()
    globals_["calls"].clear()


@settings(max_examples=150, deadline=None)
@given(gateways=replies, accounts=account_replies, document=yamls, attach=values, gw_name=values,
       vnet_id=st.one_of(values, st.text(alphabet="a'\\\"/", max_size=8)),
       rows=st.lists(st.one_of(values, st.dictionaries(st.just("properties_gatewayType"), values)), max_size=3))
def test_malformed_input_returns_or_raises(gateways, accounts, document, attach, gw_name, vnet_id, rows):
    one_round(fakes(gateways, accounts, document, rows), attach, gw_name, vnet_id)


def test_repeated_failing_calls_do_not_grow_memory(monkeypatch):
    # Every line is still made and logged, but not kept by the test run's log capture.
    monkeypatch.setattr(logging.getLogger("dm.arm.trafswap"), "propagate", False)
    gateways = {"return": HostileEq(), "results": []}
    broken = {"return": True, "results": [{"gw_name": "gw", "account_name": "a", "vpc_id": "v:r"},
                                          {"gw_name": "gw", "account_name": HostileStr(), "vpc_id": 5},
                                          HostileMapping(a=1)]}
    matched = {"return": True, "results": [{"gw_name": "gw", "account_name": "a", "vpc_id": "nocolon"}]}
    accounts = {"return": True, "results": {"account_list": [{"account_name": "a", "arm_subscription_id": "s",
                                                              "arm_ad_client_id": "c"}]}}
    documents_ = [{"configure_gw_name": HostileBool()}, {"configure_gw_name": True, "domain": HostileEq()},
                  {"configure_gw_name": True, "domain": "d", "spoke_gw_name": HostileStr()}]
    rows = [{"properties_gatewayType": HostileEq()}, HostileMapping(a=1)]

    rounds = [fakes(reply, accounts, document, rows) for reply in (gateways, broken, matched)
              for document in documents_]
    last = fakes(matched, accounts, documents_[2], [])

    def round_of_calls():
        for globals_ in rounds:
            one_round(globals_, HostileBool(), "gw", "a'b\\c")
        one_round(last, 1, HostileStr(), HostileStr())

    assert memory_growth(round_of_calls, rounds=300) < 50_000
