"""Gateway-route propagation switching against small fakes: records, report lines, requests."""
from types import SimpleNamespace as NS

import pytest

from dm.arm.res.YamlContext import YamlContext
from dm.arm.trafswap import SwitchTraffic
from fakes import vnet
from route_fakes import RouteClient, configure_main_prefix, logged, report, table

pytestmark = pytest.mark.usefixtures("logged")


def record(name, was=False, vnet_name="spoke", rg="rg-1"):
    return {"vnet": vnet_name, "resource_group": rg, "route_table_name": name, "disable_bgp_route_propagation": was}


def test_one_table(caplog, monkeypatch):
    v = vnet("spoke")
    on, off = table("rt-on"), table("rt-off", disable=True)
    client = RouteClient([on, off, table("rt-elsewhere", rg="rg-2")])
    assert SwitchTraffic.setDisableRouteTablePropagation(client, v, "rt-on", True) == record("rt-on")
    assert on.disable_bgp_route_propagation is True
    assert SwitchTraffic.setDisableRouteTablePropagation(client, v, "rt-off", True) is None    # already so
    assert SwitchTraffic.setDisableRouteTablePropagation(client, v, "rt-elsewhere", True) is None
    result = SwitchTraffic.setDisableRouteTablePropagation(client, v, "rt-off", False)
    assert result == record("rt-off", was=True)
    assert client.writes() == [("route_tables.begin_create_or_update", "rg-1", "rt-on", True),
                               ("route_tables.begin_create_or_update", "rg-1", "rt-off", False)]  # not awaited
    assert report(caplog) == [
        ("INFO", "  disable propagate-gateway-route in rt-on"),
        ("INFO", "  **Alert** rt-elsewhere not found"),
        ("DEBUG", "  **Alert** route table rg-1/rt-elsewhere not found"),
        ("INFO", "  enable propagate-gateway-route in rt-off"),
    ]

    caplog.clear()
    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    dry = RouteClient([table("rt-on")])
    assert SwitchTraffic.setDisableRouteTablePropagation(dry, v, "rt-on", True) == record("rt-on")
    assert dry.writes() == [] and report(caplog) == [("INFO", "  disable propagate-gateway-route in rt-on")]


def test_interrupts_pass_the_guard():
    client = RouteClient()

    def interrupted(rg, name):
        raise KeyboardInterrupt
    client.route_tables.get = interrupted
    with pytest.raises(KeyboardInterrupt):
        SwitchTraffic.setDisableRouteTablePropagation(client, vnet("v"), "rt", True)
    with pytest.raises(KeyboardInterrupt):
        SwitchTraffic.restoreRouteTablePropagationInVnet(client, [record("rt")])


def test_all_tables_of_a_vnet(caplog):
    v = vnet("spoke")
    tables = [table("spoke-main-1"), table("spoke-main-2"), table("new-a"), table("new-b", disable=True),
              table("org-a")]
    client = RouteClient(tables)
    staged = ["spoke-main-1:rg-1", "spoke-main-2:rg-other", "new-a:rg-1"]
    forward = {"org-a": "new-a", "org-b": "new-b", "org-c": "new-missing"}
    records = SwitchTraffic.setDisableAllRouteTablePropagationInVnet(NS(revert=False), client, v, staged,
                                                                     forward, True)
    assert records == [record("spoke-main-1"), record("new-a")]
    assert [c[2] for c in client.calls if c[0] == "route_tables.get"] == [
        "spoke-main-1", "new-a", "new-b", "new-missing"]          # main-2 is staged in another group only
    assert report(caplog)[0] == ("INFO", "- Disable propagate-gateway-route in UDR route table")

    caplog.clear()
    back = {"new-a": "org-a"}                                     # revert: the keys are the new tables
    assert SwitchTraffic.setDisableAllRouteTablePropagationInVnet(NS(revert=True), client, v, [], back,
                                                                  False) == [record("new-a", was=True)]
    assert report(caplog) == [("INFO", "- Enable propagate-gateway-route in UDR route table"),
                              ("INFO", "  enable propagate-gateway-route in new-a")]


def test_main_tables_named_with_the_configured_prefix():
    configure_main_prefix("mt-{vnet}")
    client = RouteClient([table("mt-spoke-main-1"), table("spoke-main-1")])
    records = SwitchTraffic.setDisableAllRouteTablePropagationInVnet(
        NS(revert=False), client, vnet("spoke"), ["mt-spoke-main-1:rg-1", "spoke-main-1:rg-1"], {}, True)
    assert records == [record("mt-spoke-main-1")]

    YamlContext.load({"config": {"configure_main_route_table_prefix": [{"key": "replace", "value": "no comma"}]}})
    with pytest.raises(IndexError):                 # the prefix is asked once, whatever is staged
        SwitchTraffic.setDisableAllRouteTablePropagationInVnet(NS(revert=False), client, vnet("spoke"), [], {}, True)


def test_restore(caplog, monkeypatch):
    a, b = table("a", disable=True), table("b", rg="rg-2", disable=True)
    client = RouteClient([a, b])
    SwitchTraffic.restoreRouteTablePropagationInVnet(client, [record("a", was=True), record("gone"),
                                                              record("b", rg="rg-2")])
    assert (a.disable_bgp_route_propagation, b.disable_bgp_route_propagation) == (False, False)
    assert client.writes() == [("route_tables.begin_create_or_update", "rg-1", "a", False),
                               ("route_tables.begin_create_or_update", "rg-2", "b", False)]
    assert report(caplog) == [
        ("INFO", "- Restore propagate-gateway-route in UDR route table"),
        ("INFO", "  enable propagate-gateway-route in a"),
        ("INFO", "  **Alert** gone not found"),
        ("DEBUG", "  **Alert** route table rg-1/gone not found"),
        ("INFO", "  enable propagate-gateway-route in b"),
    ]

    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    dry = RouteClient([table("a", disable=True)])
    with pytest.raises(KeyError):                   # a record without its group stops the loop
        SwitchTraffic.restoreRouteTablePropagationInVnet(dry, [record("a"), {"route_table_name": "x"}])
    assert dry.tables[0].disable_bgp_route_propagation is False and dry.writes() == []
