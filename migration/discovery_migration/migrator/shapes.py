"""The shape of everything a records file holds, checked before a revert sends anything.

A revert hands the saved records to the libraries as they are; a key missing,
a name given as a number or a list where a mapping belongs would make it undo
the wrong thing, or nothing, without a word. So every VNet entry and every
step, with its plan and its records, is checked against the shapes below
(exact keys, types), and each record is checked to belong to its VNet.

Shape notation: a type (`str`, `bool`, `int`); a tuple of alternatives (None
for null); `[shape]` a list of that shape; `{ANY: shape}` a mapping from text
keys; any other mapping one with exactly those keys; `Fixed(a, b)` a list of
exactly those items.
"""
ANY = "*"


class Fixed(tuple):
    """A list of exactly these items (a pair of route-table ids)."""


class ShapeError(Exception):
    """A value not of its shape; the text names where, with the keys on the way to it."""


TEXT, MAYBE_TEXT, MAYBE_BOOL = str, (str, None), (bool, None)

ROUTE_PROPAGATION = {"vnet": TEXT, "resource_group": TEXT, "route_table_name": TEXT,
                     "disable_bgp_route_propagation": bool}
PEERING_PROPERTIES = {"id": TEXT, "name": TEXT, "allow_virtual_network_access": MAYBE_BOOL,
                      "allow_forwarded_traffic": MAYBE_BOOL, "allow_gateway_transit": MAYBE_BOOL,
                      "use_remote_gateways": MAYBE_BOOL, "remote_virtual_network": {"id": TEXT}}
GATEWAY_USE = {"localSubscriptionId": TEXT, "localRgName": TEXT, "localVnetName": TEXT,
               "localPeeringName": TEXT, "localPeering": PEERING_PROPERTIES}
PEERING_PAIR = dict(GATEWAY_USE, remoteSubscriptionId=TEXT, remoteRgName=TEXT, remoteVnetName=TEXT,
                    remotePeeringName=TEXT, remotePeering=PEERING_PROPERTIES)
VNET_LOCK = {"subscription_id": TEXT, "resource_group": TEXT, "vnet_name": TEXT, "name": TEXT,
             "level": TEXT, "notes": MAYBE_TEXT}
PEERINGS = {"pairs": [PEERING_PAIR], "locks": [VNET_LOCK]}

# Per step: the shape of its records; of its plan where that differs.
STEPS = {
    "route_tables": {"records": {"staged": [TEXT], "map": {ANY: TEXT}}},
    "propagation": {"records": [ROUTE_PROPAGATION]},
    "subnets": {"records": {ANY: Fixed((MAYBE_TEXT, MAYBE_TEXT))}},
    "peerings": {"records": PEERINGS},
    "gateway_use": {"records": [GATEWAY_USE]},
    "snat": {"records": {"gateway": MAYBE_TEXT}, "plan": {"gateway": MAYBE_TEXT, "before": MAYBE_TEXT}},
    "domain": {"records": {"domain": MAYBE_TEXT, "attachment": MAYBE_TEXT}},
}
STATUSES = ("started", "done", "failed", "reverted")
STEP = {"name": TEXT, "status": TEXT, "started": TEXT, "ended": MAYBE_TEXT}
STEP_OPTIONAL = {"error": TEXT, "library_errors": int, "reverted": TEXT}
ENTRY = {"subscription_id": TEXT, "vnet_name": TEXT, "resource_group": TEXT, "switched": TEXT, "steps": list}
TYPE_NAMES = {str: "text", bool: "true or false", int: "a whole number", list: "a list", dict: "a mapping",
              None: "null"}


def check(shape, value, where):
    """Raises ShapeError when `value` is not of `shape`."""
    if isinstance(shape, Fixed):
        if not isinstance(value, list) or len(value) != len(shape):
            raise ShapeError(where + ": expected a list of " + str(len(shape)) + ", found " + found(value))
        for index, (item_shape, item) in enumerate(zip(shape, value)):
            check(item_shape, item, where + "[" + str(index) + "]")
    elif isinstance(shape, tuple):
        if not any(is_type(alternative, value) for alternative in shape):
            raise ShapeError(where + ": expected " + " or ".join(TYPE_NAMES[a] for a in shape) + ", found " + found(value))
    elif isinstance(shape, list):
        if not isinstance(value, list):
            raise ShapeError(where + ": expected a list, found " + found(value))
        for index, item in enumerate(value):
            check(shape[0], item, where + "[" + str(index) + "]")
    elif isinstance(shape, dict):
        if not isinstance(value, dict):
            raise ShapeError(where + ": expected a mapping, found " + found(value))
        if ANY in shape:
            for key, item in value.items():
                check(shape[ANY], item, where + "." + key)
            return
        if set(value) != set(shape):
            missing, extra = sorted(set(shape) - set(value)), sorted(set(value) - set(shape))
            raise ShapeError(where + ": " + ("missing " + ", ".join(missing) if missing else "unexpected "
                                             + ", ".join(extra)))
        for key, item_shape in shape.items():
            check(item_shape, value[key], where + "." + key)
    elif not is_type(shape, value):
        raise ShapeError(where + ": expected " + TYPE_NAMES[shape] + ", found " + found(value))


def is_type(kind, value):
    if kind is None:
        return value is None
    if kind is int:
        return isinstance(value, int) and not isinstance(value, bool)
    return isinstance(value, kind)


def found(value):
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def check_entry(key, entry, vnet_key):
    """One VNet entry of a records document, its steps with their plans and records."""
    where = "vnets." + key
    check(ENTRY, entry, where)
    if vnet_key(entry["subscription_id"], entry["vnet_name"]) != key:
        raise ShapeError(where + ": the entry is of " + entry["subscription_id"] + "/" + entry["vnet_name"])
    for index, step in enumerate(entry["steps"]):
        check_step(entry, step, where + ".steps[" + str(index) + "]")


def check_step(entry, step, where):
    if not isinstance(step, dict):
        raise ShapeError(where + ": expected a mapping, found " + found(step))
    name = step.get("name")
    kind = STEPS.get(name) if isinstance(name, str) else None
    if kind is None:
        raise ShapeError(where + ".name: not a step of a switch: " + found(name))
    where += " (" + name + ")"
    for key, shape in STEP.items():
        if key not in step:
            raise ShapeError(where + ": missing " + key)
        check(shape, step[key], where + "." + key)
    if step["status"] not in STATUSES:
        raise ShapeError(where + ".status: unknown status " + found(step["status"]))
    for key, shape in STEP_OPTIONAL.items():
        if key in step:
            check(shape, step[key], where + "." + key)
    for part in ("records", "plan"):
        if step.get(part) is not None:
            check(kind.get(part, kind["records"]), step[part], where + "." + part)
            check_owner(entry, step[part], where + "." + part)


def check_owner(entry, saved, where):
    """Records name their VNet: one that names another VNet would undo a change somewhere else."""
    for index, record in enumerate(saved.get("pairs", ()) if isinstance(saved, dict) else saved):
        if not isinstance(record, dict):
            continue
        owner = (record.get("vnet", record.get("localVnetName")),
                 record.get("resource_group", record.get("localRgName")),
                 record.get("localSubscriptionId", entry["subscription_id"]).lower())
        if owner != (entry["vnet_name"], entry["resource_group"], entry["subscription_id"].lower()):
            raise ShapeError(where + "[" + str(index) + "]: a record of another VNet (" + "/".join(
                str(part) for part in reversed(owner)) + ")")
