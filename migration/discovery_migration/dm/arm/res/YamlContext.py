"""Process-wide view of the migration configuration and subscription credentials."""
import os

from dm.arm.lib.arm_utils import get_ad_cs_credential

DEFAULT_CREDENTIAL = "zentrova"
NAMING_KEYS = ("configure_main_route_table_prefix", "configure_route_table_name",
               "configure_shared_route_table_name")


class AzureCredential:
    """Credentials of one subscription, built on first use from its credential record.

    The record carries "sub_id", "app_id" (client id), "dir_id" (tenant id) and
    "secret_env", the environment variable holding the client secret; the
    secret is read only when a credential is built and is never stored here.
    """

    def __init__(self, record, factory=None):
        self._record = record
        self._factory = factory or _clientSecretCredential
        self._csc = None
        self._spc = None

    def getCSC(self):
        """Credential of the network and resource-graph clients."""
        if self._csc is None:
            self._csc = self._factory(self._record)
        return self._csc

    def getSPC(self):
        """Credential of the management-lock client.

        The same kind of credential as `getCSC`, as every management client
        takes an azure-core token credential, but a separate instance, so the
        lock client never shares a token cache with the network clients.
        """
        if self._spc is None:
            self._spc = self._factory(self._record)
        return self._spc

    def getSubId(self):
        return self._record["sub_id"]


def _clientSecretCredential(record):
    secretEnv = record["secret_env"]
    secret = os.environ.get(secretEnv)
    if secret is None:
        raise LookupError("client secret of subscription " + record["sub_id"]
                          + " not found: environment variable " + secretEnv + " is not set")
    return get_ad_cs_credential(record["dir_id"], record["app_id"], secret)


class YamlContext:
    """Shared by every instance: the driver loads it once per run with `load`.

    Instances are made freely, one per call, and all read the class-level state.
    """

    _config = {}
    _records = {}
    _factory = None
    _credentials = {}

    @classmethod
    def load(cls, document):
        """Take the global options and credentials of a migration document.

        Global options come from the "config" section. A subscription has a
        credential when an "azure_cred" entry lists it in
        "arm_subscription_id", or, through the default "zentrova" entry, when
        it is the "subscription_id" of an "account_info" entry. A later entry
        listing the same subscription replaces an earlier one.
        """
        credentials = document.get("azure_cred") or {}
        records = {}
        for name, entry in credentials.items():
            if name != DEFAULT_CREDENTIAL:
                for subId in entry["arm_subscription_id"]:
                    records[subId] = _record(entry, subId)
        default = credentials.get(DEFAULT_CREDENTIAL)
        if default is not None:
            for account in document.get("account_info") or ():
                subId = account["subscription_id"]
                records.setdefault(subId, _record(default, subId))
        cls._config = dict(document.get("config") or {})
        cls._records = records
        cls._credentials = {}

    @classmethod
    def setCredentialFactory(cls, factory):
        """Build credentials with `factory(record)` instead of from client secrets; None restores."""
        cls._factory = factory
        cls._credentials = {}

    def getGlobalContext(self, key):
        """A global option: a naming transform list (empty when unset), a number
        for "configure_shared_route_table_replication" (0 when unset), else the
        configured value or None."""
        value = self._config.get(key)
        if key in NAMING_KEYS:
            return value or []
        if key == "configure_shared_route_table_replication":
            return value or 0
        return value

    def generateAzureCredential(self, subscriptionId):
        """The credential of a configured subscription, or None for an unknown one; the same object
        for the same subscription until the next `load`, so its tokens are fetched once."""
        record = self._records.get(subscriptionId)
        if record is None:
            return None
        owner = type(self)
        if subscriptionId not in owner._credentials:
            owner._credentials[subscriptionId] = AzureCredential(record, owner._factory)
        return owner._credentials[subscriptionId]


def _record(entry, subId):
    return {"sub_id": subId, "app_id": entry["arm_application_id"],
            "dir_id": entry["arm_directory_id"], "secret_env": entry["arm_application_secret_env"]}
