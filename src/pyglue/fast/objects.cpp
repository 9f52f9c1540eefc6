// The layer's helpers over built-in objects (pyglue/objects.h, and the class
// method look-up of classdef.h). Each fast path (PG_FAST_OBJECTS, 3.9 to
// 3.13) says which behaviour of the interpreter it mirrors; its generic path,
// the Python expression made through the C API, is beside it.
#include "pyglue/classdef.h"
#include "pyglue/objects.h"

#ifdef PG_FAST_OBJECTS
#include <structmember.h>
#endif

namespace pg {
namespace {
Text k_lower{"lower"};
Text k_items{"items"};
}  // namespace

// Fast: str.lower() of an ASCII str changes only A-Z, and str == compares
// code points, so the two compare in place. Generic: the call and ==.
bool lower_equals(handle s, handle lowered) {
#ifdef PG_FAST_OBJECTS
    PyObject* a = s.ptr();
    PyObject* b = lowered.ptr();
    if (PyUnicode_CheckExact(a) && PyUnicode_IS_ASCII(a) && PyUnicode_CheckExact(b)) {
        if (!PyUnicode_IS_ASCII(b)) return false;  // an ASCII text lowers to ASCII
        Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        if (n != PyUnicode_GET_LENGTH(b)) return false;
        const Py_UCS1* x = PyUnicode_1BYTE_DATA(a);
        const Py_UCS1* y = PyUnicode_1BYTE_DATA(b);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS1 c = x[i];
            if (c >= 'A' && c <= 'Z') c = Py_UCS1(c + ('a' - 'A'));
            if (c != y[i]) return false;
        }
        return true;
    }
#endif
    return eq(call_method(s, k_lower), lowered);
}

// Fast: a list made with its slots allocated and its size 0, filled slot by
// slot as list.append fills a free slot without growing. Generic: an empty
// list and PyList_Append.
object list_with_room(Py_ssize_t n) {
#ifdef PG_FAST_OBJECTS
    object list = checked(PyList_New(n));
    Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list.ptr()), 0);
    return list;
#else
    (void)n;
    return new_list();
#endif
}

void append_new(handle list, object entry) {
#ifdef PG_FAST_OBJECTS
    auto* l = reinterpret_cast<PyListObject*>(list.ptr());
    Py_ssize_t n = Py_SIZE(l);
    if (n < l->allocated) {
        PyList_SET_ITEM(list.ptr(), n, entry.release().ptr());
        Py_SET_SIZE(l, n + 1);
        return;
    }
#endif
    append(list, entry);
}

// Fast: for a class of the plain metaclass that has nothing under the name,
// type.__getattribute__ gives the entry found on the class's MRO, binding it
// only when it is a descriptor (then the generic read binds it). Generic:
// getattr.
object class_value(handle cls, const Text& name) {
#ifdef PG_FAST_OBJECTS
    if (Py_IS_TYPE(cls.ptr(), &PyType_Type) && !_PyType_Lookup(&PyType_Type, name.ptr())) {
        PyObject* v = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
        if (v && !Py_TYPE(v)->tp_descr_get) return borrow(v);
    }
#endif
    return attr(cls, name);
}

// Fast: as the `for` loop over dict.items() walks an exact dict, position by
// position, with the items iterator's checks between steps. Generic: the
// mapping's own items() iterated, each pair unpacked.
ItemWalk::ItemWalk(handle mapping) : mapping_(borrow(mapping)) {
#ifdef PG_FAST_OBJECTS
    if (PyDict_CheckExact(mapping.ptr())) {
        used_ = left_ = PyDict_GET_SIZE(mapping.ptr());
        return;
    }
#endif
    iterator_ = checked(PyObject_GetIter(call_method(mapping, k_items).ptr()));
}

bool ItemWalk::next(object& key, object& value) {
    if (iterator_) {
        object pair = next_or_null(iterator_);
        if (!pair) return false;
        auto [k, v] = unpack2(pair);
        key = std::move(k);
        value = std::move(v);
        return true;
    }
    PyObject* d = mapping_.ptr();
    if (PyDict_GET_SIZE(d) != used_) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    PyObject *k, *v;
    if (!PyDict_Next(d, &pos_, &k, &v)) return false;
    if (left_-- == 0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    key = borrow(k);
    value = borrow(v);
    return true;
}

// Fast: the name on the MRO of a class of the plain metaclass (which has
// nothing under it) is a classmethod, whose __func__ member is read where the
// member descriptor says it is kept; binding it makes a bound method of that
// function, as classmethod.__get__ does. Generic: nothing is sure, and the
// caller calls through the class.
vectorcallfunc class_method_entry(handle cls, const Text& name) {
#ifdef PG_FAST_OBJECTS
    static const Py_ssize_t func_offset = [] {
        PyObject* d = _PyType_Lookup(&PyClassMethod_Type, intern("__func__").ptr());
        if (!d || !Py_IS_TYPE(d, &PyMemberDescr_Type)) return Py_ssize_t(-1);
        const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
        return m->type == T_OBJECT ? m->offset : Py_ssize_t(-1);
    }();
    if (!Py_IS_TYPE(cls.ptr(), &PyType_Type) || func_offset < 0 || _PyType_Lookup(&PyType_Type, name.ptr()))
        return nullptr;
    PyObject* d = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
    if (!d || !Py_IS_TYPE(d, &PyClassMethod_Type)) return nullptr;
    PyObject* func = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(d) + func_offset);
    return func ? class_function_entry(func) : nullptr;
#else
    (void)cls;
    (void)name;
    return nullptr;
#endif
}

}  // namespace pg
