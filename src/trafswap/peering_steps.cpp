#include "peering_steps.h"

namespace trafswap {
namespace {

Text k_id{"id"};
Text k_name{"name"};
Text k_allow_virtual_network_access{"allow_virtual_network_access"};
Text k_allow_forwarded_traffic{"allow_forwarded_traffic"};
Text k_allow_gateway_transit{"allow_gateway_transit"};
Text k_use_remote_gateways{"use_remote_gateways"};
Text k_remote_virtual_network{"remote_virtual_network"};
Text k_virtual_network_peerings{"virtual_network_peerings"};
Text k_no_peering{"  No peering found"};
Text k_startswith{"startswith"};
Text k_vwm{"vwm"};
Text k_getVHubNameFromPeering{"getVHubNameFromPeering"};
Text k_yctx{"yctx"};
Text k_generateAzureCredential{"generateAzureCredential"};
Text k_NetworkManagementClient{"NetworkManagementClient"};
Text k_getCSC{"getCSC"};
Text k_getSubId{"getSubId"};
Text k_dl{"dl"};
Text k_RG_I{"RG_I"};
Text k_DryRun{"DryRun"};
Text k_slash{"/"};
Text k_controller_created{"  controller created peering "};
Text k_virtual_hub{"  virtual hub connection "};
Text k_skipped{" -- skipped"};

// `name.startswith(prefix)` in a condition; two exact str are matched in place.
bool starts_with(handle name, handle prefix) {
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_CheckExact(prefix.ptr())) {
        Py_ssize_t r = PyUnicode_Tailmatch(name.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (r < 0) raise_pending();
        return r != 0;
    }
    return truth(call_method(name, k_startswith, prefix));
}

const RecordModel remote_id_record{k_id};
const RecordModel peering_fields_record{k_id, k_name, k_allow_virtual_network_access, k_allow_forwarded_traffic,
                                        k_allow_gateway_transit, k_use_remote_gateways, k_remote_virtual_network};

}  // namespace

object peering_record(handle peering) {
    object id = attr(peering, k_id);
    object name = attr(peering, k_name);
    object access = attr(peering, k_allow_virtual_network_access);
    object forwarded = attr(peering, k_allow_forwarded_traffic);
    object transit = attr(peering, k_allow_gateway_transit);
    object useRemote = attr(peering, k_use_remote_gateways);
    object remote = remote_id_record.make({attr(attr(peering, k_remote_virtual_network), k_id)});
    return peering_fields_record.make({id, name, access, forwarded, transit, useRemote, remote});
}

bool skipped_peering(handle logger, handle peeringObj, handle peeringName, handle exclude) {
    if (!is_none(exclude) && starts_with(peeringName, exclude)) {
        log(logger, Level::info, concat(k_controller_created, peeringName, k_skipped));
        return true;
    }
    object remoteVnetId = attr(attr(peeringObj, k_remote_virtual_network), k_id);
    object vhubName = call_method(global<k_vwm>(), k_getVHubNameFromPeering, remoteVnetId);
    if (truth(vhubName)) {
        log(logger, Level::info, concat(k_virtual_hub, peeringName, k_skipped));
        return true;
    }
    return false;
}

bool without_peerings(handle logger, handle vnet) {
    if (length(attr(vnet, k_virtual_network_peerings)) != 0) return false;
    log(logger, Level::info, k_no_peering);
    return true;
}

object credential_of(handle subscriptionId) {
    return call_method(call(global<k_yctx>()), k_generateAzureCredential, subscriptionId);
}

object network_client_of(handle cred) {
    object csc = call_method(cred, k_getCSC);
    object subId = call_method(cred, k_getSubId);
    return call(global<k_NetworkManagementClient>(), csc, subId);
}

object id_segment(handle id, const Text& position) {
    return segment(id, k_slash, attr(global<k_dl>(), position));
}

object rg_of(handle id) { return id_segment(id, k_RG_I); }

bool live(handle cls) { return !truth(attr(cls, k_DryRun)); }

object text_of(const Error& e) { return str(exception_value(e)); }

}  // namespace trafswap
