"""VNet options and route-table naming of Common against the same logic in Python."""
import logging

import dm.CrossCloudCfgbase
from bench.models import Model
from bench.run import Case
from dm.arm import cfgbase
from dm.arm.cfgbase import Common
from dm.arm.res.YamlContext import YamlContext

# The YAML context both renderings call (cfgbase's `yctx` is bound to it in `cases`).
yctx = YamlContext


class PyCommon(dm.CrossCloudCfgbase.Common):
    @classmethod
    def readVnetOption(cls, vnetInYaml, vnet, YAML):
        logger = logging.getLogger("dm.arm.cfgbase")
        YAML["spoke_gw_name"] = cls.getSpokeGatewayName(vnetInYaml, vnet.name, cls.VPC_NAME_MAX_LENGTH)
        YAML["transit_gw_name"] = cls.getTransitGatewayName(vnetInYaml, vnet.name)
        YAML["spoke_gw_tags"] = cls.getSpokeGatewayTags(vnetInYaml, vnet.name)
        if vnetInYaml[vnet.name]["spoke_gw_size"]:
            YAML["ztvx_gw_size"] = vnetInYaml[vnet.name]["spoke_gw_size"]
        if vnetInYaml[vnet.name]["hpe"] != None:  # noqa: E711 (the comparison is an inequality test)
            YAML["hpe"] = str(vnetInYaml[vnet.name]["hpe"]).lower()
        if vnetInYaml[vnet.name]["inspection"] is not None:
            YAML["inspection"] = str(vnetInYaml[vnet.name]["inspection"]).lower()
        else:
            YAML["inspection"] = None
        YAML["vnet_name"] = vnet.name
        if vnetInYaml[vnet.name]["domain"] is not None:
            YAML["domain"] = vnetInYaml[vnet.name]["domain"]
        else:
            YAML["domain"] = None
        if vnetInYaml[vnet.name]["max_hpe_performance"] is not None:
            YAML["max_hpe_performance"] = str(vnetInYaml[vnet.name]["max_hpe_performance"]).lower()
        if vnetInYaml[vnet.name]["spoke_ha"] is not None:
            YAML["spoke_ha"] = str(vnetInYaml[vnet.name]["spoke_ha"]).lower()
        if YAML["hpe"] == "false" and YAML["max_hpe_performance"] is not None:
            logger.error("  **Error** max_hpe_performance can only be set when hpe is set to True")
        YAML["enable_spoke_egress"] = vnetInYaml[vnet.name]["enable_spoke_egress"]
        YAML["copy_quad_zero_route"] = vnetInYaml[vnet.name]["copy_quad_zero_route"]
        YAML["subnet_groups_inspected"] = vnetInYaml[vnet.name]["subnet_groups_inspected"]
        YAML["subnet_groups"] = vnetInYaml[vnet.name]["subnet_groups"]
        YAML["subnet_in_subnet_groups"] = []
        if YAML["subnet_groups"] is not None:
            YAML["subnet_in_subnet_groups"] = [group["subnet_name"] for group in YAML["subnet_groups"]]
        YAML["spoke_advertisement"] = cls.getSpokeAdvertisement(vnetInYaml, vnet)
        YAML["spoke_routes"] = cls.getSpokeRoutes(vnetInYaml, vnet)
        YAML["migrate_non_associated_subnet"] = vnetInYaml[vnet.name]["migrate_non_associated_subnet"]
        if vnetInYaml[vnet.name]["filter_service_tags"] is not None:
            YAML["filter_service_tags"] = vnetInYaml[vnet.name]["filter_service_tags"]
        else:
            YAML["filter_service_tags"] = []

    @classmethod
    def getSpokeAdvertisement(cls, vnetInYaml, vnet):
        if "spoke_advertisement" not in vnetInYaml[vnet.name]:
            return None
        if vnetInYaml[vnet.name]["spoke_advertisement"] is None:
            return None
        values = vnetInYaml[vnet.name]["spoke_advertisement"]
        try:
            return ",".join(values)
        except Exception:
            return None

    @classmethod
    def getSpokeRoutes(cls, vnetInYaml, vnet):
        if "spoke_routes" not in vnetInYaml[vnet.name]:
            return None
        if vnetInYaml[vnet.name]["spoke_routes"] is None:
            return None
        values = vnetInYaml[vnet.name]["spoke_routes"]
        try:
            return ",".join(values)
        except Exception:
            return None

    @classmethod
    def getPreStageDefaultRouteTable(cls, yamlObj):
        logging.getLogger("dm.arm.cfgbase")
        try:
            return yamlObj["prestage"]["default_route_table"]
        except Exception:
            return None

    # The two delete-lock readers are written out, as a helper would add a call to each.
    @classmethod
    def getSWDeleteVnetLock(cls, accounts_data):
        logger = logging.getLogger("dm.arm.cfgbase")
        try:
            boolVal = accounts_data["switch_traffic"]["delete_vnet_lock"]
            if type(boolVal) is not bool:
                logger.error("**Error** expect a boolean value for delete_vnet_lock, False by default")
                return False
            return boolVal
        except Exception:
            return False

    @classmethod
    def getCUDeleteVnetLock(cls, accounts_data):
        logger = logging.getLogger("dm.arm.cfgbase")
        try:
            boolVal = accounts_data["cleanup"]["delete_vnet_lock"]
            if type(boolVal) is not bool:
                logger.error("**Error** expect a boolean value for delete_vnet_lock, False by default")
                return False
            return boolVal
        except Exception:
            return False

    @classmethod
    def getMainTablePrefix(cls, vnetName):
        transforms = yctx().getGlobalContext("configure_main_route_table_prefix")
        if len(transforms) == 0:
            return None
        return cls.transformName(transforms, {"vnet": vnetName})

    @classmethod
    def getCustomizedRouteTableName(cls, key, vnetName, subnetName, rtbName):
        transforms = yctx().getGlobalContext(key)
        if len(transforms) == 0:
            return None
        return cls.transformName(transforms, {"vnet": vnetName, "snet": subnetName, "rtb": rtbName})

    @classmethod
    def transformName(cls, transforms, iDict):
        base = ""
        for x in transforms:
            if x["key"] == "base":
                base = x["value"]
                for ykey in iDict:
                    base = base.replace("{" + ykey + "}", iDict[ykey])
            elif x["key"] == "replace":
                cmp = x["value"].split(",")
                base = base.replace(cmp[0], cmp[1])
        return base


def cases():
    vnet = Model(name="prod-spoke-eastus2-01")
    vnetInYaml = {"prod-spoke-eastus2-01": {
        "spoke_gw_name": None, "transit_gw_name": "transit-eastus2", "spoke_gw_tags": {"env": "prod"},
        "spoke_gw_size": "Standard_D3_v2", "hpe": True, "inspection": False, "domain": "prod",
        "max_hpe_performance": None, "spoke_ha": True, "enable_spoke_egress": False,
        "copy_quad_zero_route": True, "subnet_groups_inspected": None,
        "subnet_groups": [{"subnet_name": f"app-{i}"} for i in range(6)],
        "spoke_advertisement": ["10.20.0.0/16", "10.21.0.0/16", "172.16.4.0/22"],
        "spoke_routes": None, "migrate_non_associated_subnet": False,
        "filter_service_tags": ["AzureMonitor", "Storage"]}}
    account = {"hpe": "false", "max_hpe_performance": None, "spoke_ha": "false"}
    steps = [{"key": "base", "value": "rt-{vnet}-{snet}-{rtb}"}, {"key": "replace", "value": "prod-,p-"},
             {"key": "replace", "value": "eastus2,eu2"}, {"key": "replace", "value": "_,-"},
             {"key": "suffix", "value": "ignored"}]
    names = {"vnet": "prod-spoke-eastus2-01", "snet": "app_frontend", "rtb": "legacy_udr"}

    # A migration document's naming options and run switches, as YamlContext.load keeps them.
    class NamingContext(YamlContext):
        _config = {"configure_main_route_table_prefix": [{"key": "base", "value": "{vnet}"},
                                                         {"key": "replace", "value": "-vnet,"}],
                   "configure_route_table_name": steps}
    globals()["yctx"] = cfgbase.yctx = NamingContext
    document = {"prestage": {"default_route_table": "rt-prestage-default", "delete_vnet_lock": False},
                "switch_traffic": {"delete_vnet_lock": True, "transit_gw_name": "transit-eastus2"},
                "cleanup": {"delete_vnet_lock": False, "delete_rtb": True}}
    spokes = {f"prod-spoke-eastus2-{i:02}": dict(vnetInYaml["prod-spoke-eastus2-01"]) for i in range(50)}
    spokes["prod-spoke-eastus2-37"]["spoke_routes"] = ["10.0.0.0/8", "192.168.0.0/16"]
    spoke = Model(name="prod-spoke-eastus2-37")
    rtbKey = Common.CONFIG_RTB_NAME

    def read(impl):
        YAML = dict(account)
        impl.readVnetOption(vnetInYaml, vnet, YAML)
        return YAML

    return [
        Case("transformName (4 steps, 3 placeholders)", lambda: Common.transformName(steps, names),
             lambda: PyCommon.transformName(steps, names), number=50000),
        Case("readVnetOption (realistic entry)", lambda: read(Common), lambda: read(PyCommon),
             number=20000),
        Case("getSpokeAdvertisement (3 CIDRs, 50 VNets)", lambda: Common.getSpokeAdvertisement(spokes, spoke),
             lambda: PyCommon.getSpokeAdvertisement(spokes, spoke), number=50000),
        Case("getSpokeRoutes (2 routes, 50 VNets)", lambda: Common.getSpokeRoutes(spokes, spoke),
             lambda: PyCommon.getSpokeRoutes(spokes, spoke), number=50000),
        Case("getPreStageDefaultRouteTable", lambda: Common.getPreStageDefaultRouteTable(document),
             lambda: PyCommon.getPreStageDefaultRouteTable(document), number=50000),
        Case("getSWDeleteVnetLock", lambda: Common.getSWDeleteVnetLock(document),
             lambda: PyCommon.getSWDeleteVnetLock(document), number=50000),
        Case("getCUDeleteVnetLock", lambda: Common.getCUDeleteVnetLock(document),
             lambda: PyCommon.getCUDeleteVnetLock(document), number=50000),
        Case("getMainTablePrefix (2 steps)", lambda: Common.getMainTablePrefix("prod-spoke-eastus2-vnet"),
             lambda: PyCommon.getMainTablePrefix("prod-spoke-eastus2-vnet"), number=50000),
        Case("getCustomizedRouteTableName (4 steps, 3 placeholders)",
             lambda: Common.getCustomizedRouteTableName(rtbKey, "prod-spoke-eastus2-01",
                                                        "app_frontend", "legacy_udr"),
             lambda: PyCommon.getCustomizedRouteTableName(rtbKey, "prod-spoke-eastus2-01",
                                                          "app_frontend", "legacy_udr"), number=50000),
    ]
