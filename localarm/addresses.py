"""Address prefixes checked as Azure's network provider checks them, with its error codes."""
import ipaddress

from . import errors, ids


def network(prefix, resource_id):
    """The network of a prefix a request gives; refuses text that is not one, or one with host bits set."""
    try:
        return ipaddress.ip_network(prefix)
    except (TypeError, ValueError):
        pass
    try:
        loose = ipaddress.ip_network(prefix, strict=False)
    except (TypeError, ValueError):
        raise errors.bad_request("Value '" + str(prefix) + "' of the address prefix of resource " + resource_id
                                 + " is not a valid address prefix.", "InvalidAddressPrefixFormat") from None
    raise errors.bad_request("The address prefix " + prefix + " in resource " + resource_id + " has an invalid CIDR "
                             "notation. For the given prefix length, the address prefix should be " + str(loose) + ".",
                             "InvalidCIDRNotation")


def check_subnet(subnet_id, prefixes, vnet, siblings):
    """Refuses a subnet whose ranges are outside its VNet's address space or overlap another subnet's."""
    space = [network(p, vnet["id"]) for p in vnet["properties"].get("addressSpace", {}).get("addressPrefixes") or ()]
    mine = [network(p, subnet_id) for p in prefixes]
    if not mine:
        raise errors.bad_request("Subnet " + ids.name(subnet_id) + " has no address prefix.", "InvalidAddressPrefix")
    for net in mine:
        if not any(net.version == outer.version and net.subnet_of(outer) for outer in space):
            raise errors.bad_request("Subnet '" + ids.name(subnet_id) + "' is not valid because its IP address range "
                                     "is outside the IP address range of virtual network '" + vnet["name"] + "'.",
                                     "NetcfgSubnetRangeOutsideVnet")
    for other in siblings:
        if ids.key(other["id"]) == ids.key(subnet_id):
            continue
        if any(net.overlaps(theirs) for net in mine for theirs in prefixes_of(other, other["id"])):
            raise errors.bad_request("Subnet '" + ids.name(subnet_id) + "' is not valid because its IP address range "
                                     "overlaps with that of an existing subnet '" + other["name"]
                                     + "' in virtual network '" + vnet["name"] + "'.", "NetcfgSubnetRangesOverlap")


def prefixes_of(subnet, resource_id):
    """The networks of a subnet's "addressPrefix" or "addressPrefixes"."""
    properties = subnet.get("properties") or {}
    texts = properties.get("addressPrefixes") or ([properties["addressPrefix"]] if properties.get("addressPrefix")
                                                  else [])
    return [network(p, resource_id) for p in texts]
