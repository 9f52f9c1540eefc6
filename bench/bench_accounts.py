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
    def readAccountOption(cls, account, YAML):
        YAML["subscriptionId"] = account["subscription_id"]
        subscriptionInfo = cls.getSubscription(YAML["subscriptionMap"], YAML["subscriptionId"], account)
        YAML["provider"] = subscriptionInfo["alias"]
        YAML["vwan"] = account["vwan"]
        YAML["hpe"] = str(account["hpe"]).lower()
        YAML["max_hpe_performance"] = None
        if account["max_hpe_performance"] is not None:
            YAML["max_hpe_performance"] = str(account["max_hpe_performance"]).lower()


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


def cases():
    doc = credentials_document()
    subscription_map = Common.getAzureSubscriptionInfo(doc)
    account = {"subscription_id": "00070003-0000-4000-8000-000000000000", "account_name": "azure-prod-7",
               "tf_provider_alias": "azure_prod_7", "vwan": None, "hpe": True,
               "max_hpe_performance": False, "filter_cidrs": ["10.0.0.0/8"], "onboard_account": True}

    def read_with(impl):
        def run():
            run_context = {"subscriptionMap": subscription_map}
            impl.readAccountOption(account, run_context)
            return run_context
        return run

    return [
        Case("getAzureSubscriptionInfo (1,000 subscriptions)",
             lambda: Common.getAzureSubscriptionInfo(doc),
             lambda: PyCommon.getAzureSubscriptionInfo(doc), number=300),
        Case("readAccountOption", read_with(Common), read_with(PyCommon), number=50000),
    ]
