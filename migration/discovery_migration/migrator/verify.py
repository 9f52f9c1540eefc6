"""What each step of a switch changes, read back from the cloud and the controller.

A step's items are the union of its plan (what the same call under dry-run
said it would change) and its records (what the call returned), so a change
made without a record is still seen. For each item the cloud is read as it
is now and the item is found switched, restored (as the revert leaves it) or
neither. After a switch step every item must be switched and recorded; after
a revert step every item must be restored; the difference is one line per
resource and property.
"""
from azure.core.exceptions import ResourceNotFoundError

from dm.arm import trafswap
from dm.arm.res.YamlContext import YamlContext
from dm.arm.zentrova import Zentrova

from . import clients, locks

PROPAGATION, SUBNETS, PEERINGS, GATEWAY_USE, SNAT, DOMAIN = (
    "propagation", "subnets", "peerings", "gateway_use", "snat", "domain")
FLAGS = ("allow_virtual_network_access", "allow_forwarded_traffic", "allow_gateway_transit", "use_remote_gateways")


class Reader:
    """Reads of one step's check: what ARM answered to a read sent after the step's writes ended (from
    the run's cache only when it holds such an answer, never the state a write's answer gave); each
    VNet (with its subnets and peerings) and each resource group's route tables read once, the
    controller once."""

    def __init__(self, run):
        self.run = run
        self._controller = None
        self._vnets, self._tables = {}, {}

    @staticmethod
    def network(subscription_id):
        credential = YamlContext().generateAzureCredential(subscription_id)
        return clients.checking(trafswap.NetworkManagementClient)(credential.getCSC(), credential.getSubId())

    def vnet(self, subscription_id, rg, name):
        where = (subscription_id.lower(), rg.lower(), name.lower())
        if where not in self._vnets:
            try:
                self._vnets[where] = self.network(subscription_id).virtual_networks.get(rg, name)
            except ResourceNotFoundError:
                self._vnets[where] = None
        return self._vnets[where]

    def peering(self, subscription_id, rg, vnet, name):
        """A peering half as its VNet holds it, or None."""
        held = self.vnet(subscription_id, rg, vnet)
        return next((p for p in (held.virtual_network_peerings or ()) if p.name.lower() == name.lower()), None) \
            if held is not None else None

    def subnet_table(self, name):
        """The route table id of one of the VNet's subnets, lower case (None for no table)."""
        vnet = self.vnet(self.run.subscription_id, self.run.resource_group, self.run.vnet.name)
        subnet = next((s for s in (vnet.subnets if vnet is not None else ()) if s.name == name), None)
        return subnet.route_table.id.lower() if subnet is not None and subnet.route_table is not None else None

    def route_table(self, rg, name):
        """A route table of the VNet's subscription, or None; its resource group's tables listed once."""
        if rg.lower() not in self._tables:
            self._tables[rg.lower()] = {t.name.lower(): t for t in self.network(
                self.run.subscription_id).route_tables.list(rg)}
        return self._tables[rg.lower()].get(name.lower())

    def controller(self):
        """The gateways' SNAT modes and each domain's attachments."""
        if self._controller is None:
            c = self.run.context.controller
            gateways = Zentrova.list_gateway_info(c.url, c.cid, "").json().get("results") or []
            domains = Zentrova.list_security_domains(c.url, c.cid).json().get("results") or []
            self._controller = ({g.get("gw_name"): g.get("snat_mode") for g in gateways},
                                {d["name"]: d.get("attachments") or [] for d in domains})
        return self._controller


# ---------------------------------------------------------------- items of a step

def key_of(name, item):
    """The identity of an item, the same in a plan and in the records."""
    if name in (SNAT, DOMAIN):
        return name
    if name == PROPAGATION:
        return (item["resource_group"].lower(), item["route_table_name"].lower())
    if name == PEERINGS and "localPeering" in item:
        return ("pair", item["localSubscriptionId"].lower(), item["localRgName"].lower(),
                item["localVnetName"].lower(), item["localPeeringName"].lower())
    if name == GATEWAY_USE:
        return (item["localRgName"].lower(), item["localVnetName"].lower(), item["localPeeringName"].lower())
    if name == SUBNETS:
        return item[0]
    return ("lock",) + tuple(str(item.get(k)).lower() for k in (
        "subscription_id", "resource_group", "vnet_name", "name"))


def listed(name, saved):
    """The items of a plan or of records."""
    if not saved:
        return []
    if name == SUBNETS:
        return list(saved.items())
    if name == PEERINGS:
        return list(saved.get("pairs") or ()) + list(saved.get("locks") or ())
    if name in (SNAT, DOMAIN):
        return [saved] if saved.get("gateway") or saved.get("domain") is not None else []
    return list(saved)


def items(name, step):
    """The union of the step's plan and records, records first, one per resource."""
    union = {}
    for item in listed(name, step.get("records")) + listed(name, step.get("plan")):
        union.setdefault(key_of(name, item), item)
    return list(union.values())


def recorded_keys(name, step):
    return {key_of(name, item) for item in listed(name, step.get("records"))}


# ---------------------------------------------------------------- the state of one item

def state(reader, name, item, options):
    """Whether the item is "switched" or "restored" now, else a text saying what the resource holds."""
    run = reader.run
    if name == PROPAGATION:
        table = reader.route_table(item["resource_group"], item["route_table_name"])
        if table is None:
            return "missing"
        now = table.disable_bgp_route_propagation
        return ("restored" if now == item["disable_bgp_route_propagation"] else "switched" if now is True
                else "disableBgpRoutePropagation " + str(now))
    if name == SUBNETS:
        subnet, (old, new) = item
        now = reader.subnet_table(subnet)
        if now == (new or "").lower() or (now is None and new is None):
            return "switched"
        if now == (old or "").lower() or (now is None and old is None) or by_design(new, now, run, options):
            return "restored"
        return "routeTable " + str(now)
    if name == PEERINGS:
        return lock_state(item) if "localPeering" not in item else pair_state(reader, item)
    if name == GATEWAY_USE:
        peering = reader.peering(run.subscription_id, item["localRgName"], item["localVnetName"],
                                 item["localPeeringName"])
        if peering is None:
            return "missing"
        now = peering.use_remote_gateways
        return ("restored" if now == item["localPeering"]["use_remote_gateways"] else "switched" if not now
                else "useRemoteGateways " + str(now))
    snat_modes, domains = reader.controller()
    if name == SNAT:
        now = snat_modes.get(item["gateway"])
        return "switched" if now == "single_ip" else "restored" if now == item.get("before", "none") else \
            "SNAT " + str(now)
    return "switched" if item["attachment"] in domains.get(item["domain"], ()) else "restored"


def by_design(new, now, run, options):
    """A subnet the switch put on a main table comes back on the VNet's default table, or on none."""
    main = (new or "").rsplit("/", 1)[-1]
    if "-main-" not in main:
        return False
    default = options.get("default_route_table")
    return now is None or (default is not None and now.rsplit("/", 1)[-1] == (run.vnet.name + "-" + default).lower())


def pair_state(reader, pair):
    halves = [reader.peering(pair[side + "SubscriptionId"], pair[side + "RgName"], pair[side + "VnetName"],
                             pair[side + "PeeringName"]) for side in ("local", "remote")]
    if halves == [None, None]:
        return "switched"
    for side, half in zip(("local", "remote"), halves):
        if half is None:
            return "peering " + pair[side + "PeeringName"] + " missing"
        differing = [flag for flag in FLAGS if getattr(half, flag) != pair[side + "Peering"][flag]]
        if differing:
            return "peering " + pair[side + "PeeringName"] + " " + ", ".join(differing) + " differ"
    return "restored"


def lock_state(lock):
    return "restored" if locks.exists(lock) else "switched"


# ---------------------------------------------------------------- checks

def where(name, item, run):
    """The resource an item is about, as a person reads it."""
    if name == PROPAGATION:
        return "route table " + item["resource_group"] + "/" + item["route_table_name"]
    if name == SUBNETS:
        return "subnet " + run.vnet.name + "/" + item[0]
    if name == PEERINGS:
        if "localPeering" in item:
            return "peering " + item["localVnetName"] + "/" + item["localPeeringName"]
        return "lock " + item["name"] + " on VNet " + item["vnet_name"]
    if name == GATEWAY_USE:
        return "peering " + item["localVnetName"] + "/" + item["localPeeringName"]
    return "gateway " + item["gateway"] if name == SNAT else "attachment " + str(item["attachment"])


PROPERTY = {PROPAGATION: "disableBgpRoutePropagation", SUBNETS: "routeTable", PEERINGS: "presence",
            GATEWAY_USE: "useRemoteGateways", SNAT: "SNAT"}    # what each step changes, as a check names it


def switched(run, name, step):
    """Problems of a switch step: planned changes not in effect, changes in effect without a record."""
    reader, problems = Reader(run), []
    recorded = recorded_keys(name, step)
    for item in items(name, step):
        now = state(reader, name, item, run.options)
        key = key_of(name, item)
        label = where(name, item, run) + ": " + property_of(name, item)
        if now != "switched":
            problems.append(label + " not changed as planned (" + now + ")")
        elif key not in recorded:
            problems.append(label + " changed without a record")
    return problems


def unrestored(run, name, step):
    """The items of a step not back as the revert leaves them, each with what the resource holds."""
    reader = Reader(run)
    return [(item, now) for item in items(name, step)
            for now in [state(reader, name, item, run.options)] if now != "restored"]


def property_of(name, item):
    if name == DOMAIN:
        return "domain " + str(item["domain"])
    if name == PEERINGS and "localPeering" not in item:
        return "presence"
    return PROPERTY[name]
