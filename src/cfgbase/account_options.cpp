// Account options: per-account values of "account_info" entries copied into
// the run's option mapping, and a few document-wide readers.
#include "common.h"

#include <vector>

namespace cfgbase {
namespace {

Text k_lower{"lower"};
Text k_getSubscription{"getSubscription"};
Text k_account_name{"account_name"};
Text k_subscription_id{"subscription_id"};
Text k_subscriptionId{"subscriptionId"};
Text k_subscriptionMap{"subscriptionMap"};
Text k_provider{"provider"};
Text k_alias{"alias"};
Text k_vwan{"vwan"};
Text k_hpe{"hpe"};
Text k_max_hpe_performance{"max_hpe_performance"};
Text k_filter_cidrs{"filter_cidrs"};
Text k_account_info{"account_info"};
Text k_onboard_account{"onboard_account"};
Text k_terraform{"terraform"};
Text k_enable_s3_backend{"enable_s3_backend"};
Text k_zentrova{"zentrova"};
Text k_controller_private_ip{"controller_private_ip"};
Text k_switch_traffic{"switch_traffic"};
Text k_transit_peerings{"transit_peerings"};
Text k_missing_account_name{"**Error** missing 'account_name' for "};
Text k_in_account_info{" in 'account_info'"};
Text k_not_a_string{"**Error** expect 'account_name' to be a string but got "};

// str(value).lower(). An exact str takes the str type's own lower, found
// once: the type cannot be changed, so no lookup per call is needed.
object lower_text(handle value) {
    object text = str(value);
    if (!PyUnicode_CheckExact(text.ptr())) return call_method(text, k_lower);
    static PyObject* const lower = PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), k_lower.ptr());
    if (!lower) raise_pending();
    PyObject* args[] = {text.ptr()};
    return checked(PyObject_Vectorcall(lower, args, 1, nullptr));
}

// The account's "account_name" text, or None after an error line.
object getAccountName(handle cls, handle account) {
    (void)cls;
    object logger = module_logger();
    if (!contains(account, k_account_name)) {
        log(logger, Level::error,
            concat(k_missing_account_name, item(account, k_subscription_id), k_in_account_info));
        return none();
    }
    object name = item(account, k_account_name);
    if (!PyUnicode_Check(name.ptr())) {
        log(logger, Level::error, concat(k_not_a_string, name));
        return none();
    }
    return name;
}

// Copies the account's subscription, provider alias, vwan and hpe options
// into the run's option mapping.
object readAccountOption(handle cls, handle account, handle YAML) {
    set_item(YAML, k_subscriptionId, item(account, k_subscription_id));
    object subscriptionMap = item(YAML, k_subscriptionMap);
    object subscriptionId = item(YAML, k_subscriptionId);
    object subscriptionInfo = call_method(cls, k_getSubscription, subscriptionMap, subscriptionId, account);
    set_item(YAML, k_provider, item(subscriptionInfo, k_alias));
    set_item(YAML, k_vwan, item(account, k_vwan));
    set_item(YAML, k_hpe, lower_text(item(account, k_hpe)));
    set_item(YAML, k_max_hpe_performance, Py_None);
    object maxHpe = item(account, k_max_hpe_performance);
    if (!is_none(maxHpe)) set_item(YAML, k_max_hpe_performance, lower_text(maxHpe));
    return none();
}

// The account's "filter_cidrs" value itself, or a new empty list.
object getFilterCidrs(handle cls, handle account) {
    (void)cls;
    object cidrs = attempt([&] { return item(account, k_filter_cidrs); });
    return cidrs ? cidrs : new_list();
}

// Whether a main Terraform file is needed: an entry of the subscription asks
// for onboarding, or the scripts go to the remote backend.
object isMainTfRequired(handle cls, handle accounts_data, handle subsId) {
    (void)cls;
    std::vector<object> onboard;
    for (handle subsObj : iterate(item(accounts_data, k_account_info)))
        if (eq(item(subsObj, k_subscription_id), subsId) && contains(subsObj, k_onboard_account))
            onboard.push_back(item(subsObj, k_onboard_account));
    for (const object& value : onboard)
        if (truth(value)) return boolean(true);
    // `any(...) or (...)`: the backend option is read only when no entry asks.
    return boolean(eq(item(item(accounts_data, k_terraform), k_enable_s3_backend), Py_True));
}

// yamlObj["zentrova"]["controller_private_ip"], or None when it cannot be read.
object getControllerPrivateIp(handle cls, handle yamlObj) {
    (void)cls;
    module_logger();  // taken as every reader does; nothing is logged
    object ip = attempt([&] { return item(item(yamlObj, k_zentrova), k_controller_private_ip); });
    return ip ? ip : none();
}

// yamlObj["switch_traffic"]["transit_peerings"], or a new empty dictionary
// when a key is missing or the value equals None.
object getTransitPeeringMap(handle cls, handle yamlObj) {
    (void)cls;
    object section = item_or_null(yamlObj, k_switch_traffic);
    if (!section) return new_dict();
    object peerings = item_or_null(section, k_transit_peerings);
    if (!peerings || eq_none(peerings)) return new_dict();
    return peerings;
}

}  // namespace

std::vector<MethodSpec> account_option_methods() {
    return {
        method<getAccountName>("getAccountName", {"account"},
                               "Controller account name of an account entry, or None."),
        method<readAccountOption>("readAccountOption", {"account", "YAML"},
                                  "Copy the account's options into the run's option mapping."),
        method<getFilterCidrs>("getFilterCidrs", {"account"},
                               "Prefixes whose routes are filtered out for the account."),
        method<isMainTfRequired>("isMainTfRequired", {"accounts_data", "subsId"},
                                 "Whether the subscription needs a main Terraform file."),
        method<getControllerPrivateIp>("getControllerPrivateIp", {"yamlObj"},
                                       "The controller's private address, or None."),
        method<getTransitPeeringMap>("getTransitPeeringMap", {"yamlObj"},
                                     "The configured transit peering map, or an empty dictionary."),
    };
}

}  // namespace cfgbase
