"""ARM resource keys as the run's read cache files them (lower case, no empty segments), and what a
resource is part of: the lists it is an item of, the resource that embeds it, its top-level type."""

import functools

NETWORK = "/providers/microsoft.network/"
LOCKS = "/providers/microsoft.authorization/locks"


def page_key(path, query):
    """A list page: its path and paging position (the API version is the client's own)."""
    return path + "?" + "&".join(sorted(q for q in query.lower().split("&") if q and not q.startswith("api-version=")))


@functools.lru_cache(maxsize=1 << 17)      # the same ids come again and again: each answer's every item
def key(path):
    return "/" + "/".join(s for s in path.lower().split("/") if s)


def parent(resource_key):
    return resource_key.rsplit("/", 1)[0]


def collections(resource_key):
    """The lists a resource is an item of: its parent's, its subscription's for a top-level resource
    (route_tables.list_all), and for a lock that of every scope it lies in (a subscription's locks
    list those of its groups and resources too)."""
    if LOCKS not in resource_key:
        below = resource_key.split("/providers/", 1)
        whole = ["/".join(below[0].split("/")[:3]) + "/providers/" + kind(resource_key)] if (
            len(below) == 2 and len(below[1].split("/")) == 3) else []
        return [parent(resource_key)] + whole
    parts = resource_key.split(LOCKS)[0].split("/")
    return [("/".join(parts[:n]) + LOCKS) for n in range(3, len(parts) + 1) if n in (3, 5) or (n >= 9 and n % 2)]


def holds_peerings(resource_key):
    """Whether the key is a peering half's."""
    below = resource_key.split(NETWORK, 1)[1].split("/") if NETWORK in resource_key else []
    return below[:1] == ["virtualnetworks"] and below[2:3] == ["virtualnetworkpeerings"]


def kind(resource_key):
    """The top-level type a resource is or belongs to, as a query names it: microsoft.network/virtualnetworks."""
    return "/".join(resource_key.rsplit("/providers/", 1)[-1].split("/")[:2])


def names_resource(path):
    """Whether a path names one resource (provider, type, name, [type, name]...) rather than a collection."""
    return "/providers/" in path and len(path.rsplit("/providers/", 1)[1].split("/")) % 2 == 1


def embedding(resource_key):
    """The resources whose state embeds this one's: the VNet of a subnet or peering."""
    if LOCKS in resource_key or NETWORK not in resource_key:
        return []
    below = resource_key.split(NETWORK, 1)[1].split("/")
    return [resource_key.rsplit("/", 2)[0]] if len(below) == 4 else []
