"""Route-table discovery against small fakes: main tables, tagged copies, the three structures."""
import pytest
from requests.structures import CaseInsensitiveDict

from dm.arm.trafswap import SwitchTraffic
from fakes import vnet
from route_fakes import RouteClient, configure_main_prefix, logged, report, table, uses

pytestmark = pytest.mark.usefixtures("logged")


def test_main_tables_by_group_and_exact_name():
    v = vnet("spoke", rg="rg-1")
    assert SwitchTraffic.isMainRtb(v, table("spoke-main-1")) is True
    assert SwitchTraffic.isMainRtb(v, table("spoke-main-2")) is True
    assert SwitchTraffic.isMainRtb(v, table("spoke-main-1", rg="rg-2")) is False
    assert SwitchTraffic.isMainRtb(v, table("spoke-MAIN-1")) is False
    assert SwitchTraffic.isMainRtb(v, table("spoke-main-3")) is False
    assert SwitchTraffic.isMainRtb(v, table("spoke-main-1", rg="RG-1")) is False   # the group is compared exactly
    configure_main_prefix("mt-{vnet}")
    assert SwitchTraffic.isMainRtb(v, table("mt-spoke-main-2")) is True
    assert SwitchTraffic.isMainRtb(v, table("spoke-main-2")) is False


def test_forward_run_classifies_the_subscription(caplog):
    v = vnet("hub-vnet")
    web, app, idle = (uses(table("rt-web"), v, "web"), uses(table("rt-App", rg="rg-o"), v, "app"),
                      table("rt-idle"))
    tables = [
        table("hub-vnet-main-2"),
        table("hub-vnet-main-1", rg="rg-other"),                                # other group: not main
        table("untagged"),
        table("copy-web", tags={"vnet": "Hub-VNet", "Org_RT": "org_rt-web"}),
        table("copy-app", rg="rg-copies", tags={"vnet": "hub-vnet", "ORG_rt": "ORG_rt-app"}),
        table("wrong-key", tags={"VNet": "hub-vnet", "Org_RT": "org_rt-web"}),  # the "vnet" key is exact
        table("other-vnet", tags={"vnet": "spoke", "Org_RT": "org_rt-web"}),
        table("no-org", tags={"vnet": "hub-vnet"}),
        table("bad-org", tags={"vnet": "hub-vnet", "Org_RT": "rt-web"}),
        table("copy-idle", tags={"vnet": "hub-vnet", "Org_RT": "org_rt-idle"}),  # original serves nothing
        table("copy-gone", tags={"vnet": "hub-vnet", "Org_RT": "org_rt-gone"}),
        web, app, idle,
    ]
    client = RouteClient(tables)
    target = {"kept": "entry"}
    staged, info = SwitchTraffic.discoverRouteTable(client, False, v, target)

    assert staged == ["hub-vnet-main-2:rg-1", "copy-web:rg-1", "copy-app:rg-copies"]
    assert target == {"kept": "entry", "rt-web": "copy-web", "rt-app": "copy-app"}   # the tag's letter case
    assert type(info) is CaseInsensitiveDict and len(info) == 0
    assert client.calls == [("route_tables.list_all",)]
    assert report(caplog) == [
        ("WARNING", "  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new route table "
                    + tables[8].id)]


def test_revert_run_maps_copies_in_use_back_to_their_original():
    v = vnet("spoke")
    original = table("rt-web", rg="rg-net")
    tables = [original,
              uses(table("copy-1", tags={"vnet": "spoke", "Org_RT": "org_RT-WEB"}), v, "a"),
              uses(table("copy-2", tags={"vnet": "spoke", "org_rt": "org_rt-web"}), v, "b"),
              table("copy-unused", tags={"vnet": "spoke", "Org_RT": "org_rt-web"}),
              table("spoke-main-1")]
    target = {}
    staged, info = SwitchTraffic.discoverRouteTable(RouteClient(tables), True, v, target)
    assert staged == ["copy-1:rg-1", "copy-2:rg-1", "spoke-main-1:rg-1"]
    assert target == {"copy-1": "RT-WEB", "copy-2": "rt-web"}
    assert list(info) == ["RT-WEB"] and info["rt-web"] is original


def test_errors_propagate_with_the_map_partly_filled():
    v = vnet("spoke")
    gone = uses(table("copy-gone", tags={"vnet": "spoke", "Org_RT": "org_rt-gone"}), v, "a")
    target = {}
    with pytest.raises(KeyError):
        SwitchTraffic.discoverRouteTable(RouteClient([gone]), True, v, target)
    assert target == {"copy-gone": "rt-gone"}

    with pytest.raises(TypeError):            # tags that are not a mapping
        SwitchTraffic.discoverRouteTable(RouteClient([table("t", tags=["vnet"])]), False, v, {})
    short = table("t")
    short.id = "/subscriptions/s"
    with pytest.raises(IndexError):
        SwitchTraffic.discoverRouteTable(RouteClient([short]), False, v, {})

    empty = {}
    staged, info = SwitchTraffic.discoverRouteTable(RouteClient([]), True, v, empty)
    assert (staged, dict(info), empty) == ([], {}, {})


def test_discovery_calls_the_main_table_test_of_the_class(monkeypatch):
    seen = []

    def every_table_is_main(cls, vnet, rtb):
        seen.append(rtb.name)
        return rtb.name.startswith("m")
    monkeypatch.setattr(SwitchTraffic, "isMainRtb", classmethod(every_table_is_main))
    staged, _ = SwitchTraffic.discoverRouteTable(RouteClient([table("main-x", rg="rg-9"), table("other")]),
                                                 False, vnet("v"), {})
    assert staged == ["main-x:rg-9"] and seen == ["main-x", "other"]
