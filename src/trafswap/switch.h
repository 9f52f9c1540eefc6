// Class `SwitchTraffic` of dm.arm.trafswap: moves a VNet's traffic between
// Azure routing and peering and the controller's overlay gateways.
// Each concern contributes its class methods; module.cpp assembles the class.
#pragma once

#include "pyglue/classdef.h"
#include "pyglue/module.h"

#include <vector>

namespace trafswap {

using namespace pg;

std::vector<MethodSpec> discovery_methods();  // VNet, subnets and prefixes
std::vector<MethodSpec> naming_methods();     // dry-run switch and gateway names
std::vector<MethodSpec> graph_methods();      // resource-graph queries
std::vector<MethodSpec> controller_methods(); // SNAT, security domain, transit VNet

}  // namespace trafswap
