"""Azure's pace and limits, to rehearse a migration as it would run against Azure (off unless applied).

    timing.apply(cloud, 1.0)    # Azure's own figures; 0.1 runs ten times faster, for tests

With it every request takes Azure's latency; long-running operations stay
"InProgress" as long as Azure's do, and their answers carry Retry-After, which
the SDK's pollers wait; each subscription has ARM's token buckets for reads,
writes and deletes, and an empty bucket is answered 429 with Retry-After; a
write to a VNet (or to its subnets and peerings) while an earlier operation on
that VNet is still in progress is answered 409 AnotherOperationInProgress, and
a peering that references a VNet still "Updating" 400
ReferencedResourceNotProvisioned, as Azure answers them. Every time is the
Azure figure times the scale.
"""
import threading
import time

from . import errors, ids

LATENCY = 0.150
# Seconds a long-running operation stays "InProgress", and lock changes (answered at once) take.
DURATIONS = {"subnets.create_or_update": 5.0, "virtual_network_peerings.create_or_update": 10.0,
             "virtual_network_peerings.delete": 10.0, "route_tables.create_or_update": 3.0,
             "management_locks.delete_at_resource_level": 1.0,
             "management_locks.create_or_update_at_resource_level": 1.0}
# ARM's buckets per subscription: (tokens, refilled per second).
BUCKETS = {"read": (250, 25.0), "write": (200, 10.0), "delete": (200, 10.0)}


class Timing:
    def __init__(self, scale, clock=time.monotonic):
        self.scale, self.clock = scale, clock
        self.buckets = {}        # (subscription, kind) -> [tokens, time of the last refill]
        self.busy = {}           # VNet key -> time its operation in progress ends
        self._lock = threading.Lock()

    def wait(self, seconds):
        time.sleep(seconds * self.scale)

    def admit(self, request, operation):
        """Raises the ArmError Azure answers instead of serving the request now, if any."""
        with self._lock:
            now = self.clock()
            self.take_token(request, now)
            if request.method in ("PUT", "DELETE"):
                vnet = vnet_of(request.path)
                if vnet and self.busy.get(vnet, 0) > now:
                    raise errors.ArmError(409, "AnotherOperationInProgress", "Another operation on this or "
                                          "dependent resource is in progress. Retry the request later.")
                remote = ((((request.body or {}).get("properties") or {}).get("remoteVirtualNetwork") or {}).get("id")
                          if operation == "virtual_network_peerings.create_or_update" else None)
                if remote and self.busy.get(ids.key(remote), 0) > now:
                    raise errors.ArmError(400, "ReferencedResourceNotProvisioned", "Cannot proceed with operation "
                                          "because resource " + remote + " used by resource " + request.path
                                          + " is not in Succeeded state. Resource is in Updating state.")

    def take_token(self, request, now):
        if not request.path.lower().startswith("/subscriptions/"):
            return
        kind = {"GET": "read", "DELETE": "delete"}.get(request.method, "write")
        size, rate = BUCKETS[kind]
        rate /= self.scale
        bucket = self.buckets.setdefault((ids.subscription(request.path).lower(), kind), [size, now])
        bucket[0], bucket[1] = min(size, bucket[0] + (now - bucket[1]) * rate), now
        if bucket[0] < 1:
            raise retry_after(errors.ArmError(429, "TooManyRequests", "The request is being throttled as the limit "
                                              "has been reached for operation type - " + kind.capitalize()),
                              (1 - bucket[0]) / rate)
        bucket[0] -= 1

    def started(self, request, operation):
        """Seconds the operation the request started stays in progress (its VNet busy meanwhile)."""
        seconds = DURATIONS.get(operation, 0.0) * self.scale
        vnet = vnet_of(request.path)
        if vnet and seconds:
            with self._lock:
                self.busy[vnet] = max(self.busy.get(vnet, 0), self.clock() + seconds)
        return seconds


def vnet_of(path):
    """The key of the VNet a path is on (the VNet itself, a subnet, a peering), or None."""
    parts = ids.key(path).split("/")
    return "/".join(parts[:9]) if len(parts) >= 9 and parts[7] == "virtualnetworks" else None


def retry_after(error, seconds):
    """Throttling says when to come back (the SDK's retry policy waits that long); ARM's busy answers do not."""
    error.headers = {"Retry-After": "%.3f" % max(seconds, 0.001)}
    return error


def apply(cloud, scale):
    """Azure's timing and limits in the cloud from now on, `scale` times Azure's figures."""
    cloud.timing = Timing(scale)
    return cloud.timing
