// Controller operations: SNAT on a spoke gateway, the spoke's security-domain
// attachment, and the lookup of a transit gateway's VNet and credential.
#include "switch.h"

namespace trafswap {
namespace {

Text k_av{"av"};
Text k_Globals{"Globals"};
Text k_yctx{"yctx"};
Text k_NetworkManagementClient{"NetworkManagementClient"};
Text k_DryRun{"DryRun"};
Text k_disable_snat{"disable_snat"};
Text k_enable_snat{"enable_snat"};
Text k_zentrova_post{"zentrova_post"};
Text k_list_gateway_info{"list_gateway_info"};
Text k_list_accounts{"list_accounts"};
Text k_json{"json"};
Text k_api_endpoint_url{"api_endpoint_url"};
Text k_CID{"CID"};
Text k_gw_name{"gw_name"};
Text k_vpc_access_account_name{"vpc_access_account_name"};
Text k_iam_based{"iam_based"};
Text k_false{"false"};
Text k_empty{""};
Text k_yaml{"yaml"};
Text k_api_ep_url{"api_ep_url"};
Text k_getDryRun{"getDryRun"};
Text k_configure_gw_name{"configure_gw_name"};
Text k_domain{"domain"};
Text k_spoke_gw_name{"spoke_gw_name"};
Text k_action{"action"};
Text k_domain_name{"domain_name"};
Text k_attachment_name{"attachment_name"};
Text k_associate{"associate_attachment_to_multi_cloud_security_domain"};
Text k_disassociate{"disassociate_attachment_from_multi_cloud_security_domain"};
const RecordModel domain_payload{k_action, k_CID, k_domain_name, k_attachment_name};
Text k_return{"return"};
Text k_results{"results"};
Text k_account_list{"account_list"};
Text k_account_name{"account_name"};
Text k_vpc_id{"vpc_id"};
Text k_arm_subscription_id{"arm_subscription_id"};
Text k_arm_ad_client_id{"arm_ad_client_id"};
Text k_arm_ad_tenant_id{"arm_ad_tenant_id"};
Text k_generateAzureCredential{"generateAzureCredential"};
Text k_getCSC{"getCSC"};
Text k_getSubId{"getSubId"};
Text k_virtual_networks{"virtual_networks"};
Text k_get{"get"};
Text k_colon{":"};
Text k_dot_blank{". "};
Text k_disable_heading{"- Disable gw "};
Text k_snat{" SNAT"};
Text k_disable_failed{"  **Error** Failed to disable SNAT on gateway "};
Text k_done{"  Done"};
Text k_enable_heading{"- Enable Single IP SNAT on "};
Text k_enable_failed{"  **Error** Failed to enable Single IP SNAT on gateway "};
Text k_enable_done{"  Done Single IP SNAT on "};
Text k_attach{"- Attach "};
Text k_to_domain{" to domain "};
Text k_detach{"- Detach "};
Text k_from_domain{" from domain "};
Text k_lookup_heading{"- Lookup transit gw account and vnet info"};
Text k_no_gateway_info{"  **Error** Failed to get gateway info from controller"};
Text k_no_account_info_for{"  **Error** No account info for transit gateway "};
Text k_found_in_controller{" found in controller"};
Text k_no_account_list{"  **Error** Failed to get account info from controller"};
Text k_no_azure_account{"  **Error** Failed to identify Azure account info for "};
Text k_blanks{"  "};
Text k_in_vnet{" in vnet "};
Text k_resource_group{" resource group "};

// av.<change>(api_endpoint_url=..., CID=..., gw_name=...) unless the class is
// in dry-run; a failure is logged as `failed` + gw_name + ". " + the error.
// True when the request was sent and did not raise.
bool snat_request(handle cls, handle logger, const Text& change, handle failed, handle api_endpoint_url,
                  handle CID, handle gw_name) {
    if (truth(attr(cls, k_DryRun))) return false;
    try {
        call_keywords<k_api_endpoint_url, k_CID, k_gw_name>(attr(global<k_av>(), change), api_endpoint_url,
                                                             CID, gw_name);
    } catch (const Error& e) {
        if (!is_exception(e)) throw;
        log(logger, Level::error, concat(failed, gw_name, k_dot_blank, exception_value(e)));
        return false;
    }
    return true;
}

object disableSnat(handle cls, handle api_endpoint_url, handle CID, handle gw_name) {
    object logger = module_logger();
    log(logger, Level::info, concat(k_disable_heading, gw_name, k_snat));
    if (snat_request(cls, logger, k_disable_snat, k_disable_failed, api_endpoint_url, CID, gw_name))
        log(logger, Level::info, k_done);
    return none();
}

object enableSingleIPSnat(handle cls, handle api_endpoint_url, handle CID, handle gw_name) {
    object logger = module_logger();
    log(logger, Level::info, concat(k_enable_heading, gw_name));
    if (snat_request(cls, logger, k_enable_snat, k_enable_failed, api_endpoint_url, CID, gw_name))
        log(logger, Level::info, concat(k_enable_done, gw_name));
    return none();
}

// Globals.yaml[key]
object document_item(handle key) { return item(attr(global<k_Globals>(), k_yaml), key); }

// Attaches the spoke gateway to the document's security domain, or detaches
// it; the tool-wide dry-run switch (not the class's) holds the request back.
object attach_spoke_domain(handle, handle attach) {
    if (eq(document_item(k_configure_gw_name), Py_False)) return none();
    object domain = document_item(k_domain);
    if (is_none(domain)) return none();
    object logger = module_logger();
    object globals = global<k_Globals>();
    object CID = attr(globals, k_CID);
    object attachment = document_item(k_spoke_gw_name);
    object dry_run = call_method(globals, k_getDryRun);
    bool attaching = truth(attach);
    object payload = domain_payload.make({attaching ? k_associate : k_disassociate, CID, domain, attachment});
    log(logger, Level::info,
        attaching ? concat(k_attach, attachment, k_to_domain, domain)
                  : concat(k_detach, attachment, k_from_domain, domain));
    object api_ep_url = attr(globals, k_api_ep_url);
    if (!truth(dry_run)) call(attr(global<k_av>(), k_zentrova_post), api_ep_url, payload);
    return none();
}

// av.<list>(api_endpoint_url=..., CID=..., <Keyword>=<value>).json()
template <const Text& Keyword>
object controller_reply(const Text& list, handle api_endpoint_url, handle CID, handle value) {
    object response =
        call_keywords<k_api_endpoint_url, k_CID, Keyword>(attr(global<k_av>(), list), api_endpoint_url, CID, value);
    return call_method(response, k_json);
}

object none_pair() { return tuple({Py_None, Py_None}); }

// The VNet of the controller's transit gateway `gw_name` and a credential of
// its subscription, as (cred, vnet); (None, None) when the controller cannot
// tell which VNet or subscription it is.
object getTransitVnet(handle, handle api_endpoint_url, handle CID, handle gw_name) {
    object logger = module_logger();
    log(logger, Level::info, k_lookup_heading);

    // The first gateway of that name decides; every record is still read, so
    // a malformed one anywhere fails the lookup.
    object accountName, vnetId;
    bool refused = false;
    try {
        object jresult = controller_reply<k_vpc_access_account_name>(k_list_gateway_info, api_endpoint_url, CID, k_empty);
        if (eq(item(jresult, k_return), Py_False)) {
            log(logger, Level::error, k_no_gateway_info);
            refused = true;
        } else {
            for (handle x : iterate(item(jresult, k_results))) {
                if (!eq(item(x, k_gw_name), gw_name)) continue;
                object account = item(x, k_account_name);
                object vpc = item(x, k_vpc_id);
                if (!accountName) {
                    accountName = std::move(account);
                    vnetId = std::move(vpc);
                }
            }
        }
    } catch (const Error& e) {
        if (!is_exception(e)) throw;
        accountName = object();  // reported below as no gateway found
    }
    if (refused) return none_pair();
    // Without a resource group after the colon there is no VNet to read either.
    object vnetParts = accountName ? split(vnetId, k_colon) : object();
    if (!vnetParts || length(vnetParts) < 2) {
        log(logger, Level::error, concat(k_no_account_info_for, gw_name, k_found_in_controller));
        return none_pair();
    }
    object vnetName = item(vnetParts, 0);
    object rgName = item(vnetParts, 1);

    // Every field of a matching account must be there, though only the
    // subscription is used.
    object subId;
    try {
        object jresult = controller_reply<k_iam_based>(k_list_accounts, api_endpoint_url, CID, k_false);
        if (eq(item(jresult, k_return), Py_False)) {
            log(logger, Level::error, k_no_account_list);
            return none_pair();
        }
        for (handle x : iterate(item(item(jresult, k_results), k_account_list))) {
            if (!eq(item(x, k_account_name), accountName)) continue;
            object subscription = item(x, k_arm_subscription_id);
            item(x, k_arm_ad_client_id);
            item(x, k_arm_ad_tenant_id);
            if (!subId) subId = std::move(subscription);
        }
    } catch (const Error& e) {
        if (!is_exception(e)) throw;
        subId = object();
    }
    if (!subId) {
        log(logger, Level::error, concat(k_no_azure_account, accountName));
        return none_pair();
    }

    object cred = call_method(call(global<k_yctx>()), k_generateAzureCredential, subId);
    object client_class = global<k_NetworkManagementClient>();
    object csc = call_method(cred, k_getCSC);  // before getSubId, as Python evaluates arguments
    object network_client = call(client_class, csc, call_method(cred, k_getSubId));
    object vnet = call_method(attr(network_client, k_virtual_networks), k_get, rgName, vnetName);
    log(logger, Level::info, concat(k_blanks, gw_name, k_in_vnet, vnetName, k_resource_group, rgName));
    return tuple({cred, vnet});
}

}  // namespace

std::vector<MethodSpec> controller_methods() {
    return {
        method<disableSnat>("disableSnat", {"api_endpoint_url=''", "CID=''", "gw_name=''"},
                            "Turn source NAT off on the controller's gateway gw_name."),
        method<enableSingleIPSnat>("enableSingleIPSnat", {"api_endpoint_url=''", "CID=''", "gw_name=''"},
                                   "Turn single-IP source NAT on for the controller's gateway gw_name."),
        method<attach_spoke_domain>("attach_spoke_domain", {"attach"},
                                    "Attach the spoke gateway to its security domain, or detach it."),
        method<getTransitVnet>("getTransitVnet", {"api_endpoint_url=''", "CID=''", "gw_name=''"},
                               "(credential, VNet) of the controller's transit gateway gw_name."),
    };
}

}  // namespace trafswap
