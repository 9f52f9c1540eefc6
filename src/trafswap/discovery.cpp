// Read-only discovery of one VNet: find it, report its subnets' route tables,
// collect a route table's subnet references, select its allowed prefixes.
#include "switch.h"

namespace trafswap {
namespace {

Text k_virtual_networks{"virtual_networks"};
Text k_list_all{"list_all"};
Text k_subnets{"subnets"};
Text k_list{"list"};
Text k_name{"name"};
Text k_id{"id"};
Text k_route_table{"route_table"};
Text k_address_space{"address_space"};
Text k_address_prefixes{"address_prefixes"};
Text k_dl{"dl"};
Text k_RG_I{"RG_I"};
Text k_common{"common"};
Text k_AZURE_SUBNET{"AZURE_SUBNET"};
Text k_ipaddress{"ipaddress"};
Text k_ip_network{"ip_network"};
Text k_subnet_of{"subnet_of"};
Text k_allow_vnet_cidrs{"allow_vnet_cidrs"};
Text k_isExpectedVpcPrefix{"isExpectedVpcPrefix"};
Text k_slash{"/"};
Text k_discover_heading{"- Discover subnet to route-table association"};
Text k_found_azure{"  found Azure "};
Text k_skipped{" -- skipped "};
Text k_subnet_prefix{"  subnet "};
Text k_no_route_table{" has no route table"};
Text k_associated_to{" is associated to "};

// The first VNet of the subscription whose name matches exactly, else None.
object getVnet(handle, handle vnetName, handle network_client) {
    for (handle vnet : iterate(call_method(attr(network_client, k_virtual_networks), k_list_all)))
        if (eq(attr(vnet, k_name), vnetName)) return borrow(vnet);
    return none();
}

// Logs which route table each subnet of the VNet is associated with.
object discoverSubnets(handle, handle network_client, handle vnet) {
    object logger = module_logger();
    log(logger, Level::info, k_discover_heading);
    object rgName = segment(attr(vnet, k_id), k_slash, attr(global<k_dl>(), k_RG_I));
    object subnets = checked(PySequence_List(
        call_method(attr(network_client, k_subnets), k_list, rgName, attr(vnet, k_name)).ptr()));
    for (handle subnet : iterate(subnets)) {
        object name = attr(subnet, k_name);
        if (contains(attr(global<k_common>(), k_AZURE_SUBNET), name)) {
            log(logger, Level::info, concat(k_found_azure, name, k_skipped));
            continue;
        }
        object route_table = attr(subnet, k_route_table);
        if (eq(route_table, Py_None)) {
            log(logger, Level::info, concat(k_subnet_prefix, name, k_no_route_table));
            continue;
        }
        object rtb = segment(attr(route_table, k_id), k_slash, -1);
        log(logger, Level::info, concat(k_subnet_prefix, name, k_associated_to, rtb));
    }
    return none();
}

// Appends the route table's subnet references to `assocs`.
object discoverSubnetAssociation(handle, handle rtb, handle assocs) {
    object subnets = attr(rtb, k_subnets);
    if (eq(subnets, Py_None)) return none();
    for (handle subnet : iterate(subnets)) {
        try {
            call_append(assocs, subnet);
        } catch (const Error& e) {
            if (!caught(e, PyExc_KeyError)) throw;
        }
    }
    return none();
}

// Whether ipaddress.ip_network(ip) is a subnet of one of the networks.
bool expected_prefix(handle ip, handle prefixes) {
    object ipn = call_method(global<k_ipaddress>(), k_ip_network, ip);
    for (handle n : iterate(prefixes))
        if (truth(call_method(ipn, k_subnet_of, n))) return true;
    return false;
}

object isExpectedVpcPrefix(handle, handle ip, handle prefixes) {
    return boolean(expected_prefix(ip, prefixes));
}

// The VNet's prefixes that lie inside one of the allowed ranges, in order.
// cls.isExpectedVpcPrefix runs here at once while it is the method above.
object discoverVpcCidr(handle cls, handle vnet, handle yaml) {
    object allowVnetCidr = item(yaml, k_allow_vnet_cidrs);
    object vnetCidrs = new_list();
    for (handle x : iterate(attr(attr(vnet, k_address_space), k_address_prefixes))) {
        bool expected = resolves_to<isExpectedVpcPrefix>(cls, k_isExpectedVpcPrefix)
                            ? expected_prefix(x, allowVnetCidr)
                            : truth(call_method(cls, k_isExpectedVpcPrefix, x, allowVnetCidr));
        if (expected) append(vnetCidrs, x);
    }
    return vnetCidrs;
}

}  // namespace

std::vector<MethodSpec> discovery_methods() {
    return {
        method<getVnet>("getVnet", {"vnetName", "network_client"},
                        "The first VNet of the subscription named exactly vnetName, else None."),
        method<discoverSubnets>("discoverSubnets", {"network_client", "vnet"},
                                "Log the route-table association of each subnet of the VNet."),
        method<discoverSubnetAssociation>("discoverSubnetAssociation", {"rtb", "assocs"},
                                          "Append the route table's subnet references to assocs."),
        method<discoverVpcCidr>("discoverVpcCidr", {"vnet", "yaml"},
                                "The VNet's prefixes inside the ranges allowed by yaml['allow_vnet_cidrs']."),
        method<isExpectedVpcPrefix>("isExpectedVpcPrefix", {"ip", "prefixes"},
                                    "Whether the prefix lies inside one of the networks."),
    };
}

}  // namespace trafswap
