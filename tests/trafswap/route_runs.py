"""A VNet's route-table switch and its revert as the driver runs them, on a
local cloud through the real SDK, and the cloud's state to compare."""
from types import SimpleNamespace as NS

from dm.arm.trafswap import SwitchTraffic
from localarm import StaticCredential, bind


def network_client(cloud, sub):
    return bind(cloud).NetworkManagementClient(StaticCredential(), sub)


def options(default_route_table="default", migrate=True, grouped=(), alias="spokes"):
    return {"default_route_table": default_route_table, "subscriptionInfo": {"alias": alias},
            "migrate_non_associated_subnet": migrate, "subnet_in_subnet_groups": list(grouped)}


def switch(network, vnet_name, yaml):
    """The forward run; returns the propagation records the revert needs."""
    vnet = SwitchTraffic.getVnet(vnet_name, network)
    target = {}
    staged, info = SwitchTraffic.discoverRouteTable(network, False, vnet, target)
    records = SwitchTraffic.setDisableAllRouteTablePropagationInVnet(NS(revert=False), network, vnet, staged,
                                                                     target, True)
    SwitchTraffic.updateSubnetAssociation(yaml, False, network, vnet, target, info)
    return records


def revert(network, vnet_name, yaml, records):
    vnet = SwitchTraffic.getVnet(vnet_name, network)
    target = {}
    _, info = SwitchTraffic.discoverRouteTable(network, True, vnet, target)
    SwitchTraffic.updateSubnetAssociation(yaml, True, network, vnet, target, info)
    SwitchTraffic.restoreRouteTablePropagationInVnet(network, records)


def state(cloud):
    """Every resource as a GET answers it, by id in lower case; a table's subnet
    back-references as a sorted list (their order follows the order of moves),
    and a VNet without the subnets it embeds (they are compared on their own)."""
    resources = {}
    for resource in cloud.resources():
        copy = cloud.get(resource["id"])
        if copy["type"].endswith("/virtualNetworks"):
            del copy["properties"]["subnets"]
        elif "subnets" in copy["properties"]:
            copy["properties"]["subnets"] = sorted(ref["id"].lower() for ref in copy["properties"]["subnets"])
        resources[resource["id"].lower()] = copy
    return resources


def associations(cloud):
    """Subnet id -> route-table id (None when it has none), ids in lower case."""
    return {r["id"].lower(): (r["properties"].get("routeTable") or {}).get("id", "").lower() or None
            for r in cloud.resources() if r["type"].endswith("/subnets")}


def propagation(cloud):
    return {r["id"].lower(): r["properties"]["disableBgpRoutePropagation"]
            for r in cloud.resources() if r["type"].endswith("/routeTables")}
