"""Whatever single request of a peering removal fails, the returned records
name every deleted half, and re-creating them brings every peering back."""
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from dm.arm.trafswap import SwitchTraffic
from localarm import LocalCloud
from peering_world import HUB, SPOKES, connect, flags, network, peerings, recorded_ids  # noqa: F401 (fixture)
from test_peerings_local_cloud import OPTIONS, mesh

KINDS = {"http": {"status": 500}, "transport": {"transport_error": True},
         "failed operation": {"operation_failed": True}}
LONG_RUNNING = ("virtual_network_peerings.delete",)


def delete_restore(cloud, vnet_name, sub, exclude, fault=None):
    """Delete the VNet's peerings (with the fault planted), check the records, re-create them; the peerings before."""
    before = peerings(cloud)
    vnet = SwitchTraffic.getVnet(vnet_name, network(sub))
    planted = fault and cloud.fail(fault[0], nth=fault[1], **fault[2])
    pairs = SwitchTraffic.deletePeerings(OPTIONS, sub, vnet, None, exclude)
    assert planted is None or planted.fired
    assert set(before) - set(peerings(cloud)) <= recorded_ids(pairs)
    SwitchTraffic.addPeerings(pairs)
    return before, pairs


def requests_of_a_clean_run(connect):
    cloud = connect(mesh())
    vnet = SwitchTraffic.getVnet("app", network(SPOKES))
    cloud.log.clear()
    SwitchTraffic.deletePeerings(OPTIONS, SPOKES, vnet, None, "zentrova-")
    seen, faults = {}, []
    for call in cloud.log.calls:
        seen[call.operation] = seen.get(call.operation, 0) + 1
        for kind, how in KINDS.items():
            if kind != "failed operation" or call.operation in LONG_RUNNING:
                faults.append((call.operation, seen[call.operation], how))
    return faults


def test_every_request_of_a_removal_failing_in_turn(connect):
    faults = requests_of_a_clean_run(connect)
    assert {"management_locks.delete_at_resource_level", "virtual_network_peerings.delete",
            "operations.status", "virtual_network_peerings.list"} <= {op for op, _, _ in faults}
    for fault in faults:
        cloud = connect(mesh())
        before, _ = delete_restore(cloud, "app", SPOKES, "zentrova-", fault)
        after = peerings(cloud)
        assert flags(after) == flags(before), fault
        assert {k: v[1] for k, v in after.items()} == {k: v[1] for k, v in before.items()}, fault


# ---------------------------------------------------------------- random meshes

@st.composite
def meshes(draw):
    """VNets in two subscriptions (a name may repeat across them), peered in pairs with random flags,
    some locked; and the VNet whose peerings are removed."""
    n = draw(st.integers(2, 6))
    vnets = [(HUB if i % 2 else SPOKES, f"rg-{i % 3 // 2}", f"v{i // 2}") for i in range(n)]
    edges = draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)).filter(lambda e: e[0] < e[1]),
                          unique=True, max_size=8))
    locks = draw(st.dictionaries(st.integers(0, n - 1), st.sampled_from(["CanNotDelete", "ReadOnly"]), max_size=3))
    flag = st.fixed_dictionaries({k: st.booleans() for k in (
        "allow_virtual_network_access", "allow_forwarded_traffic", "allow_gateway_transit", "use_remote_gateways")})
    topology = {}
    for i, (sub, rg, name) in enumerate(vnets):
        entry = {"address_space": [f"10.{i}.0.0/16"], "peerings": {}}
        if i in locks:
            entry["locks"] = {"lock": locks[i]}
        topology.setdefault(sub, {}).setdefault(rg, {"vnets": {}})["vnets"][name] = entry
    for a, b in edges:
        for here, there in ((a, b), (b, a)):
            sub, rg, name = vnets[here]
            far = "/".join(vnets[there])
            topology[sub][rg]["vnets"][name]["peerings"][f"to-{there}"] = dict(draw(flag), remote=far)
    return {"subscriptions": topology}, vnets[draw(st.integers(0, n - 1))]


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(meshes())
def test_delete_then_add_restores_random_meshes(connect, drawn):
    topology, (sub, _, name) = drawn
    cloud = connect(LocalCloud.from_topology(topology))
    before, pairs = delete_restore(cloud, name, sub, None)
    assert len(pairs) == sum(1 for k in before if f"/virtualnetworks/{name}/".lower() in k
                             and k.split("/")[2] == sub.lower())
    after = peerings(cloud)
    assert flags(after) == flags(before)
    assert {v[1] for v in after.values()} <= {"Connected"}
