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
    verb = "would " if dry_run else ""
    revert = command == "revert"
    logger.info("- Changes in VNet %s%s", vnet_name, " (planned)" if dry_run else "")
    gateways = changes.get("gateways")
    if gateways:
        logger.info("  VPN gateway: %s; ExpressRoute gateway: %s", yes(gateways["vpn"]), yes(gateways["expressroute"]))
    for record in changes.get("propagation") or ():
        logger.info("  %sturn gateway-route propagation %s in %s", verb, "on" if revert else "off",
                    record.get("route_table_name"))
    for subnet, (old, new) in sorted((changes.get("subnets") or {}).items()):
        logger.info("  subnet %s: %s -> %s", subnet, table_name(old), table_name(new))
    recorded = changes.get("peerings")
    pairs = recorded.get("pairs", []) if isinstance(recorded, dict) else recorded or []
    for pair in pairs:
        logger.info("  %s peering %s (%s) <-> %s in %s (%s)", verb + ("re-create" if revert else "remove"),
                    pair["localPeeringName"], flags(pair["localPeering"]), pair["remotePeeringName"],
                    pair["remoteVnetName"], flags(pair["remotePeering"]))
    held = changes.get("locks") if revert else (recorded or {}).get("locks") if isinstance(recorded, dict) else None
    for lock in held or ():
        logger.info("  %s lock %s on VNet %s", verb + ("re-create" if revert else "remove"), lock["name"],
                    lock["vnet_name"])
    for record in changes.get("gateway_use") or ():
        logger.info("  %sset use_remote_gateways %s in peering %s", verb,
                    str(record["localPeering"]["use_remote_gateways"]) if revert else "False",
                    record["localPeeringName"])
    snat = changes.get("snat")
    if snat:
        logger.info("  %s%s on gateway %s", verb, "turn SNAT off" if revert else "turn single-IP SNAT on",
                    snat["gateway"])
    domain = changes.get("domain")
    if domain and domain.get("domain") is not None:
        logger.info("  %s%s %s %s domain %s", verb, "detach" if revert else "attach", domain["attachment"],
                    "from" if revert else "to", domain["domain"])


def yes(value):
    return "yes" if value else "no"
