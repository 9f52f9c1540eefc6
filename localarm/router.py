"""The REST surface: which operation a request is, and how Azure answers each kind of operation."""
import hashlib
import json
from urllib.parse import parse_qsl, urlsplit

from . import errors, ids

# How each kind of operation is answered: READ with the handler's body, LIST in pages, PUT and DELETE as
# long-running operations, REMOVE at once (200, or 204 when there was nothing), RAW as the handler replies.
READ, LIST, PUT, DELETE, REMOVE, RAW = "read", "list", "put", "delete", "remove", "raw"
NETWORK = "subscriptions/{sub}/resourceGroups/{rg}/providers/Microsoft.Network"
VNET = NETWORK + "/virtualNetworks/{vnet}"
OPERATIONS = "subscriptions/{sub}/providers/Microsoft.Network/locations/{location}"
AUTHORIZATION_LOCKS = "/providers/Microsoft.Authorization/locks"
# The scopes a lock can be put on: a subscription, a resource group, a resource, a child resource (a subnet).
LOCK_SCOPES = ("subscriptions/{sub}", "subscriptions/{sub}/resourceGroups/{rg}",
               "subscriptions/{sub}/resourceGroups/{rg}/providers/{namespace}/{type}/{name}",
               "subscriptions/{sub}/resourceGroups/{rg}/providers/{namespace}/{type}/{name}/{child_type}/{child}")
LEVEL_NAMES = ("subscription_level", "resource_group_level", "resource_level", "resource_level")


def routes(cloud):
    """(method, path, operation, kind, handler): the handler gets the request and returns what the kind needs."""
    vnets, subnets, tables, peerings = cloud.vnets, cloud.subnets, cloud.route_tables, cloud.peerings
    return [
        ("GET", "subscriptions/{sub}/providers/Microsoft.Network/virtualNetworks", "virtual_networks.list_all",
         LIST, lambda r: vnets.list_all(r.params["sub"])),
        ("GET", VNET, "virtual_networks.get", READ, lambda r: vnets.get(r.path)),
        ("GET", VNET + "/subnets", "subnets.list", LIST, lambda r: subnets.list(r.parent)),
        ("GET", VNET + "/subnets/{subnet}", "subnets.get", READ, lambda r: subnets.get(r.path)),
        ("PUT", VNET + "/subnets/{subnet}", "subnets.create_or_update", PUT,
         lambda r: subnets.put(r.path, r.body)),
        ("GET", "subscriptions/{sub}/providers/Microsoft.Network/routeTables", "route_tables.list_all",
         LIST, lambda r: tables.list_all(r.params["sub"])),
        ("GET", NETWORK + "/routeTables", "route_tables.list", LIST, lambda r: tables.list(r.parent)),
        ("GET", NETWORK + "/routeTables/{table}", "route_tables.get", READ, lambda r: tables.get(r.path)),
        ("PUT", NETWORK + "/routeTables/{table}", "route_tables.create_or_update", PUT,
         lambda r: tables.put(r.path, r.body)),
        ("GET", VNET + "/virtualNetworkPeerings", "virtual_network_peerings.list", LIST,
         lambda r: peerings.list(r.parent)),
        ("GET", VNET + "/virtualNetworkPeerings/{peering}", "virtual_network_peerings.get", READ,
         lambda r: peerings.get(r.path)),
        ("PUT", VNET + "/virtualNetworkPeerings/{peering}", "virtual_network_peerings.create_or_update", PUT,
         lambda r: peerings.put(r.path, r.body)),
        ("DELETE", VNET + "/virtualNetworkPeerings/{peering}", "virtual_network_peerings.delete", DELETE,
         lambda r: peerings.delete(r.path)),
        *lock_routes(cloud),
        ("POST", "providers/Microsoft.ResourceGraph/resources", "resource_graph.resources", READ,
         lambda r: cloud.graph.resources(r.body or {})),
        ("GET", OPERATIONS + "/operations/{op}", "operations.status", READ,
         lambda r: cloud.operations.status(r.params["op"])),
        ("GET", OPERATIONS + "/operationResults/{op}", "operations.result", RAW,
         lambda r: Reply(204 if cloud.operations.finished(r.params["op"]) else 202)),
    ]


def lock_routes(cloud):
    """List, get, create and delete of management locks at each scope."""
    for scope, level in zip(LOCK_SCOPES, LEVEL_NAMES):
        locks = scope + AUTHORIZATION_LOCKS
        yield ("GET", locks, "management_locks.list_at_" + level, LIST,
               lambda r: cloud.locks.list_at(r.path[:-len(AUTHORIZATION_LOCKS)]))
        yield ("GET", locks + "/{lock}", "management_locks.get_at_" + level, READ,
               lambda r: cloud.locks.table.require(r.path))
        yield ("PUT", locks + "/{lock}", "management_locks.create_or_update_at_" + level, READ,
               lambda r: cloud.locks.put_request(r.path, r.body or {}))
        yield ("DELETE", locks + "/{lock}", "management_locks.delete_at_" + level, REMOVE,
               lambda r: cloud.locks.delete(r.path))


class Request:
    def __init__(self, method, url, content, headers=None):
        parts = urlsplit(url)
        self.method = method.upper()
        self.headers = {k.lower(): v for k, v in (headers or {}).items()}
        self.base = parts.scheme + "://" + parts.netloc
        self.segments = [s for s in parts.path.split("/") if s]
        self.path = "/" + "/".join(self.segments)
        self.parent = self.path.rsplit("/", 1)[0]
        self.query = dict(parse_qsl(parts.query))
        self.params = {}
        self._content = content

    @property
    def body(self):
        try:
            return json.loads(self._content) if self._content else None
        except ValueError:
            raise errors.bad_request("The request content is not valid JSON.", "InvalidRequestContent") from None

    def link(self, path, **query):
        """An absolute URL on the host the request came to, with the request's api-version."""
        query = dict({"api-version": self.query.get("api-version", "")}, **query)
        return self.base + path + "?" + "&".join(k + "=" + str(v) for k, v in query.items())


class Reply:
    def __init__(self, status, body=None, headers=None):
        self.status, self.body, self.headers = status, body, dict(headers or {})
        self.delay = 0.0     # seconds the answer takes beyond the latency (with Azure's timing)


class Router:
    def __init__(self, table):
        self._routes = {}
        for method, path, operation, kind, handler in table:
            pattern = path.split("/")
            self._routes.setdefault((method, len(pattern)), []).append((pattern, operation, kind, handler))

    def find(self, request):
        """The route of the request and its path parameters, or None."""
        for pattern, operation, kind, handler in self._routes.get((request.method, len(request.segments)), ()):
            params = _match(pattern, request.segments)
            if params is not None:
                return operation, kind, handler, params
        return None


def answer(cloud, request, kind, handler, failure=None):
    """Run the handler and reply as Azure does for the kind; `failure` makes a long-running one fail."""
    if "sub" in request.params:
        cloud.require_subscription(request.params["sub"])
    if kind == LIST:
        return _page(cloud, request, [shown(cloud, tagged(item)) for item in handler(request)])
    if kind == PUT:
        cloud.locks.check(request.path, "write")
        _check_condition(cloud, request)
        if failure is not None:
            return _accepted(cloud, request, 201, _updating(request.body or {}), failure)
        resource, created = handler(request)
        return _accepted(cloud, request, 201 if created else 200, _updating(tagged(resource)))
    if kind == DELETE:
        cloud.locks.check(request.path, "delete")
        _check_condition(cloud, request)
        if failure is None and not handler(request):
            return Reply(204)
        return _accepted(cloud, request, 202, None, failure, location=True)
    if kind == REMOVE:
        return Reply(200 if handler(request) else 204)
    if kind == RAW:
        return handler(request)
    body = tagged(handler(request))
    return Reply(200, shown(cloud, body) if request.method == "GET" else body)


def shown(cloud, resource):
    """A resource as a read answers it now: "Updating" while an operation on it is in progress (a VNet's
    subnets and peerings each as themselves), "Succeeded" as stored once it has ended, as Azure shows it."""
    if cloud.timing is None or not isinstance(resource, dict) or not isinstance(resource.get("properties"), dict):
        return resource
    properties = resource["properties"]
    changed = {k: [shown(cloud, c) for c in properties[k]] for k in ("subnets", "virtualNetworkPeerings")
               if isinstance(properties.get(k), list)}
    if resource.get("id") and cloud.operations.in_progress(resource["id"]):
        changed["provisioningState"] = "Updating"
    return dict(resource, properties=dict(properties, **changed)) if changed else resource


def tagged(resource):
    """A network resource with its etag, which changes whenever its state does (a VNet's also when a
    subnet or peering of it changes, as Azure's does); the stored resource is left as it is."""
    if not isinstance(resource, dict) or not str(resource.get("type", "")).startswith("Microsoft.Network/"):
        return resource
    properties = resource.get("properties") or {}
    children = {k: [tagged(c) for c in properties[k]] for k in ("subnets", "virtualNetworkPeerings")
                if isinstance(properties.get(k), list) and "/" not in resource["type"][len("Microsoft.Network/"):]}
    if children:
        resource = dict(resource, properties=dict(properties, **children))
    return dict(resource, etag=etag(resource))


def etag(resource):
    state = dict(resource, etag=None, properties=dict(resource.get("properties") or {}, provisioningState=None))
    return 'W/"' + hashlib.sha1(json.dumps(state, sort_keys=True).encode()).hexdigest()[:20] + '"'


def _check_condition(cloud, request):
    """If-Match: the write goes ahead only on the state the writer last saw (412 otherwise), as in Azure."""
    expected = request.headers.get("if-match")
    if expected is None or expected == "*":
        return
    current = cloud.get(request.path)
    if current is None or tagged(current)["etag"] != expected:
        raise errors.ArmError(412, "PreconditionFailed", "The condition specified using HTTP conditional "
                              "header(s) is not met for " + request.path + ".")


def _match(pattern, segments):
    params = {}
    for expected, segment in zip(pattern, segments):
        if expected.startswith("{"):
            params[expected[1:-1]] = segment
        elif expected.lower() != segment.lower():
            return None
    return params


def _page(cloud, request, items):
    start = int(request.query.get("$skipToken", 0))
    end = start + cloud.page_size
    body = {"value": items[start:end]}
    if end < len(items):
        body["nextLink"] = request.link(request.path, **{"$skipToken": end})
    return Reply(200, body)


def paced(cloud, request, reply):
    """With Azure's timing: how long the client waits before asking about an operation in progress,
    and how long a lock change takes."""
    if request.operation.startswith("operations."):
        reply.headers["Retry-After"] = "%.3f" % cloud.operations.remaining(request.params["op"])
    elif request.operation.startswith("management_locks.") and request.method != "GET" and reply.status < 300:
        reply.delay = cloud.timing.started(request, request.operation)


def _accepted(cloud, request, status, body, failure=None, location=False):
    """Accepted for asynchronous completion: the SDK poller follows Azure-AsyncOperation (and Location)."""
    seconds = cloud.timing.started(request, request.operation) if cloud.timing is not None else None
    op_id = cloud.operations.start(failure, seconds, request.path if request.method == "PUT" else None)
    scope = ("/subscriptions/" + ids.subscription(request.path)
             + "/providers/Microsoft.Network/locations/" + cloud.location)
    headers = {"Azure-AsyncOperation": request.link(scope + "/operations/" + op_id)}
    if location:
        headers["Location"] = request.link(scope + "/operationResults/" + op_id)
    if seconds is not None:
        headers["Retry-After"] = "%.3f" % cloud.operations.remaining(op_id)
    return Reply(status, body, headers)


def _updating(resource):
    return dict(resource, properties=dict(resource.get("properties") or {}, provisioningState="Updating"))
