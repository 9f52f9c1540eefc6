"""Peering operations on malformed records, models and clients: the error or
line the operation gives, never a crash, and no memory growth from failing calls."""
import logging
from types import SimpleNamespace as NS

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from dm.arm import trafswap
from dm.arm.trafswap import SwitchTraffic
from peering_fakes import LOGGER, Cloud, cloud, peering, report  # noqa: F401 (fixture)
from tests.hostile import Hostile, HostileEq, HostileStr, documents, hostile_objects, memory_growth, \
    returns_or_raises, scalars

A = ("sub-1", "rg-a", "vnet-a")
B = ("sub-2", "rg-b", "vnet-b")
KEYS = ["localSubscriptionId", "localRgName", "localVnetName", "localPeeringName", "localPeering",
        "remoteSubscriptionId", "remoteRgName", "remoteVnetName", "remotePeeringName", "remotePeering",
        "use_remote_gateways"]
values = st.one_of(scalars, hostile_objects)


def test_a_peering_model_without_remote_network_stops_the_walk(cloud):
    cloud.pair("to-b", A, B, back={"allow_gateway_transit": True})
    vnet = cloud.vnet(*A)
    vnet.virtual_network_peerings.append(NS(name="broken", remote_virtual_network=None))
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'id'"):
        SwitchTraffic.disableUseRemoteGwInPeering("sub-1", cloud.network_client("sub-1"), vnet)
    with pytest.raises(AttributeError):
        SwitchTraffic.deletePeerings({"delete_peering": "all", "delete_vnet_lock": False}, "sub-1", vnet,
                                     cloud.network_client("sub-1"))


def test_a_lock_pager_that_raises_is_an_error_line(cloud, caplog, monkeypatch):
    caplog.set_level(logging.INFO, LOGGER)

    class Pager:
        def next(self):
            raise Hostile("listing refused")
    lock_client = NS(management_locks=NS(list_at_resource_level=lambda *a: Pager()))
    monkeypatch.setattr(trafswap, "ManagementLockClient", lambda spc, sub: lock_client)
    SwitchTraffic.deleteVnetLock(cloud.credential("sub-2"), cloud.vnet(*B), indent=4)
    assert report(caplog)[-1] == ("ERROR", "      **Error** listing refused")


@st.composite
def records(draw):
    keys = draw(st.lists(st.sampled_from(KEYS), unique=True, max_size=len(KEYS)))
    record = {k: draw(st.one_of(values, documents(KEYS, max_leaves=6))) for k in keys}
    return draw(st.one_of(st.just(record), values))


@st.composite
def vnets(draw):
    def model():
        return NS(name=draw(values), id=draw(st.one_of(values, st.just("/s/x/r/rg-a/p/t/vnet-a"))),
                  remote_virtual_network=draw(st.one_of(st.none(), st.builds(NS, id=values))),
                  allow_virtual_network_access=draw(values), allow_forwarded_traffic=draw(values),
                  allow_gateway_transit=draw(values), use_remote_gateways=draw(values))
    peerings = draw(st.one_of(st.lists(st.builds(model), max_size=3), values))
    return NS(name=draw(values), id=draw(st.one_of(values, st.just("/s/x/r/rg-a/p/t/vnet-a"))),
              virtual_network_peerings=peerings)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pairs=st.one_of(st.lists(records(), max_size=3), values), vnet=vnets(),
       options=st.one_of(documents(["delete_peering", "delete_vnet_lock"], max_leaves=4), values),
       exclude=values, dry=st.booleans())
def test_malformed_input_returns_or_raises(cloud, pairs, vnet, options, exclude, dry):
    SwitchTraffic.DryRun = dry       # the fixture puts it back
    client = cloud.network_client("sub-1")
    returns_or_raises(SwitchTraffic.addPeerings, pairs)
    returns_or_raises(SwitchTraffic.restoreUseRemoteGwInPeering, client, pairs)
    returns_or_raises(SwitchTraffic.deletePeerings, options, "sub-1", vnet, client, exclude)
    returns_or_raises(SwitchTraffic.disableUseRemoteGwInPeering, "sub-1", client, vnet, exclude)
    returns_or_raises(SwitchTraffic.getRemotePeering, None, vnet.id, vnet.id)
    returns_or_raises(SwitchTraffic.deleteVnetLock, cloud.credential("sub-1"), vnet, exclude)


def test_repeated_failing_calls_do_not_grow_memory(cloud):
    logging.getLogger(LOGGER).setLevel(logging.CRITICAL)
    cloud.pair("to-b", A, B, back={"allow_gateway_transit": True})
    cloud.add(peering("lonely", A, ("sub-1", "rg-z", "vnet-z")))
    cloud.locks[B] = ["lock"]
    vnet = cloud.vnet(*A)
    client = cloud.network_client("sub-1")
    bad_records = [{"localSubscriptionId": "sub-1", "localPeeringName": HostileStr(), "localVnetName": "v"},
                   {"localSubscriptionId": "sub-9", "localPeeringName": "p", "localVnetName": "v",
                    "remotePeeringName": "q", "remoteVnetName": "w", "remoteSubscriptionId": HostileEq()}]
    SwitchTraffic.DryRun = True

    def round_():
        SwitchTraffic.deletePeerings({"delete_peering": HostileEq(), "delete_vnet_lock": True}, "sub-1", vnet, client)
        SwitchTraffic.deletePeerings({"delete_peering": "all", "delete_vnet_lock": True}, "sub-1", vnet, client)
        returns_or_raises(SwitchTraffic.addPeerings, bad_records)
        returns_or_raises(SwitchTraffic.addPeerings, bad_records[1:])
        SwitchTraffic.disableUseRemoteGwInPeering("sub-1", client, vnet, "zz")
        cloud.calls.clear()
    try:
        assert memory_growth(round_, rounds=300) < 20_000
    finally:
        logging.getLogger(LOGGER).setLevel(logging.NOTSET)
