"""Output folders and report banners of Common against the same logic in
Python."""
import copy
import logging
import os
import pathlib
import tempfile
import types

from bench.bench_loading import configuration
from bench.models import Model
from bench.run import Case
from dm import logconf as shipped_logconf
from dm.arm import cfgbase
from dm.arm.cfgbase import Common

# The logging configuration the operations point at the log folder: a copy
# bound in place of the shipped one, which the rest of a test run keeps.
logconf = None


class PyCommon:
    @classmethod
    def getTmpFolderId(cls, data, yamlFileName):
        id = data["terraform"]["tmp_folder_id"]
        if id == "VNET_ID":
            return data["account_info"][0]["vnets"][0]["vnet_name"]
        if id == "YAML_ID":
            return pathlib.PurePath(yamlFileName).name.replace(".", "-")
        return None

    @classmethod
    def getLogFolder(cls, yamlObj):
        logger = logging.getLogger("dm.arm.cfgbase")
        try:
            return yamlObj["log_output"]
        except Exception:
            logger.warning("**Alert** output folder attribute log_output not defined, default to \"./\"")
            return "./"

    @classmethod
    def intLogLocationMgmtVnetCidr(cls, accounts_data):
        logFolder = str(accounts_data["log_output"]) + "/log"
        if not os.path.exists(logFolder):
            os.makedirs(logFolder)
        handlers = logconf.logging_config["handlers"]
        handlers["logConsoleHandler"]["filename"] = logFolder + "/dm.log"
        handlers["alertHandler"]["filename"] = logFolder + "/dm.alert.log"
        return logconf

    @classmethod
    def getTargetLocation(cls, subscriptionInfo, accounts_data):
        logger = logging.getLogger("dm.arm.cfgbase")
        terraform = accounts_data["terraform"]
        target_folder = terraform["terraform_output"]
        try:
            folder = terraform["account_folder"]
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

    @classmethod
    def logSubscription(cls, id):
        logger = logging.getLogger("dm.arm.cfgbase")
        logger.warning("")
        logger.warning("+" * 45)
        logger.warning("")
        logger.warning("    Subscription ID :  " + str(id))
        logger.warning("")
        logger.warning("+" * 45)
        logger.warning("")

    @classmethod
    def logVnetHeader(cls, vnet):
        logger = logging.getLogger("dm.arm.cfgbase")
        name = vnet.name
        region = vnet.location
        rg = vnet.id.split("/")[4]
        cidrs = vnet.address_space.address_prefixes
        logger.info("")
        logger.info("-" * 45)
        logger.info("")
        logger.info("    Vnet Name : " + str(name))
        logger.info("    CIDRs     : " + str(cidrs))
        logger.info("    Region    : " + str(region))
        logger.info("    RG        : " + str(rg))
        logger.info("")
        logger.info("-" * 45)
        logger.info("")

    @classmethod
    def logRouteTableHeader(cls):
        logger = logging.getLogger("dm.arm.cfgbase")
        logger.info("")
        logger.info("-" * 45)
        logger.info("")
        logger.info("    Route Tables")
        logger.info("")
        logger.info("-" * 45)
        logger.info("")


def cases():
    global logconf
    # Report lines are made as in a run, into a handler that drops them.
    logger = logging.getLogger("dm.arm.cfgbase")
    logger.setLevel(logging.INFO)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logconf = types.ModuleType("dm.logconf")
    logconf.logging_config = copy.deepcopy(shipped_logconf.logging_config)
    cfgbase.logconf = logconf

    data = configuration()
    by_file = dict(data, terraform=dict(data["terraform"], tmp_folder_id="YAML_ID"))
    logged = dict(data, log_output=tempfile.mkdtemp(prefix="bench-folders-"))
    info = {"sub_id": "0f3a9c2e-5b1d-4e7a-9c4f-2d8b6a1e7f30", "account_name": "prod-network-acct"}
    yaml_file = "/home/ops/migration/config/prod.accounts.yaml"
    vnet = Model(name="vnet-spoke-eus-042", location="eastus",
                 id="/subscriptions/0f3a9c2e-5b1d-4e7a-9c4f-2d8b6a1e7f30/resourceGroups/rg-network-eus"
                    "/providers/Microsoft.Network/virtualNetworks/vnet-spoke-eus-042",
                 address_space=Model(address_prefixes=["10.42.0.0/16", "172.20.4.0/22"]))

    def both(name, call, number):
        return Case(name, lambda: call(Common), lambda: call(PyCommon), number=number)

    return [
        both("getTmpFolderId (VNET_ID)", lambda c: c.getTmpFolderId(data, yaml_file), 100000),
        both("getTmpFolderId (YAML_ID)", lambda c: c.getTmpFolderId(by_file, yaml_file), 20000),
        both("getLogFolder", lambda c: c.getLogFolder(data), 100000),
        both("intLogLocationMgmtVnetCidr (folder made)", lambda c: c.intLogLocationMgmtVnetCidr(logged), 20000),
        both("getTargetLocation", lambda c: c.getTargetLocation(info, data), 100000),
        both("logSubscription", lambda c: c.logSubscription(info["sub_id"]), 10000),
        both("logVnetHeader", lambda c: c.logVnetHeader(vnet), 10000),
        both("logRouteTableHeader", lambda c: c.logRouteTableHeader(), 10000),
    ]
