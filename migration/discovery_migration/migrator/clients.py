"""One client per subscription and kind for a whole run, as the libraries ask for them.

The libraries build a client on every call (`NetworkManagementClient(cred.getCSC(),
cred.getSubId())`); the run hands them, for each subscription, the one client it
built first, which reads through the run's cache (readcache) and waits out ARM's
busy answers (busy). A create-or-update's poller asks for the operation's status
only when someone waits on it.
"""
import threading
import types

from azure.mgmt.core.polling.arm_polling import ARMPolling

from .busy import WaitWhileBusy
from .readcache import CachePolicy


class Shared:
    """Stands in for an SDK client class: one client per subscription (or per credential for the
    resource-graph client), all reading through the cache; `past`'s clients read past it (what ARM
    answers them still tells the cache what it holds)."""

    def __init__(self, sdk_class, cache, answers=True):
        self.sdk_class, self.cache, self.answers = sdk_class, cache, answers
        self.clients = {}
        self._lock = threading.Lock()
        self.past = Shared(sdk_class, cache, answers=False) if answers else self

    def __call__(self, credential, *args, **kwargs):
        owner = str(args[0]).lower() if args else id(credential)
        with self._lock:
            client = self.clients.get(owner)
            if client is None:
                kwargs.setdefault("per_retry_policies", [CachePolicy(self.cache, self.answers), WaitWhileBusy()])
                client = self.clients[owner] = self.sdk_class(credential, *args, **kwargs)
                for group in ("route_tables", "virtual_network_peerings"):
                    if hasattr(client, group):
                        polled_when_waited(getattr(client, group), client._config.polling_interval)
            return client


class PolledWhenWaited(ARMPolling):
    """A create-or-update's poller that asks for the operation's status only when someone waits for
    its result: the propagation and remote-gateway updates are started and never awaited, and a
    poller left to itself would poll them to the end in a thread of its own, for no reader. Threads
    waiting on the same poller poll it once."""

    def __init__(self, delay):
        super().__init__(delay, lro_options={"final-state-via": "azure-async-operation"})
        self._waited = False
        self._lock = threading.Lock()

    def finished(self):
        return super().finished() if self._waited else True

    def resource(self):
        with self._lock:
            if not self._waited:
                self._waited = True
                self.run()
        return super().resource()


def polled_when_waited(operations, delay):
    begin = operations.begin_create_or_update

    def begin_create_or_update(*args, **kwargs):
        kwargs.setdefault("polling", PolledWhenWaited(delay))
        return begin(*args, **kwargs)
    operations.begin_create_or_update = begin_create_or_update


def install(module, cache):
    """The module's network, lock and resource-graph client classes replaced by shared, cached ones;
    `uncached(module.X)` gives shared clients that read past the cache."""
    module.NetworkManagementClient = Shared(module.NetworkManagementClient, cache)
    module.ManagementLockClient = Shared(module.ManagementLockClient, cache)
    module.arg = types.SimpleNamespace(ResourceGraphClient=Shared(module.arg.ResourceGraphClient, cache),
                                       models=module.arg.models)
    return cache


def uncached(client_class):
    return client_class.past if isinstance(client_class, Shared) else client_class
