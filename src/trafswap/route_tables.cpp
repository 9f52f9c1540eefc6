// Route-table discovery of one VNet: its main tables, and the staged copies
// tagged for it paired with the original tables they were copied from.
#include "route_tables.h"

namespace trafswap {
namespace {

Text k_route_tables{"route_tables"};
Text k_list_all{"list_all"};
Text k_name{"name"};
Text k_id{"id"};
Text k_tags{"tags"};
Text k_items{"items"};
Text k_dl{"dl"};
Text k_RG_I{"RG_I"};
Text k_common{"common"};
Text k_getMainTablePrefix{"getMainTablePrefix"};
Text k_isRouteTableUsedInVnet{"isRouteTableUsedInVnet"};
Text k_CIDict{"CIDict"};
Text k_ci_equal{"ci_equal"};
Text k_ci_nequal{"ci_nequal"};
Text k_ci_startswith{"ci_startswith"};
Text k_SwitchTraffic{"SwitchTraffic"};
Text k_isMainRtb{"isMainRtb"};
Text k_vnet{"vnet"};
Text k_Org_RT{"Org_RT"};
Text k_org_{"org_"};
Text k_slash{"/"};
Text k_colon{":"};
Text k_main_1{"-main-1"};
Text k_main_2{"-main-2"};
Text k_no_org_tag{"  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new route table "};

// The resource group of the table and its name, each read once and kept for
// the steps of the loop that need them again.
struct Table {
    handle rtb;
    object rg;
    object name;

    handle group() {
        if (!rg) rg = resource_group(attr(rtb, k_id));
        return rg;
    }
    handle named() {
        if (!name) name = attr(rtb, k_name);
        return name;
    }
    object staged_entry() { return concat(named(), k_colon, group()); }
};

// isMainRtb with the VNet's resource group worked out on first need.
bool is_main(handle vnet, object& vnetRg, Table& t) {
    handle rg = t.group();
    if (!vnetRg) vnetRg = resource_group(attr(vnet, k_id));
    if (ne(rg, vnetRg)) return false;
    object prefix = main_table_prefix(attr(vnet, k_name));
    handle name = t.named();
    return eq(name, concat(prefix, k_main_1)) || eq(name, concat(prefix, k_main_2));
}

object isMainRtb(handle, handle vnet, handle rtb) {
    object vnetRg;
    Table t{rtb, {}, {}};
    return boolean(is_main(vnet, vnetRg, t));
}

// `SwitchTraffic.isMainRtb(vnet, s_rtb)` with the module global resolved now.
// While that still names the class method above, it runs here directly.
bool switch_traffic_is_main(handle vnet, object& vnetRg, Table& t) {
    object owner = global<k_SwitchTraffic>();
    if (resolves_to<isMainRtb>(owner, k_isMainRtb)) return is_main(vnet, vnetRg, t);
    return truth(call_method(owner, k_isMainRtb, vnet, t.rtb));
}

// s[4:]
object after_prefix(handle s) {
    if (PyUnicode_CheckExact(s.ptr()))
        return checked(PyUnicode_Substring(s.ptr(), 4, PyUnicode_GET_LENGTH(s.ptr())));
    object four = integer(4);
    object slice = checked(PySlice_New(four.ptr(), nullptr, nullptr));
    return checked(PyObject_GetItem(s.ptr(), slice.ptr()));
}

// The value of the first tag whose key equals "Org_RT" ignoring case (every
// key is tested), or an empty object when there is none.
object org_rt_tag(handle tags) {
    object first;
    for (handle entry : iterate(call_method(tags, k_items))) {
        auto [key, value] = unpack2(entry);
        if (truth(call(global<k_ci_equal>(), key, k_Org_RT)) && !first) first = std::move(value);
    }
    return first;
}

bool not_used_in_vnet(handle rtb, handle vnet) {
    return eq(call_method(global<k_dl>(), k_isRouteTableUsedInVnet, rtb, vnet), Py_False);
}

object discoverRouteTable(handle, handle network_client, handle revert, handle vnet,
                          handle rtb_target_rtb_map) {
    object logger = module_logger();
    object rts = checked(PySequence_List(
        call_method(attr(network_client, k_route_tables), k_list_all).ptr()));
    object byName = new_dict();
    for (handle rt : iterate(rts)) set_item(byName, attr(rt, k_name), rt);
    object rtbMap = call(global<k_CIDict>(), byName);
    object stagedUdrLst = new_list();
    object orgRouteTableInfo = call(global<k_CIDict>());
    object vnetRg;
    for (handle s_rtb : iterate(rts)) {
        Table t{s_rtb, {}, {}};
        if (switch_traffic_is_main(vnet, vnetRg, t)) {
            append(stagedUdrLst, t.staged_entry());
            continue;
        }
        object tags = attr(s_rtb, k_tags);
        if (eq_none(tags)) continue;
        if (!contains(tags, k_vnet) ||
            truth(call(global<k_ci_nequal>(), item(tags, k_vnet), attr(vnet, k_name))))
            continue;
        object orgRouteTableIdStr = org_rt_tag(tags);
        if (!orgRouteTableIdStr) continue;
        if (!truth(call(global<k_ci_startswith>(), orgRouteTableIdStr, k_org_))) {
            log(logger, Level::warning, concat(k_no_org_tag, attr(s_rtb, k_id)));
            continue;
        }
        object orgRouteTableId = after_prefix(orgRouteTableIdStr);
        if (eq(revert, Py_False)) {
            // The original table must still exist and serve the VNet.
            if (!contains(rtbMap, orgRouteTableId) || not_used_in_vnet(item(rtbMap, orgRouteTableId), vnet))
                continue;
            set_item(rtb_target_rtb_map, orgRouteTableId, t.named());
        } else {
            // The copy must be the table now serving the VNet.
            if (not_used_in_vnet(s_rtb, vnet)) continue;
            set_item(rtb_target_rtb_map, t.named(), orgRouteTableId);
            if (!contains(orgRouteTableInfo, orgRouteTableId))
                set_item(orgRouteTableInfo, orgRouteTableId, item(rtbMap, orgRouteTableId));
        }
        append(stagedUdrLst, t.staged_entry());
    }
    return tuple({stagedUdrLst, orgRouteTableInfo});
}

}  // namespace

object resource_group(handle id) { return segment(id, k_slash, attr(global<k_dl>(), k_RG_I)); }

object main_table_prefix(handle vnetName) {
    object prefix = call_method(global<k_common>(), k_getMainTablePrefix, vnetName);
    return is_none(prefix) ? borrow(vnetName) : prefix;
}

std::vector<MethodSpec> route_table_methods() {
    return {
        method<isMainRtb>("isMainRtb", {"vnet", "rtb"},
                          "Whether rtb is one of the VNet's two main route tables."),
        method<discoverRouteTable>(
            "discoverRouteTable", {"network_client", "revert", "vnet", "rtb_target_rtb_map"},
            "Classify the subscription's route tables against the VNet: fill rtb_target_rtb_map and "
            "return (stagedUdrLst, orgRouteTableInfo)."),
    };
}

}  // namespace trafswap
