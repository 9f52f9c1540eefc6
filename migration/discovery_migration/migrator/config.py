"""The migration configuration, read and checked whole before anything changes.

Every problem becomes one line naming the file and the key (or the VNet), so
a person can fix them all in one go; nothing is changed while any is left.
"""
import ipaddress
import logging

import yaml

from dm.arm.cfgbase import Common
from dm.arm.res.YamlContext import YamlContext

from .errors import BadInput

CONFIG_LABEL = "MIGRATION"
RANGE_KEYS = ("allow_vnet_cidrs", "spoke_advertisement", "spoke_routes")

logger = logging.getLogger("dm.migrate")


def load(path):
    """The configuration document of a YAML file; BadInput names the file and the fault."""
    try:
        return Common.convert_yaml_to_json(path)
    except OSError as error:
        raise BadInput(str(path) + ": cannot read the configuration: " + (error.strerror or str(error))) from None
    except yaml.MarkedYAMLError as error:
        mark = error.problem_mark
        raise BadInput(str(path) + ": line " + str(mark.line + 1) + ", column " + str(mark.column + 1)
                       + ": " + str(error.problem)) from None
    except (yaml.YAMLError, ValueError) as error:
        raise BadInput(str(path) + ": " + str(error).splitlines()[0]) from None


class Checker:
    """Collects the problems (errors) and warnings of one configuration file."""

    def __init__(self, path):
        self.path = str(path)
        self.problems = []
        self.warnings = []

    def problem(self, where, text):
        self.problems.append(self.path + ": " + where + ": " + text)

    def warn(self, where, text):
        self.warnings.append(self.path + ": " + where + ": " + text)


def accounts(document):
    """(index, account entry) of every account the document lists."""
    return list(enumerate(document.get("account_info") or ()))


def where_account(index, account):
    name = account.get("account_name") if isinstance(account, dict) else None
    return "account_info[" + str(index) + "]" + (" (" + str(name) + ")" if name else "")


def check(path, document, azure, find_vnet):
    """A Checker holding every problem of the document.

    `find_vnet(subscription_id, credential, name)` answers whether the VNet
    exists (None when the subscription itself cannot be read, with its reason).
    """
    checker = Checker(path)
    if not isinstance(document, dict):
        checker.problem("top level", "the configuration is not a mapping")
        return checker
    if document.get("label") != CONFIG_LABEL:
        checker.problem("label", "expected " + CONFIG_LABEL + ", got " + repr(document.get("label")))
    for section in ("config", "switch_traffic", "account_info", "azure_cred", "log_output", "terraform"):
        if section not in document:
            checker.problem(section, "missing section")
    switch = document.get("switch_traffic")
    if isinstance(switch, dict) and "manage_propagate_gateway_routes" not in switch:
        checker.problem("switch_traffic.manage_propagate_gateway_routes", "missing key")
    if not isinstance(document.get("account_info"), list) or not document.get("account_info"):
        checker.problem("account_info", "lists no account")
        return checker
    check_options(checker, document)
    spoke_names = {}
    for index, account in accounts(document):
        check_account(checker, document, index, account, azure, find_vnet, spoke_names)
    for gw, vnets in spoke_names.items():
        if len(vnets) > 1:
            checker.warn("spoke_gw_name", "VNets " + ", ".join(vnets) + " are given the same spoke gateway " + gw)
    return checker


def check_options(checker, document):
    """The readers of the global options, run on a scratch mapping: a missing key is named."""
    try:
        Common.readGlobalConfigOption(document, {})
    except KeyError as error:
        checker.problem("config", "missing key " + str(error))
    except (TypeError, ValueError) as error:
        checker.problem("config", str(error))


def check_account(checker, document, index, account, azure, find_vnet, spoke_names):
    where = where_account(index, account)
    if not isinstance(account, dict):
        checker.problem(where, "is not a mapping")
        return
    sub = account.get("subscription_id")
    if not isinstance(sub, str) or not sub:
        checker.problem(where + ".subscription_id", "missing")
        return
    for network in account.get("filter_cidrs") or ():
        check_range(checker, where + ".filter_cidrs", network)
    credential = YamlContext().generateAzureCredential(sub)
    readable = True
    if credential is None:
        checker.problem(where, "subscription " + sub + " has no credential in azure_cred")
        readable = False
    elif azure:
        try:
            credential.getCSC()
        except LookupError as error:
            checker.problem(where, error.args[0])
            readable = False
    seen = set()
    for vindex, entry in enumerate(account.get("vnets") or ()):
        vwhere = where + ".vnets[" + str(vindex) + "]"
        if not isinstance(entry, dict) or not isinstance(entry.get("vnet_name"), str):
            checker.problem(vwhere + ".vnet_name", "missing")
            continue
        name = entry["vnet_name"]
        vwhere += " (" + name + ")"
        if name in seen:
            checker.warn(vwhere, "VNet " + name + " is listed twice; the last entry is used")
        seen.add(name)
        for key in RANGE_KEYS:
            for network in entry.get(key) or ():
                check_range(checker, vwhere + "." + key, network)
        gw = entry.get("spoke_gw_name") or Common.getSpokeGatewayName({name: entry}, name, Common.VPC_NAME_MAX_LENGTH)
        if name not in spoke_names.setdefault(gw, []):
            spoke_names[gw].append(name)
        if readable:
            found = find_vnet(sub, credential, name)
            if found is None:
                checker.problem(where, "subscription " + sub + " cannot be read")
                readable = False
            elif not found:
                checker.problem(vwhere, "VNet " + name + " not found in subscription " + sub)


def check_range(checker, where, network):
    try:
        ipaddress.ip_network(network)
    except (TypeError, ValueError) as error:
        checker.problem(where, repr(network) + " is not a network range (" + str(error) + ")")


def report(checker):
    """Prints the warnings; raises BadInput with every problem when there is any."""
    for line in checker.warnings:
        logger.warning("**Alert** %s", line)
    if checker.problems:
        raise BadInput("\n".join(checker.problems))
