"""The discovery report: what a VNet holds now and what the migration will use. Changes nothing
in the cloud; it writes the account's discovery.json, which the subnet re-association reads when
shared route-table replication is on."""
import ipaddress
import json
import logging

from azure.core.exceptions import AzureError

from dm.arm.cfgbase import Common
from dm.arm.terraform import DISCOVERY_FILE
from dm.arm.trafswap import SwitchTraffic

from . import locks
from .errors import text_of
from .records import write_atomically

logger = logging.getLogger("dm.migrate")


def discover_account(account):
    """Reports every VNet of the account; True when all could be discovered."""
    Common.logSubscription(account.subscription_id)
    try:
        account.connect()
    except LookupError as error:          # no credential, or its client secret is not in the environment
        logger.error("**Error** %s", error.args[0])
        return False
    complete = True
    groups = {}
    for name, entry in account.vnet_entries.items():
        try:
            vnet = account.find(name)
            if vnet is None:
                logger.error("**Error** VNet %s not found in subscription %s", name, account.subscription_id)
                complete = False
                continue
            report_vnet(account, vnet, entry, account.vnet_options(vnet))
            groups[vnet.id] = subnet_groups(account.network, vnet)
        except AzureError as error:
            logger.error("**Error** discovery of VNet %s failed: %s", name, text_of(error))
            complete = False
    write_atomically(account.output_folder() + "/" + DISCOVERY_FILE,
                     json.dumps({"rtbSubnetGwGroupInfos": groups}, indent=1) + "\n")
    return complete


def subnet_groups(network, vnet):
    """Per original route table, the staged copy each of its subnets moves to."""
    rtb_map = {}
    SwitchTraffic.discoverRouteTable(network, False, vnet, rtb_map)
    tables = {}
    for subnet in vnet.subnets or ():
        if subnet.route_table is None:
            continue
        original = subnet.route_table.id.split("/")[-1]
        if original in rtb_map:
            tables.setdefault(original, []).append({"subnetId": subnet.name, "rtbName": rtb_map[original]})
    return tables


def report_vnet(account, vnet, entry, options):
    network = account.network
    Common.logVnetHeader(vnet)
    SwitchTraffic.discoverSubnets(network, vnet)
    Common.logRouteTableHeader()
    report_route_tables(network, vnet)
    allowed = {"allow_vnet_cidrs": [ipaddress.ip_network(c) for c in entry.get("allow_vnet_cidrs") or ()]}
    prefixes = SwitchTraffic.discoverVpcCidr(vnet, allowed)
    logger.info("- VNet prefixes inside the allowed ranges: %s", ", ".join(prefixes) or "none")
    report_peerings(account, vnet)
    report_gateways(account, vnet, options, prefixes)


def report_route_tables(network, vnet):
    """Each route table the VNet's subnets use, with every subnet it serves (in any VNet), and the
    staged copies and main tables the switch will move them to."""
    tableIds = list(dict.fromkeys(s.route_table.id for s in vnet.subnets or () if s.route_table is not None))
    for tableId in tableIds:
        parts = tableId.split("/")
        table = network.route_tables.get(parts[Common.RG_I], parts[Common.RT_I])
        served = []
        SwitchTraffic.discoverSubnetAssociation(table, served)
        logger.info("  route table %s (%s) serves %s", table.name, parts[Common.RG_I],
                    ", ".join(subnet_label(s.id, vnet) for s in served))
    if not tableIds:
        logger.info("  no subnet is associated to a route table")
    prefix = Common.getMainTablePrefix(vnet.name) or vnet.name
    logger.info("  main route tables: %s-main-1, %s-main-2", prefix, prefix)
    rtb_map = {}
    SwitchTraffic.discoverRouteTable(network, False, vnet, rtb_map)
    for original, staged in rtb_map.items():
        logger.info("  staged copy of %s: %s", original, staged)


def subnet_label(subnetId, vnet):
    """A subnet's name, with its VNet's name when that is another VNet."""
    parts = subnetId.split("/")
    if "/".join(parts[:Common.VNET_I + 1]).lower() == vnet.id.lower():
        return parts[Common.SUBNET_I]
    return parts[Common.VNET_I] + "/" + parts[Common.SUBNET_I]


def report_peerings(account, vnet):
    logger.info("- Peerings and locks")
    for p in vnet.virtual_network_peerings or ():
        remote = p.remote_virtual_network.id.split("/")
        logger.info("  peering %s to %s (%s): %s, %s", p.name, remote[Common.VNET_I], remote[Common.RG_I],
                    p.peering_state, peering_flags(p))
    if not vnet.virtual_network_peerings:
        logger.info("  no peering")
    place = {"resource_group": vnet.id.split("/")[Common.RG_I], "vnet_name": vnet.name}
    held = [lock.name + " (" + str(lock.level) + ")"
            for lock in locks.client(account.subscription_id).list_at_resource_level(*locks.address(place))]
    logger.info("  locks: %s", ", ".join(held) or "none")


def peering_flags(p):
    flags = [("access", p.allow_virtual_network_access), ("forwarded traffic", p.allow_forwarded_traffic),
             ("gateway transit", p.allow_gateway_transit), ("remote gateways", p.use_remote_gateways)]
    return ", ".join(name + " " + ("on" if value else "off") for name, value in flags)


def report_gateways(account, vnet, options, prefixes):
    for kind in (SwitchTraffic.VPN, SwitchTraffic.ER):
        SwitchTraffic.isVnetWithVng(account.credential, vnet, kind)
    logger.info("- Gateways")
    logger.info("  spoke gateway   : %s", options["spoke_gw_name"])
    transit = options["transit_gw_name"]
    if transit is None and vnet.location in SwitchTraffic.region:
        transit = SwitchTraffic.deduceTransitNameWithRegion(vnet.location) + " (derived from the region)"
    logger.info("  transit gateway : %s", transit or "none configured")
    ipv4 = [p for p in prefixes if ipaddress.ip_network(p).version == 4]
    if ipv4 and vnet.location in SwitchTraffic.region:
        logger.info("  region gateway  : %s (for %s)",
                    SwitchTraffic.deduceGwNameWithSubnetCidr(vnet.location, ipv4[0]), ipv4[0])
