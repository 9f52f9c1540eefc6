// Per-VNet options, run switches of the configuration document, and
// route-table names built from name transform lists.
#include "common.h"

#include <cstring>

namespace cfgbase {
namespace {

Text k_name{"name"};
Text k_lower{"lower"};
Text k_comma{","};
Text k_empty{""};
Text k_lbrace{"{"};
Text k_rbrace{"}"};
Text k_false{"false"};
Text k_true{"true"};

Text k_VPC_NAME_MAX_LENGTH{"VPC_NAME_MAX_LENGTH"};
Text k_getSpokeGatewayName{"getSpokeGatewayName"};
Text k_getTransitGatewayName{"getTransitGatewayName"};
Text k_getSpokeGatewayTags{"getSpokeGatewayTags"};
Text k_getSpokeAdvertisement{"getSpokeAdvertisement"};
Text k_getSpokeRoutes{"getSpokeRoutes"};
Text k_transformName{"transformName"};
Text k_yctx{"yctx"};
Text k_getGlobalContext{"getGlobalContext"};

Text k_spoke_gw_name{"spoke_gw_name"};
Text k_transit_gw_name{"transit_gw_name"};
Text k_spoke_gw_tags{"spoke_gw_tags"};
Text k_spoke_gw_size{"spoke_gw_size"};
Text k_ztvx_gw_size{"ztvx_gw_size"};
Text k_hpe{"hpe"};
Text k_inspection{"inspection"};
Text k_vnet_name{"vnet_name"};
Text k_domain{"domain"};
Text k_max_hpe_performance{"max_hpe_performance"};
Text k_spoke_ha{"spoke_ha"};
Text k_enable_spoke_egress{"enable_spoke_egress"};
Text k_copy_quad_zero_route{"copy_quad_zero_route"};
Text k_subnet_groups_inspected{"subnet_groups_inspected"};
Text k_subnet_groups{"subnet_groups"};
Text k_subnet_in_subnet_groups{"subnet_in_subnet_groups"};
Text k_subnet_name{"subnet_name"};
Text k_spoke_advertisement{"spoke_advertisement"};
Text k_spoke_routes{"spoke_routes"};
Text k_migrate_non_associated_subnet{"migrate_non_associated_subnet"};
Text k_filter_service_tags{"filter_service_tags"};

Text k_prestage{"prestage"};
Text k_default_route_table{"default_route_table"};
Text k_switch_traffic{"switch_traffic"};
Text k_cleanup{"cleanup"};
Text k_delete_vnet_lock{"delete_vnet_lock"};

Text k_key{"key"};
Text k_value{"value"};
Text k_base{"base"};
Text k_replace{"replace"};
Text k_configure_main_route_table_prefix{"configure_main_route_table_prefix"};
Text k_vnet{"vnet"};
Text k_snet{"snet"};
Text k_rtb{"rtb"};

Text k_hpe_error{"  **Error** max_hpe_performance can only be set when hpe is set to True"};
Text k_lock_error{"**Error** expect a boolean value for delete_vnet_lock, False by default"};

// `vnetInYaml[vnet.name]` and its keys, read afresh on every use: vnet.name
// is read each time, and the look-ups are made again unless Lookup may reuse them.
class VnetEntry {
public:
    VnetEntry(handle vnetInYaml, handle vnet) : vnetInYaml_(vnetInYaml), vnet_(vnet) {}

    object get() { return entry_(vnetInYaml_, attr(vnet_, k_name)); }
    // vnetInYaml[vnet.name][key]
    object operator[](handle key) { return keys_(get(), key); }
    // key in vnetInYaml[vnet.name]
    bool contains(handle key) { return keys_.contains(get(), key); }

private:
    handle vnetInYaml_, vnet_;
    Lookup entry_, keys_;
};

// str(value).lower(); a bool's text is fixed (bool cannot be subclassed).
object lower_text(handle value) {
    if (value.ptr() == Py_True) return borrow(k_true);
    if (value.ptr() == Py_False) return borrow(k_false);
    return call_method(str(value), k_lower);
}

object readVnetOption(handle cls, handle vnetInYaml, handle vnet, handle YAML) {
    object logger = module_logger();
    VnetEntry at(vnetInYaml, vnet);

    object name = attr(vnet, k_name);
    object maxLength = attr(cls, k_VPC_NAME_MAX_LENGTH);
    set_item(YAML, k_spoke_gw_name,
             call_method(cls, k_getSpokeGatewayName, vnetInYaml, name, maxLength));
    set_item(YAML, k_transit_gw_name,
             call_method(cls, k_getTransitGatewayName, vnetInYaml, attr(vnet, k_name)));
    set_item(YAML, k_spoke_gw_tags,
             call_method(cls, k_getSpokeGatewayTags, vnetInYaml, attr(vnet, k_name)));

    if (truth(at[k_spoke_gw_size])) set_item(YAML, k_ztvx_gw_size, at[k_spoke_gw_size]);
    if (ne(at[k_hpe], Py_None)) set_item(YAML, k_hpe, lower_text(at[k_hpe]));
    set_item(YAML, k_inspection, is_none(at[k_inspection]) ? none() : lower_text(at[k_inspection]));
    set_item(YAML, k_vnet_name, attr(vnet, k_name));
    set_item(YAML, k_domain, is_none(at[k_domain]) ? none() : at[k_domain]);
    if (!is_none(at[k_max_hpe_performance]))
        set_item(YAML, k_max_hpe_performance, lower_text(at[k_max_hpe_performance]));
    if (!is_none(at[k_spoke_ha])) set_item(YAML, k_spoke_ha, lower_text(at[k_spoke_ha]));

    // Only logged: the values stay as they are.
    if (eq(item(YAML, k_hpe), k_false) && !is_none(item(YAML, k_max_hpe_performance)))
        log(logger, Level::error, k_hpe_error);

    for (const Text* key : {&k_enable_spoke_egress, &k_copy_quad_zero_route,
                            &k_subnet_groups_inspected, &k_subnet_groups})
        set_item(YAML, *key, at[*key]);

    set_item(YAML, k_subnet_in_subnet_groups, new_list());
    if (!is_none(item(YAML, k_subnet_groups))) {
        object names = new_list();
        for (handle group : iterate(item(YAML, k_subnet_groups)))
            append(names, item(group, k_subnet_name));
        set_item(YAML, k_subnet_in_subnet_groups, names);
    }

    set_item(YAML, k_spoke_advertisement, call_method(cls, k_getSpokeAdvertisement, vnetInYaml, vnet));
    set_item(YAML, k_spoke_routes, call_method(cls, k_getSpokeRoutes, vnetInYaml, vnet));
    set_item(YAML, k_migrate_non_associated_subnet, at[k_migrate_non_associated_subnet]);
    set_item(YAML, k_filter_service_tags,
             is_none(at[k_filter_service_tags]) ? new_list() : at[k_filter_service_tags]);
    return none();
}

// The optional list under `key` of the VNet's entry joined with ",", or None
// when it is absent, None, or not a collection of texts.
object joined_option(handle vnetInYaml, handle vnet, handle key) {
    VnetEntry entry(vnetInYaml, vnet);
    if (!entry.contains(key)) return none();
    if (is_none(entry[key])) return none();
    object values = entry[key];
    return try_or(Py_None, [&] { return join(k_comma, values); });
}

object getSpokeAdvertisement(handle, handle vnetInYaml, handle vnet) {
    return joined_option(vnetInYaml, vnet, k_spoke_advertisement);
}

object getSpokeRoutes(handle, handle vnetInYaml, handle vnet) {
    return joined_option(vnetInYaml, vnet, k_spoke_routes);
}

object getPreStageDefaultRouteTable(handle, handle yamlObj) {
    module_logger();
    return try_or(Py_None, [&] { return item(item(yamlObj, k_prestage), k_default_route_table); });
}

// accounts_data[section]["delete_vnet_lock"] when it is exactly a bool, else False.
object delete_vnet_lock(handle accounts_data, handle section) {
    object logger = module_logger();
    return try_or(Py_False, [&] {
        object boolVal = item(item(accounts_data, section), k_delete_vnet_lock);
        if (PyBool_Check(boolVal.ptr())) return boolVal;
        log(logger, Level::error, k_lock_error);
        return boolean(false);
    });
}

object getSWDeleteVnetLock(handle, handle accounts_data) {
    return delete_vnet_lock(accounts_data, k_switch_traffic);
}

object getCUDeleteVnetLock(handle, handle accounts_data) {
    return delete_vnet_lock(accounts_data, k_cleanup);
}

// ---- name building; Azure names are ASCII, so ASCII texts are edited in place

// The first occurrence of pat[0..m) in [from, end), m > 0, or nullptr.
const char* find_text(const char* from, const char* end, const char* pat, Py_ssize_t m) {
    while (end - from >= m) {
        auto at = static_cast<const char*>(std::memchr(from, pat[0], std::size_t(end - from - m + 1)));
        if (!at) return nullptr;
        if (std::memcmp(at + 1, pat + 1, std::size_t(m - 1)) == 0) return at;
        from = at + 1;
    }
    return nullptr;
}

const char* ascii(handle s) { return static_cast<const char*>(PyUnicode_DATA(s.ptr())); }
bool exact_ascii(handle s) { return PyUnicode_CheckExact(s.ptr()) && PyUnicode_IS_ASCII(s.ptr()); }

// base.replace(old, new) for an exact ASCII str base and ASCII old (not empty)
// and new: every occurrence, left to right, as str.replace finds them; base
// itself when old does not occur, as str.replace returns it.
object replace_ascii(handle base, const char* old, Py_ssize_t oldLen, const char* new_, Py_ssize_t newLen) {
    const char* s = ascii(base);
    const char* end = s + PyUnicode_GET_LENGTH(base.ptr());
    Py_ssize_t count = 0;
    for (const char* at = s; (at = find_text(at, end, old, oldLen)); at += oldLen) ++count;
    if (count == 0) return borrow(base);
    object out = checked(PyUnicode_New((end - s) + count * (newLen - oldLen), 127));
    char* to = static_cast<char*>(PyUnicode_DATA(out.ptr()));
    const char* from = s;
    for (const char* at; (at = find_text(from, end, old, oldLen)); from = at + oldLen) {
        std::memcpy(to, from, std::size_t(at - from));
        to += at - from;
        std::memcpy(to, new_, std::size_t(newLen));
        to += newLen;
    }
    std::memcpy(to, from, std::size_t(end - from));
    return out;
}

// base.replace("{" + ykey + "}", iDict[ykey]), evaluated in that order.
object fill_placeholder(handle base, handle ykey, handle iDict) {
    constexpr Py_ssize_t longest = 62;
    if (!PyUnicode_CheckExact(base.ptr())) {
        object method = attr(base, k_replace);
        object placeholder = add({k_lbrace, ykey, k_rbrace});
        return call(method, placeholder, item(iDict, ykey));
    }
    if (exact_ascii(ykey) && PyUnicode_GET_LENGTH(ykey.ptr()) <= longest && PyUnicode_IS_ASCII(base.ptr())) {
        object value = item(iDict, ykey);
        if (exact_ascii(value)) {
            char placeholder[longest + 2];
            const Py_ssize_t n = PyUnicode_GET_LENGTH(ykey.ptr());
            placeholder[0] = '{';
            std::memcpy(placeholder + 1, ascii(ykey), std::size_t(n));
            placeholder[n + 1] = '}';
            return replace_ascii(base, placeholder, n + 2, ascii(value), PyUnicode_GET_LENGTH(value.ptr()));
        }
        return replace(base, add({k_lbrace, ykey, k_rbrace}), value);
    }
    object placeholder = add({k_lbrace, ykey, k_rbrace});
    return replace(base, placeholder, item(iDict, ykey));
}

// cmp = value.split(","); base.replace(cmp[0], cmp[1])
object replace_step(handle base, handle value) {
    if (exact_ascii(base) && exact_ascii(value)) {
        const char* v = ascii(value);
        const char* end = v + PyUnicode_GET_LENGTH(value.ptr());
        auto comma = static_cast<const char*>(std::memchr(v, ',', std::size_t(end - v)));
        if (!comma) raise(PyExc_IndexError, "list index out of range");
        auto next = static_cast<const char*>(std::memchr(comma + 1, ',', std::size_t(end - comma - 1)));
        if (comma > v) return replace_ascii(base, v, comma - v, comma + 1, (next ? next : end) - comma - 1);
    }
    object cmp = split(value, k_comma);
    if (!PyUnicode_CheckExact(base.ptr())) {
        object method = attr(base, k_replace);
        object old = item(cmp, 0);
        return call(method, old, item(cmp, 1));
    }
    object old = item(cmp, 0);
    return replace(base, old, item(cmp, 1));
}

// Runs the "base" and "replace" steps in order; a "base" step starts the name
// afresh from its template with every {placeholder} of iDict filled in.
object transformName(handle, handle transforms, handle iDict) {
    object base = borrow(k_empty);
    Lookup step;
    for (handle x : iterate(transforms)) {
        if (eq(step(x, k_key), k_base)) {
            base = item(x, k_value);
            for (handle ykey : iterate(iDict)) base = fill_placeholder(base, ykey, iDict);
        } else if (eq(step(x, k_key), k_replace)) {
            base = replace_step(base, item(x, k_value));
        }
    }
    return base;
}

// cls.transformName over the transform list configured under `key`, with the
// placeholders in the given order; None when that list is empty.
object configured_name(handle cls, handle key, std::initializer_list<Keyword> placeholders) {
    object transforms = call_method(call(global<k_yctx>()), k_getGlobalContext, key);
    if (length(transforms) == 0) return none();
    object iDict = new_dict();
    for (const Keyword& p : placeholders) set_item(iDict, p.name, p.value);
    return call_method(cls, k_transformName, transforms, iDict);
}

object getMainTablePrefix(handle cls, handle vnetName) {
    return configured_name(cls, k_configure_main_route_table_prefix, {{k_vnet, vnetName}});
}

object getCustomizedRouteTableName(handle cls, handle key, handle vnetName, handle subnetName,
                                   handle rtbName) {
    return configured_name(cls, key, {{k_vnet, vnetName}, {k_snet, subnetName}, {k_rtb, rtbName}});
}

}  // namespace

std::vector<MethodSpec> vnet_methods() {
    return {
        method<readVnetOption>("readVnetOption", {"vnetInYaml", "vnet", "YAML"},
                               "Write one VNet's options into the option mapping YAML."),
        method<getSpokeAdvertisement>("getSpokeAdvertisement", {"vnetInYaml", "vnet"},
                                      "The VNet's advertised CIDRs joined with ',', or None."),
        method<getSpokeRoutes>("getSpokeRoutes", {"vnetInYaml", "vnet"},
                               "The VNet's spoke routes joined with ',', or None."),
        method<getPreStageDefaultRouteTable>("getPreStageDefaultRouteTable", {"yamlObj"},
                                             "The pre-stage default route table, or None."),
        method<getSWDeleteVnetLock>("getSWDeleteVnetLock", {"accounts_data"},
                                    "Whether to delete VNet locks when switching traffic."),
        method<getCUDeleteVnetLock>("getCUDeleteVnetLock", {"accounts_data"},
                                    "Whether to delete VNet locks during clean-up."),
        method<transformName>("transformName", {"transforms", "iDict"},
                              "A name built by a name transform list."),
        method<getMainTablePrefix>("getMainTablePrefix", {"vnetName"},
                                   "The VNet's main route-table prefix, or None when unconfigured."),
        method<getCustomizedRouteTableName>(
            "getCustomizedRouteTableName", {"key", "vnetName", "subnetName", "rtbName"},
            "The customised route-table name from the transform list under key, or None."),
    };
}

}  // namespace cfgbase
