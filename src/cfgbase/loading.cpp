// Loading documents: the input document read at import, and the migration
// configuration's global options.
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

// Reads <data path>/azure_data/input.json into Common.REGION and
// Common.AZURE_SUBNET (set on Common itself, not on cls). The file is closed
// once parsed, also when parsing fails.
object loadInputJson(handle cls) {
    object dmPath = call_method(cls, k_get_data_path);
    object file = call(Globals::get(k_open), concat(dmPath, k_input_json_suffix));
    object data;
    try {
        data = call_method(Globals::get(k_json), k_load, file);
    } catch (const Error&) {
        call_method(file, k_close);
        throw;
    }
    call_method(file, k_close);
    object common = Globals::get(k_Common);
    set_attr(common, k_REGION, item(data, k_REGION));
    set_attr(common, k_AZURE_SUBNET, item(data, k_AZURE_SUBNET));
    return none();
}

}  // namespace

std::vector<MethodSpec> loading_methods() {
    return {
        method<loadInputJson>("loadInputJson", {},
                              "Read the input document into Common.REGION and Common.AZURE_SUBNET."),
    };
}

}  // namespace cfgbase
