// dm.arm.trafswap: binds the Azure SDK, the tool's sibling modules and
// `Common`, then creates `SwitchTraffic` with its class constants.
#include "switch.h"

namespace trafswap {
namespace {

// Azure location name -> the code used inside gateway names.
object region_table() {
    static const char* const codes[][2] = {
        {"eastus", "use"},         {"centralus", "usc"},   {"westus", "usw"},
        {"westus2", "usw2"},       {"northeurope", "eun"}, {"westeurope", "euw"},
        {"southeastasia", "asse"}, {"japaneast", "jae"},   {"chinaeast2", "che2"},
        {"chinanorth2", "chn2"},
    };
    object table = new_dict();
    for (const auto& code : codes) set_item(table, text(code[0]), text(code[1]));
    return table;
}

void load() {
    Globals::bind("logging", import_module("logging"));
    Globals::bind("ipaddress", import_module("ipaddress"));
    Globals::bind("NetworkManagementClient", import_from("azure.mgmt.network", "NetworkManagementClient"));
    Globals::bind("ManagementLockClient", import_from("azure.mgmt.resource", "ManagementLockClient"));
    Globals::bind("arg", import_module("azure.mgmt.resourcegraph"));
    Globals::bind("yctx", import_from("dm.arm.res.YamlContext", "YamlContext"));
    Globals::bind("AzureCredential", import_from("dm.arm.res.YamlContext", "AzureCredential"));
    Globals::bind("Globals", import_from("dm.arm.res.Globals", "Globals"));
    Globals::bind("dl", import_from("dm.arm.discoverylib", "DiscoveryLib"));
    Globals::bind("vwm", import_from("dm.arm.res.VWanMgmt", "VWanMgmt"));
    Globals::bind("av", import_from("dm.arm.zentrova", "Zentrova"));
    Globals::bind("tf", import_from("dm.arm.terraform", "Terraform"));
    const char* helpers = "dm.arm.res.CaseInsensitiveHelper";
    Globals::bind("CIDict", import_from(helpers, "CaseInsensitiveDict"));
    Globals::bind("ci_equal", import_from(helpers, "case_insensitive_equal"));
    Globals::bind("ci_nequal", import_from(helpers, "case_insensitive_not_equal"));
    Globals::bind("ci_startswith", import_from(helpers, "case_insensitive_startswith"));
    Globals::bind("common", import_from("dm.arm.cfgbase", "Common"));

    ClassSpec definition{"SwitchTraffic",
                   "Switches a VNet's traffic to the overlay gateways and back on revert.",
                   {
                       {intern("DryRun"), boolean(false)},
                       {intern("VPN"), text("Vpn")},
                       {intern("ER"), text("ExpressRoute")},
                       {intern("region"), region_table()},
                   },
                   {}};
    for (auto* part : {discovery_methods, naming_methods, route_table_methods, propagation_methods,
                       reassociation_methods, peering_methods, gateway_use_methods, lock_methods,
                       graph_methods, controller_methods})
        for (MethodSpec& m : part()) definition.methods.push_back(std::move(m));
    Globals::bind("SwitchTraffic", make_class(definition, {}));
}

}  // namespace
}  // namespace trafswap

DM_MODULE(trafswap, "Traffic switching library of the Azure side of the migration tool.",
          trafswap::load)
