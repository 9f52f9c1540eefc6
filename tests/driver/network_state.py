"""What a switch and its revert must bring back, read from a saved local cloud (independently of the driver)."""
import json

PEERING_FIELDS = ("allowVirtualNetworkAccess", "allowForwardedTraffic", "allowGatewayTransit",
                  "useRemoteGateways", "peeringState")


def network(path):
    """Per lower-case resource id: subnets' route tables, tables' propagation and tags, peerings, locks."""
    with open(path) as file:
        resources = json.load(file)["resources"]
    state = {}
    for r in resources:
        kind, props = r["type"].lower(), r.get("properties") or {}
        rid = r["id"].lower()
        if kind.endswith("/subnets"):
            state[rid] = ((props.get("routeTable") or {}).get("id") or "").lower() or None
        elif kind.endswith("/routetables"):
            state[rid] = (bool(props.get("disableBgpRoutePropagation")), r.get("tags") or {})
        elif kind.endswith("/virtualnetworkpeerings"):
            state[rid] = tuple(props.get(f) for f in PEERING_FIELDS) + (
                props["remoteVirtualNetwork"]["id"].lower(),)
        elif kind.endswith("/locks"):
            state[rid.split("/providers/microsoft.authorization")[0] + "#lock:" + r["name"]] = props.get("level")
    return state


def controller(path):
    with open(path) as file:
        saved = json.load(file)
    return ({g["gw_name"]: g["snat_mode"] for g in saved["gateways"]},
            {name: sorted(members) for name, members in saved["domains"].items()})


def differences(before, after):
    return {rid: (before.get(rid), after.get(rid)) for rid in set(before) | set(after)
            if before.get(rid) != after.get(rid)}


def restored(before, after):
    """The differences left once the one the revert makes by design is accounted for: a subnet
    without a route table that the switch put on a main table comes back on its VNet's default
    table (named "<VNet>-default" in the configurations of the tests)."""
    left = differences(before, after)
    for rid, (old, new) in list(left.items()):
        vnet, _, subnet = rid.partition("/subnets/")
        group, _, name = vnet.rpartition("/virtualnetworks/")
        if subnet and old is None and new == group + "/routetables/" + name + "-default":
            del left[rid]
    return left


def vnet_resources(state, vnet):
    """The VNet's own resources (its subnets, peering halves and lock) of the VNet (subscription, name)."""
    sub, name = vnet
    return {rid: value for rid, value in state.items() if rid.startswith("/subscriptions/" + sub.lower() + "/")
            and "/virtualnetworks/" + name.lower() + "/" in rid + "/"}


def subnets_of(state, vnet):
    """The route table of each subnet of the VNet (subscription, name)."""
    return {rid: value for rid, value in vnet_resources(state, vnet).items() if "/subnets/" in rid}
