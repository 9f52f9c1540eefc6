// Steps shared by the peering operations: the property record of a peering,
// the two skip rules, and the credential and network client of a subscription.
#pragma once

#include "switch.h"

namespace trafswap {

// {"id", "name", the four flags, "remote_virtual_network": {"id"}} of a peering
// model, in that key order; the SDK takes it back as create-or-update parameters.
object peering_record(handle peering);

// The controller-made (name starts with `exclude`) and virtual-hub rules:
// true, after the "-- skipped" line, when the peering is to be left alone.
bool skipped_peering(handle logger, handle peeringObj, handle peeringName, handle exclude);

// `len(vnet.virtual_network_peerings) == 0`, logged as "  No peering found".
bool without_peerings(handle logger, handle vnet);

// yctx().generateAzureCredential(subscriptionId)
object credential_of(handle subscriptionId);
// NetworkManagementClient(cred.getCSC(), cred.getSubId())
object network_client_of(handle cred);

// Segment DiscoveryLib.<position> of an ARM id split at "/".
object id_segment(handle id, const Text& position);
object rg_of(handle id);

// `not cls.DryRun`
bool live(handle cls);

// str(e) of a caught exception.
object text_of(const Error& e);

}  // namespace trafswap
