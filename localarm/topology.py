"""Seed a cloud from a compact topology, written in YAML (or JSON):

    location: eastus                      # default region of the resource groups
    subscriptions:
      <subscription id>:
        <resource group>:
          location: westeurope            # optional
          route_tables:
            <name>:
              tags: {vnet: spoke1-vnet}   # optional, as are the two keys below
              disable_bgp_route_propagation: false
              routes:
                <name>: {prefix: 0.0.0.0/0, next_hop: VirtualAppliance, next_hop_ip: 10.0.1.4}
          vnets:
            <name>:
              address_space: [10.1.0.0/16]
              tags: {}
              subnets:
                <name>: 10.1.1.0/24                             # on no route table
                <name>: {prefix: 10.1.2.0/24, route_table: rt}  # rt, rg/rt or subscription/rg/rt
              gateways:
                <name>: Vpn                                     # or ExpressRoute; sits in GatewaySubnet
              peerings:
                <name>: {remote: rg/vnet, allow_gateway_transit: true}  # or subscription/rg/vnet
              locks:
                <name>: CanNotDelete                            # or ReadOnly

Peering flags (allow_virtual_network_access, allow_forwarded_traffic,
allow_gateway_transit, use_remote_gateways) default as in Azure: access on, the
rest off. Each half of a peering is written on its own VNet; a pair whose two
halves are both written is connected, a lone half is initiated. Everything is
created through the same operations a request would use, so the route tables'
back-references and the peering states come out as Azure keeps them.
"""
import os

import yaml

from . import errors, ids

GROUP_KEYS = ("location", "route_tables", "vnets")
VNET_KEYS = ("address_space", "tags", "subnets", "gateways", "peerings", "locks")
TABLE_KEYS = ("tags", "disable_bgp_route_propagation", "routes")
ROUTE_KEYS = ("prefix", "next_hop", "next_hop_ip")
PEERING_FLAGS = ("allow_virtual_network_access", "allow_forwarded_traffic", "allow_gateway_transit",
                 "use_remote_gateways")
GATEWAY_SKUS = {"Vpn": "VpnGw1", "ExpressRoute": "Standard"}


class TopologyError(ValueError):
    """A topology the cloud refuses: the text names the key path and the fault, in one line."""

    def __init__(self, where, text):
        super().__init__(where + ": " + text)


def read(source):
    """A topology mapping from a mapping or from the path of a YAML or JSON file."""
    if isinstance(source, (str, os.PathLike)):
        with open(source) as file:
            try:
                return yaml.safe_load(file)
            except yaml.MarkedYAMLError as error:
                mark = error.problem_mark
                raise TopologyError("line " + str(mark.line + 1) + ", column " + str(mark.column + 1),
                                    str(error.problem)) from None
            except yaml.YAMLError as error:
                raise TopologyError("top level", str(error).splitlines()[0]) from None
    return source


def seed(cloud, topology):
    """Creates what the topology describes, each resource through the operation a request uses, so
    the cloud refuses what Azure would refuse (TopologyError names where)."""
    topology = _mapping(topology, "top level", ("location", "subscriptions"))
    if topology.get("location"):
        cloud.location = _text(topology["location"], "location")
    groups = []
    for sub, subscription in _mapping(topology.get("subscriptions"), "subscriptions").items():
        for rg, entry in _mapping(subscription, "subscriptions." + str(sub)).items():
            where = "subscriptions." + str(sub) + "." + str(rg)
            entry = _mapping(entry, where, GROUP_KEYS)
            groups.append((str(sub), str(rg), entry, where))
            cloud.add_group(str(sub), str(rg), entry.get("location") and _text(entry["location"], where + ".location"))
    for sub, rg, entry, where in groups:
        for name, table in _mapping(entry.get("route_tables"), where + ".route_tables").items():
            at = where + ".route_tables." + str(name)
            _create(at, cloud.route_tables.put, ids.resource_id(sub, rg, "routeTables", str(name)),
                    _route_table(table, at))
    vnets = []
    for sub, rg, entry, where in groups:
        for name, vnet in _mapping(entry.get("vnets"), where + ".vnets").items():
            at = where + ".vnets." + str(name)
            vnets.append((ids.resource_id(sub, rg, "virtualNetworks", str(name)), _mapping(vnet, at, VNET_KEYS),
                          sub, rg, at))
    for vnet_id, vnet, sub, rg, at in vnets:
        space = _list(vnet.get("address_space"), at + ".address_space")
        _create(at, cloud.vnets.put, vnet_id, {"tags": _tags(vnet.get("tags"), at), "properties": {
            "addressSpace": {"addressPrefixes": [_text(p, at + ".address_space") for p in space]}}})
        for name, subnet in _mapping(vnet.get("subnets"), at + ".subnets").items():
            where = at + ".subnets." + str(name)
            _create(where, cloud.subnets.put, ids.child(vnet_id, "subnets", str(name)), _subnet(subnet, sub, rg, where))
        for name, gateway_type in _mapping(vnet.get("gateways"), at + ".gateways").items():
            where = at + ".gateways." + str(name)
            _create(where, cloud.gateways.put, ids.resource_id(sub, rg, "virtualNetworkGateways", str(name)),
                    _gateway(gateway_type, vnet_id, where))
    for vnet_id, vnet, sub, rg, at in vnets:
        for name, peering in _mapping(vnet.get("peerings"), at + ".peerings").items():
            where = at + ".peerings." + str(name)
            _create(where, cloud.peerings.put, ids.child(vnet_id, "virtualNetworkPeerings", str(name)),
                    _peering(peering, sub, rg, where))
    for vnet_id, vnet, _, _, at in vnets:
        for name, level in _mapping(vnet.get("locks"), at + ".locks").items():
            _create(at + ".locks." + str(name), cloud.locks.put, vnet_id, str(name), level)


def _create(where, put, *args):
    """One resource made through its backend; a refusal becomes the topology's fault at `where`."""
    try:
        put(*args)
    except errors.ArmError as error:
        raise TopologyError(where, error.code + ": " + error.message) from None


def _route_table(table, where):
    table = _mapping(table, where, TABLE_KEYS)
    routes = []
    for name, route in _mapping(table.get("routes"), where + ".routes").items():
        route = _mapping(route, where + ".routes." + str(name), ROUTE_KEYS)
        routes.append({"name": str(name), "properties": _without_none({
            "addressPrefix": _text(route.get("prefix"), where + ".routes." + str(name) + ".prefix"), "nextHopType": route.get("next_hop", "VirtualAppliance"),
            "nextHopIpAddress": route.get("next_hop_ip")})})
    return {"tags": _tags(table.get("tags"), where), "properties": {
        "disableBgpRoutePropagation": bool(table.get("disable_bgp_route_propagation", False)), "routes": routes}}


def _subnet(subnet, sub, rg, where):
    if not isinstance(subnet, dict):
        subnet = {"prefix": subnet}
    subnet = _mapping(subnet, where, ("prefix", "route_table"))
    properties = {"addressPrefix": _text(subnet.get("prefix"), where + ".prefix")}
    if subnet.get("route_table"):
        properties["routeTable"] = {"id": _reference(subnet["route_table"], sub, rg, "routeTables",
                                                     where + ".route_table")}
    return {"properties": properties}


def _gateway(gateway_type, vnet_id, where):
    if not isinstance(gateway_type, str) or gateway_type not in GATEWAY_SKUS:
        raise TopologyError(where, repr(gateway_type) + " is not Vpn or ExpressRoute")
    sku = GATEWAY_SKUS[gateway_type]
    subnet_id = ids.child(vnet_id, "subnets", "GatewaySubnet")
    configuration = {"name": "default",
                     "properties": {"privateIPAllocationMethod": "Dynamic", "subnet": {"id": subnet_id}}}
    properties = {"gatewayType": gateway_type, "sku": {"name": sku, "tier": sku}, "ipConfigurations": [configuration]}
    if gateway_type == "Vpn":
        properties["vpnType"] = "RouteBased"
    return {"properties": properties}


def _peering(peering, sub, rg, where):
    peering = _mapping(peering, where, ("remote",) + PEERING_FLAGS)
    properties = {_camel(flag): bool(peering[flag]) for flag in PEERING_FLAGS if flag in peering}
    properties["remoteVirtualNetwork"] = {"id": _reference(peering.get("remote"), sub, rg, "virtualNetworks",
                                                           where + ".remote")}
    return {"properties": properties}


def _reference(text, sub, rg, resource_type, where):
    """name, rg/name or subscription/rg/name, relative to the referring resource's place."""
    parts = _text(text, where).split("/")
    if not 1 <= len(parts) <= 3 or not all(parts):
        raise TopologyError(where, "cannot read the reference " + repr(text) + " (name, rg/name or sub/rg/name)")
    sub, rg, name = [sub, rg][:3 - len(parts)] + parts
    return ids.resource_id(sub, rg, resource_type, name)


def _mapping(value, where, allowed=None):
    """The value as a mapping (nothing for an absent one); refuses another type or an unknown key."""
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise TopologyError(where, "is " + type(value).__name__ + ", not a mapping")
    unknown = [str(k) for k in value if allowed is not None and k not in allowed]
    if unknown:
        raise TopologyError(where, "unknown key(s) " + ", ".join(sorted(unknown)))
    return value


def _list(value, where):
    if value is None:
        return []
    if not isinstance(value, list):
        raise TopologyError(where, "is " + type(value).__name__ + ", not a list")
    return value


def _text(value, where):
    if not isinstance(value, str) or not value:
        raise TopologyError(where, "missing" if value is None else "is " + repr(value) + ", not a text")
    return value


def _tags(value, where):
    tags = _mapping(value, where + ".tags")
    return {str(k): _text(v, where + ".tags." + str(k)) for k, v in tags.items()} if value is not None else None


def _camel(snake):
    head, *rest = snake.split("_")
    return head + "".join(word.capitalize() for word in rest)


def _without_none(mapping):
    return {k: v for k, v in mapping.items() if v is not None}
