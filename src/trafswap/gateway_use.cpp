// Remote-gateway use of a VNet's peerings: turned off in every peering that
// has it, with records of what was changed, and put back from those records.
// Only the local half is touched; update requests are sent and not awaited.
#include "peering_steps.h"

namespace trafswap {
namespace {

Text k_id{"id"};
Text k_name{"name"};
Text k_use_remote_gateways{"use_remote_gateways"};
Text k_virtual_network_peerings{"virtual_network_peerings"};
Text k_get{"get"};
Text k_begin_create_or_update{"begin_create_or_update"};
Text k_localSubscriptionId{"localSubscriptionId"};
Text k_localRgName{"localRgName"};
Text k_localVnetName{"localVnetName"};
Text k_localPeeringName{"localPeeringName"};
Text k_localPeering{"localPeering"};
Text k_disable_heading{"- Disable use_remote_gateways in peerings"};
Text k_disable_line{"  disable use_remote_gateways in peering "};
Text k_restore_heading{"- Restore use_remote_gateways in peering"};
Text k_nothing_to_restore{"  no peering needs to be restored"};
Text k_set_line{"  set use_remote_gateways to "};
Text k_in{" in "};
Text k_alert{"  **Alert** "};

const RecordModel gateway_use_record{k_localSubscriptionId, k_localRgName, k_localVnetName, k_localPeeringName,
                                     k_localPeering};

// `try: body() except Exception as e: logger.warning("  **Alert** " + str(e))`
template <class Body>
void alerted(handle logger, Body&& body) {
    try {
        body();
    } catch (const Error& e) {
        if (!is_exception(e)) throw;
        log(logger, Level::warning, concat(k_alert, text_of(e)));
    }
}

object disableUseRemoteGwInPeering(handle cls, handle subscriptionId, handle local_network_client, handle vnet,
                                   handle exclude) {
    object logger = module_logger();
    object peeringPropList = new_list();
    object rgName = rg_of(attr(vnet, k_id));
    log(logger, Level::info, k_disable_heading);
    if (without_peerings(logger, vnet)) return peeringPropList;
    for (handle peeringObj : iterate(attr(vnet, k_virtual_network_peerings))) {
        object peeringName = attr(peeringObj, k_name);
        if (skipped_peering(logger, peeringObj, peeringName, exclude)) continue;
        alerted(logger, [&] {
            object peerings = attr(local_network_client, k_virtual_network_peerings);
            object peering = call_method(peerings, k_get, rgName, attr(vnet, k_name), peeringName);
            if (!eq(attr(peering, k_use_remote_gateways), Py_True)) return;
            log(logger, Level::info, concat(k_disable_line, peeringName));
            object peeringProperties = peering_record(peering);
            set_attr(peering, k_use_remote_gateways, Py_False);
            if (live(cls)) {
                object updates = attr(local_network_client, k_virtual_network_peerings);
                call_method(updates, k_begin_create_or_update, rgName, attr(vnet, k_name), peeringName, peering);
            }
            append(peeringPropList, gateway_use_record.make({subscriptionId, rgName, attr(vnet, k_name), peeringName,
                                                             peeringProperties}));
        });
    }
    return peeringPropList;
}

object restoreUseRemoteGwInPeering(handle cls, handle local_network_client, handle peeringPropList) {
    object logger = module_logger();
    log(logger, Level::info, k_restore_heading);
    if (length(peeringPropList) == 0) {
        log(logger, Level::info, k_nothing_to_restore);
        return none();
    }
    for (handle peeringProp : iterate(peeringPropList)) {
        object rgName = item(peeringProp, k_localRgName);
        object peeringName = item(peeringProp, k_localPeeringName);
        object vnetName = item(peeringProp, k_localVnetName);
        object useRemoteGateway = item(item(peeringProp, k_localPeering), k_use_remote_gateways);
        alerted(logger, [&] {
            object peering = call_method(attr(local_network_client, k_virtual_network_peerings), k_get, rgName,
                                         vnetName, peeringName);
            log(logger, Level::info, concat(k_set_line, useRemoteGateway, k_in, peeringName));
            set_attr(peering, k_use_remote_gateways, useRemoteGateway);
            if (live(cls))
                call_method(attr(local_network_client, k_virtual_network_peerings), k_begin_create_or_update, rgName,
                            vnetName, peeringName, peering);
        });
    }
    return none();
}

}  // namespace

std::vector<MethodSpec> gateway_use_methods() {
    return {
        method<disableUseRemoteGwInPeering>(
            "disableUseRemoteGwInPeering", {"subscriptionId", "local_network_client", "vnet", "exclude=None"},
            "Turn use_remote_gateways off in the VNet's peerings and return the records that restore it."),
        method<restoreUseRemoteGwInPeering>("restoreUseRemoteGwInPeering",
                                            {"local_network_client", "peeringPropList"},
                                            "Set use_remote_gateways of each recorded peering back."),
    };
}

}  // namespace trafswap
