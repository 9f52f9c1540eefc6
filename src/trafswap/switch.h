// Class `SwitchTraffic` of dm.arm.trafswap: moves a VNet's traffic between
// Azure routing and peering and the controller's overlay gateways.
// Each concern contributes its class methods; module.cpp assembles the class.
#pragma once

#include "pyglue/classdef.h"
#include "pyglue/module.h"
#include "pyglue/objects.h"

#include <vector>

namespace trafswap {

using namespace pg;

std::vector<MethodSpec> discovery_methods();      // VNet, subnets and prefixes
std::vector<MethodSpec> naming_methods();         // dry-run switch and gateway names
std::vector<MethodSpec> route_table_methods();    // main tables and staged copies of a VNet
std::vector<MethodSpec> propagation_methods();    // gateway-route propagation off and back on
std::vector<MethodSpec> reassociation_methods();  // subnets onto the staged tables and back
std::vector<MethodSpec> peering_methods();        // remote lookup, removal and restore of peerings
std::vector<MethodSpec> gateway_use_methods();    // remote-gateway use in peerings
std::vector<MethodSpec> lock_methods();           // VNet lock removal
std::vector<MethodSpec> graph_methods();          // resource-graph queries
std::vector<MethodSpec> controller_methods();     // SNAT, security domain, transit VNet

}  // namespace trafswap
