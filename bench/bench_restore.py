"""The revert side of the peering operations of SwitchTraffic against the same
logic in Python: re-creating both halves of 200 recorded peering pairs (far
ends in 5 subscriptions) and setting remote-gateway use back in 100 peerings,
with the requests sent (no dry-run), on the hosts of bench_peerings. The
records are the ones the switch side returns for that host."""
import logging

from bench import bench_peerings
from bench.run import Case
from dm.arm.trafswap import SwitchTraffic

# The module globals of the Python rendering, bound to the same host objects as trafswap's.
yctx = NetworkManagementClient = None


class PySwitchTraffic:
    DryRun = False

    @classmethod
    def addPeerings(cls, peeringPairList):
        logger = logging.getLogger("dm.arm.trafswap")
        logger.info("- Restore peerings")
        if len(peeringPairList) == 0:
            logger.info("  no peering found")
        for pp in peeringPairList:
            subId = pp["localSubscriptionId"]
            lookupError = None
            try:
                cred = yctx().generateAzureCredential(subId)
            except Exception as e:
                lookupError = e
            name = pp["localPeeringName"]
            logger.info("  add local peering " + name + " to " + pp["localVnetName"])
            if lookupError is not None:
                logger.error("  **Error** Failed to add peering " + name + " -" + str(lookupError))
            else:
                try:
                    client = NetworkManagementClient(cred.getCSC(), cred.getSubId())
                    if not cls.DryRun:
                        client.virtual_network_peerings.begin_create_or_update(
                            pp["localRgName"], pp["localVnetName"], name, pp["localPeering"]).result()
                except Exception as e:
                    logger.error("  **Error** Failed to add peering " + name + " -" + str(e))
            name = pp["remotePeeringName"]
            logger.info("  add remote peering " + name + " to " + pp["remoteVnetName"])
            try:
                cred = yctx().generateAzureCredential(pp["remoteSubscriptionId"])
                client = NetworkManagementClient(cred.getCSC(), cred.getSubId())
                if not cls.DryRun:
                    client.virtual_network_peerings.begin_create_or_update(
                        pp["remoteRgName"], pp["remoteVnetName"], name, pp["remotePeering"]).result()
            except Exception as e:
                logger.error("  **Error** Failed to add peering " + name + " -" + str(e))

    @classmethod
    def restoreUseRemoteGwInPeering(cls, local_network_client, peeringPropList):
        logger = logging.getLogger("dm.arm.trafswap")
        logger.info("- Restore use_remote_gateways in peering")
        if len(peeringPropList) == 0:
            logger.info("  no peering needs to be restored")
            return None
        for peeringProp in peeringPropList:
            rgName = peeringProp["localRgName"]
            peeringName = peeringProp["localPeeringName"]
            vnetName = peeringProp["localVnetName"]
            useRemoteGateway = peeringProp["localPeering"]["use_remote_gateways"]
            try:
                peering = local_network_client.virtual_network_peerings.get(rgName, vnetName, peeringName)
                logger.info("  set use_remote_gateways to " + str(useRemoteGateway) + " in " + peeringName)
                peering.use_remote_gateways = useRemoteGateway
                if not cls.DryRun:
                    local_network_client.virtual_network_peerings.begin_create_or_update(
                        rgName, vnetName, peeringName, peering)
            except Exception as e:
                logger.warning("  **Alert** " + str(e))


def cases():
    logger = logging.getLogger("dm.arm.trafswap")
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    vnet, client, names = bench_peerings.host()
    bench_peerings.bind(names)
    for name, value in names.items():
        globals()[name] = value
    # What the switch returned for this host: every pair, and the peerings that used remote gateways.
    switched = bench_peerings.PySwitchTraffic
    pairs = switched.deletePeerings({"delete_peering": "all", "delete_vnet_lock": False}, bench_peerings.SUBS[0],
                                    vnet, client, "zentrova-")
    props = switched.disableUseRemoteGwInPeering(bench_peerings.SUBS[0], client, vnet, "zentrova-")
    assert len(pairs) == 200 and len(props) == 100

    def live(run):
        """The run with the requests sent and the module logger at INFO (set once per case)."""
        def call(impl):
            if impl.DryRun:
                impl.DryRun = False
            if logger.level != logging.INFO:
                logger.setLevel(logging.INFO)
            return run(impl)
        return lambda: call(SwitchTraffic), lambda: call(PySwitchTraffic)

    return [
        Case("addPeerings (200 pairs, 5 subs, created)", *live(lambda impl: impl.addPeerings(pairs)), number=200),
        Case("restoreUseRemoteGwInPeering (100 peerings, updated)",
             *live(lambda impl: impl.restoreUseRemoteGwInPeering(client, props)), number=500),
    ]

