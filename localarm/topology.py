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

from . import ids

GROUP_KEYS = ("location", "route_tables", "vnets")
VNET_KEYS = ("address_space", "tags", "subnets", "gateways", "peerings", "locks")
TABLE_KEYS = ("tags", "disable_bgp_route_propagation", "routes")
PEERING_FLAGS = ("allow_virtual_network_access", "allow_forwarded_traffic", "allow_gateway_transit",
                 "use_remote_gateways")
GATEWAY_SKUS = {"Vpn": "VpnGw1", "ExpressRoute": "Standard"}


def read(source):
    """A topology mapping from a mapping or from the path of a YAML or JSON file."""
    if isinstance(source, (str, os.PathLike)):
        with open(source) as file:
            return yaml.safe_load(file)
    return source


def seed(cloud, topology):
    if topology.get("location"):
        cloud.location = topology["location"]
    groups = [(sub, rg, entry or {}) for sub, subscription in (topology.get("subscriptions") or {}).items()
              for rg, entry in (subscription or {}).items()]
    for sub, rg, entry in groups:
        _check(entry, GROUP_KEYS, rg)
        cloud.add_group(sub, rg, entry.get("location"))
    for sub, rg, entry in groups:
        for name, table in (entry.get("route_tables") or {}).items():
            cloud.route_tables.put(ids.resource_id(sub, rg, "routeTables", name), _route_table(name, table or {}))
    vnets = [(ids.resource_id(sub, rg, "virtualNetworks", name), vnet or {}, sub, rg)
             for sub, rg, entry in groups for name, vnet in (entry.get("vnets") or {}).items()]
    for vnet_id, vnet, sub, rg in vnets:
        _check(vnet, VNET_KEYS, vnet_id)
        cloud.vnets.put(vnet_id, {"tags": vnet.get("tags"),
                                  "properties": {"addressSpace": {"addressPrefixes": vnet.get("address_space") or []}}})
        for name, subnet in (vnet.get("subnets") or {}).items():
            cloud.subnets.put(ids.child(vnet_id, "subnets", name), _subnet(subnet, sub, rg))
        for name, gateway_type in (vnet.get("gateways") or {}).items():
            cloud.gateways.put(ids.resource_id(sub, rg, "virtualNetworkGateways", name),
                               _gateway(gateway_type, vnet_id))
    for vnet_id, vnet, sub, rg in vnets:
        for name, peering in (vnet.get("peerings") or {}).items():
            cloud.peerings.put(ids.child(vnet_id, "virtualNetworkPeerings", name), _peering(peering, sub, rg))
    for vnet_id, vnet, _, _ in vnets:
        for name, level in (vnet.get("locks") or {}).items():
            cloud.locks.put(vnet_id, name, level)


def _route_table(name, table):
    _check(table, TABLE_KEYS, name)
    routes = [{"name": route_name, "properties": _without_none({
        "addressPrefix": route.get("prefix"), "nextHopType": route.get("next_hop", "VirtualAppliance"),
        "nextHopIpAddress": route.get("next_hop_ip")})} for route_name, route in (table.get("routes") or {}).items()]
    return {"tags": table.get("tags"), "properties": {
        "disableBgpRoutePropagation": bool(table.get("disable_bgp_route_propagation", False)), "routes": routes}}


def _subnet(subnet, sub, rg):
    if not isinstance(subnet, dict):
        subnet = {"prefix": subnet}
    _check(subnet, ("prefix", "route_table"), "subnet " + str(subnet.get("prefix")))
    properties = {"addressPrefix": subnet["prefix"]}
    if subnet.get("route_table"):
        properties["routeTable"] = {"id": _reference(subnet["route_table"], sub, rg, "routeTables")}
    return {"properties": properties}


def _gateway(gateway_type, vnet_id):
    if gateway_type not in GATEWAY_SKUS:
        raise ValueError("gateway type " + repr(gateway_type) + " is not Vpn or ExpressRoute")
    sku = GATEWAY_SKUS[gateway_type]
    subnet_id = ids.child(vnet_id, "subnets", "GatewaySubnet")
    configuration = {"name": "default",
                     "properties": {"privateIPAllocationMethod": "Dynamic", "subnet": {"id": subnet_id}}}
    properties = {"gatewayType": gateway_type, "sku": {"name": sku, "tier": sku}, "ipConfigurations": [configuration]}
    if gateway_type == "Vpn":
        properties["vpnType"] = "RouteBased"
    return {"properties": properties}


def _peering(peering, sub, rg):
    _check(peering, ("remote",) + PEERING_FLAGS, "peering to " + str(peering.get("remote")))
    properties = {_camel(flag): bool(peering[flag]) for flag in PEERING_FLAGS if flag in peering}
    properties["remoteVirtualNetwork"] = {"id": _reference(peering["remote"], sub, rg, "virtualNetworks")}
    return {"properties": properties}


def _reference(text, sub, rg, resource_type):
    """name, rg/name or subscription/rg/name, relative to the referring resource's place."""
    parts = text.split("/")
    if not 1 <= len(parts) <= 3:
        raise ValueError("cannot read the reference " + repr(text))
    sub, rg, name = [sub, rg][:3 - len(parts)] + parts
    return ids.resource_id(sub, rg, resource_type, name)


def _check(mapping, allowed, where):
    unknown = set(mapping) - set(allowed)
    if unknown:
        raise ValueError("unknown key(s) " + ", ".join(sorted(unknown)) + " in " + where)


def _camel(snake):
    head, *rest = snake.split("_")
    return head + "".join(word.capitalize() for word in rest)


def _without_none(mapping):
    return {k: v for k, v in mapping.items() if v is not None}
