"""The shape of the migration configuration: every section and key the libraries read, and its type.

The libraries read their keys by subscription and trust the types, so a key
that is missing or of another type would end a run with an exception half-way.
Walking this table first turns each such fault into one line naming the key
path, before anything reads the document. A key of a mapping is
`key(shape, required, null)`; a shape is a tuple of types, a mapping of keys,
a one-element list (every element of that shape), `entries(shape)` (a mapping
whose values all have that shape), RANGES (a list of network ranges) or ANY.
"""
import ipaddress

ANY = object()
RANGES = object()
TEXT = (str,)
SCALAR = (str, int, float, bool)
MAPPING = (dict,)
KINDS = {str: "a text", int: "a number", float: "a number", bool: "true or false", dict: "a mapping",
         list: "a list"}


class entries:
    """A mapping of names chosen by the user, each value of one shape."""

    def __init__(self, shape):
        self.shape = shape


def key(shape, required=True, null=False):
    return shape, required, null


def optional(shape):
    return key(shape, required=False, null=True)


RANGE_KEYS = ("allow_vnet_cidrs", "spoke_advertisement", "spoke_routes", "filter_cidrs")
TRANSFORMS = [{"key": key(TEXT), "value": key(TEXT)}]
VNET = {
    "vnet_name": key(TEXT),
    "spoke_gw_name": optional(TEXT), "transit_gw_name": optional(TEXT), "spoke_gw_tags": optional(MAPPING),
    "spoke_gw_size": key(SCALAR, null=True), "hpe": key(SCALAR, null=True), "inspection": key(SCALAR, null=True),
    "domain": key(TEXT, null=True), "max_hpe_performance": key(SCALAR, null=True),
    "spoke_ha": key(SCALAR, null=True), "enable_spoke_egress": key(SCALAR, null=True),
    "copy_quad_zero_route": key(SCALAR, null=True), "subnet_groups_inspected": key(SCALAR, null=True),
    "subnet_groups": key([{"subnet_name": key(TEXT)}], null=True),
    "spoke_advertisement": optional(RANGES), "spoke_routes": optional(RANGES),
    "migrate_non_associated_subnet": key(SCALAR, null=True), "filter_service_tags": key([TEXT], null=True),
    "allow_vnet_cidrs": key(RANGES),
}
ACCOUNT = {
    "subscription_id": key(TEXT), "account_name": key(TEXT), "tf_provider_alias": optional(TEXT),
    "vwan": key(ANY, null=True), "hpe": key(SCALAR, null=True), "max_hpe_performance": key(SCALAR, null=True),
    "filter_cidrs": optional(RANGES), "onboard_account": optional(SCALAR), "vnets": optional([VNET]),
}
CREDENTIAL = {
    "arm_subscription_id": key([TEXT], required=False), "arm_application_secret_env": key(TEXT),
    "arm_application_secret_data_src": optional(TEXT), "arm_application_id": key(TEXT),
    "arm_directory_id": key(TEXT),
}
DEFAULT_CREDENTIAL = "zentrova"   # the entry of every subscription no other entry lists
FLAGS = ("configure_gw_name", "configure_gw_subnet_nsg", "configure_staging_attachment",
         "configure_spoke_advertisement", "enable_spoke_split_cidr", "configure_private_subnet",
         "configure_subnet_groups")
DOCUMENT = {
    "label": key(TEXT),
    "config": key(dict({flag: optional(SCALAR) for flag in FLAGS},
                       configure_shared_route_table_replication=optional((int,)),
                       configure_route_table_name=key(TRANSFORMS),
                       configure_main_route_table_prefix=key(TRANSFORMS),
                       configure_shared_route_table_name=optional(TRANSFORMS))),
    "zentrova": key({"tf_controller_access": key(ANY, null=True), "controller_private_ip": optional(TEXT)}),
    "terraform": key({"tf_cloud": key(ANY, null=True), "module_name": key(ANY, null=True),
                      "terraform_output": key(TEXT), "account_folder": optional(TEXT),
                      "tmp_folder_id": optional(TEXT), "enable_s3_backend": optional(SCALAR),
                      "zentrova_account": optional(MAPPING)}),
    "alert": key({"check_gateway_existence": key(SCALAR, null=True)}),
    "switch_traffic": key({"manage_propagate_gateway_routes": key(SCALAR, null=True),
                           "delete_vnet_lock": optional(SCALAR), "transit_peerings": optional(entries(TEXT)),
                           "controller_peering_prefix": optional(TEXT), "delete_peering": optional(SCALAR)}),
    "cleanup": optional({"delete_vnet_lock": optional(SCALAR)}),
    "prestage": optional({"default_route_table": optional(TEXT)}),
    "account_info": key([ACCOUNT]),
    "azure_cred": key(entries(CREDENTIAL)),
    "log_output": key(TEXT),
}


def problems(document):
    """(key path, text) of every place the document departs from its shape; a faulty value is
    reported once, and nothing below it is looked at."""
    found = []
    walk(found, "", document, DOCUMENT, False)
    credentials = document.get("azure_cred") if isinstance(document, dict) else None
    for name, entry in credentials.items() if isinstance(credentials, dict) else ():
        if name != DEFAULT_CREDENTIAL and isinstance(entry, dict) and "arm_subscription_id" not in entry:
            found.append(("azure_cred." + str(name) + ".arm_subscription_id", "missing"))
    return found


def walk(found, where, value, shape, null):
    if value is None:
        if not null:
            found.append((where or "top level", "is empty; expected " + kind(shape)))
        return
    if shape is ANY:
        return
    if shape is RANGES:
        if not isinstance(value, list):
            found.append((where, "is " + described(value) + "; expected a list of network ranges"))
            return
        for network in value:
            range_problem = not_a_range(network)
            if range_problem:
                found.append((where, range_problem))
        return
    expected = dict if isinstance(shape, (dict, entries)) else list if isinstance(shape, list) else shape
    if not isinstance(value, expected):
        found.append((where or "top level", "is " + described(value) + "; expected " + kind(shape)))
        return
    if isinstance(shape, list):
        for index, element in enumerate(value):
            walk(found, where + "[" + str(index) + "]" + named(element), element, shape[0], False)
    elif isinstance(shape, entries):
        for name, element in value.items():
            walk(found, dotted(where, str(name)), element, shape.shape, False)
    elif isinstance(shape, dict):
        for name, (inner, required, may_be_null) in shape.items():
            if name in value:
                walk(found, dotted(where, name), value[name], inner, may_be_null)
            elif required:
                found.append((dotted(where, name), "missing"))


def not_a_range(network):
    """Why the value is not a network range, or None when it is one."""
    try:
        ipaddress.ip_network(network)
    except (TypeError, ValueError) as error:
        return repr(network) + " is not a network range (" + str(error) + ")"
    return None


def named(element):
    """The name an account or VNet entry gives itself, to say which one a key path means."""
    if isinstance(element, dict):
        name = element.get("account_name", element.get("vnet_name"))
        if isinstance(name, str) and name:
            return " (" + name + ")"
    return ""


def dotted(where, name):
    return where + "." + name if where else name


def kind(shape):
    if isinstance(shape, (dict, entries)):
        return "a mapping"
    if isinstance(shape, list) or shape is RANGES:
        return "a list"
    if shape is ANY:
        return "a value"
    return "a single value" if shape is SCALAR else KINDS[shape[0]]


def described(value):
    text = KINDS.get(type(value), type(value).__name__)
    if isinstance(value, (str, int, float)) and not isinstance(value, bool):
        return text + " (" + repr(value) + ")"
    return text
