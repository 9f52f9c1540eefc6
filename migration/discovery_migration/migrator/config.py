"""The migration configuration, read and checked whole before anything changes.

Every problem becomes one line naming the file and the key (or the VNet), so
a person can fix them all in one go; nothing is changed while any is left.
"""
import ipaddress
import logging

import yaml

from dm.arm.cfgbase import Common
from dm.arm.res.YamlContext import YamlContext

from . import shape
from .errors import BadInput

CONFIG_LABEL = "MIGRATION"
# The sections the credentials and the local cloud's folder are read from, and those the accounts'
# options are read from.
CREDENTIALS = ("top level", "label", "account_info", "azure_cred", "config", "log_output")
OPTIONS = CREDENTIALS + ("config", "zentrova", "terraform", "alert", "switch_traffic")

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
        text = str(error).splitlines()[0]
        named = str(path) + ": "
        raise BadInput(named + (text[len(named):] if text.startswith(named) else text)) from None


class Checker:
    """Collects the problems (errors) and warnings of one configuration file."""

    def __init__(self, path):
        self.path = str(path)
        self.problems = []
        self.warnings = []
        self.places = set()

    def problem(self, where, text):
        self.problems.append(self.path + ": " + where + ": " + text)
        self.places.add(where)

    def readable(self, sections=CREDENTIALS):
        """Whether the sections can be read despite the problems found so far (a bad range is only
        ever checked, never read, before the switch)."""
        return all(where.split(".")[0].split("[")[0] not in sections or where.rsplit(".", 1)[-1] in shape.RANGE_KEYS
                   for where in self.places)

    def warn(self, where, text):
        self.warnings.append(self.path + ": " + where + ": " + text)


def check_shape(path, document):
    """A Checker holding every place the document departs from the shape the libraries read."""
    checker = Checker(path)
    for where, text in shape.problems(document):
        checker.problem(where, text)
    return checker


def check(checker, document, azure, find_vnet=None, ranges=False):
    """Adds to the checker of the document's shape every problem of its accounts and VNets.

    `find_vnet(subscription_id, credential, name)` answers the VNet's address
    prefixes, False when it does not exist (None when the subscription itself
    cannot be read); with `ranges`, prefixes outside the VNet's allowed ranges are
    warned about (the switch goes on with them). Without `find_vnet`
    (discover, which reports missing VNets itself) the cloud is not asked.
    """
    if document["label"] != CONFIG_LABEL:
        checker.problem("label", "expected " + CONFIG_LABEL + ", got " + repr(document["label"]))
    if not document["account_info"]:
        checker.problem("account_info", "lists no account")
    spoke_names = {}
    for index, account in enumerate(document["account_info"]):
        check_account(checker, index, account, azure, find_vnet, spoke_names, ranges)
    for gw, vnets in spoke_names.items():
        if len(vnets) > 1:
            checker.warn("spoke_gw_name", "VNets " + ", ".join(vnets) + " are given the same spoke gateway " + gw)
    return checker


def check_account(checker, index, account, azure, find_vnet, spoke_names, ranges):
    where = "account_info[" + str(index) + "] (" + account["account_name"] + ")"
    sub = account["subscription_id"]
    credential = YamlContext().generateAzureCredential(sub)
    readable = find_vnet is not None
    if credential is None:
        checker.problem(where, "subscription " + sub + " has no credential in azure_cred")
        readable = False
    elif azure and readable:
        try:
            credential.getCSC()
        except LookupError as error:
            checker.problem(where, error.args[0])
            readable = False
    seen = set()
    for vindex, entry in enumerate(account.get("vnets") or ()):
        name = entry["vnet_name"]
        vwhere = where + ".vnets[" + str(vindex) + "] (" + name + ")"
        if name in seen:
            checker.warn(vwhere, "VNet " + name + " is listed twice; the last entry is used")
        seen.add(name)
        gw = entry.get("spoke_gw_name") or Common.getSpokeGatewayName({name: entry}, name, Common.VPC_NAME_MAX_LENGTH)
        if name not in spoke_names.setdefault(gw, []):
            spoke_names[gw].append(name)
        if readable:
            found = find_vnet(sub, credential, name)
            if found is None:
                checker.problem(where, "subscription " + sub + " cannot be read")
                readable = False
            elif found is False:
                checker.problem(vwhere, "VNet " + name + " not found in subscription " + sub)
            elif ranges and vwhere + ".allow_vnet_cidrs" not in checker.places:
                check_allowed(checker, vwhere, found, entry["allow_vnet_cidrs"])


def check_allowed(checker, where, prefixes, allowed):
    """Warns about the VNet's prefixes that lie outside its allowed ranges."""
    allowed = [ipaddress.ip_network(network) for network in allowed]
    outside = [prefix for prefix in prefixes if not any(
        ipaddress.ip_network(prefix, strict=False).version == network.version
        and ipaddress.ip_network(prefix, strict=False).subnet_of(network) for network in allowed)]
    if outside:
        checker.warn(where + ".allow_vnet_cidrs", "the VNet's address space " + ", ".join(outside)
                     + " is outside the allowed ranges " + (", ".join(map(str, allowed)) or "(none)"))


def report(checker):
    """Prints the warnings; raises BadInput with every problem when there is any."""
    for line in checker.warnings:
        logger.warning("**Alert** %s", line)
    if checker.problems:
        raise BadInput("\n".join(checker.problems))
