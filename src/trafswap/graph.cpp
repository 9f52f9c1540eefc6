// Azure Resource Graph: one query against one subscription, and whether a
// VNet's gateway subnet holds a VNet gateway of a given type.
#include "switch.h"

namespace trafswap {
namespace {

Text k_arg{"arg"};
Text k_ResourceGraphClient{"ResourceGraphClient"};
Text k_models{"models"};
Text k_QueryRequestOptions{"QueryRequestOptions"};
Text k_QueryRequest{"QueryRequest"};
Text k_result_format{"result_format"};
Text k_objectArray{"objectArray"};
Text k_subscriptions{"subscriptions"};
Text k_query{"query"};
Text k_options{"options"};
Text k_resources{"resources"};
Text k_getCSC{"getCSC"};
Text k_getSubId{"getSubId"};
Text k_getResources{"getResources"};
Text k_total_records{"total_records"};
Text k_data{"data"};
Text k_id{"id"};
Text k_name{"name"};
Text k_gatewayType{"properties_gatewayType"};
Text k_gateway_subnet{"/subnets/GatewaySubnet"};
Text k_backslash{"\\"};
Text k_two_backslashes{"\\\\"};
Text k_quote{"'"};
Text k_escaped_quote{"\\'"};
// The gateway query around its one '%s': gateways with an IP configuration
// in the given subnet ("=~" ignores case), one row per such configuration.
Text k_query_head{
    "Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
    "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
    "ipconfig.properties.subnet.id =~ '"};
Text k_query_tail{"' | project properties.gatewayType"};
Text k_vnet{"- vnet "};
Text k_no_vng{" has no VNG"};
Text k_has_vng{" has VNG - "};
Text k_not_type{" has VNG but NOT type "};

// `[x]` as a list display makes it: sized for its one item at once.
object one_item_list(handle x) {
    object list = checked(PyList_New(1));
    PyList_SET_ITEM(list.ptr(), 0, new_ref(x.ptr()));
    return list;
}

// The response of one resource-graph query of the credential's subscription,
// rows as mappings keyed by column name; no further page is asked for.
object getResources(handle, handle strQuery, handle cred) {
    object arg = global<k_arg>();
    object client_class = attr(arg, k_ResourceGraphClient);
    object argClient = call(client_class, call_method(cred, k_getCSC));
    object argQueryOptions = call_keywords<k_result_format>(attr(attr(arg, k_models), k_QueryRequestOptions), k_objectArray);
    object subsList = one_item_list(call_method(cred, k_getSubId));
    object argQuery = call_keywords<k_subscriptions, k_query, k_options>(attr(attr(arg, k_models), k_QueryRequest),
                                                                         subsList, strQuery, argQueryOptions);
    return call_method(argClient, k_resources, argQuery);
}

// The id as a single-quoted literal of the query language holds it: each
// backslash doubled, then each quote escaped, so no id can end the literal.
object quoted_literal_body(handle id) {
    return replace(replace(id, k_backslash, k_two_backslashes), k_quote, k_escaped_quote);
}

object isVnetWithVng(handle cls, handle cred, handle vnet, handle vngType) {
    static PyObject* const zero = PyLong_FromLong(0);  // the cached small int, never freed
    object logger = module_logger();
    object gs = concat(attr(vnet, k_id), k_gateway_subnet);
    // '%s' % text is the text itself, so the query is the three pieces joined.
    object query_vng_str = concat(k_query_head, quoted_literal_body(gs), k_query_tail);
    object res = call_method(cls, k_getResources, query_vng_str, cred);
    if (eq(attr(res, k_total_records), zero)) {
        log(logger, Level::info, concat(k_vnet, attr(vnet, k_name), k_no_vng));
        return boolean(false);
    }
    for (handle rec : iterate(attr(res, k_data))) {
        if (contains(rec, k_gatewayType) && eq(item(rec, k_gatewayType), vngType)) {
            log(logger, Level::info, concat(k_vnet, attr(vnet, k_name), k_has_vng, vngType));
            return boolean(true);
        }
    }
    log(logger, Level::info, concat(k_vnet, attr(vnet, k_name), k_not_type, vngType));
    return boolean(false);
}

}  // namespace

std::vector<MethodSpec> graph_methods() {
    return {
        method<getResources>("getResources", {"strQuery", "cred"},
                             "Run one resource-graph query against the credential's subscription."),
        method<isVnetWithVng>("isVnetWithVng", {"cred", "vnet", "vngType"},
                              "Whether the VNet's gateway subnet holds a gateway of type vngType."),
    };
}

}  // namespace trafswap
