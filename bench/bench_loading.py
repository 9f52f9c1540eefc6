"""Document loading and the global options of Common against the same logic
in Python."""
import json
import logging
import pathlib
import sys

from bench.run import Case
from dm.CrossCloudCfgbase import Common as CrossCloudCommon
from dm.arm import cfgbase
from dm.arm.cfgbase import Common
from dm.arm.core.config import dump_to_dict, load_from_yaml

# Bound in cases() to the in-memory input document (a module global, so that
# the Cython build of the renderings looks it up as the interpreter does).
open = open
SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "migration" / "discovery_migration" / "samples"


class PyCommon(CrossCloudCommon):
    GLOBAL_ATTRIBUTE_LIST = dict(Common.GLOBAL_ATTRIBUTE_LIST)

    @classmethod
    def loadInputJson(cls):
        dmPath = cls.get_data_path()
        file = open(str(dmPath) + "/azure_data/input.json")
        try:
            data = json.load(file)
        finally:
            file.close()
        Common.REGION = data["REGION"]
        Common.AZURE_SUBNET = data["AZURE_SUBNET"]

    @classmethod
    def convert_yaml_to_json(cls, file_path):
        return dump_to_dict(load_from_yaml(pathlib.Path(file_path)))

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
        try:
            return [{"Key": tag["key"], "Value": tag["value"]} for tag in transformList]
        except Exception:
            return []

    @classmethod
    def validateInt(cls, scope, name, input):
        logger = logging.getLogger("dm.arm.cfgbase")
        if isinstance(input, int):
            return
        logger.error("Invalid " + str(scope) + " option " + str(name) + ". Valid input is an integer")

    @classmethod
    def expectYamlType(cls, accounts_data, expectYamlFile):
        if cls.getLabel(accounts_data) != expectYamlFile:
            print("**Alert** Expect YAML for " + str(expectYamlFile) + ", got "
                  + str(cls.getLabel(accounts_data)) + " instead!")
            sys.exit(1)


class InputFile:
    """The input document opened: every read gives the whole text, as a fresh
    open would, so that the host work of a call can be made again."""
    def __init__(self, text):
        self.text = text

    def read(self, size=-1):
        return self.text

    def close(self):
        pass


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
                      "terraform_output": "/home/ops/migration/output", "account_folder": "Name",
                      "tmp_folder_id": "VNET_ID"},
        "account_info": [{"subscription_id": "0f3a9c2e-5b1d-4e7a-9c4f-2d8b6a1e7f30",
                          "account_name": "prod-network-acct",
                          "vnets": [{"vnet_name": "vnet-hub-prod"}, {"vnet_name": "vnet-spoke-01"}]}],
        "alert": {"check_gateway_existence": True},
        "switch_traffic": {"manage_propagate_gateway_routes": True},
        "log_output": "/home/ops/migration/log",
    }


def cases():
    global open
    # The input document is read from memory (open binds in the module of
    # Common and of the renderings alike): both sides parse the same text.
    text = (PyCommon.get_data_path() / "azure_data" / "input.json").read_text()

    def opened(file):
        return InputFile(text)
    open = cfgbase.open = opened

    data = configuration()
    # A naming list as a large estate writes it: one transform per environment and region.
    transforms = [{"key": f"^rt-{env}-(.*)-{region}$", "value": f"stg-{env}-\\1-{region}"}
                  for env in ("prod", "stage", "qa", "dev") for region in ("eus", "wus", "neu", "weu", "sea", "jpe")]
    yaml_file = str(SAMPLES / "migration-az.yaml")

    def read(cls):
        YAML = {}
        cls.readGlobalConfigOption(data, YAML)
        return YAML

    return [
        Case("loadInputJson (34 regions)", lambda: Common.loadInputJson(), lambda: PyCommon.loadInputJson(),
             number=2000),
        Case("convert_yaml_to_json (the 3 KB sample)", lambda: Common.convert_yaml_to_json(yaml_file),
             lambda: PyCommon.convert_yaml_to_json(yaml_file), number=1000),
        Case("readGlobalConfigOption", lambda: read(Common), lambda: read(PyCommon), number=20000),
        Case("getRouteTableNameConfig (24 transforms)", lambda: Common.getRouteTableNameConfig(transforms),
             lambda: PyCommon.getRouteTableNameConfig(transforms), number=20000),
        Case("validateInt (an integer)", lambda: Common.validateInt("Global", "replication", 2),
             lambda: PyCommon.validateInt("Global", "replication", 2), number=100000),
        Case("validateInt (a text, logged)", lambda: Common.validateInt("Global", "replication", "two"),
             lambda: PyCommon.validateInt("Global", "replication", "two"), number=20000),
        Case("expectYamlType (the expected label)", lambda: Common.expectYamlType(data, "ACCOUNTS"),
             lambda: PyCommon.expectYamlType(data, "ACCOUNTS"), number=100000),
    ]
