"""SDK clients bound to a local cloud, and a credential that needs no secret."""
import importlib
import time
import types

from azure.core.credentials import AccessToken
from azure.mgmt import network, resource, resourcegraph


class StaticCredential:
    """A token credential for the local cloud, which takes any bearer token."""

    def get_token(self, *scopes, **kwargs):
        return AccessToken("local-cloud-token", int(time.time()) + 3600)


def bind(cloud):
    """The three SDK client classes, subclassed so that constructing one as usual gives a client of the cloud.

    Besides the transport they set polling_interval=0 and retry_total=0: pollers
    never wait and an injected fault reaches the caller on the first try. A
    caller's own keyword arguments win, so a test of retries can pass retry_total.
    A client built while the cloud keeps Azure's timing (localarm.timing) keeps the
    SDK's retry policy, which waits out 429 answers, and its pollers wait as long as
    each answer's Retry-After says.
    """
    return types.SimpleNamespace(
        NetworkManagementClient=_bound(network.NetworkManagementClient, cloud),
        ManagementLockClient=_bound(resource.ManagementLockClient, cloud),
        ResourceGraphClient=_bound(resourcegraph.ResourceGraphClient, cloud))


def install(cloud, module=None):
    """Point a module's SDK globals (by default dm.arm.trafswap's) at the cloud; returns the module.

    Sets NetworkManagementClient, ManagementLockClient and `arg`, which stands in
    for the resource-graph package: its ResourceGraphClient is bound and its
    `models` are the SDK's own.
    """
    if module is None:
        module = importlib.import_module("dm.arm.trafswap")
    clients = bind(cloud)
    module.NetworkManagementClient = clients.NetworkManagementClient
    module.ManagementLockClient = clients.ManagementLockClient
    module.arg = types.SimpleNamespace(ResourceGraphClient=clients.ResourceGraphClient,
                                       models=resourcegraph.models)
    return module


def _bound(sdk_class, cloud):
    def __init__(self, *args, **kwargs):
        options = {"transport": cloud.transport, "polling_interval": 0}
        if cloud.timing is None:
            options["retry_total"] = 0
        sdk_class.__init__(self, *args, **{**options, **kwargs})

    return type(sdk_class.__name__, (sdk_class,), {"__init__": __init__, "__module__": __name__,
                                                   "__doc__": sdk_class.__name__ + " of a local cloud."})
