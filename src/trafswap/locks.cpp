// Removal of a VNet's management lock before changes Azure would refuse.
#include "peering_steps.h"

namespace trafswap {
namespace {

Text k_id{"id"};
Text k_name{"name"};
Text k_next{"next"};
Text k_ManagementLockClient{"ManagementLockClient"};
Text k_getSPC{"getSPC"};
Text k_getSubId{"getSubId"};
Text k_management_locks{"management_locks"};
Text k_list_at_resource_level{"list_at_resource_level"};
Text k_delete_at_resource_level{"delete_at_resource_level"};
Text k_provider{"Microsoft.Network"};
Text k_no_parent{""};
Text k_virtualNetworks{"virtualNetworks"};
Text k_blank{" "};
Text k_heading{"- Delete vnet lock in "};
Text k_delete_lock{"  delete lock "};
Text k_no_lock{"  no vnet lock found"};
Text k_error{"  **Error** "};

// Deletes the first lock listed on the VNet; `indent` blanks lead every line.
object deleteVnetLock(handle cls, handle cred, handle vnet, handle indent) {
    object logger = module_logger();
    if (eq(cred, Py_None) || eq(vnet, Py_None)) return none();
    object space = checked(PyNumber_Multiply(k_blank.ptr(), indent.ptr()));
    log(logger, Level::info, concat(space, k_heading, attr(vnet, k_name)));
    object spc = call_method(cred, k_getSPC);
    object subId = call_method(cred, k_getSubId);
    object lock_client = call(global<k_ManagementLockClient>(), spc, subId);
    object rgName = rg_of(attr(vnet, k_id));
    object locks = attr(lock_client, k_management_locks);
    object resp = call_method(locks, k_list_at_resource_level, rgName, k_provider, k_no_parent, k_virtualNetworks,
                              attr(vnet, k_name));
    try {
        object lockObj = call_method(resp, k_next);
        object lockName = attr(lockObj, k_name);
        log(logger, Level::info, concat(space, k_delete_lock, lockName));
        if (live(cls)) {
            object vnetName = attr(vnet, k_name);
            call_method(locks, k_delete_at_resource_level, rgName, k_provider, k_no_parent, k_virtualNetworks,
                        vnetName, attr(lockObj, k_name));
        }
    } catch (const Error& e) {
        if (caught(e, PyExc_StopIteration))
            log(logger, Level::info, concat(space, k_no_lock));
        else if (is_exception(e))
            log(logger, Level::error, concat(space, k_error, text_of(e)));
        else
            throw;
    }
    return none();
}

}  // namespace

std::vector<MethodSpec> lock_methods() {
    return {method<deleteVnetLock>("deleteVnetLock", {"cred", "vnet", "indent=0"},
                                   "Delete the first management lock of the VNet (none under dry-run).")};
}

}  // namespace trafswap
