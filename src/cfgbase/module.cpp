// dm.arm.cfgbase: binds the tool's sibling modules, creates `Common` and
// reads the input document, in the order the tool's modules rely on.
#include "common.h"

namespace cfgbase {
namespace {

Text k_Common{"Common"};
Text k_CrossCloudCfgbase{"CrossCloudCfgbase"};
Text k_loadInputJson{"loadInputJson"};

ClassAttr text_attr(const char* name, const char* value) {
    return {intern(name), text(value)};
}
ClassAttr int_attr(const char* name, long value) {
    return {intern(name), integer(value)};
}

// Global options and their type tags, in the order they are read.
object global_attribute_list() {
    static const char* const options[][2] = {
        {"configure_gw_name", "boolean"},
        {"configure_gw_subnet_nsg", "boolean"},
        {"configure_staging_attachment", "boolean"},
        {"configure_spoke_advertisement", "boolean"},
        {"enable_spoke_split_cidr", "boolean"},
        {"configure_private_subnet", "boolean"},
        {"configure_subnet_groups", "boolean"},
        {"configure_shared_route_table_replication", "int"},
    };
    object table = new_dict();
    for (const auto& option : options)
        set_item(table, text(option[0]), text(option[1]));
    return table;
}

void load() {
    Globals::bind("logging", import_module("logging"));
    Globals::bind("os", import_module("os"));
    Globals::bind("sys", import_module("sys"));
    Globals::bind("site", import_module("site"));
    Globals::bind("T", import_module("typing"));
    Globals::bind("makedirs", import_from("os", "makedirs"));
    Globals::bind("path", import_from("os", "path"));
    Globals::bind("Path", import_from("pathlib", "Path"));
    Globals::bind("pathlib", import_module("pathlib"));
    Globals::bind("json", import_module("json"));
    Globals::bind("dm", import_package("dm.CrossCloudCfgbase"));
    // `import dm.logconf`: a missing module is reported by its own name.
    Globals::bind("logconf", import_module("dm.logconf"));
    Globals::bind("dump_to_dict", import_from("dm.arm.core.config", "dump_to_dict"));
    Globals::bind("load_from_yaml", import_from("dm.arm.core.config", "load_from_yaml"));
    Globals::bind("get_ad_cs_credential", import_from("dm.arm.lib.arm_utils", "get_ad_cs_credential"));
    Globals::bind("Globals", import_from("dm.arm.res.Globals", "Globals"));
    Globals::bind("yctx", import_from("dm.arm.res.YamlContext", "YamlContext"));

    ClassSpec definition{"Common", "Migration configuration: documents, options, credentials, folders and report banners.",
                   {
                       text_attr("CONFIG_RTB_NAME", "configure_route_table_name"),
                       text_attr("CONFIG_SHARED_RTB_NAME", "configure_shared_route_table_name"),
                       int_attr("SUB_I", 2),
                       int_attr("RG_I", 4),
                       int_attr("NSG_I", 8),
                       int_attr("RT_I", 8),
                       int_attr("PEER_I", -1),
                       int_attr("VNET_I", 8),
                       int_attr("IP_I", 8),
                       int_attr("SUBNET_I", 10),
                       {intern("REGION"), new_dict()},
                       text_attr("DEFAULT_MODULE_SOURCE", "../module_azure_brownfield_spoke_vnet"),
                       {intern("GLOBAL_ATTRIBUTE_LIST"), global_attribute_list()},
                   },
                   {}};
    for (auto* part : {loading_methods, folder_methods, vnet_methods, account_methods,
                       account_option_methods})
        for (MethodSpec& m : part()) definition.methods.push_back(std::move(m));

    object base = attr(attr(Globals::get(intern("dm")), k_CrossCloudCfgbase), k_Common);
    object common = make_class(definition, {base});
    Globals::bind(k_Common, common);

    call_method(common, k_loadInputJson);
}

}  // namespace
}  // namespace cfgbase

DM_MODULE(cfgbase, "Migration configuration library of the Azure side of the migration tool.",
          cfgbase::load)
