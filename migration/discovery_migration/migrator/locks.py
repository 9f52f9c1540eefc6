"""Management locks: those that would refuse a switch, and those a peering removal deletes.

A lock refuses writes (ReadOnly) or deletions (both levels) of the resource it
is on and of everything below it: a resource group's lock covers the group's
VNets, route tables, subnets and peerings, a subscription's lock all of them.
The switch is refused before anything changes when a lock covers a resource
it writes or deletes.

The libraries remove the first lock of a peering's remote VNet and keep no
record of it; the driver notes those locks before the removal and puts them
back on revert, so a revert also restores the protection.
"""
from dm.arm import trafswap
from dm.arm.res.YamlContext import YamlContext

from . import clients

NAMESPACE, PARENT, TYPE = "Microsoft.Network", "", "virtualNetworks"
LOCKS = "/providers/microsoft.authorization/locks/"
REFUSED = {"CanNotDelete": ("delete",), "ReadOnly": ("write", "delete")}


def client(subscription_id, fresh=False, checking=False):
    """The lock client of the subscription: through the run's cache, past it (`fresh`), or answered
    only from what ARM answered to reads (`checking`)."""
    credential = YamlContext().generateAzureCredential(subscription_id)
    client_class = trafswap.ManagementLockClient
    if fresh or checking:
        client_class = (clients.uncached if fresh else clients.checking)(client_class)
    return client_class(credential.getSPC(), credential.getSubId()).management_locks


def address(lock):
    return lock["resource_group"], NAMESPACE, PARENT, TYPE, lock["vnet_name"]


def of_remote_vnets(pairs):
    """The first lock of each remote VNet of the peering-pair records (the one a removal deletes)."""
    held, seen = [], set()
    for pair in pairs:
        where = (pair["remoteSubscriptionId"].lower(), pair["remoteRgName"].lower(), pair["remoteVnetName"].lower())
        if where in seen:
            continue
        seen.add(where)
        target = {"subscription_id": pair["remoteSubscriptionId"], "resource_group": pair["remoteRgName"],
                  "vnet_name": pair["remoteVnetName"]}
        for lock in client(target["subscription_id"]).list_at_resource_level(*address(target)):
            held.append(dict(target, name=lock.name, level=str(lock.level), notes=lock.notes))
            break
    return held


def exists(lock):
    names = [held.name for held in client(lock["subscription_id"], checking=True).list_at_resource_level(
        *address(lock))]
    return lock["name"] in names


def restore(held):
    """Creates again each recorded lock that is missing; returns those created."""
    created = []
    for lock in held:
        if exists(lock):
            continue
        parameters = {"level": lock["level"], "notes": lock["notes"]}
        client(lock["subscription_id"]).create_or_update_at_resource_level(
            *address(lock), lock["name"], parameters)
        created.append(lock)
    return created


def writes(subscription_id, vnet_id, found, delete_vnet_lock):
    """(resource id, "write" or "delete", the lock the switch itself removes first or None) of each change."""
    group = "/subscriptions/" + subscription_id + "/resourceGroups/"
    for record in found.get("propagation") or ():
        yield (group + record["resource_group"] + "/providers/Microsoft.Network/routeTables/"
               + record["route_table_name"], "write", None)
    for subnet in found.get("subnets") or {}:
        yield vnet_id + "/subnets/" + subnet, "write", None
    peerings = found.get("peerings") or {}
    removed = {(lock["subscription_id"].lower(), lock["resource_group"].lower(), lock["vnet_name"].lower()):
               lock["name"] for lock in peerings.get("locks") or ()} if delete_vnet_lock else {}
    for pair in peerings.get("pairs") or ():
        yield vnet_id + "/virtualNetworkPeerings/" + pair["localPeeringName"], "delete", None
        remote = (pair["remoteSubscriptionId"], pair["remoteRgName"], pair["remoteVnetName"])
        yield ("/subscriptions/" + remote[0] + "/resourceGroups/" + remote[1]
               + "/providers/Microsoft.Network/virtualNetworks/" + remote[2] + "/virtualNetworkPeerings/"
               + pair["remotePeeringName"], "delete", removed.get(tuple(part.lower() for part in remote)))
    for record in found.get("gateway_use") or ():
        yield vnet_id + "/virtualNetworkPeerings/" + record["localPeeringName"], "write", None


def refusals(subscription_id, vnet_id, found, delete_vnet_lock):
    """One line per lock that would refuse a change of the switch (`found`, as a plan gives it)."""
    held, lines = {}, []
    for resource, action, removed in writes(subscription_id, vnet_id, found, delete_vnet_lock):
        sub = resource.split("/")[2].lower()
        if sub not in held:
            held[sub] = [(lock.id.lower(), lock.name, str(lock.level))
                         for lock in client(resource.split("/")[2]).list_at_subscription_level()]
        for lock_id, name, level in held[sub]:
            scope = lock_id[:lock_id.rfind(LOCKS)]
            if (action in REFUSED.get(level, ()) and name != removed
                    and (resource.lower() + "/").startswith(scope + "/")):
                line = ("lock " + name + " (" + level + ") on " + short(scope) + " refuses the " + action + " of "
                        + short(resource))
                if line not in lines:
                    lines.append(line)
    return lines


def short(resource_id):
    """A resource id without its subscription and provider parts: rg/type/name/..."""
    parts = resource_id.strip("/").split("/")
    if len(parts) <= 2:
        return "subscription " + parts[-1]
    if len(parts) <= 4:
        return "resource group " + parts[-1]
    return "/".join(parts[3:4] + parts[6:])
