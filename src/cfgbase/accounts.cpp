// Accounts and subscription credentials: subscription maps built from the
// credential sections, the record selected for one subscription, and two
// small readers of account values.
#include "common.h"

namespace cfgbase {
namespace {

Text k_sys{"sys"};
Text k_exit{"exit"};
Text k_items{"items"};
Text k_copy{"copy"};
Text k_zentrova{"zentrova"};
Text k_empty{""};
Text k_azure_cred{"azure_cred"};
Text k_terraform{"terraform"};
Text k_azurerm{"azurerm"};
Text k_vnet_cidr{"vnet_cidr"};
Text k_zentrova_account{"zentrova_account"};
Text k_vnets{"vnets"};
Text k_arm_subscription_id{"arm_subscription_id"};
Text k_arm_application_secret_env{"arm_application_secret_env"};
Text k_arm_application_secret_data_src{"arm_application_secret_data_src"};
Text k_arm_application_id{"arm_application_id"};
Text k_arm_directory_id{"arm_directory_id"};
Text k_secret_env{"secret_env"};
Text k_secret_data_src{"secret_data_src"};
Text k_app_id{"app_id"};
Text k_dir_id{"dir_id"};
Text k_sub_id{"sub_id"};
Text k_apps{"apps"};
Text k_alias{"alias"};
Text k_account_name{"account_name"};
Text k_tf_provider_alias{"tf_provider_alias"};
Text k_AzureDev{"AzureDev"};
Text k_missing_azure_cred{"**Error** YAML missing 'azure_cred' definition"};
Text k_azure_cred_entry{"**Error** YAML azure_cred: '"};
Text k_not_a_list{"' arm_subscription_id - list of subscription Id strings expected"};
Text k_missing{"' missing "};
Text k_no_account_name{"**Error** failed to read account name from yaml. Use default AzureDev"};

// Logs the error line and asks the host to end the process with status 1.
// Should sys.exit return (a caller may have replaced it), the caller goes on.
void exit_after_error(handle logger, handle message) {
    log(logger, Level::error, message);
    call_method(global<k_sys>(), k_exit, integer(1));
}

const RecordModel credential_fields{k_secret_env, k_secret_data_src, k_app_id, k_dir_id, k_sub_id, k_apps};

// The record of one subscription served by an "azure_cred" entry.
object credential_record(handle entry, handle subId, handle apps) {
    return credential_fields.make({item(entry, k_arm_application_secret_env),
                                   contains(entry, k_arm_application_secret_data_src)
                                       ? item(entry, k_arm_application_secret_data_src)
                                       : borrow(k_empty),
                                   item(entry, k_arm_application_id), item(entry, k_arm_directory_id), subId, apps});
}

// Subscription id -> credential record from "azure_cred"; the "zentrova"
// entry gives the default record under the key "zentrova". Malformed input
// ends the process (status 1) after one error line.
object getAzureSubscriptionInfo(handle cls, handle yamlObj) {
    (void)cls;
    object logger = module_logger();
    if (!contains(yamlObj, k_azure_cred)) exit_after_error(logger, k_missing_azure_cred);
    object credentials = item(yamlObj, k_azure_cred);
    if (!PyDict_Check(credentials.ptr())) exit_after_error(logger, k_missing_azure_cred);

    object subscriptionMap = new_dict();
    bool text_keys = true;  // every key of subscriptionMap an exact str so far
    for (handle pair : iterate(call_method(credentials, k_items))) {
        auto [key, val] = unpack2(pair);
        try {
            if (eq(key, k_zentrova)) {
                set_item(subscriptionMap, k_zentrova, credential_record(val, k_zentrova, k_zentrova));
            } else {
                object subIds = item(val, k_arm_subscription_id);
                if (!PyList_Check(subIds.ptr()))
                    exit_after_error(logger, concat(k_azure_cred_entry, key, k_not_a_list));
                // The entry's records differ only in "sub_id". While no host
                // code can have run since the fields were read (a plain entry,
                // an exact list, exact-str ids into a map of exact-str keys,
                // no record replaced), the fields still hold what they held,
                // and a copy of the previous record with its "sub_id" set
                // anew is the record reading them again would build.
                bool unchanged = PyList_CheckExact(subIds.ptr()) && pg_text_dict(val.ptr());
                object record;
                for (handle subId : iterate(subIds)) {
                    if (record) {
                        record = checked(PyDict_Copy(record.ptr()));
                        set_item(record, k_sub_id, subId);
                    } else {
                        record = credential_record(val, subId, key);
                    }
                    Py_ssize_t before = PyDict_GET_SIZE(subscriptionMap.ptr());
                    set_item(subscriptionMap, subId, record);
                    text_keys = text_keys && PyUnicode_CheckExact(subId.ptr());
                    if (!unchanged || !text_keys || PyDict_GET_SIZE(subscriptionMap.ptr()) == before)
                        record = object();
                }
            }
        } catch (const Error& e) {
            if (!caught(e, PyExc_KeyError)) throw;
            exit_after_error(logger, concat(k_azure_cred_entry, key, k_missing, exception_value(e)));
        }
    }
    return subscriptionMap;
}

// `for x in items: body(x)`. An exact list is walked by index as its own
// iterator walks it (the length read again at each step, each item held
// while the body runs); anything else through its iterator.
template <class Body>
void for_each(handle items, Body&& body) {
    if (!PyList_CheckExact(items.ptr())) {
        for (handle x : iterate(items)) body(x);
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        object x = borrow(PyList_GET_ITEM(items.ptr(), i));
        body(x);
    }
}

// The records of the two provider lists, with their keys in the order the
// operations set them.
const RecordModel azurerm_record{k_secret_env, k_app_id, k_dir_id, k_alias, k_account_name, k_sub_id};
const RecordModel vnet_cidr_record{k_secret_env, k_app_id, k_dir_id};

// Subscription id -> record from the "terraform"/"azurerm" provider list.
object getAzurermSubscriptionInfo(handle cls, handle yamlObj) {
    (void)cls;
    module_logger();  // taken as every reader does; nothing is logged
    object subscriptionMap = new_dict();
    for_each(item(item(yamlObj, k_terraform), k_azurerm), [&](handle subObj) {
        object subId = item(subObj, k_arm_subscription_id);
        // `subscriptionMap[subId] = record = {}`, then each key of the record
        // set from the entry. The record is made where the empty dictionary
        // would be (a collection may run there). Then, while no host code can
        // run (a plain entry holding every field, an exact-str id new to a
        // map of exact-str keys, so that storing it compares with no key and
        // replaces no record), the fields are read before the record is
        // stored, the record filled at once and then stored, which nothing
        // can tell from the steps in their own order.
        object record = azurerm_record.blank();
        if (pg_text_dict(subObj.ptr()) && PyUnicode_CheckExact(subId.ptr()) && pg_text_dict(subscriptionMap.ptr()) &&
            !pg_dict_get_str(subscriptionMap.ptr(), subId.ptr())) {
            PyObject* fields[] = {
                pg_dict_get_str(subObj.ptr(), k_arm_application_secret_env.ptr()),
                pg_dict_get_str(subObj.ptr(), k_arm_application_id.ptr()),
                pg_dict_get_str(subObj.ptr(), k_arm_directory_id.ptr()),
                pg_dict_get_str(subObj.ptr(), k_alias.ptr()),
                pg_dict_get_str(subObj.ptr(), k_account_name.ptr()),
                subId.ptr(),
            };
            if (fields[0] && fields[1] && fields[2] && fields[3] && fields[4] && azurerm_record.fill(record, fields))
                return set_item(subscriptionMap, subId, record);
        }
        PyDict_Clear(record.ptr());  // the model's keys dropped: the record as `{}` makes it
        set_item(subscriptionMap, subId, record);
        set_item(record, k_secret_env, item(subObj, k_arm_application_secret_env));
        set_item(record, k_app_id, item(subObj, k_arm_application_id));
        set_item(record, k_dir_id, item(subObj, k_arm_directory_id));
        set_item(record, k_alias, item(subObj, k_alias));
        set_item(record, k_account_name, item(subObj, k_account_name));
        set_item(record, k_sub_id, subId);
    });
    return subscriptionMap;
}

// Subscription id -> record from the "vnet_cidr" list.
object getVnetCidrSubscriptionInfo(handle cls, handle yamlObj) {
    (void)cls;
    module_logger();  // taken as every reader does; nothing is logged
    object subscriptionMap = new_dict();
    for_each(item(yamlObj, k_vnet_cidr), [&](handle entry) {
        object subId = item(entry, k_arm_subscription_id);
        object secret_env = item(entry, k_arm_application_secret_env);
        object app_id = item(entry, k_arm_application_id);
        object dir_id = item(entry, k_arm_directory_id);
        set_item(subscriptionMap, subId, vnet_cidr_record.make({secret_env, app_id, dir_id}));
    });
    return subscriptionMap;
}

// record.copy(): an exact dict copies itself at once (its copy cannot be
// replaced), anything else through its own copy method.
object copy_of(handle record) {
    if (PyDict_CheckExact(record.ptr())) return checked(PyDict_Copy(record.ptr()));
    return call_method(record, k_copy);
}

// A copy of the subscription's record, else of the default record with
// "sub_id" set to the subscription, else None; stamped with the account's
// name and alias.
object getSubscription(handle cls, handle subscriptionMap, handle subscriptionId, handle account) {
    (void)cls;
    object subscription;
    if (contains(subscriptionMap, subscriptionId)) {
        subscription = copy_of(item(subscriptionMap, subscriptionId));
    } else if (contains(subscriptionMap, k_zentrova)) {
        subscription = copy_of(item(subscriptionMap, k_zentrova));
        set_item(subscription, k_sub_id, subscriptionId);
    } else {
        return none();
    }
    if (eq_none(account)) return subscription;
    if (contains(account, k_account_name)) {
        object name = item(account, k_account_name);
        set_item(subscription, k_account_name, name);
        set_item(subscription, k_alias, name);
    }
    if (contains(account, k_tf_provider_alias)) {
        object alias = item(account, k_tf_provider_alias);
        if (!is_none(alias)) set_item(subscription, k_alias, alias);
    }
    return subscription;
}

// yamlObj["terraform"]["zentrova_account"]["account_name"], or "AzureDev"
// after an error line when it cannot be read.
object getArmAccountName(handle cls, handle yamlObj) {
    (void)cls;
    object logger = module_logger();
    object name = attempt([&] { return item(item(item(yamlObj, k_terraform), k_zentrova_account), k_account_name); });
    if (name) return name;
    log(logger, Level::error, k_no_account_name);
    return borrow(k_AzureDev);
}

// The entry's "vnets" value itself, or a new empty dictionary when it is
// empty or cannot be read.
object getSubscriptionVnets(handle cls, handle subscription) {
    (void)cls;
    object vnets = attempt([&] {
        object v = item(subscription, k_vnets);
        return length(v) == 0 ? object() : v;
    });
    return vnets ? vnets : new_dict();
}

}  // namespace

std::vector<MethodSpec> account_methods() {
    return {
        method<getAzureSubscriptionInfo>("getAzureSubscriptionInfo", {"yamlObj"},
                                         "Subscription map built from the 'azure_cred' section."),
        method<getAzurermSubscriptionInfo>("getAzurermSubscriptionInfo", {"yamlObj"},
                                           "Subscription map built from 'terraform'/'azurerm'."),
        method<getVnetCidrSubscriptionInfo>("getVnetCidrSubscriptionInfo", {"yamlObj"},
                                            "Subscription map built from the 'vnet_cidr' section."),
        method<getSubscription>("getSubscription", {"subscriptionMap", "subscriptionId", "account=None"},
                                "Copy of the credential record of a subscription, stamped with the account's name and alias."),
        method<getArmAccountName>("getArmAccountName", {"yamlObj"},
                                  "Controller account name of the document, default 'AzureDev'."),
        method<getSubscriptionVnets>("getSubscriptionVnets", {"subscription"},
                                     "The 'vnets' of a subscription entry, or an empty dictionary."),
    };
}

}  // namespace cfgbase
