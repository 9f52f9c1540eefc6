"""Property: on any small topology, a switch followed by its revert through the
real SDK puts every subnet back on its table and every table's propagation
back as it was, apart from the subnets the revert sends to the default table."""
import tempfile

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from dm.arm.terraform import Terraform
from localarm import LocalCloud
from route_runs import associations, network_client, options, propagation, revert, switch

SUB = "33333333-3333-4333-8333-333333333333"


def table_id(rg, name):
    return f"/subscriptions/{SUB}/resourceGroups/{rg}/providers/Microsoft.Network/routeTables/{name}".lower()


@st.composite
def topologies(draw):
    """A VNet "v" in rg-v with up to six subnets; original tables in rg-v or
    rg-net, most with a staged copy in rg-v; the two main tables; maybe a
    default table; every table's propagation flag drawn at random."""
    flag = st.booleans()
    originals = {f"rt-{i}": draw(st.sampled_from(["rg-v", "rg-net"])) for i in range(draw(st.integers(1, 3)))}
    groups = {"rg-v": {"route_tables": {}, "vnets": {}}, "rg-net": {"route_tables": {}}}
    for name, rg in originals.items():
        groups[rg]["route_tables"][name] = {"disable_bgp_route_propagation": draw(flag)}
        if draw(st.integers(0, 4)):                        # most originals have a copy
            groups["rg-v"]["route_tables"][name + "-copy"] = {
                "disable_bgp_route_propagation": draw(flag),
                "tags": {"vnet": draw(st.sampled_from(["v", "V"])), "Org_RT": "org_" + name}}
    for name in ("v-main-1", "v-main-2") + (("v-default",) if draw(st.booleans()) else ()):
        groups["rg-v"]["route_tables"][name] = {"disable_bgp_route_propagation": draw(flag)}
    places = [None] + [f"{rg}/{name}" for name, rg in originals.items()]
    if "v-default" in groups["rg-v"]["route_tables"]:
        places.append("rg-v/v-default")
    subnets = {}
    for i in range(draw(st.integers(1, 6))):
        place = draw(st.sampled_from(places))
        subnets[f"s{i}"] = {"prefix": f"10.9.{i}.0/24", **({"route_table": place} if place else {})}
    groups["rg-v"]["vnets"]["v"] = {"address_space": ["10.9.0.0/16"], "subnets": subnets}
    return {"subscriptions": {SUB: groups}}


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(topology=topologies(), default=st.sampled_from(["default", None]), migrate=st.sampled_from([True, False, None]))
def test_switch_then_revert_restores_the_route_tables(topology, default, migrate):
    cloud = LocalCloud.from_topology(topology)
    before_tables, before_flags = associations(cloud), propagation(cloud)
    network = network_client(cloud, SUB)
    yaml = options(default_route_table=default, migrate=migrate)
    with tempfile.TemporaryDirectory() as folder:
        Terraform.setOutputFolder(folder)
        try:
            records = switch(network, "v", yaml)
            between = associations(cloud)
            revert(network, "v", yaml, records)
        finally:
            Terraform.outputFolder = None

    mains = {table_id("rg-v", "v-main-1"), table_id("rg-v", "v-main-2")}
    default_table = table_id("rg-v", "v-default")
    landing = default_table if default and default_table in before_flags else None
    expected = {s: landing if between[s] in mains else t for s, t in before_tables.items()}
    assert associations(cloud) == expected
    assert propagation(cloud) == before_flags
