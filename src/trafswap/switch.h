// Class `SwitchTraffic` of dm.arm.trafswap: moves a VNet's traffic between
// Azure routing and peering and the controller's overlay gateways.
// Each concern contributes its class methods; module.cpp assembles the class.
#pragma once

#include "pyglue/classdef.h"
#include "pyglue/module.h"

#include <structmember.h>

#include <vector>

namespace trafswap {

using namespace pg;

std::vector<MethodSpec> discovery_methods();      // VNet, subnets and prefixes
std::vector<MethodSpec> naming_methods();         // dry-run switch and gateway names
std::vector<MethodSpec> route_table_methods();    // main tables and staged copies of a VNet
std::vector<MethodSpec> propagation_methods();    // gateway-route propagation off and back on
std::vector<MethodSpec> reassociation_methods();  // subnets onto the staged tables and back
std::vector<MethodSpec> peering_methods();        // remote lookup, removal and restore of peerings
std::vector<MethodSpec> gateway_use_methods();    // remote-gateway use in peerings
std::vector<MethodSpec> lock_methods();           // VNet lock removal
std::vector<MethodSpec> graph_methods();          // resource-graph queries
std::vector<MethodSpec> controller_methods();     // SNAT, security domain, transit VNet

// Where a classmethod object keeps the callable it binds (the offset its
// `__func__` member names), or -1 when that is not a plain object member.
inline Py_ssize_t classmethod_func_offset() {
    static const Py_ssize_t offset = [] {
        PyObject* d = _PyType_Lookup(&PyClassMethod_Type, intern("__func__").ptr());
        if (!d || !Py_IS_TYPE(d, &PyMemberDescr_Type)) return Py_ssize_t(-1);
        const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
        return m->type == T_OBJECT ? m->offset : Py_ssize_t(-1);
    }();
    return offset;
}

// Whether `cls.<name>(...)` would call the class method registered from Fn, so
// that the caller may run Fn at once: cls is a class of the plain metaclass
// (which has nothing under the name) and the name on its MRO is a classmethod
// of that method's class function.
template <auto Fn>
bool resolves_to(handle cls, const Text& name) {
    if (!Py_IS_TYPE(cls.ptr(), &PyType_Type)) return false;
    PyObject* d = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
    const Py_ssize_t at = classmethod_func_offset();
    if (!d || at < 0 || !Py_IS_TYPE(d, &PyClassMethod_Type)) return false;
    PyObject* func = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(d) + at);
    return func && class_function_entry(func) == &detail::Adapter<Fn>::entry;
}

}  // namespace trafswap
