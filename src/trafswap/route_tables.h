// Helpers shared by route-table discovery, propagation switching and subnet
// re-association.
#pragma once

#include "switch.h"

namespace trafswap {

// id.split("/")[dl.RG_I]: the resource group of an ARM id.
object resource_group(handle id);

// Common.getMainTablePrefix(vnetName), or vnetName itself when that is None.
object main_table_prefix(handle vnetName);

// `x == None` in a condition. For None, an exact str, dict or list the
// comparison falls back to identity, so the pointer test is the answer.
inline bool eq_none(handle x) {
    PyObject* p = x.ptr();
    if (p == Py_None) return true;
    if (PyUnicode_CheckExact(p) || PyDict_CheckExact(p) || PyList_CheckExact(p)) return false;
    return eq(x, Py_None);
}

// `x != None` in a condition, with the same shortcut.
inline bool ne_none(handle x) {
    PyObject* p = x.ptr();
    if (p == Py_None) return false;
    if (PyUnicode_CheckExact(p) || PyDict_CheckExact(p) || PyList_CheckExact(p)) return true;
    return ne(x, Py_None);
}

}  // namespace trafswap
