// The class-wide dry-run switch and the names of the overlay gateways.
#include "switch.h"

namespace trafswap {
namespace {

Text k_DryRun{"DryRun"};
Text k_region{"region"};
Text k_hyphen{"-"};
Text k_gw_suffix{"-gw"};
Text k_azu_prefix{"azu-"};
Text k_transit_suffix{"-transit-gw"};
Text k_slash{"/"};
Text k_dot{"."};
Text k_split{"split"};
Text k_hex2{"02x"};

object setDryRun(handle cls) {
    set_attr(cls, k_DryRun, Py_True);  // borrowed: the store takes its own reference
    return none();
}

// The existing gateway mapped under "<vpcId>-<accountId>", else
// "<vpcName>-<accountId>-gw".
object deduceGwName(handle cls, handle vpcAid2GwNameMap, handle vpcId, handle vpcName,
                    handle accountId) {
    (void)cls;
    object vpcAid = concat(vpcId, k_hyphen, accountId);
    if (contains(vpcAid2GwNameMap, vpcAid)) return item(vpcAid2GwNameMap, vpcAid);
    return concat(vpcName, k_hyphen, accountId, k_gw_suffix);
}

// "azu-<region code>-<four octets as 02x>-gw" from a dotted IPv4 prefix.
object deduceGwNameWithSubnetCidr(handle cls, handle regionId, handle cidr) {
    object ip = segment(cidr, k_slash, 0);
    object octal = call_method(ip, k_split, k_dot);
    object hex[4];
    for (Py_ssize_t i = 0; i < 4; ++i) {
        object number = checked(PyNumber_Long(item(octal, i).ptr()));
        hex[i] = checked(PyObject_Format(number.ptr(), k_hex2.ptr()));
    }
    object code = item(class_value(cls, k_region), regionId);
    return concat(k_azu_prefix, code, k_hyphen, hex[0], hex[1], hex[2], hex[3], k_gw_suffix);
}

object deduceTransitNameWithRegion(handle cls, handle regionId) {
    return concat(k_azu_prefix, item(class_value(cls, k_region), regionId), k_transit_suffix);
}

}  // namespace

std::vector<MethodSpec> naming_methods() {
    return {
        method<setDryRun>("setDryRun", {}, "Turn the class-wide dry-run switch on."),
        method<deduceGwName>("deduceGwName", {"vpcAid2GwNameMap", "vpcId", "vpcName", "accountId"},
                             "Spoke gateway name of a VNet in an account."),
        method<deduceGwNameWithSubnetCidr>("deduceGwNameWithSubnetCidr", {"regionId", "cidr"},
                                           "Spoke gateway name derived from a region and an IPv4 prefix."),
        method<deduceTransitNameWithRegion>("deduceTransitNameWithRegion", {"regionId"},
                                            "Transit gateway name of a region."),
    };
}

}  // namespace trafswap
