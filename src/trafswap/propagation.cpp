// Gateway-route propagation of a VNet's route tables: turned off on the
// tables its subnets move to, and turned back on from the records kept.
// Update requests are started and not awaited.
#include "route_tables.h"

namespace trafswap {
namespace {

Text k_route_tables{"route_tables"};
Text k_get{"get"};
Text k_begin_create_or_update{"begin_create_or_update"};
Text k_disable_bgp_route_propagation{"disable_bgp_route_propagation"};
Text k_DryRun{"DryRun"};
Text k_name{"name"};
Text k_id{"id"};
Text k_revert{"revert"};
Text k_setDisableRouteTablePropagation{"setDisableRouteTablePropagation"};
Text k_vnet{"vnet"};
Text k_resource_group{"resource_group"};
Text k_route_table_name{"route_table_name"};
Text k_colon{":"};
Text k_main_1{"-main-1"};
Text k_main_2{"-main-2"};
Text k_disable_in{"  disable propagate-gateway-route in "};
Text k_enable_in{"  enable propagate-gateway-route in "};
Text k_alert{"  **Alert** "};
Text k_not_found{" not found"};

const RecordModel propagation_record{k_vnet, k_resource_group, k_route_table_name, k_disable_bgp_route_propagation};
Text k_disable_heading{"- Disable propagate-gateway-route in UDR route table"};
Text k_enable_heading{"- Enable propagate-gateway-route in UDR route table"};
Text k_restore_heading{"- Restore propagate-gateway-route in UDR route table"};

// The two lines a guard logs for a table it could not switch.
void alert_not_found(handle logger, handle rtbName, const Error& e) {
    log(logger, Level::info, concat(k_alert, rtbName, k_not_found));
    log(logger, Level::debug, concat(k_alert, exception_value(e)));
}

// Sends the table back whole, unless in dry-run; the poller is not awaited.
void send_unless_dry_run(handle cls, handle network_client, handle rgName, handle rtbName,
                         handle rtbObj) {
    if (!truth(attr(cls, k_DryRun)))
        call_method(attr(network_client, k_route_tables), k_begin_create_or_update, rgName, rtbName,
                    rtbObj);
}

// The record of the change, or None when the table already had the wanted
// value or anything in the lookup or the update failed.
object setDisableRouteTablePropagation(handle cls, handle network_client, handle vnet,
                                       handle rtbName, handle disableFlag) {
    object logger = module_logger();
    object rgName = resource_group(attr(vnet, k_id));
    try {
        object rtbObj = call_method(attr(network_client, k_route_tables), k_get, rgName, rtbName);
        if (!ne(attr(rtbObj, k_disable_bgp_route_propagation), disableFlag)) return none();
        set_attr(rtbObj, k_disable_bgp_route_propagation, disableFlag);
        const bool disable = truth(disableFlag);
        log(logger, Level::info, concat(disable ? k_disable_in : k_enable_in, rtbName));
        send_unless_dry_run(cls, network_client, rgName, rtbName, rtbObj);
        return propagation_record.make({attr(vnet, k_name), rgName, rtbName, boolean(!disable)});
    } catch (const Error& e) {
        if (!is_exception(e)) throw;
        alert_not_found(logger, rtbName, e);
        return none();
    }
}

// cls.setDisableRouteTablePropagation(...), its record appended when not None;
// run here at once while the class method is the one above.
void switch_table(handle cls, handle network_client, handle vnet, handle rtbName,
                  handle disableFlag, handle route_table_prop) {
    object record =
        resolves_to<setDisableRouteTablePropagation>(cls, k_setDisableRouteTablePropagation)
            ? setDisableRouteTablePropagation(cls, network_client, vnet, rtbName, disableFlag)
            : call_method(cls, k_setDisableRouteTablePropagation, network_client, vnet, rtbName,
                          disableFlag);
    if (ne_none(record)) append(route_table_prop, record);
}

// Switches the VNet's staged main tables and every new table of the map. The
// main tables carry the configured main-table prefix, as discovery names them.
object setDisableAllRouteTablePropagationInVnet(handle cls, handle args, handle network_client,
                                                handle vnet, handle stagedUdrLst,
                                                handle rtb_target_rtb_map, handle disableFlag) {
    object logger = module_logger();
    log(logger, Level::info, truth(disableFlag) ? k_disable_heading : k_enable_heading);
    object route_table_prop = new_list();
    object resourceGroup = resource_group(attr(vnet, k_id));
    object prefix = main_table_prefix(attr(vnet, k_name));
    for (const Text* suffix : {&k_main_1, &k_main_2}) {
        object rtbName = concat(prefix, *suffix);
        if (contains(stagedUdrLst, concat(rtbName, k_colon, resourceGroup)))
            switch_table(cls, network_client, vnet, rtbName, disableFlag, route_table_prop);
    }
    // Forward the map runs original -> new, on revert new -> original: the
    // new table is the one switched either way.
    for (handle key : iterate(rtb_target_rtb_map)) {
        object rtbName = eq(attr(args, k_revert), Py_False) ? item(rtb_target_rtb_map, key) : borrow(key);
        switch_table(cls, network_client, vnet, rtbName, disableFlag, route_table_prop);
    }
    return route_table_prop;
}

object restoreRouteTablePropagationInVnet(handle cls, handle network_client, handle rtbPropList) {
    object logger = module_logger();
    log(logger, Level::info, k_restore_heading);
    for (handle prop : iterate(rtbPropList)) {
        object rgName = item(prop, k_resource_group);
        object rtbName = item(prop, k_route_table_name);
        try {
            object rtbObj = call_method(attr(network_client, k_route_tables), k_get, rgName, rtbName);
            set_attr(rtbObj, k_disable_bgp_route_propagation, Py_False);
            log(logger, Level::info, concat(k_enable_in, rtbName));
            send_unless_dry_run(cls, network_client, rgName, rtbName, rtbObj);
        } catch (const Error& e) {
            if (!is_exception(e)) throw;
            alert_not_found(logger, rtbName, e);
        }
    }
    return none();
}

}  // namespace

std::vector<MethodSpec> propagation_methods() {
    return {
        method<setDisableRouteTablePropagation>(
            "setDisableRouteTablePropagation", {"network_client", "vnet", "rtbName", "disableFlag"},
            "Set the table's disable_bgp_route_propagation; the record of the change, or None."),
        method<setDisableAllRouteTablePropagationInVnet>(
            "setDisableAllRouteTablePropagationInVnet",
            {"args", "network_client", "vnet", "stagedUdrLst", "rtb_target_rtb_map", "disableFlag"},
            "Switch propagation on the VNet's staged main tables and new tables; the records."),
        method<restoreRouteTablePropagationInVnet>(
            "restoreRouteTablePropagationInVnet", {"network_client", "rtbPropList"},
            "Turn gateway-route propagation back on for the tables of the records."),
    };
}

}  // namespace trafswap
