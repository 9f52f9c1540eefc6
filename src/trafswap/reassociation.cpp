// Moves a VNet's subnets onto the staged route tables (forward run) and back
// to their original tables (revert run), one awaited subnet update at a time,
// and hands each forward association to the Terraform writer.
#include "route_tables.h"

#include <vector>

namespace trafswap {
namespace {

Text k_subnets{"subnets"};
Text k_list{"list"};
Text k_route_tables{"route_tables"};
Text k_get{"get"};
Text k_begin_create_or_update{"begin_create_or_update"};
Text k_result{"result"};
Text k_name{"name"};
Text k_id{"id"};
Text k_route_table{"route_table"};
Text k_DryRun{"DryRun"};
Text k_discoverSubnets{"discoverSubnets"};
Text k_common{"common"};
Text k_AZURE_SUBNET{"AZURE_SUBNET"};
Text k_dl{"dl"};
Text k_zentrovaSpokeSubnetNames{"zentrovaSpokeSubnetNames"};
Text k_find{"find"};
Text k_yctx{"yctx"};
Text k_getGlobalContext{"getGlobalContext"};
Text k_configure_shared_route_table_replication{"configure_shared_route_table_replication"};
Text k_tf{"tf"};
Text k_readDiscoveryInfo{"readDiscoveryInfo"};
Text k_createSubnetAssociationTf{"createSubnetAssociationTf"};
Text k_rtbSubnetGwGroupInfos{"rtbSubnetGwGroupInfos"};
Text k_subnetId{"subnetId"};
Text k_rtbName{"rtbName"};
Text k_ci_startswith{"ci_startswith"};
// Keys of the option mapping and of the Terraform association record.
Text k_default_route_table{"default_route_table"};
Text k_subscriptionInfo{"subscriptionInfo"};
Text k_alias{"alias"};
Text k_migrate_non_associated_subnet{"migrate_non_associated_subnet"};
Text k_subnet_in_subnet_groups{"subnet_in_subnet_groups"};
Text k_vnet_name{"vnet_name"};
Text k_subnet_id{"subnet_id"};
Text k_subnet_ref{"subnet_ref"};
Text k_route_table_id{"route_table_id"};
Text k_route_table_ref{"route_table_ref"};
Text k_rname{"rname"};
Text k_provider{"provider"};
const RecordModel association_record{k_vnet_name, k_subnet_id, k_subnet_ref, k_route_table_id,
                                     k_route_table_ref, k_rname, k_provider};
// Pieces of names.
Text k_slash{"/"};
Text k_hyphen{"-"};
Text k_dot{"."};
Text k_underscore{"_"};
Text k_main_stem{"-main-"};
Text k_main_1{"-main-1"};
Text k_main_2{"-main-2"};
Text k_module{"module."};
Text k_main_ref_0{".azurerm_route_table_zentrova_managed_main[0].id"};
Text k_main_ref_1{".azurerm_route_table_zentrova_managed_main[1].id"};
Text k_copy_ref_open{".azurerm_route_table_zentrova_managed[\""};
Text k_copy_ref_close{"\"].id"};
Text k_azurerm_subnet{"azurerm_subnet."};
Text k_dot_id{".id"};
// Report lines.
Text k_heading{"- Switch subnet to route-table association"};
Text k_alert{"  **Alert** "};
Text k_error{"  **Error** "};
Text k_not_found{" not found"};
Text k_found_azure{"  found Azure "};
Text k_skipped_blank{" -- skipped "};
Text k_skipped{" -- skipped"};
Text k_subnet_line{"  subnet "};
Text k_unassociated{" without route table association -- skipped"};
Text k_associate{"  associate "};
Text k_to{" to "};
Text k_spoke_gw{"  spoke gw subnet "};
Text k_associated_to{" associated to "};
Text k_not_copied{" not copied -- skipped"};
Text k_fail_to_reassociate{"  fail to reassociate "};
Text k_no{" - no "};
Text k_no_info{" info found in discovery.json"};
Text k_switch{"  switch "};
Text k_from{" from "};
Text k_alert_subnet{"  **Alert** Subnet "};
Text k_no_table_on_revert{" without route table detected during revert traffic -- skipped"};
Text k_reassociate{"  re-associate "};
Text k_to_none{" to None"};
Text k_region_info{" region info not found -- skipped"};
Text k_using{" is using a route table "};
Text k_not_copied_revert{" that has not been copied -- skipped"};

// What a subnet's decision leads to.
enum class Step { skip, stop, move };

// `any([name.find(x) != -1 for x in dl.zentrovaSpokeSubnetNames]) == True`:
// every fragment is looked for before the results are tested.
bool spoke_gw_subnet(handle name) {
    object fragments = attr(global<k_dl>(), k_zentrovaSpokeSubnetNames);
    std::vector<object> found;
    for (handle x : iterate(fragments)) {
        if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_CheckExact(x.ptr())) {
            Py_ssize_t at = PyUnicode_Find(name.ptr(), x.ptr(), 0, PY_SSIZE_T_MAX, 1);
            if (at == -2) raise_pending();
            found.push_back(boolean(at != -1));
        } else {
            object minus_one = integer(-1);
            found.push_back(checked(PyObject_RichCompare(call_method(name, k_find, x).ptr(),
                                                         minus_one.ptr(), Py_NE)));
        }
    }
    for (const object& f : found)
        if (truth(f)) return true;  // any() is True, which == True
    return false;
}

// One call: what every subnet's decision reads, and the target it decides.
struct Reassociation {
    Reassociation(handle yaml, handle network_client, handle vnet, handle rtb_target_rtb_map,
                  handle orgRouteTableInfo)
        : yaml(yaml), network_client(network_client), vnet(vnet),
          rtb_target_rtb_map(rtb_target_rtb_map), orgRouteTableInfo(orgRouteTableInfo) {}

    handle yaml, network_client, vnet, rtb_target_rtb_map, orgRouteTableInfo;
    object logger, vnetId, vnetName, rgName, prefix, subscriptionInfo;
    object defaultRtbName = none(), defaultRtbObj = none();
    Py_ssize_t num = 0;    // subnets sent to a main table so far
    object mainNames[2];   // prefix-main-1 and -2, made on first need
    object target;         // the table the subnet is to be associated with

    void info(handle line) { log(logger, Level::info, line); }
    void warning(handle line) { log(logger, Level::warning, line); }

    object get_table(handle rg, handle rtbName) {
        return call_method(attr(network_client, k_route_tables), k_get, rg, rtbName);
    }

    handle main_name(int i) {
        if (!mainNames[i]) mainNames[i] = concat(prefix, i == 0 ? k_main_1 : k_main_2);
        return mainNames[i];
    }

    // The Terraform association record, unless the subnet is in a subnet group.
    void record(handle subnet, handle name, handle newRtbObj, handle routeTableRef) {
        object resourceName =
            replace(concat(vnetName, k_underscore, name, k_underscore, attr(newRtbObj, k_name)), k_dot,
                    k_underscore);
        object subnetResourceName = replace(concat(vnetName, k_underscore, name), k_dot, k_underscore);
        if (contains(item(yaml, k_subnet_in_subnet_groups), name)) return;
        object association = association_record.make({vnetName, attr(subnet, k_id),
                                                      concat(k_azurerm_subnet, subnetResourceName, k_dot_id),
                                                      attr(newRtbObj, k_id), routeTableRef, resourceName,
                                                      item(subscriptionInfo, k_alias)});
        call_method(global<k_tf>(), k_createSubnetAssociationTf, association);
    }

    // Forward run, a subnet without a table or on the default table: onto
    // the main tables in turn.
    Step to_main_table(handle subnet, handle name) {
        // The overlay gateway's own subnet stays where it is: a main table's
        // routes lead to that gateway, and no revert would move it back.
        if (spoke_gw_subnet(name)) {
            info(concat(k_spoke_gw, name, k_skipped));
            return Step::skip;
        }
        if (item(yaml, k_migrate_non_associated_subnet).ptr() == Py_False) {
            info(concat(k_subnet_line, name, k_unassociated));
            return Step::skip;
        }
        const int i = int(num % 2);
        handle newRtbName = main_name(i);
        object routeTableRef = concat(k_module, vnetName, i == 0 ? k_main_ref_0 : k_main_ref_1);
        ++num;
        object newRtbObj;
        try {
            newRtbObj = get_table(rgName, newRtbName);
        } catch (const Error& e) {
            if (!is_exception(e)) throw;
            log(logger, Level::error, concat(k_error, exception_value(e)));
            return Step::stop;
        }
        info(concat(k_associate, name, k_to, newRtbName));
        record(subnet, name, newRtbObj, routeTableRef);
        target = std::move(newRtbObj);
        return Step::move;
    }

    // The table the shared-table replication assigns to this subnet, or the
    // mapped copy; an empty object when the VNet has no discovery records.
    object replicated_table(handle name, handle rtbName, object newRtbName) {
        object replication = call_method(call(global<k_yctx>()), k_getGlobalContext,
                                         k_configure_shared_route_table_replication);
        if (!gt(replication, integer(0))) return newRtbName;
        object discoveryInfo = call_method(global<k_tf>(), k_readDiscoveryInfo);
        if (!contains(item(discoveryInfo, k_rtbSubnetGwGroupInfos), vnetId)) {
            log(logger, Level::error, concat(k_fail_to_reassociate, name, k_no, vnet, k_no_info));
            return object();
        }
        object groups = item(item(item(discoveryInfo, k_rtbSubnetGwGroupInfos), vnetId), rtbName);
        for (handle rec : iterate(groups))
            if (eq(item(rec, k_subnetId), name)) return item(rec, k_rtbName);
        return newRtbName;
    }

    // Forward run, a subnet on another table: onto that table's staged copy.
    Step to_staged_copy(handle subnet, handle name, handle route_table) {
        if (spoke_gw_subnet(name)) {
            info(concat(k_spoke_gw, name, k_skipped));
            return Step::skip;
        }
        object rtbName = segment(attr(route_table, k_id), k_slash, -1);
        if (!contains(rtb_target_rtb_map, rtbName)) {
            warning(concat(k_alert, name, k_associated_to, rtbName, k_not_copied));
            return Step::skip;
        }
        object newRtbName = replicated_table(name, rtbName, item(rtb_target_rtb_map, rtbName));
        if (!newRtbName) return Step::skip;
        object newRtbObj = get_table(rgName, newRtbName);
        info(concat(k_switch, name, k_from, rtbName, k_to, newRtbName));
        object routeTableRef = concat(k_module, vnetName, k_copy_ref_open, newRtbName, k_copy_ref_close);
        record(subnet, name, newRtbObj, routeTableRef);
        target = std::move(newRtbObj);
        return Step::move;
    }

    Step forward(handle subnet, handle name, handle route_table) {
        if (eq_none(route_table) ||
            (!is_none(defaultRtbName) &&
             eq(segment(attr(route_table, k_id), k_slash, -1), defaultRtbName)))
            return to_main_table(subnet, name);
        return to_staged_copy(subnet, name, route_table);
    }

    // Revert run: a subnet on a main table goes to the default table (or to
    // none), one on a staged copy back to the original in its own group.
    Step revert(handle name, handle route_table) {
        if (eq_none(route_table)) {
            warning(concat(k_alert_subnet, name, k_no_table_on_revert));
            return Step::skip;
        }
        if (spoke_gw_subnet(name)) {
            info(concat(k_spoke_gw, name, k_skipped));
            return Step::skip;
        }
        object rtbName = segment(attr(route_table, k_id), k_slash, -1);
        object main_route_table = concat(prefix, k_main_stem);
        if (truth(call(global<k_ci_startswith>(), rtbName, main_route_table))) {
            if (ne_none(defaultRtbObj)) {
                target = defaultRtbObj;
                info(concat(k_reassociate, name, k_from, rtbName, k_to, defaultRtbName));
            } else {
                target = none();
                info(concat(k_reassociate, name, k_from, rtbName, k_to_none));
            }
            return Step::move;
        }
        if (!contains(rtb_target_rtb_map, rtbName)) {
            warning(concat(k_alert, name, k_using, rtbName, k_not_copied_revert));
            return Step::skip;
        }
        object orgName = item(rtb_target_rtb_map, rtbName);
        try {
            if (!contains(orgRouteTableInfo, orgName)) {
                warning(concat(k_alert, rtbName, k_region_info));
                return Step::skip;
            }
            object rtRgName = resource_group(attr(item(orgRouteTableInfo, orgName), k_id));
            target = get_table(rtRgName, orgName);
        } catch (const Error& e) {
            if (!is_exception(e)) throw;
            log(logger, Level::error, concat(k_error, exception_value(e)));
            return Step::skip;
        }
        info(concat(k_switch, name, k_from, rtbName, k_to, orgName));
        return Step::move;
    }
};

object updateSubnetAssociation(handle cls, handle yaml, handle revert, handle network_client,
                               handle vnet, handle rtb_target_rtb_map, handle orgRouteTableInfo) {
    Reassociation r{yaml, network_client, vnet, rtb_target_rtb_map, orgRouteTableInfo};
    r.logger = module_logger();
    r.info(k_heading);
    r.vnetId = attr(vnet, k_id);
    r.rgName = resource_group(r.vnetId);
    r.vnetName = attr(vnet, k_name);
    object subnets = checked(PySequence_List(
        call_method(attr(network_client, k_subnets), k_list, r.rgName, r.vnetName).ptr()));
    object defaultSuffix = item(yaml, k_default_route_table);
    if (ne_none(defaultSuffix)) {
        r.defaultRtbName = concat(r.vnetName, k_hyphen, defaultSuffix);
        try {
            r.defaultRtbObj = r.get_table(r.rgName, r.defaultRtbName);
        } catch (const Error& e) {
            if (!is_exception(e)) throw;
            r.info(concat(k_alert, r.defaultRtbName, k_not_found));
            log(r.logger, Level::debug, concat(k_alert, exception_value(e)));
        }
    }
    r.subscriptionInfo = item(yaml, k_subscriptionInfo);
    r.prefix = main_table_prefix(r.vnetName);

    for (handle subnet : iterate(subnets)) {
        object name = attr(subnet, k_name);
        if (contains(attr(global<k_common>(), k_AZURE_SUBNET), name)) {
            r.info(concat(k_found_azure, name, k_skipped_blank));
            continue;
        }
        object route_table = attr(subnet, k_route_table);
        Step step = eq(revert, Py_False) ? r.forward(subnet, name, route_table)
                                         : r.revert(name, route_table);
        if (step == Step::stop) return none();
        if (step == Step::skip) continue;
        set_attr(subnet, k_route_table, r.target);
        if (truth(attr(cls, k_DryRun))) continue;
        object poller = call_method(attr(network_client, k_subnets), k_begin_create_or_update,
                                    r.rgName, r.vnetName, name, subnet);
        call_method(poller, k_result);
    }
    call_method(cls, k_discoverSubnets, network_client, vnet);
    return none();
}

}  // namespace

std::vector<MethodSpec> reassociation_methods() {
    return {
        method<updateSubnetAssociation>(
            "updateSubnetAssociation",
            {"yaml", "revert", "network_client", "vnet", "rtb_target_rtb_map", "orgRouteTableInfo"},
            "Move the VNet's subnets to the staged route tables, or back on revert."),
    };
}

}  // namespace trafswap
