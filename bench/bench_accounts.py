"""Subscription credentials and account options of Common against the same
logic in Python."""
import logging
import sys

from bench.run import Case
from dm.arm.cfgbase import Common


class PyCommon:
    @classmethod
    def getAzureSubscriptionInfo(cls, yamlObj):
        logger = logging.getLogger("dm.arm.cfgbase")
        if "azure_cred" not in yamlObj or not isinstance(yamlObj["azure_cred"], dict):
            logger.error("**Error** YAML missing 'azure_cred' definition")
            sys.exit(1)
        subscriptionMap = {}
        for key, val in yamlObj["azure_cred"].items():
            try:
                if key == "zentrova":
                    subscriptionMap["zentrova"] = {
                        "secret_env": val["arm_application_secret_env"],
                        "secret_data_src": val["arm_application_secret_data_src"]
                        if "arm_application_secret_data_src" in val else "",
                        "app_id": val["arm_application_id"],
                        "dir_id": val["arm_directory_id"],
                        "sub_id": "zentrova",
                        "apps": "zentrova",
                    }
                else:
                    if not isinstance(val["arm_subscription_id"], list):
                        logger.error("**Error** YAML azure_cred: '" + str(key)
                                     + "' arm_subscription_id - list of subscription Id strings expected")
                        sys.exit(1)
                    for subId in val["arm_subscription_id"]:
                        subscriptionMap[subId] = {
                            "secret_env": val["arm_application_secret_env"],
                            "secret_data_src": val["arm_application_secret_data_src"]
                            if "arm_application_secret_data_src" in val else "",
                            "app_id": val["arm_application_id"],
                            "dir_id": val["arm_directory_id"],
                            "sub_id": subId,
                            "apps": key,
                        }
            except KeyError as e:
                logger.error("**Error** YAML azure_cred: '" + str(key) + "' missing " + str(e))
                sys.exit(1)
        return subscriptionMap

    @classmethod
    def getAzurermSubscriptionInfo(cls, yamlObj):
        logger = logging.getLogger("dm.arm.cfgbase")  # noqa: F841 (taken as every reader does)
        subscriptionMap = {}
        for subObj in yamlObj["terraform"]["azurerm"]:
            subId = subObj["arm_subscription_id"]
            subscriptionMap[subId] = record = {}
            record["secret_env"] = subObj["arm_application_secret_env"]
            record["app_id"] = subObj["arm_application_id"]
            record["dir_id"] = subObj["arm_directory_id"]
            record["alias"] = subObj["alias"]
            record["account_name"] = subObj["account_name"]
            record["sub_id"] = subId
        return subscriptionMap

    @classmethod
    def getVnetCidrSubscriptionInfo(cls, yamlObj):
        logger = logging.getLogger("dm.arm.cfgbase")  # noqa: F841 (taken as every reader does)
        subscriptionMap = {}
        for entry in yamlObj["vnet_cidr"]:
            subId = entry["arm_subscription_id"]
            subscriptionMap[subId] = {"secret_env": entry["arm_application_secret_env"],
                                      "app_id": entry["arm_application_id"],
                                      "dir_id": entry["arm_directory_id"]}
        return subscriptionMap

    @classmethod
    def getSubscription(cls, subscriptionMap, subscriptionId, account=None):
        if subscriptionId in subscriptionMap:
            subscription = subscriptionMap[subscriptionId].copy()
        elif "zentrova" in subscriptionMap:
            subscription = subscriptionMap["zentrova"].copy()
            subscription["sub_id"] = subscriptionId
        else:
            return None
        if account == None:  # noqa: E711 (an equality test, as the operation makes it)
            return subscription
        if "account_name" in account:
            subscription["account_name"] = account["account_name"]
            subscription["alias"] = account["account_name"]
        if "tf_provider_alias" in account and account["tf_provider_alias"] is not None:
            subscription["alias"] = account["tf_provider_alias"]
        return subscription

    @classmethod
    def getArmAccountName(cls, yamlObj):
        logger = logging.getLogger("dm.arm.cfgbase")
        try:
            return yamlObj["terraform"]["zentrova_account"]["account_name"]
        except Exception:
            logger.error("**Error** failed to read account name from yaml. Use default AzureDev")
            return "AzureDev"

    @classmethod
    def getSubscriptionVnets(cls, subscription):
        try:
            vnets = subscription["vnets"]
            if len(vnets) == 0:
                return {}
            return vnets
        except Exception:
            return {}

    @classmethod
    def getAccountName(cls, account):
        logger = logging.getLogger("dm.arm.cfgbase")
        if "account_name" not in account:
            logger.error("**Error** missing 'account_name' for " + str(account["subscription_id"])
                         + " in 'account_info'")
            return None
        name = account["account_name"]
        if not isinstance(name, str):
            logger.error("**Error** expect 'account_name' to be a string but got " + str(name))
            return None
        return name

    @classmethod
    def readAccountOption(cls, account, YAML):
        YAML["subscriptionId"] = account["subscription_id"]
        subscriptionInfo = cls.getSubscription(YAML["subscriptionMap"], YAML["subscriptionId"], account)
        YAML["provider"] = subscriptionInfo["alias"]
        YAML["vwan"] = account["vwan"]
        YAML["hpe"] = str(account["hpe"]).lower()
        YAML["max_hpe_performance"] = None
        if account["max_hpe_performance"] is not None:
            YAML["max_hpe_performance"] = str(account["max_hpe_performance"]).lower()

    @classmethod
    def getFilterCidrs(cls, account):
        try:
            return account["filter_cidrs"]
        except Exception:
            return []

    @classmethod
    def isMainTfRequired(cls, accounts_data, subsId):
        onboard = [subsObj["onboard_account"] for subsObj in accounts_data["account_info"]
                   if subsObj["subscription_id"] == subsId and "onboard_account" in subsObj]
        return any(onboard) or accounts_data["terraform"]["enable_s3_backend"] == True  # noqa: E712

    @classmethod
    def getControllerPrivateIp(cls, yamlObj):
        logger = logging.getLogger("dm.arm.cfgbase")  # noqa: F841 (taken as every reader does)
        try:
            return yamlObj["zentrova"]["controller_private_ip"]
        except Exception:
            return None

    @classmethod
    def getTransitPeeringMap(cls, yamlObj):
        try:
            peerings = yamlObj["switch_traffic"]["transit_peerings"]
        except KeyError:
            return {}
        if peerings == None:  # noqa: E711 (an equality test, as the operation makes it)
            return {}
        return peerings


def credentials_document(apps=50, per_app=20):
    """A default credential and `apps` application entries serving `per_app`
    subscriptions each (1,000 subscriptions by default)."""
    def entry(n, **more):
        return dict({"arm_application_secret_env": f"ARM_CLIENT_SECRET_{n}",
                     "arm_application_id": f"{n:08d}-1111-2222-3333-444455556666",
                     "arm_directory_id": "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"}, **more)
    creds = {"zentrova": entry(0, arm_application_secret_data_src="ztr-azure-client-secret")}
    for a in range(1, apps + 1):
        subs = [f"{a:04d}{s:04d}-0000-4000-8000-000000000000" for s in range(per_app)]
        more = {"arm_application_secret_data_src": f"kv-app{a}"} if a % 2 else {}
        creds[f"app{a}"] = entry(a, arm_subscription_id=subs, **more)
    return {"label": "ACCOUNTS", "azure_cred": creds}


def provider_entries(n=2000):
    """`n` provider entries of "terraform"/"azurerm" (or "vnet_cidr"), one per subscription."""
    return [{"arm_subscription_id": f"{i:08d}-0000-4000-8000-000000000000",
             "arm_application_secret_env": f"ARM_CLIENT_SECRET_{i % 40}",
             "arm_application_id": f"{i % 40:08d}-1111-2222-3333-444455556666",
             "arm_directory_id": "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee",
             "alias": f"azure_sub_{i}", "account_name": f"azure-sub-{i}"} for i in range(n)]


def account_entries(n=500):
    """`n` "account_info" entries; every tenth one asks for onboarding."""
    return [{"subscription_id": f"{i:08d}-0000-4000-8000-000000000000", "account_name": f"azure-acct-{i}",
             "vwan": None, "hpe": True, "max_hpe_performance": False, "filter_cidrs": ["10.0.0.0/8"],
             "onboard_account": i % 10 == 0} for i in range(n)]


def cases():
    doc = credentials_document()
    subscription_map = Common.getAzureSubscriptionInfo(doc)
    account = {"subscription_id": "00070003-0000-4000-8000-000000000000", "account_name": "azure-prod-7",
               "tf_provider_alias": "azure_prod_7", "vwan": None, "hpe": True,
               "max_hpe_performance": False, "filter_cidrs": ["10.0.0.0/8"], "onboard_account": True}
    entries = provider_entries()
    spokes = {f"spoke-vnet-{i}": f"transit-vnet-{i % 4}" for i in range(500)}
    document = {"terraform": {"azurerm": entries, "enable_s3_backend": True,
                              "zentrova_account": {"account_name": "azure-controller-acct"}},
                "vnet_cidr": entries, "account_info": account_entries(),
                "zentrova": {"controller_private_ip": "10.10.0.4"},
                "switch_traffic": {"transit_peerings": spokes}}
    subscription = {"subscription_id": account["subscription_id"],
                    "vnets": {f"vnet-{i}": {"hpe": False} for i in range(50)}}
    sub_id = account["subscription_id"]
    not_onboarded = "00000007-0000-4000-8000-000000000000"

    def read_cpp():
        run_context = {"subscriptionMap": subscription_map}
        Common.readAccountOption(account, run_context)
        return run_context

    def read_py():  # PyCommon looked up per call: the Cython column swaps it
        run_context = {"subscriptionMap": subscription_map}
        PyCommon.readAccountOption(account, run_context)
        return run_context

    return [
        Case("getAzureSubscriptionInfo (1,000 subscriptions)",
             lambda: Common.getAzureSubscriptionInfo(doc),
             lambda: PyCommon.getAzureSubscriptionInfo(doc), number=300),
        Case("getAzurermSubscriptionInfo (2,000 entries)",
             lambda: Common.getAzurermSubscriptionInfo(document),
             lambda: PyCommon.getAzurermSubscriptionInfo(document), number=300),
        Case("getVnetCidrSubscriptionInfo (2,000 entries)",
             lambda: Common.getVnetCidrSubscriptionInfo(document),
             lambda: PyCommon.getVnetCidrSubscriptionInfo(document), number=300),
        Case("getSubscription (1,001-record map)",
             lambda: Common.getSubscription(subscription_map, sub_id, account),
             lambda: PyCommon.getSubscription(subscription_map, sub_id, account), number=100000),
        Case("getArmAccountName", lambda: Common.getArmAccountName(document),
             lambda: PyCommon.getArmAccountName(document), number=100000),
        Case("getSubscriptionVnets (50 VNets)",
             lambda: Common.getSubscriptionVnets(subscription),
             lambda: PyCommon.getSubscriptionVnets(subscription), number=100000),
        Case("getAccountName", lambda: Common.getAccountName(account),
             lambda: PyCommon.getAccountName(account), number=100000),
        Case("readAccountOption", read_cpp, read_py, number=50000),
        Case("getFilterCidrs", lambda: Common.getFilterCidrs(account),
             lambda: PyCommon.getFilterCidrs(account), number=100000),
        Case("isMainTfRequired (500 accounts)",
             lambda: Common.isMainTfRequired(document, not_onboarded),
             lambda: PyCommon.isMainTfRequired(document, not_onboarded), number=5000),
        Case("getControllerPrivateIp", lambda: Common.getControllerPrivateIp(document),
             lambda: PyCommon.getControllerPrivateIp(document), number=100000),
        Case("getTransitPeeringMap (500 spokes)",
             lambda: Common.getTransitPeeringMap(document),
             lambda: PyCommon.getTransitPeeringMap(document), number=100000),
    ]
