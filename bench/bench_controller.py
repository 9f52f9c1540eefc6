"""The resource-graph query and gateway test, the SNAT and security-domain
requests and the transit VNet lookup of SwitchTraffic against the same logic in
Python, on fakes that answer at once (the SDK's and the controller's own cost is
the same for both). Before timing, both sides run once on recording fakes and
must make the same calls with the same arguments and results."""
import logging
from bench.models import Model as NS

import dm.arm.trafswap as trafswap
from bench.run import Case
from dm.arm.trafswap import SwitchTraffic

LOGGER = "dm.arm.trafswap"
QUERY = ("Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
         "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
         "ipconfig.properties.subnet.id =~ '%s' | project properties.gatewayType")

# The module globals of the Python rendering, set to the same fakes as trafswap's.
arg = av = yctx = NetworkManagementClient = Globals = None


class PySwitchTraffic:
    DryRun = False

    @classmethod
    def disableSnat(cls, api_endpoint_url="", CID="", gw_name=""):
        logger = logging.getLogger(LOGGER)
        logger.info("- Disable gw " + str(gw_name) + " SNAT")
        if cls.DryRun:
            return None
        try:
            av.disable_snat(api_endpoint_url=api_endpoint_url, CID=CID, gw_name=gw_name)
        except Exception as e:
            logger.error("  **Error** Failed to disable SNAT on gateway " + str(gw_name) + ". " + str(e))
            return None
        logger.info("  Done")

    @classmethod
    def enableSingleIPSnat(cls, api_endpoint_url="", CID="", gw_name=""):
        logger = logging.getLogger(LOGGER)
        logger.info("- Enable Single IP SNAT on " + str(gw_name))
        if cls.DryRun:
            return None
        try:
            av.enable_snat(api_endpoint_url=api_endpoint_url, CID=CID, gw_name=gw_name)
        except Exception as e:
            logger.error("  **Error** Failed to enable Single IP SNAT on gateway " + str(gw_name) + ". " + str(e))
            return None
        logger.info("  Done Single IP SNAT on " + str(gw_name))

    @classmethod
    def attach_spoke_domain(cls, attach):
        if Globals.yaml["configure_gw_name"] == False:  # noqa: E712 (an equality test, as the library makes it)
            return None
        domain = Globals.yaml["domain"]
        if domain is None:
            return None
        logger = logging.getLogger(LOGGER)
        CID = Globals.CID
        attachment = Globals.yaml["spoke_gw_name"]
        dry_run = Globals.getDryRun()
        if attach:
            payload = {"action": "associate_attachment_to_multi_cloud_security_domain", "CID": CID,
                       "domain_name": domain, "attachment_name": attachment}
            logger.info("- Attach " + str(attachment) + " to domain " + str(domain))
        else:
            payload = {"action": "disassociate_attachment_from_multi_cloud_security_domain", "CID": CID,
                       "domain_name": domain, "attachment_name": attachment}
            logger.info("- Detach " + str(attachment) + " from domain " + str(domain))
        api_ep_url = Globals.api_ep_url
        if not dry_run:
            av.zentrova_post(api_ep_url, payload)

    @classmethod
    def getResources(cls, strQuery, cred):
        argClient = arg.ResourceGraphClient(cred.getCSC())
        argQueryOptions = arg.models.QueryRequestOptions(result_format="objectArray")
        subsList = [cred.getSubId()]
        argQuery = arg.models.QueryRequest(subscriptions=subsList, query=strQuery, options=argQueryOptions)
        return argClient.resources(argQuery)

    @classmethod
    def isVnetWithVng(cls, cred, vnet, vngType):
        logger = logging.getLogger(LOGGER)
        gs = str(vnet.id) + "/subnets/GatewaySubnet"
        query_vng_str = QUERY % gs.replace("\\", "\\\\").replace("'", "\\'")
        res = cls.getResources(query_vng_str, cred)
        if res.total_records == 0:
            logger.info("- vnet " + str(vnet.name) + " has no VNG")
            return False
        for rec in res.data:
            if "properties_gatewayType" in rec and rec["properties_gatewayType"] == vngType:
                logger.info("- vnet " + str(vnet.name) + " has VNG - " + str(vngType))
                return True
        logger.info("- vnet " + str(vnet.name) + " has VNG but NOT type " + str(vngType))
        return False

    @classmethod
    def getTransitVnet(cls, api_endpoint_url="", CID="", gw_name=""):
        logger = logging.getLogger(LOGGER)
        logger.info("- Lookup transit gw account and vnet info")
        try:
            jresult = av.list_gateway_info(api_endpoint_url=api_endpoint_url, CID=CID,
                                           vpc_access_account_name="").json()
            if jresult["return"] == False:  # noqa: E712 (an equality test, as the library makes it)
                logger.error("  **Error** Failed to get gateway info from controller")
                return None, None
            gwList = [{"account_name": x["account_name"], "vnet_id": x["vpc_id"]}
                      for x in jresult["results"] if x["gw_name"] == gw_name]
        except Exception:
            gwList = []
        noGateway = "  **Error** No account info for transit gateway " + str(gw_name) + " found in controller"
        if not gwList:
            logger.error(noGateway)
            return None, None
        accountName = gwList[0]["account_name"]
        vnetParts = gwList[0]["vnet_id"].split(":")
        if len(vnetParts) < 2:
            logger.error(noGateway)
            return None, None
        vnetName, rgName = vnetParts[0], vnetParts[1]
        try:
            jresult = av.list_accounts(api_endpoint_url=api_endpoint_url, CID=CID, iam_based="false").json()
            if jresult["return"] == False:  # noqa: E712
                logger.error("  **Error** Failed to get account info from controller")
                return None, None
            accList = [{"subscription_id": x["arm_subscription_id"], "arm_client_id": x["arm_ad_client_id"],
                        "arm_tenant_id": x["arm_ad_tenant_id"]}
                       for x in jresult["results"]["account_list"] if x["account_name"] == accountName]
        except Exception:
            accList = []
        if not accList:
            logger.error("  **Error** Failed to identify Azure account info for " + str(accountName))
            return None, None
        cred = yctx().generateAzureCredential(accList[0]["subscription_id"])
        network_client = NetworkManagementClient(cred.getCSC(), cred.getSubId())
        vnet = network_client.virtual_networks.get(rgName, vnetName)
        logger.info("  " + str(gw_name) + " in vnet " + str(vnetName) + " resource group " + str(rgName))
        return cred, vnet


def fakes(calls=None):
    """The five module globals the two operations use; with `calls`, each call is appended to it."""
    def answer(name, result):
        if calls is None:
            return lambda *a, **kw: result
        return lambda *a, **kw: calls.append((name, a, kw, result)) or result

    rows = NS(total_records=2, data=[{"properties_gatewayType": "Vpn"}, {"properties_gatewayType": "ExpressRoute"}])
    client = NS(resources=answer("resources", rows))
    options, request = NS(kind="options"), NS(kind="request")
    graph = NS(ResourceGraphClient=answer("ResourceGraphClient", client),
               models=NS(QueryRequestOptions=answer("QueryRequestOptions", options),
                         QueryRequest=answer("QueryRequest", request)))
    gateways = {"return": True, "results": [
        {"gw_name": f"spoke-{i}-gw", "account_name": f"acct-{i % 20}", "vpc_id": f"spoke-{i}:rg-{i}"}
        for i in range(300)] + [{"gw_name": "transit-gw", "account_name": "acct-7", "vpc_id": "hub:rg-hub:eastus"}]}
    accounts = {"return": True, "results": {"account_list": [
        {"account_name": f"acct-{i}", "arm_subscription_id": f"sub-{i}", "arm_ad_client_id": "app",
         "arm_ad_tenant_id": "dir"} for i in range(20)]}}
    controller = NS(list_gateway_info=answer("list_gateway_info", NS(json=answer("json", gateways))),
                    list_accounts=answer("list_accounts", NS(json=answer("json", accounts))),
                    disable_snat=answer("disable_snat", None), enable_snat=answer("enable_snat", None),
                    zentrova_post=answer("zentrova_post", {"return": True}))

    class Globals:
        """The tool's process-wide values (class attributes and a class method, as the tool's own)."""
        yaml = {"configure_gw_name": True, "domain": "prod", "spoke_gw_name": "spoke-7-gw"}
        CID = "cid"
        api_ep_url = "https://ctl/v1/api"
        getDryRun = classmethod(answer("getDryRun", False))
    cred = NS(getCSC=answer("getCSC", "token"), getSubId=answer("getSubId", "sub-7"))
    hub = NS(name="hub")
    network = NS(virtual_networks=NS(get=answer("virtual_networks.get", hub)))
    return {"arg": graph, "av": controller, "yctx": answer("yctx", NS(generateAzureCredential=answer(
        "generateAzureCredential", cred))), "NetworkManagementClient": answer("NetworkManagementClient", network),
        "Globals": Globals}


def install(globals_):
    for name, value in globals_.items():
        setattr(trafswap, name, value)
        globals()[name] = value
    SwitchTraffic.DryRun = False


def operations(impl):
    cred = NS(getCSC=lambda: "token", getSubId=lambda: "sub-1")
    vnet = NS(id="/subscriptions/sub-1/resourceGroups/rg-1/providers/Microsoft.Network/virtualNetworks/spoke",
              name="spoke")
    def live(run):
        """SNAT requests are sent (the dry-run switch is set once per case)."""
        def call():
            if impl.DryRun:
                impl.DryRun = False
            return run()
        return call

    return (lambda: impl.isVnetWithVng(cred, vnet, "ExpressRoute"),
            lambda: impl.getTransitVnet("https://ctl/v1/api", "cid", "transit-gw")[1].name,
            lambda: impl.getResources(QUERY, cred),
            live(lambda: impl.disableSnat("https://ctl/v1/api", "cid", "spoke-7-gw")),
            live(lambda: impl.enableSingleIPSnat("https://ctl/v1/api", "cid", "spoke-7-gw")),
            lambda: impl.attach_spoke_domain(True))


def same_host_calls():
    calls = []
    install(fakes(calls))
    for index in range(len(operations(PySwitchTraffic))):
        seen = []
        for impl in (SwitchTraffic, PySwitchTraffic):
            calls.clear()
            seen.append((operations(impl)[index](), list(calls)))
        if seen[0] != seen[1]:
            cpp, py = ([(c[0], c[1], c[2]) for c in calls] for _, calls in seen)
            raise SystemExit(f"operation {index}: C++ {seen[0][0]!r} after {cpp}, Python {seen[1][0]!r} after {py}")


def cases():
    logger = logging.getLogger(LOGGER)
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    same_host_calls()
    install(fakes())
    names = ("isVnetWithVng (2 rows, second matches)", "getTransitVnet (301 gateways, 20 accounts)",
             "getResources (one query)", "disableSnat (request sent)", "enableSingleIPSnat (request sent)",
             "attach_spoke_domain (attach, request posted)")
    numbers = (20000, 2000, 20000, 20000, 20000, 20000)
    return [Case(name, cpp, py, number=number) for name, cpp, py, number
            in zip(names, operations(SwitchTraffic), operations(PySwitchTraffic), numbers)]
