// Output folders and report banners: where the run writes its files, the
// log configuration pointed at the log folder, and the banner lines that
// separate the sections of the run report.
#include "common.h"

namespace cfgbase {
namespace {

Text k_terraform{"terraform"};
Text k_tmp_folder_id{"tmp_folder_id"};
Text k_VNET_ID{"VNET_ID"};
Text k_YAML_ID{"YAML_ID"};
Text k_account_info{"account_info"};
Text k_vnets{"vnets"};
Text k_vnet_name{"vnet_name"};
Text k_pathlib{"pathlib"};
Text k_PurePath{"PurePath"};
Text k_name{"name"};
Text k_replace{"replace"};
Text k_dot{"."};
Text k_hyphen{"-"};
Text k_log_output{"log_output"};
Text k_here{"./"};
Text k_no_log_output{"**Alert** output folder attribute log_output not defined, default to \"./\""};
Text k_path{"path"};
Text k_exists{"exists"};
Text k_makedirs{"makedirs"};
Text k_logconf{"logconf"};
Text k_logging_config{"logging_config"};
Text k_handlers{"handlers"};
Text k_logConsoleHandler{"logConsoleHandler"};
Text k_alertHandler{"alertHandler"};
Text k_filename{"filename"};
Text k_log_suffix{"/log"};
Text k_dm_log{"/dm.log"};
Text k_dm_alert_log{"/dm.alert.log"};
Text k_terraform_output{"terraform_output"};
Text k_account_folder{"account_folder"};
Text k_lower{"lower"};
Text k_id{"id"};
Text k_slash{"/"};
Text k_sub_id{"sub_id"};
Text k_account_name{"account_name"};
Text k_unknown_folder{"**Error** unknown account_folder value: "};
Text k_use_sub_id{", use default subscription ID as folder name"};
Text k_empty{""};
Text k_plus_rule{"+++++++++++++++++++++++++++++++++++++++++++++"};
Text k_minus_rule{"---------------------------------------------"};
Text k_subscription_label{"    Subscription ID :  "};
Text k_location{"location"};
Text k_address_space{"address_space"};
Text k_address_prefixes{"address_prefixes"};
Text k_vnet_label{"    Vnet Name : "};
Text k_cidrs_label{"    CIDRs     : "};
Text k_region_label{"    Region    : "};
Text k_rg_label{"    RG        : "};
Text k_route_tables{"    Route Tables"};

// o[0]; an exact non-empty list answers in place.
object first(handle o) {
    PyObject* p = o.ptr();
    if (PyList_CheckExact(p) && PyList_GET_SIZE(p) > 0) return borrow(PyList_GET_ITEM(p, 0));
    return item(o, 0);
}

// str(a) + str(b): two exact str are joined by str concatenation itself.
object plus(handle a, handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr()))
        return checked(PyUnicode_Concat(a.ptr(), b.ptr()));
    return concat(a, b);
}

// Identifier of the temporary folder: the first VNet's name ("VNET_ID"), the
// configuration file's name with "." made "-" ("YAML_ID"), else None.
object getTmpFolderId(handle cls, handle data, handle yamlFileName) {
    (void)cls;
    object id = item(item(data, k_terraform), k_tmp_folder_id);
    if (eq(id, k_VNET_ID))
        return item(first(item(first(item(data, k_account_info)), k_vnets)), k_vnet_name);
    if (eq(id, k_YAML_ID)) {
        object name = attr(call(attr(global<k_pathlib>(), k_PurePath), yamlFileName), k_name);
        return call_method(name, k_replace, k_dot, k_hyphen);
    }
    return none();
}

// The document's "log_output", or "./" after an alert when it cannot be read.
object getLogFolder(handle cls, handle yamlObj) {
    (void)cls;
    object logger = module_logger();
    object folder = attempt([&] { return item(yamlObj, k_log_output); });
    if (folder) return folder;
    log(logger, Level::warning, k_no_log_output);
    return borrow(k_here);
}

// Makes <log_output>/log when missing and points the run log and the alert
// log of the logging configuration at it; returns the logconf module.
object intLogLocationMgmtVnetCidr(handle cls, handle accounts_data) {
    (void)cls;
    object logFolder = plus(item(accounts_data, k_log_output), k_log_suffix);
    if (!truth(call_method(global<k_path>(), k_exists, logFolder)))
        call(global<k_makedirs>(), logFolder);
    object logconf = global<k_logconf>();
    object handlers = item(attr(logconf, k_logging_config), k_handlers);
    set_item(item(handlers, k_logConsoleHandler), k_filename, plus(logFolder, k_dm_log));
    set_item(item(handlers, k_alertHandler), k_filename, plus(logFolder, k_dm_alert_log));
    return logconf;
}

// Whether folder.lower() is "name", "id" or neither. An exact ASCII str is
// lower-cased letter by letter as str.lower() does it, without making the
// lower-case copy; anything else is asked for its own lower().
enum class Naming { by_name, by_id, other };

bool ascii_lower_is(PyObject* text, const char* lowered) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const auto* letters = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    for (Py_ssize_t i = 0; i < n; ++i) {
        unsigned char c = letters[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        if (lowered[i] == '\0' || c != static_cast<unsigned char>(lowered[i])) return false;
    }
    return lowered[n] == '\0';
}

Naming naming(handle folder) {
    if (PyUnicode_CheckExact(folder.ptr()) && PyUnicode_IS_ASCII(folder.ptr())) {
        if (ascii_lower_is(folder.ptr(), "name")) return Naming::by_name;
        return ascii_lower_is(folder.ptr(), "id") ? Naming::by_id : Naming::other;
    }
    object lower = call_method(folder, k_lower);
    if (eq(lower, k_name)) return Naming::by_name;
    return eq(lower, k_id) ? Naming::by_id : Naming::other;
}

// <terraform_output>/<account name or subscription id>, as "account_folder"
// asks ("name" or "id", any case); the subscription id when it is absent,
// and after an error line when it is anything else.
object getTargetLocation(handle cls, handle subscriptionInfo, handle accounts_data) {
    (void)cls;
    object logger = module_logger();
    object terraform = item(accounts_data, k_terraform);
    object target_folder = item(terraform, k_terraform_output);
    object folder = attempt([&] { return item(terraform, k_account_folder); });
    if (folder && PyUnicode_Check(folder.ptr())) {
        Naming by = naming(folder);
        if (by == Naming::by_name) return concat(target_folder, k_slash, item(subscriptionInfo, k_account_name));
        if (by == Naming::by_id) return concat(target_folder, k_slash, item(subscriptionInfo, k_sub_id));
    }
    if (folder) log(logger, Level::error, concat(k_unknown_folder, folder, k_use_sub_id));
    return concat(target_folder, k_slash, item(subscriptionInfo, k_sub_id));
}

// Logs a banner: the body lines framed by a rule, each part between empty lines.
void banner(Level level, handle rule, std::initializer_list<handle> body) {
    object logger = module_logger();
    auto frame = [&] {
        log(logger, level, k_empty);
        log(logger, level, rule);
        log(logger, level, k_empty);
    };
    frame();
    for (handle line : body) log(logger, level, line);
    frame();
}

object logSubscription(handle cls, handle id) {
    (void)cls;
    banner(Level::warning, k_plus_rule, {plus(k_subscription_label, id)});
    return none();
}

object logVnetHeader(handle cls, handle vnet) {
    (void)cls;
    object name = attr(vnet, k_name);
    object region = attr(vnet, k_location);
    object rg = segment(attr(vnet, k_id), k_slash, 4);
    object cidrs = attr(attr(vnet, k_address_space), k_address_prefixes);
    banner(Level::info, k_minus_rule,
           {plus(k_vnet_label, name), plus(k_cidrs_label, cidrs), plus(k_region_label, region),
            plus(k_rg_label, rg)});
    return none();
}

object logRouteTableHeader(handle cls) {
    (void)cls;
    banner(Level::info, k_minus_rule, {k_route_tables});
    return none();
}

}  // namespace

std::vector<MethodSpec> folder_methods() {
    return {
        method<getTmpFolderId>("getTmpFolderId", {"data", "yamlFileName"},
                               "Identifier of the temporary folder, or None."),
        method<getLogFolder>("getLogFolder", {"yamlObj"}, "The folder under which the log folder is made."),
        method<intLogLocationMgmtVnetCidr>("intLogLocationMgmtVnetCidr", {"accounts_data"},
                                           "Make the log folder and point the logging configuration at it."),
        method<getTargetLocation>("getTargetLocation", {"subscriptionInfo", "accounts_data"},
                                  "Path of the per-account output folder."),
        method<logSubscription>("logSubscription", {"id"}, "Log the banner of a subscription."),
        method<logVnetHeader>("logVnetHeader", {"vnet"}, "Log the banner of a VNet."),
        method<logRouteTableHeader>("logRouteTableHeader", {}, "Log the banner of the route-table section."),
    };
}

}  // namespace cfgbase
