"""SNAT, security-domain attachment and the transit VNet lookup against recording fakes."""
import logging
from types import SimpleNamespace as NS

import pytest

import dm.arm.trafswap as trafswap
from dm.arm.trafswap import SwitchTraffic
from controller_fakes import Controller, ProcessContext, credential_factory, network_client_class

LOGGER = "dm.arm.trafswap"


def report(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


@pytest.fixture
def av(monkeypatch):
    def install(**kwargs):
        controller = Controller(**kwargs)
        monkeypatch.setattr(trafswap, "av", controller)
        return controller
    return install


@pytest.fixture(autouse=True)
def logs(caplog):
    caplog.set_level(logging.DEBUG, LOGGER)


# ---------------------------------------------------------------- SNAT

SNAT = {
    "disableSnat": ("disable_snat", "- Disable gw gw1 SNAT", "  Done",
                    "  **Error** Failed to disable SNAT on gateway gw1. timeout"),
    "enableSingleIPSnat": ("enable_snat", "- Enable Single IP SNAT on gw1", "  Done Single IP SNAT on gw1",
                           "  **Error** Failed to enable Single IP SNAT on gateway gw1. timeout"),
}


@pytest.mark.parametrize("operation", SNAT)
def test_snat_request_and_lines(av, caplog, operation):
    call, heading, done, _ = SNAT[operation]
    controller = av()
    assert getattr(SwitchTraffic, operation)("https://ctl", "cid-1", "gw1") is None
    assert controller.calls == [(call, (), {"api_endpoint_url": "https://ctl", "CID": "cid-1", "gw_name": "gw1"})]
    assert report(caplog) == [("INFO", heading), ("INFO", done)]


@pytest.mark.parametrize("operation", SNAT)
def test_snat_failure_is_logged_and_swallowed(av, caplog, operation):
    call, heading, _, failed = SNAT[operation]
    av(errors={call: TimeoutError("timeout")})
    assert getattr(SwitchTraffic, operation)(gw_name="gw1", CID="c", api_endpoint_url="u") is None
    assert report(caplog) == [("INFO", heading), ("ERROR", failed)]


@pytest.mark.parametrize("operation", SNAT)
def test_snat_interrupt_passes_through(av, operation):
    av(errors={SNAT[operation][0]: KeyboardInterrupt()})
    with pytest.raises(KeyboardInterrupt):
        getattr(SwitchTraffic, operation)("u", "c", "gw1")


@pytest.mark.parametrize("operation", SNAT)
def test_snat_dry_run_logs_the_heading_only(av, caplog, monkeypatch, operation):
    controller = av()
    monkeypatch.setattr(SwitchTraffic, "DryRun", 1)
    getattr(SwitchTraffic, operation)("u", "c", "gw1")
    assert controller.calls == [] and report(caplog) == [("INFO", SNAT[operation][1])]


def test_snat_defaults_are_empty_texts_and_values_print_as_str(av, caplog):
    controller = av()
    SwitchTraffic.disableSnat()
    SwitchTraffic.enableSingleIPSnat(gw_name=7)
    assert controller.calls == [("disable_snat", (), {"api_endpoint_url": "", "CID": "", "gw_name": ""}),
                                ("enable_snat", (), {"api_endpoint_url": "", "CID": "", "gw_name": 7})]
    assert [m for _, m in report(caplog)] == ["- Disable gw  SNAT", "  Done",
                                              "- Enable Single IP SNAT on 7", "  Done Single IP SNAT on 7"]


# ---------------------------------------------------------------- security domain

DOCUMENT = {"configure_gw_name": True, "domain": "prod", "spoke_gw_name": "spoke1-gw"}


@pytest.fixture
def context(monkeypatch):
    def install(document=DOCUMENT, **kwargs):
        globals_ = ProcessContext(document, **kwargs)
        monkeypatch.setattr(trafswap, "Globals", globals_)
        return globals_
    return install


@pytest.mark.parametrize("attach, action, line", [
    (True, "associate_attachment_to_multi_cloud_security_domain", "- Attach spoke1-gw to domain prod"),
    (1, "associate_attachment_to_multi_cloud_security_domain", "- Attach spoke1-gw to domain prod"),
    ("no", "associate_attachment_to_multi_cloud_security_domain", "- Attach spoke1-gw to domain prod"),
    (None, "disassociate_attachment_from_multi_cloud_security_domain", "- Detach spoke1-gw from domain prod"),
    (0, "disassociate_attachment_from_multi_cloud_security_domain", "- Detach spoke1-gw from domain prod"),
])
def test_domain_request_in_key_order(av, context, caplog, attach, action, line):
    controller, globals_ = av(), context()
    assert SwitchTraffic.attach_spoke_domain(attach) is None
    (name, args, kwargs), = controller.calls
    assert (name, kwargs) == ("zentrova_post", {})
    assert args == ("https://ctl/v1/api", {"action": action, "CID": "cid-1", "domain_name": "prod",
                                           "attachment_name": "spoke1-gw"})
    assert list(args[1]) == ["action", "CID", "domain_name", "attachment_name"]
    assert report(caplog) == [("INFO", line)]
    assert globals_.reads == ["yaml[configure_gw_name]", "yaml[domain]", "CID", "yaml[spoke_gw_name]",
                              "getDryRun", "api_ep_url"]


def test_domain_dry_run_reads_and_logs_but_sends_nothing(av, context, caplog, monkeypatch):
    controller, globals_ = av(), context(dry_run=True)
    monkeypatch.setattr(SwitchTraffic, "DryRun", False)
    SwitchTraffic.attach_spoke_domain(True)
    assert controller.calls == [] and globals_.reads[-1] == "api_ep_url"
    assert report(caplog) == [("INFO", "- Attach spoke1-gw to domain prod")]


def test_class_dry_run_does_not_hold_the_domain_request(av, context, monkeypatch):
    controller, _ = av(), context(dry_run=0)
    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    SwitchTraffic.attach_spoke_domain(attach=False)
    assert [c[0] for c in controller.calls] == ["zentrova_post"]


@pytest.mark.parametrize("document, reads", [
    ({"configure_gw_name": False}, ["yaml[configure_gw_name]"]),
    ({"configure_gw_name": 0, "domain": "prod"}, ["yaml[configure_gw_name]"]),
    ({"configure_gw_name": True, "domain": None}, ["yaml[configure_gw_name]", "yaml[domain]"]),
])
def test_domain_skipped_silently(av, context, caplog, document, reads):
    controller, globals_ = av(), context(document)
    SwitchTraffic.attach_spoke_domain(True)
    assert controller.calls == [] and report(caplog) == [] and globals_.reads == reads


@pytest.mark.parametrize("document, missing", [
    ({}, "configure_gw_name"),
    ({"configure_gw_name": True}, "domain"),
    ({"configure_gw_name": "yes", "domain": "prod"}, "spoke_gw_name"),
])
def test_domain_missing_key_raises_before_any_line(av, context, caplog, document, missing):
    av(), context(document)
    with pytest.raises(KeyError, match=missing):
        SwitchTraffic.attach_spoke_domain(True)
    assert report(caplog) == []


def test_domain_post_failure_propagates_after_the_line(av, context, caplog):
    av(errors={"zentrova_post": RuntimeError("refused")}), context()
    with pytest.raises(RuntimeError, match="refused"):
        SwitchTraffic.attach_spoke_domain(False)
    assert report(caplog) == [("INFO", "- Detach spoke1-gw from domain prod")]


# ---------------------------------------------------------------- transit VNet

def gateway(name, account="acct-1", vpc="transit-vnet:rg-hub"):
    return {"gw_name": name, "account_name": account, "vpc_id": vpc}


def account(name, sub="sub-hub", **drop):
    record = {"account_name": name, "arm_subscription_id": sub, "arm_ad_client_id": "app", "arm_ad_tenant_id": "dir"}
    for key in drop:
        del record[key]
    return record


GATEWAYS = {"return": True, "results": [gateway("spoke-gw", "acct-0", "x:y"),
                                        gateway("transit-gw", "acct-1", "transit-vnet:rg-hub:eastus"),
                                        gateway("transit-gw", "acct-2", "other:rg-other")]}
ACCOUNTS = {"return": True, "results": {"account_list": [account("acct-0", "sub-0"), account("acct-1", "sub-hub"),
                                                         account("acct-1", "sub-later")]}}
LOOKUP = ("INFO", "- Lookup transit gw account and vnet info")


@pytest.fixture
def azure(monkeypatch):
    calls = []
    vnet = NS(name="transit-vnet")
    monkeypatch.setattr(trafswap, "yctx", credential_factory(calls))
    monkeypatch.setattr(trafswap, "NetworkManagementClient",
                        network_client_class(calls, {("rg-hub", "transit-vnet"): vnet}))
    return calls, vnet


def test_transit_vnet_found_through_both_lists_and_the_network_client(av, azure, caplog):
    controller = av(replies={"list_gateway_info": GATEWAYS, "list_accounts": ACCOUNTS})
    calls, vnet = azure
    cred, found = SwitchTraffic.getTransitVnet("https://ctl", "cid-1", "transit-gw")
    assert found is vnet and cred.sub_id == "sub-hub"
    assert controller.calls == [
        ("list_gateway_info", (), {"api_endpoint_url": "https://ctl", "CID": "cid-1", "vpc_access_account_name": ""}),
        ("list_accounts", (), {"api_endpoint_url": "https://ctl", "CID": "cid-1", "iam_based": "false"}),
    ]
    assert calls == [("YamlContext",), ("generateAzureCredential", "sub-hub"), ("getCSC",), ("getSubId",),
                     ("NetworkManagementClient", "csc-of-sub-hub", "sub-hub"),
                     ("virtual_networks.get", "rg-hub", "transit-vnet")]
    assert report(caplog) == [LOOKUP, ("INFO", "  transit-gw in vnet transit-vnet resource group rg-hub")]


def test_transit_defaults_search_the_empty_name(av, azure):
    controller = av(replies={"list_gateway_info": {"return": True, "results": [gateway("", vpc="transit-vnet:rg-hub")]},
                             "list_accounts": ACCOUNTS})
    assert SwitchTraffic.getTransitVnet()[1] is azure[1]
    assert [c[2]["api_endpoint_url"] for c in controller.calls] == ["", ""]
    assert [c[2]["CID"] for c in controller.calls] == ["", ""]


NO_GATEWAY = "  **Error** No account info for transit gateway transit-gw found in controller"
NO_ACCOUNT = "  **Error** Failed to identify Azure account info for acct-1"


@pytest.mark.parametrize("replies, errors, line", [
    ({"list_gateway_info": {"return": False}}, {}, "  **Error** Failed to get gateway info from controller"),
    ({"list_gateway_info": {"return": 0, "results": GATEWAYS["results"]}}, {},
     "  **Error** Failed to get gateway info from controller"),
    ({"list_gateway_info": {"results": GATEWAYS["results"]}}, {}, NO_GATEWAY),
    ({"list_gateway_info": [True]}, {}, NO_GATEWAY),
    ({}, {"list_gateway_info": ConnectionError("down")}, NO_GATEWAY),
    ({"list_gateway_info": {"return": True, "results": [gateway("Transit-GW")]}}, {}, NO_GATEWAY),
    ({"list_gateway_info": {"return": True, "results": [gateway("transit-gw"), {"account_name": "a"}]}}, {},
     NO_GATEWAY),
    ({"list_gateway_info": {"return": True, "results": [{"gw_name": "transit-gw", "vpc_id": "a:b"}]}}, {},
     NO_GATEWAY),
    ({"list_gateway_info": {"return": True, "results": [gateway("transit-gw", vpc="no-colon")]}}, {}, NO_GATEWAY),
    ({"list_gateway_info": GATEWAYS, "list_accounts": {"return": False}}, {},
     "  **Error** Failed to get account info from controller"),
    ({"list_gateway_info": GATEWAYS, "list_accounts": {"return": True, "results": []}}, {}, NO_ACCOUNT),
    ({"list_gateway_info": GATEWAYS}, {"list_accounts": OSError("reset")}, NO_ACCOUNT),
    ({"list_gateway_info": GATEWAYS, "list_accounts": {"return": True, "results": {"account_list": [
        account("acct-1", arm_ad_client_id=None)]}}}, {}, NO_ACCOUNT),
    ({"list_gateway_info": GATEWAYS, "list_accounts": {"return": True, "results": {"account_list": [
        account("acct-1"), account("acct-1", arm_ad_tenant_id=None)]}}}, {}, NO_ACCOUNT),
    ({"list_gateway_info": GATEWAYS, "list_accounts": {"return": True, "results": {"account_list": [
        account("ACCT-1")]}}}, {}, NO_ACCOUNT),
])
def test_transit_handled_failures(av, azure, caplog, replies, errors, line):
    av(replies=replies, errors=errors)
    assert SwitchTraffic.getTransitVnet("u", "c", "transit-gw") == (None, None)
    assert report(caplog) == [LOOKUP, ("ERROR", line)]
    assert azure[0] == []


@pytest.mark.parametrize("failing", ["list_gateway_info", "list_accounts"])
def test_transit_interrupt_passes_through(av, azure, failing):
    av(replies={"list_gateway_info": GATEWAYS}, errors={failing: KeyboardInterrupt()})
    with pytest.raises(KeyboardInterrupt):
        SwitchTraffic.getTransitVnet("u", "c", "transit-gw")


def test_transit_azure_failures_propagate(av, azure, caplog, monkeypatch):
    av(replies={"list_gateway_info": {"return": True, "results": [gateway("transit-gw", vpc="gone:rg-hub")]},
                "list_accounts": ACCOUNTS})
    with pytest.raises(KeyError):
        SwitchTraffic.getTransitVnet("u", "c", "transit-gw")
    monkeypatch.setattr(trafswap, "yctx", lambda: NS(generateAzureCredential=lambda sub: None))
    with pytest.raises(AttributeError):
        SwitchTraffic.getTransitVnet("u", "c", "transit-gw")
    assert report(caplog) == [LOOKUP, LOOKUP]


# ---------------------------------------------------------------- module globals read at call time

def test_rebound_and_removed_globals_are_seen_at_the_next_call(av, monkeypatch, caplog):
    # The operations remember where a global and logging.getLogger were found;
    # a rebinding or removal between two calls must still be seen, as Python sees it.
    first = av()
    SwitchTraffic.enableSingleIPSnat("u", "c", "gw1")
    second = av()
    SwitchTraffic.enableSingleIPSnat("u", "c", "gw2")
    assert [c[2]["gw_name"] for c in first.calls] == ["gw1"]
    assert [c[2]["gw_name"] for c in second.calls] == ["gw2"]
    monkeypatch.delattr(trafswap, "av")
    SwitchTraffic.enableSingleIPSnat("u", "c", "gw3")
    assert report(caplog)[-1] == ("ERROR", "  **Error** Failed to enable Single IP SNAT on gateway gw3. "
                                           "name 'av' is not defined")


def test_replaced_logging_and_getlogger_are_used(monkeypatch):
    import types
    seen = []

    def recorder(tag):
        return lambda name: seen.append((tag, name)) or NS(info=lambda msg: seen.append((tag, msg)))

    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    fake = types.ModuleType("logging")
    fake.getLogger = recorder("a")
    monkeypatch.setattr(trafswap, "logging", fake)
    SwitchTraffic.disableSnat(gw_name="g")
    fake.getLogger = recorder("b")  # the module's own dict changes
    SwitchTraffic.disableSnat(gw_name="g")
    monkeypatch.setattr(trafswap, "logging", NS(getLogger=recorder("c")))  # not a module: read generically
    SwitchTraffic.disableSnat(gw_name="g")
    assert seen == [(tag, item) for tag in "abc" for item in (LOGGER, "- Disable gw g SNAT")]
