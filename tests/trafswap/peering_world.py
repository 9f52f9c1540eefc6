"""The peering operations on the local cloud through the real SDK: the module's
client classes bound to the cloud, and credentials from the tool's YAML context."""
import pytest

from dm.arm import trafswap
from dm.arm.res.YamlContext import YamlContext
from localarm import StaticCredential, bind

HUB = "11111111-1111-4111-8111-111111111111"
SPOKES = "22222222-2222-4222-8222-222222222222"
LOGGER = "dm.arm.trafswap"


@pytest.fixture
def connect(monkeypatch):
    """connect(cloud, subscriptions): trafswap's clients talk to the cloud; each
    listed subscription has a credential the cloud's clients accept."""
    monkeypatch.setattr(trafswap.SwitchTraffic, "DryRun", False)
    for name in ("_config", "_records", "_factory"):
        monkeypatch.setattr(YamlContext, name, getattr(YamlContext, name))

    def connect(cloud, subscriptions=(HUB, SPOKES)):
        clients = bind(cloud)
        monkeypatch.setattr(trafswap, "NetworkManagementClient", clients.NetworkManagementClient)
        monkeypatch.setattr(trafswap, "ManagementLockClient", clients.ManagementLockClient)
        YamlContext.load({"azure_cred": {"migration": {
            "arm_subscription_id": list(subscriptions), "arm_application_id": "app", "arm_directory_id": "tenant",
            "arm_application_secret_env": "NOT_READ"}}})
        YamlContext.setCredentialFactory(lambda record: StaticCredential())
        return cloud

    return connect


def network(sub):
    """A network client of a subscription, built as the operations build theirs."""
    cred = YamlContext().generateAzureCredential(sub)
    return trafswap.NetworkManagementClient(cred.getCSC(), cred.getSubId())


def peerings(cloud):
    """Every peering half: id (lower case) -> (four flags, state, remote VNet id in lower case)."""
    return {p["id"].lower(): (tuple(p["properties"][k] for k in ("allowVirtualNetworkAccess", "allowForwardedTraffic",
                                                                 "allowGatewayTransit", "useRemoteGateways")),
                              p["properties"]["peeringState"], p["properties"]["remoteVirtualNetwork"]["id"].lower())
            for p in cloud.peerings.table}


def flags(state):
    return {k: (v[0], v[2]) for k, v in state.items()}


def recorded_ids(pairs):
    return {p[half]["id"].lower() for p in pairs for half in ("localPeering", "remotePeering")}


def writes(cloud):
    return [c for c in cloud.log.calls if c.method in ("PUT", "DELETE", "POST", "PATCH")]
