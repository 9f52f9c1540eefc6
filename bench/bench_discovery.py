"""VNet and subnet discovery of SwitchTraffic against the same logic in Python,
on in-memory clients (the SDK's own cost is the same for both)."""
import ipaddress
import logging
from bench.models import Model

from bench.run import Case
from dm.arm.cfgbase import Common
from dm.arm.discoverylib import DiscoveryLib
from dm.arm.trafswap import SwitchTraffic


class PySwitchTraffic:
    @classmethod
    def getVnet(cls, vnetName, network_client):
        for vnet in network_client.virtual_networks.list_all():
            if vnet.name == vnetName:
                return vnet
        return None

    @classmethod
    def discoverSubnets(cls, network_client, vnet):
        logger = logging.getLogger("dm.arm.trafswap")
        logger.info("- Discover subnet to route-table association")
        rgName = vnet.id.split("/")[DiscoveryLib.RG_I]
        subnets = list(network_client.subnets.list(rgName, vnet.name))
        for subnet in subnets:
            if subnet.name in Common.AZURE_SUBNET:
                logger.info(f"  found Azure {subnet.name} -- skipped ")
                continue
            if subnet.route_table == None:  # noqa: E711 (an equality test, as the library makes it)
                logger.info(f"  subnet {subnet.name} has no route table")
                continue
            rtb = subnet.route_table.id.split("/")[-1]
            logger.info(f"  subnet {subnet.name} is associated to {rtb}")

    @classmethod
    def discoverSubnetAssociation(cls, rtb, assocs):
        if rtb.subnets == None:  # noqa: E711
            return
        for subnet in rtb.subnets:
            try:
                assocs.append(subnet)
            except KeyError:
                pass

    @classmethod
    def discoverVpcCidr(cls, vnet, yaml):
        allowVnetCidr = yaml["allow_vnet_cidrs"]
        vnetCidrs = []
        for x in vnet.address_space.address_prefixes:
            if cls.isExpectedVpcPrefix(x, allowVnetCidr):
                vnetCidrs.append(x)
        return vnetCidrs

    @classmethod
    def isExpectedVpcPrefix(cls, ip, prefixes):
        ipn = ipaddress.ip_network(ip)
        for n in prefixes:
            if ipn.subnet_of(n):
                return True
        return False


def network_id(rg, *type_names):
    return "/subscriptions/s/resourceGroups/" + rg + "/providers/Microsoft.Network/" + "/".join(type_names)


def at_level(level, run):
    """`run` with the module logger at `level`, set only when it is not: a level change
    clears every logger's cache, which is no part of the operation."""
    logger = logging.getLogger("dm.arm.trafswap")

    def at():
        if logger.level != level:
            logger.setLevel(level)
        return run()
    return at


def cases():
    # A record handler, so that every report line is made as in a run.
    logger = logging.getLogger("dm.arm.trafswap")
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False

    vnets = [Model(name=f"vnet-{i}", id=network_id(f"rg-{i}", "virtualNetworks", f"vnet-{i}"))
             for i in range(1000)]
    subnets = [Model(name=name, route_table=None if i % 3 == 0 else
                               Model(id=network_id("rg-1", "routeTables", f"rt-{i % 5}")))
               for i, name in enumerate([f"subnet-{i}" for i in range(48)] + ["GatewaySubnet", "AzureBastionSubnet"])]
    client = Model(virtual_networks=Model(list_all=lambda: iter(vnets)),
                             subnets=Model(list=lambda rg, name: iter(subnets)))
    table = Model(subnets=[Model(id=f"ref-{i}") for i in range(200)])
    vnet = Model(name="vnet-1", id=vnets[1].id, address_space=Model(
        address_prefixes=["10.1.0.0/16", "10.2.0.0/16", "192.168.10.0/24", "172.16.0.0/20"]))
    allowed = {"allow_vnet_cidrs": [ipaddress.ip_network(c) for c in ("172.16.0.0/12", "192.168.0.0/16", "10.0.0.0/8")]}

    many = [Model(name=f"subnet-{i}", route_table=None if i % 4 == 0 else
                  Model(id=network_id("rg-1", "routeTables", f"rt-{i % 7}"))) for i in range(500)]
    quiet_client = Model(subnets=Model(list=lambda rg, name: iter(many)))

    def associations(impl):
        def run():
            assocs = []
            impl.discoverSubnetAssociation(table, assocs)
            return len(assocs)
        return run

    return [
        Case("getVnet (1,000 VNets, match last)", lambda: SwitchTraffic.getVnet("vnet-999", client).id,
             lambda: PySwitchTraffic.getVnet("vnet-999", client).id, number=2000),
        Case("discoverSubnets (50 subnets, logged)",
             at_level(logging.INFO, lambda: SwitchTraffic.discoverSubnets(client, vnet)),
             at_level(logging.INFO, lambda: PySwitchTraffic.discoverSubnets(client, vnet)), number=2000),
        # A run at WARNING: each report line is still made and handed to the logger, which drops it.
        Case("discoverSubnets (500 subnets, logging off)",
             at_level(logging.WARNING, lambda: SwitchTraffic.discoverSubnets(quiet_client, vnet)),
             at_level(logging.WARNING, lambda: PySwitchTraffic.discoverSubnets(quiet_client, vnet)),
             number=1000),
        Case("discoverSubnetAssociation (200 references)", associations(SwitchTraffic),
             associations(PySwitchTraffic), number=20000),
        Case("discoverVpcCidr (4 prefixes, 3 ranges)", lambda: SwitchTraffic.discoverVpcCidr(vnet, allowed),
             lambda: PySwitchTraffic.discoverVpcCidr(vnet, allowed), number=5000),
        Case("isExpectedVpcPrefix (3 ranges, inside the last)",
             lambda: SwitchTraffic.isExpectedVpcPrefix("10.2.0.0/16", allowed["allow_vnet_cidrs"]),
             lambda: PySwitchTraffic.isExpectedVpcPrefix("10.2.0.0/16", allowed["allow_vnet_cidrs"]),
             number=10000),
    ]
