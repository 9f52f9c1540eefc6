"""Global options and the per-account output folder of Common against the
same logic in Python."""
import logging

from bench.run import Case
from dm.CrossCloudCfgbase import Common as CrossCloudCommon
from dm.arm.cfgbase import Common


class PyCommon(CrossCloudCommon):
    GLOBAL_ATTRIBUTE_LIST = dict(Common.GLOBAL_ATTRIBUTE_LIST)

    @classmethod
    def readGlobalConfigOption(cls, data, YAML):
        input = data["config"]
        for attr, type in cls.GLOBAL_ATTRIBUTE_LIST.items():
            if attr in input:
                if type == "boolean":
                    cls.validateBoolean("Global", attr, input[attr])
                elif type == "string":
                    cls.validateString("Global", attr, input[attr])
                elif type == "int":
                    cls.validateInt("Global", attr, input[attr])
                YAML[attr] = input[attr]
            elif type == "boolean":
                YAML[attr] = False
            elif type == "string":
                YAML[attr] = ""
        YAML["configure_route_table_name"] = cls.getRouteTableNameConfig(
            data["config"]["configure_route_table_name"])
        YAML["configure_main_route_table_prefix"] = cls.getRouteTableNameConfig(
            data["config"]["configure_main_route_table_prefix"])
        YAML["tf_controller_access"] = data["zentrova"]["tf_controller_access"]
        YAML["tf_cloud"] = data["terraform"]["tf_cloud"]
        YAML["module_name"] = data["terraform"]["module_name"]
        YAML["check_gateway_existence"] = data["alert"]["check_gateway_existence"]
        YAML["manage_propagate_gateway_routes"] = data["switch_traffic"]["manage_propagate_gateway_routes"]

    @classmethod
    def getRouteTableNameConfig(cls, transformList):
        tagsList = []
        try:
            for tag in transformList:
                tagsList.append({"Key": tag["key"], "Value": tag["value"]})
        except Exception:
            return []
        return tagsList

    @classmethod
    def validateInt(cls, scope, name, input):
        logger = logging.getLogger("dm.arm.cfgbase")
        if isinstance(input, int):
            return
        logger.error("Invalid " + str(scope) + " option " + str(name) + ". Valid input is an integer")

    @classmethod
    def getTargetLocation(cls, subscriptionInfo, accounts_data):
        logger = logging.getLogger("dm.arm.cfgbase")
        target_folder = accounts_data["terraform"]["terraform_output"]
        try:
            folder = accounts_data["terraform"]["account_folder"]
        except Exception:
            return str(target_folder) + "/" + str(subscriptionInfo["sub_id"])
        if isinstance(folder, str):
            lower = folder.lower()
            if lower == "name":
                return str(target_folder) + "/" + str(subscriptionInfo["account_name"])
            if lower == "id":
                return str(target_folder) + "/" + str(subscriptionInfo["sub_id"])
        logger.error("**Error** unknown account_folder value: " + str(folder)
                     + ", use default subscription ID as folder name")
        return str(target_folder) + "/" + str(subscriptionInfo["sub_id"])


def configuration():
    """A production-sized configuration: every global option set, a few
    naming transforms, the sections the driver reads."""
    transforms = [{"key": "^rt-(.*)$", "value": "stg-\\1"}, {"key": "-prod$", "value": "-ovl"},
                  {"key": "base", "value": "spoke"}]
    return {
        "label": "ACCOUNTS",
        "config": {"configure_gw_name": True, "configure_gw_subnet_nsg": False,
                   "configure_staging_attachment": True, "configure_spoke_advertisement": False,
                   "enable_spoke_split_cidr": False, "configure_private_subnet": True,
                   "configure_subnet_groups": False, "configure_shared_route_table_replication": 2,
                   "configure_route_table_name": transforms,
                   "configure_main_route_table_prefix": transforms[:1]},
        "zentrova": {"tf_controller_access": {"mode": "ssm", "alias": "us-west-2"}},
        "terraform": {"tf_cloud": False, "module_name": "module_azure_brownfield_spoke_vnet",
                      "terraform_output": "/home/ops/migration/output", "account_folder": "Name"},
        "alert": {"check_gateway_existence": True},
        "switch_traffic": {"manage_propagate_gateway_routes": True},
        "log_output": "/home/ops/migration/log",
    }


def cases():
    data = configuration()
    info = {"sub_id": "0f3a9c2e-5b1d-4e7a-9c4f-2d8b6a1e7f30", "account_name": "prod-network-acct"}

    def read(cls):
        YAML = {}
        cls.readGlobalConfigOption(data, YAML)
        return YAML

    return [
        Case("readGlobalConfigOption", lambda: read(Common), lambda: read(PyCommon), number=20000),
        Case("getTargetLocation", lambda: Common.getTargetLocation(info, data),
             lambda: PyCommon.getTargetLocation(info, data), number=100000),
    ]
