"""The local cloud: subscriptions and resource groups, the backends, and the door requests come in by."""
import copy
import json
import threading

from . import azcli, errors, ids, journal, router, topology
from .backends.gateways import Gateways
from .backends.graph import ResourceGraph
from .backends.locks import Locks
from .backends.operations import Operations
from .backends.peerings import Peerings
from .backends.route_tables import RouteTables
from .backends.subnets import Subnets
from .backends.virtual_networks import VirtualNetworks
from .faults import Fault, TransportFault
from .requestlog import RequestLog
from .transport import LocalTransport

FORMAT = "localarm/1"
WRITES = ("PUT", "DELETE")       # the requests that change the cloud, kept in its journal


class LocalCloud:
    """Network state of one or more subscriptions, answering the REST requests of the Azure SDK.

    `page_size` is the number of items per list page; `lro_polls` the number of
    "InProgress" answers each asynchronous operation gives before its outcome;
    `location` the default region of resource groups.
    """

    def __init__(self, page_size=100, lro_polls=1, location="eastus"):
        self.page_size, self.lro_polls, self.location = page_size, lro_polls, location
        self.subscriptions = {}
        self.vnets = VirtualNetworks(self)
        self.subnets = Subnets(self)
        self.route_tables = RouteTables(self)
        self.peerings = Peerings(self)
        self.gateways = Gateways(self)
        self.locks = Locks(self)
        self.graph = ResourceGraph(self)
        self.operations = Operations(self)
        self.log = RequestLog()
        self.faults = []
        self.timing = None                     # Azure's pace and limits when set (localarm.timing)
        self._by_type = {backend.TYPE.lower(): backend.table for backend in
                         (self.vnets, self.subnets, self.route_tables, self.peerings, self.gateways, self.locks)}
        self._router = router.Router(router.routes(self))
        self._serialised = threading.RLock()
        self.kept = None                    # where accepted writes are kept, when the cloud remembers
        self.transport = LocalTransport(self)  # what SDK clients of this cloud send through

    # Subscriptions and resource groups

    def add_group(self, sub, rg, location=None):
        subscription = self.subscriptions.setdefault(sub.lower(), {"subscriptionId": sub, "groups": {}})
        return subscription["groups"].setdefault(rg.lower(), {"name": rg, "location": location or self.location})

    def require_subscription(self, sub):
        subscription = self.subscriptions.get(sub.lower())
        if subscription is None:
            raise errors.subscription_not_found(sub)
        return subscription

    def require_group(self, resource_id):
        group = self.require_subscription(ids.subscription(resource_id))["groups"].get(
            ids.resource_group(resource_id).lower())
        if group is None:
            raise errors.group_not_found(ids.resource_group(resource_id))
        return group

    # Requests

    def handle(self, method, url, content=None, headers=None):
        """Answer one request; raises TransportFault when a fault drops it."""
        with self._serialised:
            request = router.Request(method, url, content, headers)
            found = self._router.find(request)
            operation = found[0] if found else "unknown"
            fault = next((f for f in self.faults if f.matches(operation, request.path, request.method)), None)
            if fault is not None and fault.transport_error:
                self.log.record(operation, request.method, request.path, None)
                raise TransportFault(fault.message)
            request.operation = operation
            try:
                if found is None:
                    raise errors.not_served(request.method, request.path)
                if self.timing is not None:
                    self.timing.admit(request, operation)
                _, kind, handler, request.params = found
                failed_later = fault is not None and fault.operation_failed and kind in (router.PUT, router.DELETE)
                if fault is not None and not failed_later and not fault.lost_reply:
                    raise errors.ArmError(fault.status, fault.code, fault.message)
                reply = router.answer(self, request, kind, handler, fault.error() if failed_later else None)
            except errors.ArmError as error:
                reply = router.Reply(error.status, error.body(),
                                     error.headers or ({"Retry-After": "1"} if error.status == 429 else None))
            if self.kept is not None and request.method in WRITES and reply.status < 300 and (
                    fault is None or fault.lost_reply):     # the change is made, answered or not
                self.kept.append({"method": request.method, "url": url,
                                  "content": content.decode() if isinstance(content, bytes) else content})
            if self.timing is not None:
                router.paced(self, request, reply)
            self.log.record(operation, request.method, request.path, reply.status)
            if fault is not None and fault.lost_reply:
                raise TransportFault(fault.message)
            return reply

    def fail(self, operation, nth=1, **how):
        """Plant a fault (see Fault) for the nth request of the operation, e.g. "subnets.create_or_update"."""
        fault = Fault(operation, nth, **how)
        self.faults.append(fault)
        return fault

    # State

    def get(self, resource_id):
        """A copy of a resource as a GET would answer it, or None."""
        table = self._table(_type_of(resource_id))
        resource = table.get(resource_id)
        if resource is not None and table is self.vnets.table:
            resource = self.vnets.render(resource)
        return copy.deepcopy(resource)

    def canonical_id(self, resource_id):
        """The id of a stored resource as Azure spells it (a request may spell "resourcegroups"), else as given
        (a subscription or resource group scope, or a resource the cloud does not hold)."""
        if "/providers/" not in resource_id.lower():
            return resource_id
        table = self._by_type.get(_type_of(resource_id).lower())
        resource = table.get(resource_id) if table is not None else None
        return resource["id"] if resource is not None else resource_id

    def resources(self):
        for table in self._by_type.values():
            yield from table

    def restore(self, resources):
        """Take resources as stored (the saved form), then rebuild the route tables' back-references.
        A resource of another shape is refused with a ValueError naming its place in the list."""
        for index, resource in enumerate(resources):
            try:
                self.add_group(ids.subscription(resource["id"]), ids.resource_group(resource["id"]),
                               resource.get("location"))
                self._table(resource["type"]).put(copy.deepcopy(resource))
                if not isinstance(resource.get("properties"), dict):
                    raise ValueError("no properties")
            except (LookupError, TypeError, AttributeError, ValueError) as error:
                raise ValueError("resource [" + str(index) + "] (" + str(resource)[:80] + "): not a resource as "
                                 "Azure lists it (" + type(error).__name__ + ": " + str(error) + ")") from None
        self.route_tables.relink(self.subnets.table)

    def to_json(self):
        subscriptions = {s["subscriptionId"]: {g["name"]: {"location": g["location"]} for g in s["groups"].values()}
                         for s in self.subscriptions.values()}
        return {"format": FORMAT, "subscriptions": subscriptions, "resources": copy.deepcopy(list(self.resources()))}

    @classmethod
    def from_json(cls, state, **settings):
        if not isinstance(state, dict) or state.get("format") != FORMAT:
            raise ValueError("not a saved local cloud (format " + repr(state.get("format") if isinstance(state, dict)
                                                                      else None) + ")")
        cloud = cls(**settings)
        try:
            for sub, groups in state["subscriptions"].items():
                for rg, group in groups.items():
                    cloud.add_group(sub, rg, group["location"])
            resources = list(state["resources"])
        except (LookupError, TypeError, AttributeError) as error:
            raise ValueError("subscriptions or resources not as saved (" + type(error).__name__ + ": "
                             + str(error) + ")") from None
        cloud.restore(resources)
        return cloud

    def save(self, path):
        with open(path, "w") as file:
            json.dump(self.to_json(), file, indent=1)

    @classmethod
    def load(cls, path, **settings):
        with open(path) as file:
            return cls.from_json(json.load(file), **settings)

    # Remembering between runs

    def remember(self, folder):
        """Keeps the cloud in `folder` from now on: the state now, then every accepted write."""
        self.kept = journal.Remembered(folder, "cloud")
        self.kept.start(self.to_json())

    @classmethod
    def remembered(cls, folder, **settings):
        """The cloud kept in `folder`, as its last answered write left it, remembering on."""
        kept = journal.Remembered(folder, "cloud")
        snapshot, changes = kept.load()
        cloud = cls.from_json(snapshot, **settings)
        for change in changes:
            cloud.handle(change["method"], change["url"], change["content"])
        kept.resume(changes)
        cloud.kept = kept
        return cloud

    def forget(self):
        """Compacts what is kept (at a clean exit) and stops remembering."""
        if self.kept is not None:
            self.kept.compact(self.to_json())
            self.kept = None

    @classmethod
    def from_topology(cls, source, **settings):
        """A cloud seeded from a topology file or mapping (see localarm.topology)."""
        cloud = cls(**settings)
        topology.seed(cloud, topology.read(source))
        return cloud

    def import_cli(self, *documents):
        """Add what `az network vnet list`, `az network route-table list` (and the like) printed as JSON."""
        self.restore(azcli.resources(documents))

    def _table(self, resource_type):
        table = self._by_type.get(resource_type.lower())
        if table is None:
            raise ValueError("the local cloud holds no resources of type " + resource_type)
        return table


def _type_of(resource_id):
    """Microsoft.Network/virtualNetworks/subnets for a subnet id, and so on."""
    parts = resource_id.strip("/").split("/")
    at = len(parts) - 1 - parts[::-1].index("providers")
    return "/".join([parts[at + 1]] + parts[at + 2::2])
