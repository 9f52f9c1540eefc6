"""Management locks of the remote VNets a peering removal may delete.

The libraries remove the first lock of a peering's remote VNet and keep no
record of it; the driver notes those locks before the removal and puts them
back on revert, so a revert also restores the protection.
"""
from dm.arm import trafswap
from dm.arm.res.YamlContext import YamlContext

NAMESPACE, PARENT, TYPE = "Microsoft.Network", "", "virtualNetworks"


def client(subscription_id):
    credential = YamlContext().generateAzureCredential(subscription_id)
    return trafswap.ManagementLockClient(credential.getSPC(), credential.getSubId()).management_locks


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
    names = [held.name for held in client(lock["subscription_id"]).list_at_resource_level(*address(lock))]
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
