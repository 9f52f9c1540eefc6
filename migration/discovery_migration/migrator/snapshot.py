"""What the switch changes, read through the SDK: a copy of the network to compare.

A snapshot holds, per subscription, every VNet's address space, subnets (with
their route table and prefix), peerings (with their flags and state), gateways
and locks, and every route table's propagation flag and tags, keyed by
lower-case resource id so that two snapshots compare whatever letter case
Azure answers in.
"""
import logging

from azure.core.exceptions import AzureError

from dm.arm.res.YamlContext import YamlContext

from . import locks, targets
from .errors import text_of

logger = logging.getLogger("dm.migrate")

PEERING_FLAGS = ("allow_virtual_network_access", "allow_forwarded_traffic", "allow_gateway_transit",
                 "use_remote_gateways")


def take(subscription_ids):
    """A snapshot of the subscriptions (those without a credential are left out)."""
    network = {}
    for sub in subscription_ids:
        credential = YamlContext().generateAzureCredential(sub)
        if credential is None:
            continue
        try:
            network.update(subscription_state(sub, credential))
        except AzureError as error:
            logger.warning("**Alert** subscription %s cannot be read for the before/after comparison: %s", sub,
                           text_of(error))
    return network


def subscription_state(sub, credential):
    client = targets.network_client(credential, fresh=True)
    found = {key(vnet.id): vnet_state(sub, vnet) for vnet in client.virtual_networks.list_all()}
    for table in client.route_tables.list_all():
        found[key(table.id)] = {"kind": "route_table", "name": table.name,
                                "disable_bgp_route_propagation": bool(table.disable_bgp_route_propagation),
                                "tags": dict(table.tags or {})}
    return found


def vnet_state(sub, vnet):
    rg = vnet.id.split("/")[4]
    held = locks.client(sub, fresh=True).list_at_resource_level(*locks.address({"resource_group": rg, "vnet_name": vnet.name}))
    return {"kind": "vnet", "name": vnet.name,
            "subnets": {s.name: key(s.route_table.id) if s.route_table is not None else None
                        for s in vnet.subnets or ()},
            "peerings": {p.name: dict({flag: bool(getattr(p, flag)) for flag in PEERING_FLAGS},
                                      remote=key(p.remote_virtual_network.id), state=p.peering_state)
                         for p in vnet.virtual_network_peerings or ()},
            "locks": sorted(lock.name + " (" + str(lock.level) + ")" for lock in held),
            "address_space": list((vnet.address_space and vnet.address_space.address_prefixes) or ()),
            "prefixes": {s.name: s.address_prefix or ", ".join(s.address_prefixes or ()) for s in vnet.subnets or ()},
            "gateways": sorted({c.id.split("/")[8] for s in vnet.subnets or () for c in s.ip_configurations or ()
                                if "/virtualnetworkgateways/" in c.id.lower()})}


def key(resource_id):
    return resource_id.lower() if resource_id else None


def differences(before, after):
    """Every difference as (resource id, field path, before, after); a missing side is None."""
    found = []
    for rid in sorted(set(before) | set(after)):
        compare(rid, (), before.get(rid), after.get(rid), found)
    return found


def compare(rid, path, old, new, found):
    if isinstance(old, dict) and isinstance(new, dict):
        for field in sorted(set(old) | set(new), key=str):
            if field not in ("kind", "name"):
                compare(rid, path + (field,), old.get(field, MISSING), new.get(field, MISSING), found)
    elif old != new:
        found.append((rid, path, old, new))


MISSING = "(none)"


def describe(difference):
    """A difference as one line: "<resource> <field path>: <before> -> <after>"."""
    rid, path, old, new = difference
    return " ".join([short(rid)] + [str(p) for p in path]) + ": " + show(old) + " -> " + show(new)


def as_object(difference, reason):
    """A difference for other tools: the resource, the property (a dotted path), both values (None for
    a side where it is absent), why it changed, and the sentence the terminal shows."""
    rid, path, old, new = difference
    return {"resource_id": rid, "property": ".".join(str(p) for p in path), "before": None if old == MISSING else old,
            "after": None if new == MISSING else new, "reason": reason, "text": describe(difference)}


def show(value):
    if isinstance(value, str) and value.startswith("/subscriptions/"):
        return short(value)
    if isinstance(value, dict):
        return "present"
    return str(value)


def short(resource_id):
    """A resource id without its subscription and provider parts: rg/type/name[/child]."""
    parts = resource_id.split("/")
    return "/".join(parts[4:5] + parts[7:]) if len(parts) > 7 else resource_id
