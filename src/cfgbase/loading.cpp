// Loading documents: the input document read at import, the migration
// configuration file, and the configuration's global options.
#include "common.h"

namespace cfgbase {
namespace {

Text k_get_data_path{"get_data_path"};
Text k_input_json_suffix{"/azure_data/input.json"};
Text k_open{"open"};
Text k_close{"close"};
Text k_json{"json"};
Text k_load{"load"};
Text k_Common{"Common"};
Text k_REGION{"REGION"};
Text k_AZURE_SUBNET{"AZURE_SUBNET"};
Text k_Path{"Path"};
Text k_load_from_yaml{"load_from_yaml"};
Text k_dump_to_dict{"dump_to_dict"};
Text k_GLOBAL_ATTRIBUTE_LIST{"GLOBAL_ATTRIBUTE_LIST"};
Text k_config{"config"};
Text k_Global{"Global"};
Text k_boolean{"boolean"};
Text k_string{"string"};
Text k_int{"int"};
Text k_validateBoolean{"validateBoolean"};
Text k_validateString{"validateString"};
Text k_validateInt{"validateInt"};
Text k_empty{""};
Text k_getRouteTableNameConfig{"getRouteTableNameConfig"};
Text k_configure_route_table_name{"configure_route_table_name"};
Text k_configure_main_route_table_prefix{"configure_main_route_table_prefix"};
Text k_zentrova{"zentrova"};
Text k_tf_controller_access{"tf_controller_access"};
Text k_terraform{"terraform"};
Text k_tf_cloud{"tf_cloud"};
Text k_module_name{"module_name"};
Text k_alert{"alert"};
Text k_check_gateway_existence{"check_gateway_existence"};
Text k_switch_traffic{"switch_traffic"};
Text k_manage_propagate_gateway_routes{"manage_propagate_gateway_routes"};
Text k_key{"key"};
Text k_value{"value"};
Text k_Key{"Key"};
Text k_Value{"Value"};
Text k_invalid{"Invalid "};
Text k_option{" option "};
Text k_not_an_integer{". Valid input is an integer"};
Text k_getLabel{"getLabel"};
Text k_print{"print"};
Text k_sys{"sys"};
Text k_exit{"exit"};
Text k_expect_yaml_for{"**Alert** Expect YAML for "};
Text k_got{", got "};
Text k_instead{" instead!"};

// Reads <data path>/azure_data/input.json into Common.REGION and
// Common.AZURE_SUBNET (set on Common itself, not on cls). The file is closed
// once parsed, also when parsing fails.
object loadInputJson(handle cls) {
    object dmPath = call_method(cls, k_get_data_path);
    object file = call(global<k_open>(), concat(dmPath, k_input_json_suffix));
    object data;
    try {
        data = call_method(global<k_json>(), k_load, file);
    } catch (const Error&) {
        call_method(file, k_close);
        throw;
    }
    call_method(file, k_close);
    object common = global<k_Common>();
    set_attr(common, k_REGION, item(data, k_REGION));
    set_attr(common, k_AZURE_SUBNET, item(data, k_AZURE_SUBNET));
    return none();
}

// The YAML configuration file as plain mappings and lists.
object convert_yaml_to_json(handle cls, handle file_path) {
    (void)cls;
    object config = call(global<k_load_from_yaml>(), call(global<k_Path>(), file_path));
    return call(global<k_dump_to_dict>(), config);
}

// `tag == text` for a type tag; the tag is most often the very same str.
inline bool is_tag(handle tag, const Text& text) { return tag.ptr() == text.ptr() || eq(tag, text); }

// Copies the global options, the two naming lists and the document-wide
// values into the run's option mapping. A boolean option left out is False;
// a present option is validated by its type tag and stored as it is.
object readGlobalConfigOption(handle cls, handle data, handle YAML) {
    object input = item(data, k_config);
    for_each_item(attr(cls, k_GLOBAL_ATTRIBUTE_LIST), [&](handle name, handle type) {
        if (contains(input, name)) {
            if (is_tag(type, k_boolean))
                call_method(cls, k_validateBoolean, k_Global, name, item(input, name));
            else if (is_tag(type, k_string))
                call_method(cls, k_validateString, k_Global, name, item(input, name));
            else if (is_tag(type, k_int))
                call_method(cls, k_validateInt, k_Global, name, item(input, name));
            set_item(YAML, name, item(input, name));
        } else if (is_tag(type, k_boolean)) {
            set_item(YAML, name, Py_False);
        } else if (is_tag(type, k_string)) {
            set_item(YAML, name, k_empty);
        }
    });
    set_item(YAML, k_configure_route_table_name,
             call_method(cls, k_getRouteTableNameConfig,
                         item(item(data, k_config), k_configure_route_table_name)));
    set_item(YAML, k_configure_main_route_table_prefix,
             call_method(cls, k_getRouteTableNameConfig,
                         item(item(data, k_config), k_configure_main_route_table_prefix)));
    set_item(YAML, k_tf_controller_access, item(item(data, k_zentrova), k_tf_controller_access));
    set_item(YAML, k_tf_cloud, item(item(data, k_terraform), k_tf_cloud));
    set_item(YAML, k_module_name, item(item(data, k_terraform), k_module_name));
    set_item(YAML, k_check_gateway_existence, item(item(data, k_alert), k_check_gateway_existence));
    set_item(YAML, k_manage_propagate_gateway_routes,
             item(item(data, k_switch_traffic), k_manage_propagate_gateway_routes));
    return none();
}

// {"Key": tag["key"], "Value": tag["value"]}
object name_tag(handle tag) {
    object key = item(tag, k_key);
    object value = item(tag, k_value);
    object entry = checked(PyDict_New());  // room for two keys
    check(PyDict_SetItem(entry.ptr(), k_Key.ptr(), key.ptr()));
    check(PyDict_SetItem(entry.ptr(), k_Value.ptr(), value.ptr()));
    return entry;
}

// [{"Key": t["key"], "Value": t["value"]} for t in transformList], or a new
// empty list when the value is not such a list.
object getRouteTableNameConfig(handle cls, handle transformList) {
    (void)cls;
    object tagsList = attempt([&] {
        PyObject* list = transformList.ptr();
        if (PyList_CheckExact(list)) {
            // Position by position, as the list's iterator walks it (the
            // length is read again at every step).
            object tags = list_with_room(PyList_GET_SIZE(list));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
                append_new(tags, name_tag(borrow(PyList_GET_ITEM(list, i))));
            return tags;
        }
        object tags = new_list();
        for (handle tag : iterate(transformList)) append_new(tags, name_tag(tag));
        return tags;
    });
    return tagsList ? tagsList : new_list();
}

// Logs an error unless the value is an int (bool included); never raises.
object validateInt(handle cls, handle scope, handle name, handle input) {
    (void)cls;
    object logger = module_logger();
    if (PyLong_Check(input.ptr())) return none();
    log(logger, Level::error, concat(k_invalid, scope, k_option, name, k_not_an_integer));
    return none();
}

// Ends the process (status 1) after an alert line unless the document's
// label is the expected one.
object expectYamlType(handle cls, handle accounts_data, handle expectYamlFile) {
    if (ne(call_method(cls, k_getLabel, accounts_data), expectYamlFile)) {
        call(global<k_print>(), concat(k_expect_yaml_for, expectYamlFile, k_got,
                                           call_method(cls, k_getLabel, accounts_data), k_instead));
        call_method(global<k_sys>(), k_exit, integer(1));
    }
    return none();
}

}  // namespace

std::vector<MethodSpec> loading_methods() {
    return {
        method<loadInputJson>("loadInputJson", {},
                              "Read the input document into Common.REGION and Common.AZURE_SUBNET."),
        method<convert_yaml_to_json>("convert_yaml_to_json", {"file_path"},
                                     "The YAML configuration file as plain mappings and lists."),
        method<readGlobalConfigOption>("readGlobalConfigOption", {"data", "YAML"},
                                       "Copy the global options of the configuration into the option mapping."),
        method<getRouteTableNameConfig>("getRouteTableNameConfig", {"transformList"},
                                        "A name transform list with 'Key'/'Value' entries, or an empty list."),
        method<validateInt>("validateInt", {"scope", "name", "input"},
                            "Log an error unless the option value is an integer."),
        method<expectYamlType>("expectYamlType", {"accounts_data", "expectYamlFile"},
                               "End the process unless the document has the expected label."),
    };
}

}  // namespace cfgbase
