// Python expressions over built-in objects that the layer may answer by
// reading the objects in place (fast/objects.cpp); each answers exactly as the
// expression does, the fast paths on or off.
#pragma once

#include "pyglue.h"
#include "pyglue/fast/dicttag.h"

namespace pg {

// `s.lower() == lowered`
bool lower_equals(handle s, handle lowered);

// A new empty list that append_new fills n times without growing it (its
// capacity is not part of its value).
object list_with_room(Py_ssize_t n);
// list.append(entry) for an exact list of our own, taking the entry's reference.
void append_new(handle list, object entry);

// cls.name for a class object.
object class_value(handle cls, const Text& name);

// `for key, value in mapping.items():` — next() gives each pair in turn, held
// while the loop body runs; the body may change the mapping, and an exact
// dict then fails with the errors of the dict's own items iterator.
class ItemWalk {
public:
    explicit ItemWalk(handle mapping);
    bool next(object& key, object& value);

private:
    object mapping_;
    object iterator_;  // the items iterator, unless the dict is walked in place
    Py_ssize_t pos_ = 0, used_ = 0, left_ = 0;
};

template <class Body>
void for_each_item(handle mapping, Body&& body) {
    ItemWalk walk(mapping);
    object key, value;
    while (walk.next(key, value)) body(handle(key), handle(value));
}

// o[key] for look-ups an operation makes again and again: one made anew with
// the same key in the same unchanged dict of str keys (where a look-up runs no
// Python code, so none could have changed what it finds) is answered with
// what the last one found; every other look-up is made as Python makes it.
// The dict and the value found are borrowed: an unchanged tag means the same
// dict still holds that value.
class Lookup {
public:
    object operator()(handle o, handle key) {
        if (reusable(o, key)) return borrow(value_);
        unsigned long long version = pg_pure_lookup_version(o.ptr(), key.ptr());
        object value = item(o, key);
        if (version) remember(o, key, value.ptr(), version);
        return value;
    }

    // `key in o`; the value found is remembered for the o[key] that follows.
    bool contains(handle o, handle key) {
        if (reusable(o, key)) return true;
        unsigned long long version = pg_pure_lookup_version(o.ptr(), key.ptr());
        if (!version) return pg::contains(o, key);
        PyObject* v = PyDict_GetItemWithError(o.ptr(), key.ptr());
        if (!v && PyErr_Occurred()) raise_pending();
        if (v) remember(o, key, v, version);
        return v != nullptr;
    }

private:
    bool reusable(handle o, handle key) const {
        return version_ && o.ptr() == in_ && key.ptr() == key_.ptr() && pg_dict_tag(o.ptr()) == version_;
    }
    void remember(handle o, handle key, PyObject* value, unsigned long long version) {
        in_ = o.ptr();
        if (key.ptr() != key_.ptr()) key_ = borrow(key);
        value_ = value;
        version_ = version;
    }

    PyObject* in_ = nullptr;
    object key_;  // held: a key of the same address must be the same key
    PyObject* value_ = nullptr;
    unsigned long long version_ = 0;
};

}  // namespace pg
