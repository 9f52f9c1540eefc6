// Helpers shared by route-table discovery, propagation switching and subnet
// re-association.
#pragma once

#include "switch.h"

namespace trafswap {

// id.split("/")[dl.RG_I]: the resource group of an ARM id.
object resource_group(handle id);

// Common.getMainTablePrefix(vnetName), or vnetName itself when that is None.
object main_table_prefix(handle vnetName);

}  // namespace trafswap
