"""The local controller: replies, state, seeding, faults and the request log, through the real client."""
import json
import time

import pytest
import requests

import dm.arm.zentrova as zentrova
from dm.arm.zentrova import Zentrova, ZentrovaError
from localarm import SAMPLE_TOPOLOGY, LocalCloud
from localctl import SLOW_REPLY_TIMEOUT, ControllerState, LocalController
from localctl.faults import ANY_WRITE

HUB = "11111111-1111-4111-8111-111111111111"
SPOKES = "22222222-2222-4222-8222-222222222222"


@pytest.fixture
def ctl(monkeypatch):
    """A running controller with fresh state: one account, two gateways, domain "prod"."""
    state = ControllerState()
    state.add_account("acct-1", SPOKES, "app-1", "dir-1")
    state.add_gateway("spoke1-gw", "acct-1", "spoke1-vnet:rg-spoke1", "eastus")
    state.add_gateway("spoke2-gw", "acct-1", "spoke2-vnet:rg-spoke2", "eastus", snat_mode="single_ip")
    state.add_domain("prod")
    with LocalController(state) as server:
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", server.ca_bundle)
        monkeypatch.setenv("NO_PROXY", "127.0.0.1")
        yield server


def wait_for(condition, seconds=30):
    """condition() once it is true, or its last value after that many seconds."""
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


def call(ctl, name, **fields):
    return getattr(Zentrova, name)(api_endpoint_url=ctl.url, CID=ctl.cid, **fields)


def test_lists_answer_in_the_controller_shape(ctl):
    gateways = call(ctl, "list_gateway_info", vpc_access_account_name="").json()
    assert gateways["return"] is True
    assert [(g["gw_name"], g["account_name"], g["vpc_id"], g["snat_mode"]) for g in gateways["results"]] == [
        ("spoke1-gw", "acct-1", "spoke1-vnet:rg-spoke1", "none"), ("spoke2-gw", "acct-1", "spoke2-vnet:rg-spoke2",
                                                                  "single_ip")]
    assert call(ctl, "list_gateway_info", vpc_access_account_name="other").json() == {"return": True, "results": []}
    accounts = call(ctl, "list_accounts", iam_based="false").json()
    assert accounts["results"]["account_list"] == [{
        "account_name": "acct-1", "cloud_type": 8, "arm_subscription_id": SPOKES, "arm_ad_client_id": "app-1",
        "arm_ad_tenant_id": "dir-1"}]


def test_snat_and_domain_change_the_state(ctl):
    call(ctl, "enable_snat", gw_name="spoke1-gw")
    call(ctl, "disable_snat", gw_name="spoke2-gw")
    assert (ctl.state.snat("spoke1-gw"), ctl.state.snat("spoke2-gw")) == ("single_ip", "none")
    attach = {"action": "associate_attachment_to_multi_cloud_security_domain", "CID": ctl.cid,
              "domain_name": "prod", "attachment_name": "spoke1-gw"}
    Zentrova.zentrova_post(ctl.url, attach)
    assert ctl.state.attached("spoke1-gw") == ["prod"]
    assert Zentrova.list_security_domains(ctl.url, ctl.cid).json()["results"] == [
        {"name": "prod", "attachments": ["spoke1-gw"]}]
    with pytest.raises(ZentrovaError, match="already associated"):
        Zentrova.zentrova_post(ctl.url, attach)
    Zentrova.zentrova_post(ctl.url, dict(attach, action="disassociate_attachment_from_multi_cloud_security_domain"))
    assert ctl.state.attached("spoke1-gw") == []
    assert [(r.action, r.cid_valid, r.status) for r in ctl.log][:2] == [("enable_snat", True, 200),
                                                                       ("disable_snat", True, 200)]
    assert all(ctl.cid not in json.dumps(r._asdict()) for r in ctl.log)


@pytest.mark.parametrize("payload, reason", [
    ({"action": "enable_snat", "gateway_name": "nope", "mode": "single_ip"}, "Gateway nope does not exist."),
    ({"action": "enable_snat", "gateway_name": ["x"], "mode": "single_ip"}, "Gateway ['x'] does not exist."),
    ({"action": "disable_snat"}, "gateway_name is required."),
    ({"action": "associate_attachment_to_multi_cloud_security_domain", "domain_name": "dev",
      "attachment_name": "spoke1-gw"}, "Security domain dev does not exist."),
    ({"action": "disassociate_attachment_from_multi_cloud_security_domain", "domain_name": "prod",
      "attachment_name": "spoke1-gw"}, "not associated"),
    ({"action": "reboot"}, "Valid action required: reboot."),
])
def test_changing_requests_refused_raise_and_change_nothing(ctl, payload, reason):
    before = json.dumps(ctl.state.to_json())
    with pytest.raises(ZentrovaError, match=reason.replace("[", r"\[").replace("]", r"\]")):
        Zentrova.zentrova_post(ctl.url, dict(payload, CID=ctl.cid))
    assert json.dumps(ctl.state.to_json()) == before


def test_wrong_access_id_is_refused_and_never_quoted(ctl):
    reply = Zentrova.list_accounts(api_endpoint_url=ctl.url, CID="not-" + ctl.cid, iam_based="false").json()
    assert reply == {"return": False, "reason": "CID is invalid or expired."}
    assert ctl.log[-1].cid_valid is False


def test_faults(ctl, monkeypatch):
    ctl.fail("enable_snat", status=503)
    with pytest.raises(requests.HTTPError, match="503") as raised:
        call(ctl, "enable_snat", gw_name="spoke1-gw")
    assert ctl.cid not in str(raised.value) and ctl.state.snat("spoke1-gw") == "none"

    refusal = ctl.fail("list_accounts", nth=2, refuse="maintenance")
    assert call(ctl, "list_accounts", iam_based="false").json()["return"] is True
    assert call(ctl, "list_accounts", iam_based="false").json() == {"return": False, "reason": "maintenance"}
    assert refusal.fired

    ctl.fail("disable_snat", close=True)
    with pytest.raises(requests.ConnectionError):
        call(ctl, "disable_snat", gw_name="spoke2-gw")
    assert ctl.state.snat("spoke2-gw") == "single_ip" and ctl.log[-1].status is None

    ctl.fail(ANY_WRITE, nth=2, lost=True)                   # the second change is made, its reply lost
    assert call(ctl, "list_gateway_info", vpc_access_account_name="").json()["return"] is True
    call(ctl, "enable_snat", gw_name="spoke1-gw")
    with pytest.raises(requests.ConnectionError):
        call(ctl, "disable_snat", gw_name="spoke1-gw")
    assert ctl.state.snat("spoke1-gw") == "none" and ctl.log[-1].status is None

    monkeypatch.setattr(zentrova, "TIMEOUT_SECONDS", SLOW_REPLY_TIMEOUT)
    ctl.fail("disable_snat", delay=60)                     # cut short when the controller stops
    with pytest.raises(requests.ReadTimeout):
        call(ctl, "disable_snat", gw_name="spoke2-gw")
    assert wait_for(lambda: ctl.requests("disable_snat")[1:])
    assert ctl.state.snat("spoke2-gw") == "none"          # the controller did it; the client stopped waiting
    assert call(ctl, "list_gateway_info", vpc_access_account_name="").json()["return"] is True


def test_seeded_from_the_local_cloud_and_from_a_file(tmp_path):
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    state = ControllerState.from_cloud(cloud, gateway_names={"hub-vnet": "azu-use-transit-gw"},
                                       account_names={HUB: "hub-account"}, domains=["prod"])
    assert [(a["account_name"], a["arm_subscription_id"]) for a in state.accounts.values()] == [
        ("hub-account", HUB), ("azure-22222222", SPOKES)]
    assert {g["gw_name"]: (g["account_name"], g["vpc_id"]) for g in state.gateways.values()} == {
        "azu-use-transit-gw": ("hub-account", "hub-vnet:rg-hub"),
        "spoke1-vnet-gw": ("azure-22222222", "spoke1-vnet:rg-spoke1"),
        "spoke2-vnet-gw": ("azure-22222222", "spoke2-vnet:rg-spoke2")}
    state.domains["prod"].append("spoke1-vnet-gw")
    state.save(tmp_path / "ctl.json")
    with LocalController.from_file(tmp_path / "ctl.json") as ctl:
        assert ctl.state.to_json() == state.to_json() and ctl.cid == state.cid
    with pytest.raises(ValueError, match="exists"):
        state.add_gateway("spoke1-vnet-gw", "a", "v:r")


def test_untrusted_without_the_bundle(ctl, monkeypatch):
    monkeypatch.delenv("REQUESTS_CA_BUNDLE")
    monkeypatch.delenv("CURL_CA_BUNDLE", raising=False)
    with pytest.raises(requests.exceptions.SSLError):
        call(ctl, "list_accounts", iam_based="false")
    assert ctl.log == []
