"""The accounts and VNets a run acts on, with the option mapping of each VNet."""
import logging
import pathlib
import shutil
import threading

from dm.arm import trafswap
from dm.arm.cfgbase import Common
from dm.arm.res.YamlContext import YamlContext
from dm.arm.terraform import DISCOVERY_FILE
from dm.arm.trafswap import SwitchTraffic
from dm.arm.zentrova import Zentrova

from . import clients, perthread, readcache

logger = logging.getLogger("dm.migrate")


class Account:
    """One account of the configuration: its subscription, credential, network client and VNet entries."""

    def __init__(self, document, entry, base_options):
        self.document = document
        self.entry = entry
        self.subscription_id = entry["subscription_id"]
        self.options = dict(base_options)
        Common.readAccountOption(entry, self.options)
        self.info = Common.getSubscription(self.options["subscriptionMap"], self.subscription_id, entry)
        self.vnet_entries = {v["vnet_name"]: v for v in Common.getSubscriptionVnets(entry)}
        self.credential = None
        self.network = None
        self.terraform_folders = {}         # dry run or not: the Terraform writer's folder
        self.lock = threading.Lock()        # the VNets of the account may be worked on at the same time

    def connect(self):
        """The network client; a subscription whose credential fails is reported once by the caller."""
        self.credential = YamlContext().generateAzureCredential(self.subscription_id)
        if self.credential is None:
            raise LookupError("no credential for subscription " + self.subscription_id + " in 'azure_cred'")
        self.network = network_client(self.credential)
        return self.network

    def output_folder(self):
        return Common.getTargetLocation(self.info, self.document)

    def vnet_options(self, vnet):
        """The option mapping of one VNet: global, account and VNet options, and what the switch reads."""
        options = dict(self.options)
        Common.readVnetOption(self.vnet_entries, vnet, options)
        options["subscriptionInfo"] = self.info
        options["default_route_table"] = Common.getPreStageDefaultRouteTable(self.document)
        return options

    def find(self, name):
        return SwitchTraffic.getVnet(name, self.network)


def network_client(credential, fresh=False):
    """The network client of the credential's subscription, as the libraries get one (`fresh`: one of
    its own, which reads past the run's cache, for comparing the network before and after)."""
    client_class = clients.uncached(trafswap.NetworkManagementClient) if fresh else trafswap.NetworkManagementClient
    return client_class(credential.getCSC(), credential.getSubId())


def share_clients():
    """Until `stop_sharing`: one client per subscription and kind, reading through one cache, and
    one controller session per thread."""
    Zentrova.session = clients.Sessions()
    return clients.install(trafswap, readcache.ReadCache())


def stop_sharing():
    sessions, Zentrova.session = Zentrova.session, None
    if sessions is not None:
        sessions.close()


def accounts(document, subscription=None):
    """The accounts to act on (all, or the one of `subscription`), in the configuration's order."""
    base = {}
    Common.readGlobalConfigOption(document, base)
    base["subscriptionMap"] = Common.getAzureSubscriptionInfo(document)
    chosen = []
    for entry in document["account_info"]:
        if subscription is None or entry["subscription_id"].lower() == subscription.lower():
            chosen.append(Account(document, entry, base))
    return chosen


def vnet_names(account, only=None):
    return [name for name in account.vnet_entries if only is None or name == only]


def point_terraform_at(account, dry_run):
    """The Terraform writer writes, for the calling thread, into the account's output folder; a plan's
    into its plan/ folder, with a copy of the account's discovery (made once), which the
    re-association reads."""
    with account.lock:
        folder = account.terraform_folders.get(dry_run)
        if folder is None:
            folder = pathlib.Path(account.output_folder())
            if dry_run:
                plan = folder / "plan"
                plan.mkdir(parents=True, exist_ok=True)
                if (folder / DISCOVERY_FILE).exists():
                    shutil.copyfile(folder / DISCOVERY_FILE, plan / DISCOVERY_FILE)
                folder = plan
            account.terraform_folders[dry_run] = folder
    perthread.set_output_folder(folder)
