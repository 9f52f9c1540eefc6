"""Controller and resource-graph operations through the real controller client against the local
controller over HTTPS, and through the real Azure SDK against the local cloud."""
import logging
from types import SimpleNamespace as NS

import pytest
from azure.core.exceptions import HttpResponseError
from azure.mgmt.network.models import VirtualNetwork

import dm.arm.trafswap as trafswap
import dm.arm.zentrova as zentrova
from dm.arm.zentrova import ZentrovaError
from dm.arm.res.Globals import Globals
from dm.arm.res.YamlContext import AzureCredential, YamlContext
from dm.arm.trafswap import SwitchTraffic
from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, install
from localctl import SLOW_REPLY_TIMEOUT, LocalController

HUB = "11111111-1111-4111-8111-111111111111"
SPOKES = "22222222-2222-4222-8222-222222222222"
TRANSIT = "azu-use-transit-gw"
LOGGER = "dm.arm.trafswap"


def vnet_id(sub, rg, name):
    return f"/subscriptions/{sub}/resourceGroups/{rg}/providers/Microsoft.Network/virtualNetworks/{name}"


@pytest.fixture
def cloud(monkeypatch):
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    for name in ("NetworkManagementClient", "ManagementLockClient", "arg"):
        monkeypatch.setattr(trafswap, name, getattr(trafswap, name))   # restored after the test
    install(cloud)
    return cloud


@pytest.fixture
def ctl(cloud, monkeypatch):
    """A local controller seeded from the local cloud, trusted, and named in Globals."""
    with LocalController.from_cloud(cloud, gateway_names={"hub-vnet": TRANSIT},
                                    account_names={HUB: "hub-account"}, domains=["prod"]) as server:
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", server.ca_bundle)
        monkeypatch.setenv("NO_PROXY", "127.0.0.1")
        monkeypatch.setattr(Globals, "CID", server.cid)
        monkeypatch.setattr(Globals, "api_ep_url", server.url)
        monkeypatch.setattr(Globals, "yaml", {"configure_gw_name": True, "domain": "prod",
                                              "spoke_gw_name": "spoke1-vnet-gw"})
        monkeypatch.setattr(Globals, "_dryRun", False)
        yield server


@pytest.fixture
def credentials(monkeypatch):
    """YamlContext knows both sample subscriptions; their credentials need no secret."""
    monkeypatch.setattr(YamlContext, "_records", {})
    monkeypatch.setattr(YamlContext, "_factory", None)
    YamlContext.load({"azure_cred": {"zentrova": {"arm_application_id": "app", "arm_directory_id": "dir",
                                                  "arm_application_secret_env": "UNUSED"}},
                      "account_info": [{"subscription_id": HUB}, {"subscription_id": SPOKES}]})
    YamlContext.setCredentialFactory(lambda record: StaticCredential())


@pytest.fixture
def report(caplog):
    caplog.set_level(logging.DEBUG)
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def test_snat_on_and_off(ctl, report):
    SwitchTraffic.enableSingleIPSnat(ctl.url, ctl.cid, "spoke1-vnet-gw")
    assert ctl.state.snat("spoke1-vnet-gw") == "single_ip"
    SwitchTraffic.disableSnat(api_endpoint_url=ctl.url, CID=ctl.cid, gw_name="spoke1-vnet-gw")
    assert ctl.state.snat("spoke1-vnet-gw") == "none"
    assert report() == [("INFO", "- Enable Single IP SNAT on spoke1-vnet-gw"),
                        ("INFO", "  Done Single IP SNAT on spoke1-vnet-gw"),
                        ("INFO", "- Disable gw spoke1-vnet-gw SNAT"), ("INFO", "  Done")]
    assert [(r.action, r.fields["gateway_name"], r.cid_valid) for r in ctl.log] == [
        ("enable_snat", "spoke1-vnet-gw", True), ("disable_snat", "spoke1-vnet-gw", True)]


def test_attach_and_detach(ctl, report, monkeypatch):
    SwitchTraffic.attach_spoke_domain(True)
    assert ctl.state.attached("spoke1-vnet-gw") == ["prod"]
    SwitchTraffic.attach_spoke_domain(False)
    assert ctl.state.attached("spoke1-vnet-gw") == []
    Globals.setDryRun(True)
    SwitchTraffic.attach_spoke_domain(True)
    assert ctl.state.attached("spoke1-vnet-gw") == [] and len(ctl.log) == 2
    assert [m for _, m in report()] == ["- Attach spoke1-vnet-gw to domain prod",
                                        "- Detach spoke1-vnet-gw from domain prod",
                                        "- Attach spoke1-vnet-gw to domain prod"]


def test_a_refused_detach_is_raised(ctl):
    with pytest.raises(ZentrovaError, match="not associated"):
        SwitchTraffic.attach_spoke_domain(0)


def test_transit_lookup_through_both_lists_and_the_sdk(ctl, credentials, report):
    cred, vnet = SwitchTraffic.getTransitVnet(ctl.url, ctl.cid, TRANSIT)
    assert isinstance(cred, AzureCredential) and cred.getSubId() == HUB
    assert isinstance(vnet, VirtualNetwork) and vnet.id == vnet_id(HUB, "rg-hub", "hub-vnet")
    assert [r.action for r in ctl.log] == ["list_gateway_info", "list_accounts"]
    assert report()[-1] == ("INFO", "  " + TRANSIT + " in vnet hub-vnet resource group rg-hub")


def test_transit_vnet_gone_from_azure_raises(ctl, credentials, cloud):
    ctl.state.gateways[TRANSIT]["vpc_id"] = "gone-vnet:rg-hub:eastus"
    with pytest.raises(Exception, match="gone-vnet"):
        SwitchTraffic.getTransitVnet(ctl.url, ctl.cid, TRANSIT)


NO_GATEWAY = "  **Error** No account info for transit gateway " + TRANSIT + " found in controller"
NO_ACCOUNT = "  **Error** Failed to identify Azure account info for hub-account"


@pytest.mark.parametrize("action, fault, line", [
    ("list_gateway_info", {"refuse": "busy"}, "  **Error** Failed to get gateway info from controller"),
    ("list_gateway_info", {"status": 502}, NO_GATEWAY),
    ("list_gateway_info", {"close": True}, NO_GATEWAY),
    ("list_gateway_info", {"delay": 60}, NO_GATEWAY),
    ("list_accounts", {"refuse": "busy"}, "  **Error** Failed to get account info from controller"),
    ("list_accounts", {"status": 500}, NO_ACCOUNT),
    ("list_accounts", {"close": True}, NO_ACCOUNT),
])
def test_transit_lookup_faults(ctl, credentials, report, monkeypatch, action, fault, line):
    monkeypatch.setattr(zentrova, "TIMEOUT_SECONDS", SLOW_REPLY_TIMEOUT)
    ctl.fail(action, **fault)
    assert SwitchTraffic.getTransitVnet(ctl.url, ctl.cid, TRANSIT) == (None, None)
    assert report()[1:] == [("ERROR", line)]


def test_transit_lookup_with_a_wrong_access_id_is_a_refusal(ctl, report):
    assert SwitchTraffic.getTransitVnet(ctl.url, "stale", TRANSIT) == (None, None)
    assert report()[1:] == [("ERROR", "  **Error** Failed to get gateway info from controller")]


@pytest.mark.parametrize("fault, error", [
    ({"status": 503}, "503 Server Error"),
    ({"refuse": "gateway busy"}, "enable_snat failed: gateway busy"),
    ({"close": True}, "Connection aborted"),
    ({"delay": 60}, "Read timed out"),
])
def test_snat_faults_are_logged_without_the_access_id(ctl, report, caplog, monkeypatch, fault, error):
    monkeypatch.setattr(zentrova, "TIMEOUT_SECONDS", SLOW_REPLY_TIMEOUT)
    ctl.fail("enable_snat", **fault)
    SwitchTraffic.enableSingleIPSnat(ctl.url, ctl.cid, "spoke1-vnet-gw")
    (level, line), = report()[1:]
    assert level == "ERROR" and line.startswith(
        "  **Error** Failed to enable Single IP SNAT on gateway spoke1-vnet-gw. ") and error in line
    assert all(ctl.cid not in r.getMessage() for r in caplog.records)


def test_a_reason_quoting_the_access_id_is_masked(ctl, report, caplog):
    ctl.fail("disable_snat", refuse="CID " + ctl.cid + " expired")
    SwitchTraffic.disableSnat(ctl.url, ctl.cid, "spoke1-vnet-gw")
    assert report()[1] == ("ERROR", "  **Error** Failed to disable SNAT on gateway spoke1-vnet-gw. "
                                    "disable_snat failed: CID *** expired")
    assert all(ctl.cid not in r.getMessage() for r in caplog.records)


# ---------------------------------------------------------------- resource graph on the local cloud

def credential(sub=HUB):
    return AzureCredential({"sub_id": sub}, lambda record: StaticCredential())


@pytest.mark.parametrize("vnet, asked, found, line", [
    (NS(id=vnet_id(HUB, "rg-hub", "hub-vnet"), name="hub-vnet"), "Vpn", True, "- vnet hub-vnet has VNG - Vpn"),
    (NS(id=vnet_id(HUB, "rg-hub", "hub-vnet").upper(), name="hub-vnet"), "Vpn", True,
     "- vnet hub-vnet has VNG - Vpn"),
    (NS(id=vnet_id(HUB, "rg-hub", "hub-vnet"), name="hub-vnet"), "ExpressRoute", False,
     "- vnet hub-vnet has VNG but NOT type ExpressRoute"),
    (NS(id=vnet_id(HUB, "rg-hub", "hub-vnet"), name="hub-vnet"), "vpn", False, "- vnet hub-vnet has VNG but NOT type vpn"),
    (NS(id=vnet_id(SPOKES, "rg-spoke1", "spoke1-vnet"), name="spoke1-vnet", sub=SPOKES), "Vpn", False,
     "- vnet spoke1-vnet has no VNG"),
    (NS(id=vnet_id(HUB, "rg-hub", "hub-vnet") + "/subnets/GatewaySubnet' or type =~ '", name="odd"), "Vpn", False,
     "- vnet odd has no VNG"),
    (NS(id="x' | project properties.gatewayType | where '1' == '1", name="odd"), "Vpn", False,
     "- vnet odd has no VNG"),
])
def test_vnet_with_gateway_on_the_local_cloud(cloud, report, vnet, asked, found, line):
    assert SwitchTraffic.isVnetWithVng(credential(getattr(vnet, "sub", HUB)), vnet, asked) is found
    assert report() == [("INFO", line)]
    assert cloud.log.count("resource_graph.resources") == 1


def test_a_query_the_graph_cannot_read_is_refused(cloud):
    with pytest.raises(HttpResponseError) as raised:
        SwitchTraffic.getResources("Resources | summarize count() by type", credential())
    assert raised.value.status_code == 400
