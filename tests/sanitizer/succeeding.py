"""Calls every operation makes successfully: on the sample configuration for
`Common`, on the local cloud through the real SDK for `SwitchTraffic` (the
changing steps under dry-run, so each repeat takes the same path)."""
import ipaddress
import pathlib
from types import SimpleNamespace as NS

from dm.arm.cfgbase import Common
from dm.arm.res.YamlContext import AzureCredential, YamlContext
from dm.arm.terraform import Terraform
from dm.arm.trafswap import SwitchTraffic
import dm.arm.trafswap as trafswap
from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, install
from tests.hostile import Client

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "migration" / "discovery_migration" / "samples" / "migration.yaml"
SPOKES = "22222222-2222-4222-8222-222222222222"
HUB = "11111111-1111-4111-8111-111111111111"


def isolate(tmp_path, monkeypatch):
    """A folder of its own; the SDK factories, the credentials and the
    Terraform folder that the calls' set-up changes put back afterwards."""
    monkeypatch.chdir(tmp_path)
    for name in ("NetworkManagementClient", "ManagementLockClient", "arg"):
        monkeypatch.setattr(trafswap, name, getattr(trafswap, name))
    for name in ("_factory", "_records"):
        monkeypatch.setattr(YamlContext, name, getattr(YamlContext, name, None), raising=False)
    monkeypatch.setattr(Terraform, "outputFolder", Terraform.outputFolder)
    return tmp_path


def cfgbase_calls(tmp_path):
    """(operation, args, kwargs, module globals to install) of Common, and
    what to do before each call (nothing)."""
    document = Common.convert_yaml_to_json(SAMPLE)
    account = document["account_info"][0]
    options = {}
    Common.readGlobalConfigOption(document, options)
    options["subscriptionMap"] = Common.getAzureSubscriptionInfo(document)
    account_options = dict(options)
    Common.readAccountOption(account, account_options)
    vnets = {entry["vnet_name"]: entry for entry in Common.getSubscriptionVnets(account)}
    vnet = NS(name="spoke1-vnet", location="eastus", id="/subscriptions/s/resourceGroups/rg/providers/"
              "Microsoft.Network/virtualNetworks/spoke1-vnet", address_space=NS(address_prefixes=["10.1.0.0/16"]))
    record = Common.getSubscription(options["subscriptionMap"], SPOKES, account)
    steps = [{"Key": "base", "Value": "{rtb}-{snet}-{vnet}"}]
    logconf = NS(logging_config={"handlers": {"logConsoleHandler": {}, "alertHandler": {}}})
    return [
        ("loadInputJson", (), {}, {}),
        ("convert_yaml_to_json", (SAMPLE,), {}, {}),
        ("readGlobalConfigOption", (document, {}), {}, {}),
        ("getRouteTableNameConfig", (steps,), {}, {}),
        ("validateInt", ("Global", "n", 3), {}, {}),
        ("expectYamlType", (document, "MIGRATION"), {}, {}),
        ("getTmpFolderId", (document, SAMPLE), {}, {}),
        ("getLogFolder", (document,), {}, {}),
        ("intLogLocationMgmtVnetCidr", ({"log_output": str(tmp_path)},), {}, {"logconf": logconf}),
        ("getTargetLocation", (record, document), {}, {}),
        ("logSubscription", (SPOKES,), {}, {}),
        ("logVnetHeader", (vnet,), {}, {}),
        ("logRouteTableHeader", (), {}, {}),
        ("readVnetOption", (vnets, vnet, account_options), {}, {}),
        ("getSpokeAdvertisement", (vnets, vnet), {}, {}),
        ("getSpokeRoutes", (vnets, vnet), {}, {}),
        ("getPreStageDefaultRouteTable", (document,), {}, {}),
        ("getSWDeleteVnetLock", (document,), {}, {}),
        ("getCUDeleteVnetLock", (document,), {}, {}),
        ("transformName", ([{"key": "base", "value": "{rtb}-{vnet}"}], {"vnet": "v", "snet": "s", "rtb": "r"}), {}, {}),
        ("getMainTablePrefix", ("spoke1-vnet",), {}, {}),
        ("getCustomizedRouteTableName", (Common.CONFIG_RTB_NAME, "v", "s", "r"), {}, {}),
        ("getAzureSubscriptionInfo", (document,), {}, {}),
        ("getAzurermSubscriptionInfo", ({"terraform": {"azurerm": [dict(arm_subscription_id="s1", alias="a", account_name="n",
                                          arm_application_secret_env="E", arm_application_id="i",
                                          arm_directory_id="d")]}},), {}, {}),
        ("getVnetCidrSubscriptionInfo", ({"vnet_cidr": [dict(arm_subscription_id="s1", alias="a",
                                          arm_application_secret_env="E", arm_application_id="i",
                                          arm_directory_id="d")]},), {}, {}),
        ("getSubscription", (options["subscriptionMap"], SPOKES), {"account": account}, {}),
        ("getArmAccountName", (document,), {}, {}),
        ("getSubscriptionVnets", (account,), {}, {}),
        ("getAccountName", (account,), {}, {}),
        ("readAccountOption", (account, dict(options)), {}, {}),
        ("getFilterCidrs", (account,), {}, {}),
        ("isMainTfRequired", (document, SPOKES), {}, {}),
        ("getControllerPrivateIp", (document,), {}, {}),
        ("getTransitPeeringMap", (document,), {}, {}),
    ], lambda: None


def trafswap_calls(tmp_path):
    """(operation, args, kwargs, module globals to install) of SwitchTraffic,
    and what to do before each call: forget the requests the cloud logged."""
    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)
    install(cloud)
    factories = trafswap
    Terraform.setOutputFolder(tmp_path / "terraform")
    YamlContext.load({"azure_cred": {"zentrova": {"arm_application_id": "app", "arm_directory_id": "dir",
                                                  "arm_application_secret_env": "UNUSED"}},
                      "account_info": [{"subscription_id": sub} for sub in (SPOKES, HUB)]})
    YamlContext.setCredentialFactory(lambda record: StaticCredential())
    network = factories.NetworkManagementClient(StaticCredential(), SPOKES)
    vnet = SwitchTraffic.getVnet("spoke1-vnet", network)
    target = {}
    staged, info = SwitchTraffic.discoverRouteTable(network, False, vnet, target)
    table = network.route_tables.get("rg-spoke1", "rt-spoke1-app")
    options = {"default_route_table": "default", "subscriptionInfo": {"alias": "spokes"},
               "migrate_non_associated_subnet": True, "subnet_in_subnet_groups": []}
    peering_options = {"delete_peering": "all", "delete_vnet_lock": True}
    pairs = SwitchTraffic.deletePeerings(peering_options, SPOKES, vnet, network)
    gateway_uses = SwitchTraffic.disableUseRemoteGwInPeering(SPOKES, network, vnet)
    propagation = SwitchTraffic.setDisableAllRouteTablePropagationInVnet(NS(revert=False), network, vnet, staged,
                                                                         target, True)
    peer = vnet.virtual_network_peerings[0]
    allowed = [ipaddress.ip_network("10.0.0.0/8")]
    credential = AzureCredential({"sub_id": SPOKES}, lambda record: StaticCredential())
    controller = {"av": Client(10**9, Exception, []),     # every reply a success with empty results
                  "Globals": NS(yaml={"configure_gw_name": True, "domain": "prod", "spoke_gw_name": "gw"},
                                CID="cid", api_ep_url="https://controller", getDryRun=lambda: False)}
    sdk = {"NetworkManagementClient": factories.NetworkManagementClient,
           "ManagementLockClient": factories.ManagementLockClient, "arg": factories.arg}
    return [
        ("getVnet", ("spoke1-vnet", network), {}, sdk),
        ("discoverSubnets", (network, vnet), {}, sdk),
        ("discoverSubnetAssociation", (table, []), {}, sdk),
        ("discoverVpcCidr", (vnet, {"allow_vnet_cidrs": allowed}), {}, sdk),
        ("isExpectedVpcPrefix", ("10.1.0.0/16", allowed), {}, sdk),
        ("setDryRun", (), {}, sdk),
        ("deduceGwName", ({"a:v": "gw"}, "v", "spoke1-vnet", "a"), {}, sdk),
        ("deduceGwNameWithSubnetCidr", ("eastus", "10.1.0.0/16"), {}, sdk),
        ("deduceTransitNameWithRegion", ("eastus",), {}, sdk),
        ("isMainRtb", (vnet, table), {}, sdk),
        ("discoverRouteTable", (network, False, vnet, {}), {}, sdk),
        ("setDisableRouteTablePropagation", (network, vnet, "rt-spoke1-app", True), {}, sdk),
        ("setDisableAllRouteTablePropagationInVnet", (NS(revert=False), network, vnet, staged, target, True), {},
         sdk),
        ("restoreRouteTablePropagationInVnet", (network, propagation), {}, sdk),
        ("updateSubnetAssociation", (options, False, network, vnet, target, info), {}, sdk),
        ("getRemotePeering", (credential, peer.remote_virtual_network.id, peer.id), {}, sdk),
        ("deletePeerings", (peering_options, SPOKES, vnet, network), {}, sdk),
        ("addPeerings", (pairs,), {}, sdk),
        ("disableUseRemoteGwInPeering", (SPOKES, network, vnet), {}, sdk),
        ("restoreUseRemoteGwInPeering", (network, gateway_uses), {}, sdk),
        ("deleteVnetLock", (credential, vnet), {}, sdk),
        ("getResources", ("Resources | limit 1", credential), {}, sdk),
        ("isVnetWithVng", (credential, vnet, "Vpn"), {}, sdk),
        ("disableSnat", ("https://controller", "cid", "gw"), {}, controller),
        ("enableSingleIPSnat", ("https://controller", "cid", "gw"), {}, controller),
        ("attach_spoke_domain", (True,), {}, controller),
        ("getTransitVnet", ("https://controller", "cid", "gw"), {}, controller),
    ], cloud.log.calls.clear
