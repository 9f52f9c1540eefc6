"""Reads answered from what this run itself last read or wrote, and one client per subscription and kind.

The libraries read the same resources many times in a run (the dry-run plan of a
step and the step itself, a route table in two steps, the VNet list for every
remote hub); each read costs an ARM request. Every client of the run reads
through one cache, which keeps the last state it saw of each resource (from a
GET, or as an item of a list page) and answers a repeated GET from it, with one
rule: a state is used only when it was read after the tool's own last write to
that resource, to a child of it (a VNet embeds its subnets and peerings) or to
what a write changes as a side effect (a subnet's old and new route tables hold
back-references to it; a peering's partner half on the remote VNet changes its
state). A list page is used only when each of its items may be, and when no
item was created or deleted in its collection since. ARM's "not found" is kept
as a state as well (until a write to the resource or its VNet, or a creation in
its collection), and a resource-graph query's answer until the run writes a
resource of a type the query names.

A step's check must see what ARM holds after the step's writes: its clients
are answered only from ARM's answers to reads (`READS`), never from the state a
write's own answer gave; the others are also answered from that (`ALL`), and
the comparisons of the network before and after read past the cache (`NONE`).

While a write's outcome is not known, what it changes is read from ARM every
time: an accepted write's operation may still be running or fail, so ARM's
answer to it is not the resource's state. Only a write answered as done (a
lock's) is kept as the state; what a long-running one changes is read afresh
once its status, or ARM's answer to a read of the resource, says it has ended;
what a write changes whose answer was lost stays read from ARM.

One kind of write ARM cannot guard so: deleting a peering half changes its
partner half (its peering state, hence its etag), so the deletion of the partner
that follows cannot carry the etag of the state it was decided on. Peering
halves (a VNet's list of them, one half, as the libraries read the halves they
remove) are therefore answered to a thread only from reads made since that
thread's last write: a pair is decided on what ARM held after the changes that
came before it.

What another writer changed since the run read it is caught by ARM: each
update or deletion of a resource carries in If-Match the etag of the state
its thread last saw of it (when it saw one after its own last write to it;
else that of the state the cache holds), and ARM answers 412 when the resource
changed, also when another of the run's threads changed it. The cache then
forgets what it holds and counts the refusal on the thread that met it, and
the driver runs that thread's step again on fresh reads (see `redecided`).

Threads (VNets switched side by side) share one cache: one lock guards its
state, held only while it is read or updated, never while a request is out;
every state is stamped with the time its read was sent, so an answer that
arrives after a write was sent is never taken as the state after it.
"""
import itertools
import json
import re
import threading
from urllib.parse import urlsplit

from .models import ModelMemo
from .resourcekeys import (LOCKS, NETWORK, collections, embedding, holds_peerings, key, kind, names_resource,
                           page_key, parent)

NOT_CACHED = ("/operations/", "/operationresults/", "/providers/microsoft.resourcegraph/")
ALL, READS, NONE = "all", "reads", "none"     # what a client's reads may be answered from (see above)

EMBEDDED = ("subnets", "virtualNetworkPeerings")
ENDED = ("Succeeded", "Failed", "Canceled")     # an operation's or a resource's provisioning states at its end
VNET_TYPE = "microsoft.network/virtualnetworks"


class Write:
    """What one write changes (its own resource first) and when it was sent."""

    def __init__(self, keys, sent):
        self.keys, self.sent = keys, sent


class ReadCache:
    """The states and list pages the run has seen, and the times of its own writes (a counter)."""

    def __init__(self):
        self._lock = threading.RLock()
        self._thread = threading.local()    # per thread: etags of the states it last saw, its 412s
        self._clock = itertools.count(1)
        self.states = {}        # resource key -> (time read, state as answered)
        self.halves = {}        # VNet key -> keys of its peering halves among the states
        self.tables = set()     # keys of the route tables (and their routes) among the states
        self.pages = {}         # page URL key -> (time read, collection key, item keys, nextLink)
        self.written = {}       # resource key -> time of the last write to it or changing it
        self.written_below = {} # resource key -> keys of written resources its state embeds
        self.membership = {}    # collection key -> time an item was last created or deleted in it
        self.unsettled = {}     # resource key -> writes changing it whose outcome is not known yet
        self.operations = {}    # operation status/result URL key -> its Write
        self.replied = set()    # keys whose state kept is a write's answer, not a read's
        self.absent = {}        # resource key -> (time read, ARM's "not found" answer)
        self.queries = {}       # resource-graph query -> (time read, answer, types it names)
        self.kinds_written = {} # top-level type -> time of the last write to a resource of it
        self.forgotten = 0      # time of the last 412: what was read before it is not kept
        self.models = ModelMemo()   # SDK models built from the states above

    def now(self):
        with self._lock:
            return next(self._clock)

    def mine(self):
        """This thread's own: {resource key: etag of the state it last saw}, its 412s, the time of
        its last write."""
        if not hasattr(self._thread, "seen"):
            self._thread.seen, self._thread.refused, self._thread.wrote = {}, 0, 0
        return self._thread

    def refusals(self):
        """The updates ARM refused (412) on this thread."""
        return self.mine().refused

    # ------------------------------------------------------------ reads

    def answer(self, url, answers=ALL):
        """(status, body) of a GET the cache can answer, or None."""
        parts = urlsplit(url)
        path = key(parts.path)
        since = self.mine().wrote
        with self._lock:
            page = self.pages.get(page_key(path, parts.query))
            body = None
            if page is not None:
                read, collection, items, next_link = page
                if read > self.membership.get(collection, 0) and all(self.usable(i, answers, since) for i in items):
                    body = {"value": [self.states[i][1] for i in items]}
                    if next_link:
                        body["nextLink"] = next_link
            if body is None and path in self.states and self.usable(path, answers, since):
                body = self.states[path][1]
            if body is not None:
                self.saw(body)
                return 200, body
            if path in self.absent and not self.unsettled.get(path) and self.absent[path][0] > max(
                    [self.membership.get(parent(path), 0)] + [self.written.get(k, 0) for k in [path] + embedding(path)]):
                return 404, self.absent[path][1]
            return None

    def saw(self, body):
        """Notes the etags of what this thread is answered: its decisions are made on those states."""
        for resource in body["value"] if isinstance(body.get("value"), list) else [body]:
            noted(resource, self.mine().seen)

    def usable(self, resource_key, answers=ALL, since=0):
        read = self.states.get(resource_key, (0,))[0]
        return not self.unsettled.get(resource_key) and read > self.written.get(resource_key, 0) and read > max(
            (self.written[k] for k in self.written_below.get(resource_key, ())), default=0) and (
            answers == ALL or resource_key not in self.replied) and (read > since or not holds_peerings(resource_key))

    def seen(self, url, status, body, read):
        """Keeps what a GET sent at time `read` answered (a resource, a page, or that it is not found)."""
        parts = urlsplit(url)
        path = key(parts.path)
        if any(mark in path for mark in NOT_CACHED) or not isinstance(body, dict):
            return
        with self._lock:
            if status == 404:
                if names_resource(path) and read >= max(self.forgotten, self.states.get(path, (0,))[0]):
                    self.forget_state(path)
                    self.absent[path] = (read, body)
                return
            self.saw(body)
            if read < self.forgotten:       # sent before a 412 made the cache forget
                return
            if isinstance(body.get("value"), list):
                items = [self.keep(item, read) for item in body["value"]]
                if None not in items:
                    self.pages[page_key(path, parts.query)] = (read, path, items, body.get("nextLink"))
            else:
                self.keep(body, read)

    def keep(self, resource, read, replied=False):
        if not isinstance(resource, dict) or not resource.get("id"):
            return None
        resource_key = key(resource["id"])
        if (resource.get("properties") or {}).get("provisioningState") in ENDED and not replied:
            self.ended(resource_key, read)
        if read >= self.states.get(resource_key, (0,))[0]:
            self.hold_state(resource_key, read, resource)
            self.absent.pop(resource_key, None)
            (self.replied.add if replied else self.replied.discard)(resource_key)
        properties = resource.get("properties") or {}
        for collection in EMBEDDED if str(resource.get("type")).lower() == VNET_TYPE else ():       # a VNet answers with its subnets and peerings: their lists too
            if isinstance(properties.get(collection), list):
                items = [self.keep(child, read, replied) for child in properties[collection]]
                if None not in items:
                    path = resource_key + "/" + collection.lower()
                    self.pages[page_key(path, "")] = (read, path, items, None)
        return resource_key

    def hold_state(self, resource_key, read, resource):
        self.states[resource_key] = (read, resource)
        if "/virtualnetworkpeerings/" in resource_key:
            self.halves.setdefault(resource_key.split("/virtualnetworkpeerings/")[0], set()).add(resource_key)
        if "/routetables/" in resource_key:
            self.tables.add(resource_key)

    def forget_state(self, resource_key):
        self.states.pop(resource_key, None)
        self.halves.get(resource_key.split("/virtualnetworkpeerings/")[0], set()).discard(resource_key)
        self.tables.discard(resource_key)

    def query_answer(self, content):
        """The answer to a resource-graph query the cache can give, or None."""
        with self._lock:
            read, body, named = self.queries.get(query_key(content), (0, None, ()))
            return body if read > max([self.kinds_written.get(t, 0) for t in named] + [self.forgotten]) else None

    def query_seen(self, content, body, read):
        named = set(re.findall(r"microsoft\.\w+/\w+", (json_of(content) or {}).get("query", "").lower()))
        if named and isinstance(body, dict):        # a query naming no type may be about anything
            with self._lock:
                self.queries[query_key(content)] = (read, body, named)

    # ------------------------------------------------------------ writes

    def writing(self, method, url, content):
        """Marks a write before it is sent: (the If-Match value for it or None, its Write: the keys it
        changes, unsettled until its answer or the end of its operation settles them)."""
        resource_key = key(urlsplit(url).path)
        body = json_of(content)
        with self._lock:
            held = self.states.get(resource_key)
            seen = self.mine().seen
            etag = seen.get(resource_key) or (
                held[1].get("etag") if held is not None and self.usable(resource_key) else None)
            now = self.now()
            changed = [resource_key] + embedding(resource_key) + self.side_effects(resource_key, held, body)
            self.mine().wrote = now
            for each in changed:
                seen.pop(each, None)        # what it saw before its own write is no longer the state
                self.mark(each, now)
                self.unsettled[each] = self.unsettled.get(each, 0) + 1
            if method == "DELETE":
                self.membership.update(dict.fromkeys(collections(resource_key), now))
            return (etag if NETWORK in resource_key and LOCKS not in resource_key else None), Write(changed, now)

    def written_answer(self, method, url, write, response):
        """After the answer to a write: one answered as done settles (a PUT's answer is then the
        resource's state), a refusal settles having changed nothing, an accepted one settles when its
        operation ends (`followed`); after a server error the outcome stays unknown. A 412 is counted."""
        resource_key = key(urlsplit(url).path)
        status, headers = response.status_code, response.headers
        links = [headers.get(h) for h in ("Azure-AsyncOperation", "Location") if headers.get(h)]
        with self._lock:
            now = self.now()
            self.mark(resource_key, now)
            if status == 201 or (method == "PUT" and LOCKS in resource_key):
                self.membership.update(dict.fromkeys(collections(resource_key), now))
            if status < 300 and links:
                for link in links:
                    self.operations[key(urlsplit(link).path)] = write
            elif status < 500:
                self.settle(write.keys)
                body = json_of(body_of(response)) if method == "PUT" and status in (200, 201) else None
                if isinstance(body, dict) and (body.get("properties") or {}).get("provisioningState") in (
                        None, "Succeeded"):
                    self.keep(body, self.now(), replied=True)
            if status == 412:         # a state the run held had changed: read everything afresh
                self.mine().refused += 1
                self.mine().seen.clear()
                for held in (self.states, self.halves, self.tables, self.pages, self.absent, self.queries):
                    held.clear()
                self.forgotten = now

    def followed(self, url, status, body):
        """An answer about a write's operation: once it says the operation has ended, in success or
        not, what the write changes is settled and read afresh."""
        running = status == 202 or status >= 500 or (
            isinstance(body, dict) and body.get("status") not in (None,) + ENDED)
        with self._lock:
            write = None if running else self.operations.get(key(urlsplit(url).path))
            if write is not None:
                self.settle_operation(write, write.keys)

    def ended(self, resource_key, read):
        """ARM answered a read sent at `read` as the resource provisioned: the operations of the run's
        writes to it sent before have ended, and that answer is its state after them."""
        for write in {id(w): w for w in self.operations.values()
                      if w.keys[0] == resource_key and w.sent < read}.values():
            self.settle_operation(write, write.keys[1:])

    def settle_operation(self, write, stale):
        for link in [link for link, held in self.operations.items() if held is write]:
            del self.operations[link]
        now = self.now()
        for each in stale:
            self.mark(each, now)
        self.settle(write.keys)

    def settle(self, changed):
        for each in changed:
            self.unsettled[each] -= 1
            if not self.unsettled[each]:
                del self.unsettled[each]

    def mark(self, resource_key, now):
        self.written[resource_key] = now
        self.kinds_written[kind(resource_key)] = now
        for outer in embedding(resource_key):
            self.written_below.setdefault(outer, set()).add(resource_key)

    def side_effects(self, resource_key, held, body):
        """Resources a write changes besides itself: a subnet's old and new route tables, the remote
        VNet of a peering (its half pointing back changes state) and that VNet's peerings."""
        old = (held[1] if held else {}).get("properties") or {}
        new = (body or {}).get("properties") or {}
        if "/subnets/" in resource_key:
            tables = [(p.get("routeTable") or {}).get("id") for p in (old, new)]
            if held is None:            # the table it was on is not known: every table may have changed
                tables += list(self.tables)
            return [key(t) for t in tables if t]
        if "/virtualnetworkpeerings/" in resource_key:
            remote = (new.get("remoteVirtualNetwork") or old.get("remoteVirtualNetwork") or {}).get("id")
            vnets = [key(remote)] if remote else [v for v, halves in self.halves.items() if halves]
            return vnets + [k for v in vnets for k in self.halves.get(v, ())]
        return []


def noted(resource, seen):
    if isinstance(resource, dict) and resource.get("id"):
        seen[key(resource["id"])] = resource.get("etag")
        properties = resource.get("properties")
        for child in [c for k in EMBEDDED for c in properties.get(k) or ()] if isinstance(properties, dict) else ():
            noted(child, seen)


def body_of(response):
    """The bytes of a response, from either kind of azure-core response."""
    return response.read() if hasattr(response, "read") else response.body()


def query_key(content):
    return json.dumps(json_of(content), sort_keys=True)


def json_of(content):
    if not content:
        return None
    try:
        return json.loads(content)
    except (TypeError, ValueError):
        return None


def active():
    """The cache the libraries' clients read through in this run, or None."""
    from dm.arm import trafswap
    return getattr(trafswap.NetworkManagementClient, "cache", None)


def redecided(body, errors, again=None, attempts=3):
    """Runs a step's `body` (which returns what the next steps need and its records). When ARM
    refused one of its updates because a state it was decided on had changed (412), the step runs
    again on fresh reads (`again` first reads afresh what the driver hands the body): what was done
    before the refusal stays done, so its records are merged with those of the new attempt, and the
    refused attempt's error lines do not count against the step."""
    cache, saved = active(), None
    for attempt in range(attempts):
        refused, errors_before = (cache.refusals() if cache else 0), errors.count
        result, records = body()
        saved = records if saved is None else merged(saved, records)
        if cache is None or cache.refusals() == refused or attempt == attempts - 1:
            return result, saved
        errors.count = errors_before
        if again is not None:
            again()
    return result, saved


def merged(earlier, later):
    """Records of two attempts of a step: mappings merged key by key; in lists, a record of the later
    attempt replaces the earlier one about the same resource (named by the same texts)."""
    if isinstance(earlier, dict) and isinstance(later, dict):
        return {k: merged(earlier[k], later[k]) if k in earlier and k in later else later.get(k, earlier.get(k))
                for k in list(earlier) + [k for k in later if k not in earlier]}
    if isinstance(earlier, list) and isinstance(later, list):
        replaced = {identity(item) for item in later}
        return [item for item in earlier if identity(item) not in replaced] + later
    return later


def identity(record):
    """What names the resource a record is about: its texts that are names, groups and subscriptions."""
    if not isinstance(record, dict):
        return repr(record)
    return tuple(sorted((k, v) for k, v in record.items() if isinstance(v, str) and k.lower().endswith(
        ("name", "subscriptionid", "subscription_id", "resource_group", "vnet"))))
