"""ARM resource ids: built with Azure's casing, compared ignoring case."""

NETWORK = "Microsoft.Network"


def key(resource_id):
    """The form under which an id is looked up: lower case, no empty segments."""
    return "/" + "/".join(s for s in resource_id.lower().split("/") if s)


def parent(resource_id):
    """The id one type/name pair up: a VNet for a subnet, the provider scope for a VNet."""
    return resource_id.rstrip("/").rsplit("/", 2)[0]


def name(resource_id):
    return resource_id.rstrip("/").rsplit("/", 1)[-1]


def subscription(resource_id):
    return resource_id.split("/")[2]


def resource_group(resource_id):
    return resource_id.split("/")[4]


def group_id(sub, rg):
    return "/subscriptions/" + sub + "/resourceGroups/" + rg


def resource_id(sub, rg, *type_names, namespace=NETWORK):
    """/subscriptions/{sub}/resourceGroups/{rg}/providers/{namespace}/{type}/{name}[/{type}/{name}...]"""
    return group_id(sub, rg) + "/providers/" + namespace + "".join("/" + part for part in type_names)


def child(parent_id, child_type, child_name):
    return parent_id + "/" + child_type + "/" + child_name


def within(resource_id, scope_id):
    """Whether the resource is the scope itself or lies below it."""
    resource, scope = key(resource_id), key(scope_id)
    return resource == scope or resource.startswith(scope + "/")
