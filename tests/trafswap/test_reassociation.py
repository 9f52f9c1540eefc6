"""Subnet re-association against small fakes: decisions, report lines, Terraform records, requests."""

import pytest
from requests.structures import CaseInsensitiveDict

import dm.arm.trafswap as trafswap
from dm.arm.res.YamlContext import YamlContext
from dm.arm.trafswap import SwitchTraffic
from fakes import vnet
from route_fakes import RouteClient, TerraformRecorder, configure_main_prefix, logged, report, subnet_of, table

pytestmark = pytest.mark.usefixtures("logged")


@pytest.fixture
def tf(monkeypatch):
    recorder = TerraformRecorder()
    monkeypatch.setattr(trafswap, "tf", recorder)
    return recorder


def options(**overrides):
    yaml = {"default_route_table": None, "subscriptionInfo": {"alias": "acct"},
            "migrate_non_associated_subnet": True, "subnet_in_subnet_groups": []}
    yaml.update(overrides)
    return yaml


def network(v, subnets, tables):
    return RouteClient(tables, subnets={(v.id.split("/")[4], v.name): subnets})


def test_forward_run(caplog, tf):
    v = vnet("hub.vnet")
    org, new, default = table("rt-org"), table("rt.new"), table("hub.vnet-dflt")
    mains = [table("hub.vnet-main-1"), table("hub.vnet-main-2")]
    subnets = [subnet_of(v, "web.tier", org), subnet_of(v, "a"), subnet_of(v, "GatewaySubnet", org),
               subnet_of(v, "b", default), subnet_of(v, "c"), subnet_of(v, "grouped", org),
               subnet_of(v, "x-zentrova-spoke-gw", org), subnet_of(v, "zentrova-spoke-hagw"),
               subnet_of(v, "zentrova-spoke-gw", default), subnet_of(v, "d"), subnet_of(v, "odd", table("rt-unmapped"))]
    client = network(v, subnets, [org, new, default] + mains)
    yaml = options(default_route_table="dflt", subnet_in_subnet_groups=["grouped"])
    assert SwitchTraffic.updateSubnetAssociation(yaml, False, client, v, {"rt-org": "rt.new"}, CaseInsensitiveDict()) is None

    assert [(s.name, s.route_table and s.route_table.name) for s in subnets] == [
        ("web.tier", "rt.new"), ("a", "hub.vnet-main-1"), ("GatewaySubnet", "rt-org"), ("b", "hub.vnet-main-2"),
        ("c", "hub.vnet-main-1"), ("grouped", "rt.new"), ("x-zentrova-spoke-gw", "rt-org"),
        ("zentrova-spoke-hagw", None), ("zentrova-spoke-gw", "hub.vnet-dflt"), ("d", "hub.vnet-main-2"),
        ("odd", "rt-unmapped")]
    updates = [c for c in client.calls if c[0] in ("subnets.begin_create_or_update", "result")]
    assert updates[:4] == [("subnets.begin_create_or_update", "rg-1", "hub.vnet", "web.tier", "rt.new"),
                           ("result", "web.tier"),
                           ("subnets.begin_create_or_update", "rg-1", "hub.vnet", "a", "hub.vnet-main-1"),
                           ("result", "a")]
    assert len(updates) == 12
    first = tf.records[0]
    assert list(first) == ["vnet_name", "subnet_id", "subnet_ref", "route_table_id", "route_table_ref", "rname",
                           "provider"]
    assert first == {"vnet_name": "hub.vnet", "subnet_id": subnets[0].id,
                     "subnet_ref": "azurerm_subnet.hub_vnet_web_tier.id", "route_table_id": new.id,
                     "route_table_ref": 'module.hub.vnet.azurerm_route_table_zentrova_managed["rt.new"].id',
                     "rname": "hub_vnet_web_tier_rt_new", "provider": "acct"}
    assert [(r["rname"], r["route_table_ref"].split("azurerm_route_table_zentrova_managed")[1])
            for r in tf.records[1:]] == [
        ("hub_vnet_a_hub_vnet-main-1", "_main[0].id"), ("hub_vnet_b_hub_vnet-main-2", "_main[1].id"),
        ("hub_vnet_c_hub_vnet-main-1", "_main[0].id"), ("hub_vnet_d_hub_vnet-main-2", "_main[1].id")]
    assert report(caplog)[:13] == [
        ("INFO", "- Switch subnet to route-table association"),
        ("INFO", "  switch web.tier from rt-org to rt.new"),
        ("INFO", "  associate a to hub.vnet-main-1"),
        ("INFO", "  found Azure GatewaySubnet -- skipped "),
        ("INFO", "  associate b to hub.vnet-main-2"),
        ("INFO", "  associate c to hub.vnet-main-1"),
        ("INFO", "  switch grouped from rt-org to rt.new"),
        ("INFO", "  spoke gw subnet x-zentrova-spoke-gw -- skipped"),
        # the overlay gateway's own subnets stay put and do not count towards the main-table turns
        ("INFO", "  spoke gw subnet zentrova-spoke-hagw -- skipped"),
        ("INFO", "  spoke gw subnet zentrova-spoke-gw -- skipped"),
        ("INFO", "  associate d to hub.vnet-main-2"),
        ("WARNING", "  **Alert** odd associated to rt-unmapped not copied -- skipped"),
        ("INFO", "- Discover subnet to route-table association"),
    ]
    assert len(report(caplog)) == 13 + 11           # the closing report: one line per subnet


@pytest.mark.parametrize("migrate, moved", [(False, False), (None, True), (0, True)])
def test_unassociated_subnets_follow_the_option(tf, migrate, moved):
    v = vnet("v")
    s = subnet_of(v, "s")
    SwitchTraffic.updateSubnetAssociation(options(migrate_non_associated_subnet=migrate), False,
                                          network(v, [s], [table("v-main-1")]), v, {}, {})
    assert (s.route_table is not None) is moved and len(tf.records) == int(moved)


def test_missing_main_table_ends_the_run(caplog, tf):
    configure_main_prefix("mt-{vnet}")
    v = vnet("v")
    org = table("org")
    subnets = [subnet_of(v, "on-copy", org), subnet_of(v, "a"), subnet_of(v, "b"), subnet_of(v, "after", org)]
    client = network(v, subnets, [org, table("new"), table("mt-v-main-1"), table("v-main-2")])
    assert SwitchTraffic.updateSubnetAssociation(options(), False, client, v, {"org": "new"}, {}) is None
    assert [s.route_table and s.route_table.name for s in subnets] == ["new", "mt-v-main-1", None, "org"]
    assert report(caplog)[-1] == ("ERROR", "  **Error** route table rg-1/mt-v-main-2 not found")
    assert sum(c[0] == "result" for c in client.calls) == 2 and len(tf.records) == 2


def test_shared_table_replication(caplog, tf):
    v = vnet("v")
    YamlContext.load({"config": {"configure_shared_route_table_replication": 1}})
    tf.discovery = {"rtbSubnetGwGroupInfos": {v.id: {"org": [{"subnetId": "other", "rtbName": "x"},
                                                             {"subnetId": "s", "rtbName": "shared"}]}}}
    org = table("org")
    subnets = [subnet_of(v, "s", org), subnet_of(v, "t", org)]
    client = network(v, subnets, [org, table("new"), table("shared")])
    SwitchTraffic.updateSubnetAssociation(options(), False, client, v, {"org": "new"}, {})
    assert [s.route_table.name for s in subnets] == ["shared", "new"]

    tf.discovery = {"rtbSubnetGwGroupInfos": {}}
    caplog.clear()
    SwitchTraffic.updateSubnetAssociation(options(), False, client, v, {"shared": "new"}, {})
    assert report(caplog)[1] == ("ERROR", "  fail to reassociate s - no " + str(v) + " info found in discovery.json")
    assert subnets[0].route_table.name == "shared"


def test_revert_run(caplog, tf):
    v = vnet("v")
    configure_main_prefix("mt-{vnet}")
    org_here, org_there = table("rt-a"), table("rt-b", rg="rg-net")
    subnets = [subnet_of(v, "m", table("MT-V-MAIN-2")), subnet_of(v, "a", table("new-a")),
               subnet_of(v, "b", table("new-b")), subnet_of(v, "none"), subnet_of(v, "lost", table("new-lost")),
               subnet_of(v, "broken", table("new-broken")), subnet_of(v, "own", table("rt-own")),
               subnet_of(v, "zentrova-spoke-gw", table("mt-v-main-1"))]
    client = network(v, subnets, [org_here, org_there, table("v-dflt"), table("rt-x")])
    client.broken = {"rt-x"}
    back = {"new-a": "rt-a", "new-b": "RT-B", "new-lost": "rt-lost", "new-broken": "rt-x"}
    info = CaseInsensitiveDict({"rt-a": org_here, "rt-b": org_there, "rt-x": table("rt-x")})
    SwitchTraffic.updateSubnetAssociation(options(default_route_table="dflt"), True, client, v, back, info)

    assert [table and table.name for table in (s.route_table for s in subnets)] == [
        "v-dflt", "rt-a", "rt-b", None, "new-lost", "new-broken", "rt-own", "mt-v-main-1"]
    assert ("route_tables.get", "rg-net", "RT-B") in client.calls and tf.records == []
    assert report(caplog)[1:10] == [
        ("INFO", "  re-associate m from MT-V-MAIN-2 to v-dflt"),
        ("INFO", "  switch a from new-a to rt-a"),
        ("INFO", "  switch b from new-b to RT-B"),
        ("WARNING", "  **Alert** Subnet none without route table detected during revert traffic -- skipped"),
        ("WARNING", "  **Alert** new-lost region info not found -- skipped"),
        ("ERROR", "  **Error** route table rg-1/rt-x not found"),
        ("WARNING", "  **Alert** own is using a route table rt-own that has not been copied -- skipped"),
        ("INFO", "  spoke gw subnet zentrova-spoke-gw -- skipped"),
        ("INFO", "- Discover subnet to route-table association"),
    ]

    caplog.clear()
    s = subnet_of(v, "m", table("mt-v-main-1"))
    SwitchTraffic.updateSubnetAssociation(options(default_route_table="gone"), True,
                                          network(v, [s], []), v, {}, {})
    assert s.route_table is None
    assert report(caplog)[1:4] == [("INFO", "  **Alert** v-gone not found"),
                                   ("DEBUG", "  **Alert** route table rg-1/v-gone not found"),
                                   ("INFO", "  re-associate m from mt-v-main-1 to None")]


def test_dry_run_sends_nothing_and_reports_alike(caplog, tf, monkeypatch):
    def run():
        v = vnet("v")
        org = table("org")
        subnets = [subnet_of(v, "s", org), subnet_of(v, "t")]
        client = network(v, subnets, [org, table("new"), table("v-main-1")])
        SwitchTraffic.updateSubnetAssociation(options(), False, client, v, {"org": "new"}, {})
        lines, records = report(caplog), list(tf.records)
        caplog.clear()
        tf.records.clear()
        return client.writes(), [s.route_table.name for s in subnets], lines, records
    real = run()
    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    dry = run()
    assert dry[0] == [] and len(real[0]) == 4
    assert dry[1:] == real[1:]


@pytest.mark.parametrize("missing", ["default_route_table", "subscriptionInfo", "subnet_in_subnet_groups"])
def test_a_missing_option_raises_key_error(tf, missing):
    v = vnet("v")
    org = table("org")
    yaml = options()
    del yaml[missing]
    with pytest.raises(KeyError, match=missing):
        SwitchTraffic.updateSubnetAssociation(yaml, False, network(v, [subnet_of(v, "s", org)], [org, table("new")]),
                                              v, {"org": "new"}, {})
