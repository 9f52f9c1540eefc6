"""Gateway-route propagation switching of SwitchTraffic against the same logic in
Python: one VNet whose two main tables are staged and whose 300 original
tables map to staged copies (a third of the copies already have propagation
off), with update requests sent (no dry-run) to an in-memory
client that answers at once, and the module logger at INFO."""
import logging

from bench.models import Model
from bench.run import Case
from dm.arm.cfgbase import Common
from dm.arm.discoverylib import DiscoveryLib
from dm.arm.trafswap import SwitchTraffic

dl, common = DiscoveryLib, Common


class PyPropagation:
    DryRun = False

    @classmethod
    def setDisableRouteTablePropagation(cls, network_client, vnet, rtbName, disableFlag):
        logger = logging.getLogger("dm.arm.trafswap")
        rgName = vnet.id.split("/")[dl.RG_I]
        try:
            rtbObj = network_client.route_tables.get(rgName, rtbName)
            if rtbObj.disable_bgp_route_propagation != disableFlag:
                rtbObj.disable_bgp_route_propagation = disableFlag
                if disableFlag:
                    logger.info(f"  disable propagate-gateway-route in {rtbName}")
                else:
                    logger.info(f"  enable propagate-gateway-route in {rtbName}")
                if not cls.DryRun:
                    network_client.route_tables.begin_create_or_update(rgName, rtbName, rtbObj)
                return {"vnet": vnet.name, "resource_group": rgName, "route_table_name": rtbName,
                        "disable_bgp_route_propagation": not disableFlag}
            return None
        except Exception as e:
            logger.info(f"  **Alert** {rtbName} not found")
            logger.debug(f"  **Alert** {e}")
            return None

    @classmethod
    def setDisableAllRouteTablePropagationInVnet(cls, args, network_client, vnet, stagedUdrLst,
                                                 rtb_target_rtb_map, disableFlag):
        logger = logging.getLogger("dm.arm.trafswap")
        if disableFlag:
            logger.info("- Disable propagate-gateway-route in UDR route table")
        else:
            logger.info("- Enable propagate-gateway-route in UDR route table")
        route_table_prop = []
        resourceGroup = vnet.id.split("/")[dl.RG_I]
        prefix = common.getMainTablePrefix(vnet.name)
        if prefix is None:
            prefix = vnet.name
        for suffix in ("-main-1", "-main-2"):
            rtbName = f"{prefix}{suffix}"
            if f"{rtbName}:{resourceGroup}" in stagedUdrLst:
                record = cls.setDisableRouteTablePropagation(network_client, vnet, rtbName, disableFlag)
                if record != None:  # noqa: E711 (an equality test, as the library makes it)
                    route_table_prop.append(record)
        for key in rtb_target_rtb_map:
            rtbName = rtb_target_rtb_map[key] if args.revert == False else key  # noqa: E712
            record = cls.setDisableRouteTablePropagation(network_client, vnet, rtbName, disableFlag)
            if record != None:  # noqa: E711
                route_table_prop.append(record)
        return route_table_prop

    @classmethod
    def restoreRouteTablePropagationInVnet(cls, network_client, rtbPropList):
        logger = logging.getLogger("dm.arm.trafswap")
        logger.info("- Restore propagate-gateway-route in UDR route table")
        for prop in rtbPropList:
            rgName = prop["resource_group"]
            rtbName = prop["route_table_name"]
            try:
                rtbObj = network_client.route_tables.get(rgName, rtbName)
                rtbObj.disable_bgp_route_propagation = False
                logger.info(f"  enable propagate-gateway-route in {rtbName}")
                if not cls.DryRun:
                    network_client.route_tables.begin_create_or_update(rgName, rtbName, rtbObj)
            except Exception as e:
                logger.info(f"  **Alert** {rtbName} not found")
                logger.debug(f"  **Alert** {e}")
        return None


class Switch(SwitchTraffic):
    """The class under test with its own dry-run switch off (the shared one is left alone)."""
    DryRun = False


def cases():
    logger = logging.getLogger("dm.arm.trafswap")
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False

    rg = "rg-spoke"
    vnet = Model(name="spoke", id=f"/subscriptions/s/resourceGroups/{rg}/providers/Microsoft.Network/"
                                  "virtualNetworks/spoke")
    names = ["spoke-main-1", "spoke-main-2"] + [f"rt-{i}-copy" for i in range(300)]
    tables = {name: Model(name=name, disable_bgp_route_propagation=i % 3 == 2) for i, name in enumerate(names)}
    initial = [(t, t.disable_bgp_route_propagation) for t in tables.values()]
    target = {f"rt-{i}": f"rt-{i}-copy" for i in range(300)}
    staged = ["spoke-main-1:" + rg, "spoke-main-2:" + rg] + [f"rt-{i}-copy:{rg}" for i in range(300)]
    poller = Model(done=True)

    def get(rgName, rtbName):
        return tables[rtbName]

    client = Model(route_tables=Model(get=get, begin_create_or_update=lambda rgName, rtbName, rtb: poller))
    args = Model(revert=False)

    def one(impl):
        def run():
            tables["rt-7-copy"].disable_bgp_route_propagation = False
            return impl.setDisableRouteTablePropagation(client, vnet, "rt-7-copy", True)
        return run

    def all_tables(impl):
        def run():
            for table, value in initial:
                table.disable_bgp_route_propagation = value
            return impl.setDisableAllRouteTablePropagationInVnet(args, client, vnet, staged, target, True)
        return run

    records = all_tables(PyPropagation)()

    def restore(impl):
        return lambda: impl.restoreRouteTablePropagationInVnet(client, records)

    return [
        Case("setDisableRouteTablePropagation (one table, changed)", one(Switch), one(PyPropagation),
             number=20000),
        Case("setDisableAllRouteTablePropagationInVnet (2 + 300 tables)", all_tables(Switch),
             all_tables(PyPropagation), number=300),
        Case(f"restoreRouteTablePropagationInVnet ({len(records)} records)", restore(Switch),
             restore(PyPropagation), number=500),
    ]
