// Peering removal and restore: the remote half of a peering found from its
// local half, both halves recorded and deleted, and re-created from the records.
// The returned records are all a revert has to bring a deleted peering back,
// so no failure after a deletion may lose the list.
#include "peering_steps.h"

namespace trafswap {
namespace {

Text k_id{"id"};
Text k_name{"name"};
Text k_lower{"lower"};
Text k_SUB_I{"SUB_I"};
Text k_RG_I{"RG_I"};
Text k_VNET_I{"VNET_I"};
Text k_PEER_I{"PEER_I"};
Text k_remote_virtual_network{"remote_virtual_network"};
Text k_allow_gateway_transit{"allow_gateway_transit"};
Text k_virtual_network_peerings{"virtual_network_peerings"};
Text k_list{"list"};
Text k_get{"get"};
Text k_begin_delete{"begin_delete"};
Text k_begin_create_or_update{"begin_create_or_update"};
Text k_result{"result"};
Text k_getRemotePeering{"getRemotePeering"};
Text k_getVnet{"getVnet"};
Text k_deleteVnetLock{"deleteVnetLock"};
Text k_indent{"indent"};
Text k_delete_peering{"delete_peering"};
Text k_delete_vnet_lock{"delete_vnet_lock"};
Text k_all{"all"};
Text k_localSubscriptionId{"localSubscriptionId"};
Text k_localRgName{"localRgName"};
Text k_localVnetName{"localVnetName"};
Text k_localPeeringName{"localPeeringName"};
Text k_localPeering{"localPeering"};
Text k_remoteSubscriptionId{"remoteSubscriptionId"};
Text k_remoteRgName{"remoteRgName"};
Text k_remoteVnetName{"remoteVnetName"};
Text k_remotePeeringName{"remotePeeringName"};
Text k_remotePeering{"remotePeering"};
const RecordModel peering_pair_record{k_localSubscriptionId, k_localRgName,          k_localVnetName,
                                      k_localPeeringName,    k_localPeering,         k_remoteSubscriptionId,
                                      k_remoteRgName,        k_remoteVnetName,       k_remotePeeringName,
                                      k_remotePeering};
Text k_local_subscription{"  local subscription id: "};
Text k_local_group{"  local resource group: "};
Text k_local_vnet{"  local vnet name: "};
Text k_local_peering{"  local peering name: "};
Text k_expected_subscription{"  expected remote subscription id: "};
Text k_expected_group{"  expected remote resource group: "};
Text k_expected_vnet{"  expected remote vnet name: "};
Text k_remote_peering_name{"  remote peering name: "};
Text k_not_found{"  failed to found remote peering info for "};
Text k_delete_heading{"- Delete peerings"};
Text k_missing_credential{"  **Error** Cannot delete peering. Missing credential for remote subscription "};
Text k_peering_between{"  peering between "};
Text k_and{" and "};
Text k_transit_skipped{" -- skipped, as remote peer's allow-gateway-transit flag is False"};
Text k_error{"  **Error** "};
Text k_delete_line{"  delete peering "};
Text k_failed_delete{"  **Error** Failed to delete peering "};
Text k_dash{" -"};
Text k_restore_heading{"- Restore peerings"};
Text k_no_record{"  no peering found"};
Text k_add_local{"  add local peering "};
Text k_add_remote{"  add remote peering "};
Text k_to{" to "};
Text k_failed_add{"  **Error** Failed to add peering "};

void wait(handle poller) { call_method(poller, k_result); }

// The remote half of the peering `localPeerId`: the first peering of the
// remote VNet whose back-pointer names the local VNet, its subscription
// included (a same-named VNet elsewhere is not the local one).
object getRemotePeering(handle, handle, handle remotePeeringVnetId, handle localPeerId) {
    object logger = module_logger();
    object localSubscriptionId = id_segment(localPeerId, k_SUB_I);
    object localRgName = id_segment(localPeerId, k_RG_I);
    object localVnetName = id_segment(localPeerId, k_VNET_I);
    object localPeeringName = id_segment(localPeerId, k_PEER_I);
    object localRgNameLC = call_method(localRgName, k_lower);
    object localVnetNameLC = call_method(localVnetName, k_lower);
    log(logger, Level::debug, concat(k_local_subscription, localSubscriptionId));
    log(logger, Level::debug, concat(k_local_group, localRgName));
    log(logger, Level::debug, concat(k_local_vnet, localVnetName));
    log(logger, Level::debug, concat(k_local_peering, localPeeringName));

    object remoteRgName = id_segment(remotePeeringVnetId, k_RG_I);
    object remoteVnetName = id_segment(remotePeeringVnetId, k_VNET_I);
    object remoteSubscriptionId = id_segment(remotePeeringVnetId, k_SUB_I);
    log(logger, Level::debug, concat(k_expected_subscription, remoteSubscriptionId));
    log(logger, Level::debug, concat(k_expected_group, remoteRgName));
    log(logger, Level::debug, concat(k_expected_vnet, remoteVnetName));

    object network_client = network_client_of(credential_of(remoteSubscriptionId));
    object peerings = checked(PySequence_List(
        call_method(attr(network_client, k_virtual_network_peerings), k_list, remoteRgName, remoteVnetName)
            .ptr()));
    object localSubscriptionIdLC;
    for (handle peering : iterate(peerings)) {
        object backId = attr(attr(peering, k_remote_virtual_network), k_id);
        object rg = id_segment(backId, k_RG_I);
        object vnetName = id_segment(backId, k_VNET_I);
        if (!lower_equals(rg, localRgNameLC) || !lower_equals(vnetName, localVnetNameLC)) continue;
        if (!localSubscriptionIdLC) localSubscriptionIdLC = call_method(localSubscriptionId, k_lower);
        if (!lower_equals(id_segment(backId, k_SUB_I), localSubscriptionIdLC)) continue;
        object name = attr(peering, k_name);
        log(logger, Level::debug, concat(k_remote_peering_name, name));
        return tuple({remoteRgName, remoteVnetName, name, peering});
    }
    log(logger, Level::info, concat(k_not_found, localPeeringName));
    return tuple({Py_None, Py_None, Py_None, Py_None});
}

// What the record phase of one peering found: the remote half's place and
// the remote subscription's credential and client.
struct RemoteHalf {
    object cred, client, rgName, vnetName, peeringName;
};

// Reads both halves of a peering and appends their pair record; false when
// the peering is to stay (missing credential, remote half without gateway
// transit). Raises on any failure before the record is appended.
bool record_pair(handle cls, handle logger, handle YAML, handle subscriptionId, handle vnet,
                 handle rgName, handle local_network_client, handle peeringName,
                 handle peeringPairList, RemoteHalf& remote) {
    object peerings = attr(local_network_client, k_virtual_network_peerings);
    object peering = call_method(peerings, k_get, rgName, attr(vnet, k_name), peeringName);
    object remoteSubscriptionId = id_segment(attr(attr(peering, k_remote_virtual_network), k_id), k_SUB_I);
    remote.cred = credential_of(remoteSubscriptionId);
    if (is_none(remote.cred)) {
        log(logger, Level::error, concat(k_missing_credential, remoteSubscriptionId));
        return false;
    }
    remote.client = network_client_of(remote.cred);
    object remoteVnetId = attr(attr(peering, k_remote_virtual_network), k_id);
    object found[4];
    unpack(call_method(cls, k_getRemotePeering, remote.cred, remoteVnetId, attr(peering, k_id)), found, 4);
    remote.rgName = found[0];
    remote.vnetName = found[1];
    remote.peeringName = found[2];
    object peeringProperties = peering_record(peering);
    object remotePeeringProperties = peering_record(found[3]);
    if (ne(item(YAML, k_delete_peering), k_all) && eq(attr(found[3], k_allow_gateway_transit), Py_False)) {
        log(logger, Level::info, concat(k_peering_between, peeringName, k_and, remote.peeringName, k_transit_skipped));
        return false;
    }
    append(peeringPairList, peering_pair_record.make({subscriptionId, rgName, attr(vnet, k_name), peeringName,
                                                      peeringProperties, remoteSubscriptionId, remote.rgName,
                                                      remote.vnetName, remote.peeringName, remotePeeringProperties}));
    return true;
}

// `try: body() except Exception as e: logger.error(<prefix pieces> + str(e))`
template <class Body, class... Prefix>
void guarded(handle logger, Body&& body, const Prefix&... prefix) {
    try {
        body();
    } catch (const Error& e) {
        if (!is_exception(e)) throw;
        log(logger, Level::error, concat(prefix..., text_of(e)));
    }
}

// Deletes one half and waits; a failure is logged and the caller goes on.
// `vnetName()` is read inside the guard.
template <class VnetName>
void delete_half(handle cls, handle logger, handle client, handle rgName, VnetName&& vnetName,
                 handle peeringName) {
    log(logger, Level::info, concat(k_delete_line, peeringName));
    guarded(
        logger,
        [&] {
            if (!live(cls)) return;
            object peerings = attr(client, k_virtual_network_peerings);
            wait(call_method(peerings, k_begin_delete, rgName, vnetName(), peeringName));
        },
        k_failed_delete, peeringName, k_dash);
}

const char* const delete_doc =
    "Delete the peerings of a VNet, both halves, and return the records that re-create them.\n"
    "\n"
    "1. Loop through all peerings in the input VNet.\n"
    "2. Skip virtual-hub peerings: the virtual-WAN hub handling already handles and removes them.\n"
    "3. Skip peerings created by the controller, matched by the exclude string.\n"
    "4. For each peering found, note down its properties and its local and remote end.\n"
    "5. Delete the peering.";

object deletePeerings(handle cls, handle YAML, handle subscriptionId, handle vnet,
                      handle local_network_client_arg, handle exclude) {
    object logger = module_logger();
    object local_network_client = borrow(local_network_client_arg);
    if (eq(local_network_client, Py_None)) local_network_client = network_client_of(credential_of(subscriptionId));
    object peeringPairList = new_list();
    object rgName = rg_of(attr(vnet, k_id));
    log(logger, Level::info, k_delete_heading);
    if (without_peerings(logger, vnet)) return peeringPairList;
    for (handle peeringObj : iterate(attr(vnet, k_virtual_network_peerings))) {
        object peeringName = attr(peeringObj, k_name);
        if (skipped_peering(logger, peeringObj, peeringName, exclude)) continue;
        RemoteHalf remote;
        bool recorded = false;
        guarded(
            logger,
            [&] {
                recorded = record_pair(cls, logger, YAML, subscriptionId, vnet, rgName, local_network_client,
                                       peeringName, peeringPairList, remote);
            },
            k_error);
        if (!recorded) continue;
        // From here the peering is in the list: a failure is logged and the deletes go on.
        if (eq(item(YAML, k_delete_vnet_lock), Py_True)) {
            guarded(
                logger,
                [&] {
                    object remoteVnet = call_method(cls, k_getVnet, remote.vnetName, remote.client);
                    call_keywords<k_indent>(attr(cls, k_deleteVnetLock), remote.cred, remoteVnet, integer(2));
                },
                k_error);
        }
        delete_half(cls, logger, local_network_client, rgName, [&] { return attr(vnet, k_name); }, peeringName);
        delete_half(cls, logger, remote.client, remote.rgName, [&] { return borrow(remote.vnetName); },
                    remote.peeringName);
    }
    return peeringPairList;
}

// Re-creates one half from the record's "<half>RgName", "<half>VnetName" and
// "<half>Peering" and waits.
void create_half(handle client, handle pp, handle rgKey, handle vnetKey, handle peeringName, handle peeringKey) {
    object peerings = attr(client, k_virtual_network_peerings);
    object rgName = item(pp, rgKey);
    object vnetName = item(pp, vnetKey);
    wait(call_method(peerings, k_begin_create_or_update, rgName, vnetName, peeringName, item(pp, peeringKey)));
}

// Re-creates both halves of every record, the local one first. A failure
// with one half (its credential, client or create request) is logged and the
// other half and the later records go on.
object addPeerings(handle cls, handle peeringPairList) {
    object logger = module_logger();
    log(logger, Level::info, k_restore_heading);
    if (length(peeringPairList) == 0) log(logger, Level::info, k_no_record);
    for (handle pp : iterate(peeringPairList)) {
        object subId = item(pp, k_localSubscriptionId);
        object cred, lookupError;
        try {
            cred = credential_of(subId);
        } catch (const Error& e) {
            if (!is_exception(e)) throw;
            lookupError = exception_value(e);
        }
        object localPeeringName = item(pp, k_localPeeringName);
        log(logger, Level::info, concat(k_add_local, localPeeringName, k_to, item(pp, k_localVnetName)));
        if (lookupError) {
            log(logger, Level::error, concat(k_failed_add, localPeeringName, k_dash, lookupError));
        } else {
            guarded(
                logger,
                [&] {
                    object client = network_client_of(cred);
                    if (live(cls))
                        create_half(client, pp, k_localRgName, k_localVnetName, localPeeringName, k_localPeering);
                },
                k_failed_add, localPeeringName, k_dash);
        }

        object remotePeeringName = item(pp, k_remotePeeringName);
        log(logger, Level::info, concat(k_add_remote, remotePeeringName, k_to, item(pp, k_remoteVnetName)));
        guarded(
            logger,
            [&] {
                object client = network_client_of(credential_of(item(pp, k_remoteSubscriptionId)));
                if (live(cls))
                    create_half(client, pp, k_remoteRgName, k_remoteVnetName, remotePeeringName, k_remotePeering);
            },
            k_failed_add, remotePeeringName, k_dash);
    }
    return none();
}

}  // namespace

std::vector<MethodSpec> peering_methods() {
    return {
        method<getRemotePeering>("getRemotePeering", {"cred", "remotePeeringVnetId", "localPeerId"},
                                 "The remote half of a peering: (resource group, VNet name, peering name, "
                                 "peering), or four None when the remote VNet has none pointing back."),
        method<deletePeerings>("deletePeerings",
                               {"YAML", "subscriptionId", "vnet", "local_network_client=None", "exclude=None"},
                               delete_doc),
        method<addPeerings>("addPeerings", {"peeringPairList"},
                            "Re-create both halves of each recorded peering pair."),
    };
}

}  // namespace trafswap
