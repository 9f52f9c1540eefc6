"""The per-VNet account of what a switch or revert changed (or, in a plan, would change)."""
import logging

logger = logging.getLogger("dm.migrate")

FLAGS = (("allow_virtual_network_access", "access"), ("allow_forwarded_traffic", "forwarded traffic"),
         ("allow_gateway_transit", "gateway transit"), ("use_remote_gateways", "remote gateways"))


def table_name(table_id):
    return table_id.split("/")[-1] if table_id else "no route table"


def flags(record):
    on = [label for key, label in FLAGS if record.get(key)]
    return ", ".join(on) if on else "no flags"


def log_changes(command, vnet_name, changes, dry_run):
    """Logs what changed in the VNet, one line per change."""
    logger.info("- Changes in VNet %s%s", vnet_name, " (planned)" if dry_run else "")
    for _, text in lines(command, changes, dry_run):
        logger.info("  %s", text)


def lines(command, changes, dry_run):
    """What changed in a VNet, as (step, text) pairs in the order the steps ran."""
    verb = "would " if dry_run else ""
    revert = command == "revert"
    gateways = changes.get("gateways")
    if gateways:
        yield "gateways", "VPN gateway: " + yes(gateways["vpn"]) + "; ExpressRoute gateway: " + yes(
            gateways["expressroute"])
    for record in changes.get("propagation") or ():
        yield "propagation", (verb + "turn gateway-route propagation " + ("on" if revert else "off") + " in "
                              + str(record.get("route_table_name")))
    for subnet, (old, new) in sorted((changes.get("subnets") or {}).items()):
        yield "subnets", "subnet " + subnet + ": " + table_name(old) + " -> " + table_name(new)
    recorded = changes.get("peerings")
    pairs = recorded.get("pairs", []) if isinstance(recorded, dict) else recorded or []
    for pair in pairs:
        yield "peerings", (verb + ("re-create" if revert else "remove") + " peering " + pair["localPeeringName"]
                           + " (" + flags(pair["localPeering"]) + ") <-> " + pair["remotePeeringName"] + " in "
                           + pair["remoteVnetName"] + " (" + flags(pair["remotePeering"]) + ")")
    held = changes.get("locks") if revert else (recorded or {}).get("locks") if isinstance(recorded, dict) else None
    for lock in held or ():
        yield "peerings", (verb + ("re-create" if revert else "remove") + " lock " + lock["name"] + " on VNet "
                           + lock["vnet_name"])
    for record in changes.get("gateway_use") or ():
        yield "gateway_use", (verb + "set use_remote_gateways "
                              + (str(record["localPeering"]["use_remote_gateways"]) if revert else "False")
                              + " in peering " + record["localPeeringName"])
    snat = changes.get("snat")
    if snat:
        yield "snat", (verb + ("turn SNAT off" if revert else "turn single-IP SNAT on") + " on gateway "
                       + str(snat["gateway"]))
    domain = changes.get("domain")
    if domain and domain.get("domain") is not None:
        yield "domain", (verb + ("detach " if revert else "attach ") + str(domain["attachment"])
                         + (" from" if revert else " to") + " domain " + str(domain["domain"]))


def yes(value):
    return "yes" if value else "no"
