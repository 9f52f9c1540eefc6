"""Driver of the migration tool: the discovery report of every account and VNet
a migration configuration names.

    migrate.py [discover] [--config FILE] [--topology FILE | --state FILE | --from-az FILE... | --azure]

The report shows, per subscription and VNet, how the subnets are associated
with route tables, which subnets each of those tables serves, the VNet
prefixes inside the configured allowed ranges, and the route-table and gateway
names the migration will use. It changes nothing in the cloud.

By default it rehearses on a local cloud seeded from the sample topology, with
the sample configuration; `--topology`, `--state` and `--from-az` seed the
local cloud from a topology file, a saved local cloud or the JSON of
`az network vnet list` and `az network route-table list`. `--azure` talks to
Azure with the credentials the configuration names (client secrets from the
environment variables of its "azure_cred" section).

The log goes where the configuration's "log_output" says (<log_output>/log/dm.log,
alerts also to dm.alert.log) and the report is shown on the terminal as well.
The exit status is 1 when a VNet or a subscription could not be discovered.
"""
import argparse
import ipaddress
import logging
import logging.config
import pathlib
import sys

from azure.core.exceptions import AzureError

from dm.arm import trafswap
from dm.arm.cfgbase import Common
from dm.arm.res.YamlContext import YamlContext
from dm.arm.trafswap import SwitchTraffic

SAMPLE_CONFIG = pathlib.Path(__file__).resolve().parent / "samples" / "migration.yaml"
CONFIG_LABEL = "MIGRATION"

logger = logging.getLogger("dm.migrate")


def main(argv=None):
    args = parse_args(argv)
    document = Common.convert_yaml_to_json(args.config)
    Common.expectYamlType(document, CONFIG_LABEL)
    logging.config.dictConfig(Common.intLogLocationMgmtVnetCidr(document).logging_config)
    YamlContext.load(document)
    if not args.azure:
        use_local_cloud(args)
    return 0 if discover(document) else 1


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", nargs="?", choices=["discover"], default="discover")
    parser.add_argument("--config", default=SAMPLE_CONFIG, type=pathlib.Path,
                        help="migration configuration (YAML); default: the sample")
    cloud = parser.add_mutually_exclusive_group()
    cloud.add_argument("--topology", type=pathlib.Path, help="seed the local cloud from a topology file")
    cloud.add_argument("--state", type=pathlib.Path, help="start the local cloud from a saved state")
    cloud.add_argument("--from-az", nargs="+", type=pathlib.Path, metavar="FILE",
                       help="seed the local cloud from Azure CLI list output (JSON)")
    cloud.add_argument("--azure", action="store_true", help="talk to Azure instead of a local cloud")
    return parser.parse_args(argv)


def use_local_cloud(args):
    """Point the library's SDK clients at a local cloud; its credentials need no secret."""
    from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, install

    if args.state:
        cloud = LocalCloud.load(args.state)
    elif args.from_az:
        cloud = LocalCloud()
        cloud.import_cli(*args.from_az)
    else:
        cloud = LocalCloud.from_topology(args.topology or SAMPLE_TOPOLOGY)
    install(cloud)
    YamlContext.setCredentialFactory(lambda record: StaticCredential())


def discover(document):
    """Report every account of the document; True when everything could be discovered."""
    options = {}
    Common.readGlobalConfigOption(document, options)
    options["subscriptionMap"] = Common.getAzureSubscriptionInfo(document)
    complete = True
    for account in document["account_info"]:
        accountOptions = dict(options)
        Common.readAccountOption(account, accountOptions)
        complete &= discover_account(account, accountOptions)
    return complete


def discover_account(account, options):
    subId = options["subscriptionId"]
    Common.logSubscription(subId)
    credential = YamlContext().generateAzureCredential(subId)
    if credential is None:
        logger.error("**Error** no credential for subscription %s in 'azure_cred'", subId)
        return False
    try:
        network = trafswap.NetworkManagementClient(credential.getCSC(), credential.getSubId())
    except LookupError as error:          # the client secret is not in the environment
        logger.error("**Error** %s", error.args[0])
        return False
    vnets = {entry["vnet_name"]: entry for entry in Common.getSubscriptionVnets(account)}
    complete = True
    for name, entry in vnets.items():
        try:
            vnet = SwitchTraffic.getVnet(name, network)
            if vnet is None:
                logger.error("**Error** VNet %s not found in subscription %s", name, subId)
                complete = False
                continue
            vnetOptions = dict(options)
            Common.readVnetOption(vnets, vnet, vnetOptions)
            report_vnet(network, vnet, entry, vnetOptions)
        except AzureError as error:
            logger.error("**Error** discovery of VNet %s failed: %s", name, str(error).splitlines()[0])
            complete = False
    return complete


def report_vnet(network, vnet, entry, options):
    Common.logVnetHeader(vnet)
    SwitchTraffic.discoverSubnets(network, vnet)
    Common.logRouteTableHeader()
    report_route_tables(network, vnet)
    allowed = {"allow_vnet_cidrs": [ipaddress.ip_network(c) for c in entry.get("allow_vnet_cidrs") or ()]}
    prefixes = SwitchTraffic.discoverVpcCidr(vnet, allowed)
    logger.info("- VNet prefixes inside the allowed ranges: %s", ", ".join(prefixes) or "none")
    report_gateways(vnet, options, prefixes)


def report_route_tables(network, vnet):
    """Each route table the VNet's subnets use, with every subnet it serves (in any VNet)."""
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


def subnet_label(subnetId, vnet):
    """A subnet's name, with its VNet's name when that is another VNet."""
    parts = subnetId.split("/")
    if "/".join(parts[:Common.VNET_I + 1]).lower() == vnet.id.lower():
        return parts[Common.SUBNET_I]
    return parts[Common.VNET_I] + "/" + parts[Common.SUBNET_I]


def report_gateways(vnet, options, prefixes):
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


if __name__ == "__main__":
    sys.exit(main())
