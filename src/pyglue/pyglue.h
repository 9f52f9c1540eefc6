// The Python-semantics layer shared by both extension modules.
//
// Operations are written as straight-line code over Python objects. Every
// helper here does exactly what the corresponding Python expression does
// (same protocol slots, same errors), so an operation reads like the Python
// it stands for:
//
//     for (handle vnet : iterate(call_method(attr(client, k_virtual_networks), k_list_all)))
//         if (eq(attr(vnet, k_name), vnetName)) return borrow(vnet);
//
// Errors: a failing C API call throws `Error` (nanobind's python_error, which
// owns the pending exception). That is the only C++ exception an operation
// lets out; the method adapter in classdef.h hands it back to the interpreter.
#pragma once

#include <nanobind/nanobind.h>

#include "pyglue/fast/attrcache.h"
#include "pyglue/fast/textdict.h"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace pg {

namespace nb = nanobind;
using nb::borrow;
using nb::handle;
using nb::object;
using nb::steal;
using Error = nb::python_error;

// ---------------------------------------------------------------- errors

// Throws the pending Python exception as `Error`.
[[noreturn]] void raise_pending();
// Sets `type(message)` as the pending exception and throws it.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, handle message);

// A new reference from the C API, or the pending exception thrown.
inline object checked(PyObject* p) {
    if (!p) raise_pending();
    return steal(p);
}
inline void check(int rc) {
    if (rc < 0) raise_pending();
}

// `except <cls>:` — whether a caught error is an instance of `cls`
// (subclasses included, as Python's except clause tests it).
inline bool caught(const Error& e, PyObject* cls) { return e.matches(cls); }
// `except Exception:` — SystemExit, KeyboardInterrupt and GeneratorExit are
// not in this family and must be rethrown by the caller.
inline bool is_exception(const Error& e) { return e.matches(PyExc_Exception); }

// `try: v = body() except Exception: ...` — the body's result, or an empty
// object when it raised an error of the Exception family (others propagate).
template <class Body>
object attempt(Body&& body) {
    try {
        return body();
    } catch (const Error& e) {
        if (!is_exception(e)) throw;
    }
    return object();
}

// `except ... as e:` — the exception instance of a caught error; str() of it
// is the text Python code sees (a KeyError's is the quoted key).
object exception_value(const Error& e);

// ---------------------------------------------------------------- texts


// A name or constant text, interned once when the module is loaded.
// Declare at namespace scope: `static const pg::Text k_name{"name"};`
class Text {
public:
    explicit Text(const char* text) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    PyObject* ptr() const noexcept { return obj_; }
    operator handle() const noexcept { return obj_; }
    const char* c_str() const noexcept { return text_; }

    // Where the attribute of this name was found on the types read so far,
    // and the class method of this name on the classes called so far.
    pg_attr_cache& attr_cache() const noexcept { return cache_; }
    pg_method_cache& method_cache() const noexcept { return methods_; }

    // Interns every declared Text that is not interned yet.
    static void intern_all();

private:
    const char* text_;
    PyObject* obj_ = nullptr;  // immortal for the life of the process
    Text* next_;
    mutable pg_attr_cache cache_{};
    mutable pg_method_cache methods_{};
};

// A new str from UTF-8, and an interned one (for names made once at load).
inline object text(const char* utf8) { return checked(PyUnicode_FromString(utf8)); }
inline object intern(const char* utf8) { return checked(PyUnicode_InternFromString(utf8)); }

// ---------------------------------------------------------------- values

inline PyObject* new_ref(PyObject* p) {
    Py_INCREF(p);
    return p;
}
inline object none() { return borrow(Py_None); }
inline object boolean(bool v) { return borrow(v ? Py_True : Py_False); }
inline object integer(long long v) { return checked(PyLong_FromLongLong(v)); }
inline bool is_none(handle h) { return h.ptr() == Py_None; }

object new_list();
object new_dict();
object tuple(std::initializer_list<handle> items);

// Records with a fixed list of text keys, built the way `{k1: v1, ...}` or
// `r = {}` followed by `r[k1] = v1; ...` builds them. Each is a copy of a model
// record (the keys set in order into an empty dictionary, each holding None,
// made once and kept for the life of the process), so the key table comes at
// once with the size and layout the record's own would have, and the values are
// then put in place (textdict.h). Where dict layouts are not read, a record
// is a new dictionary and each key is set into it.
class RecordModel {
public:
    static constexpr std::size_t max_keys = 10;  // a peering pair's record
    template <class... Key>
    explicit RecordModel(const Key&... keys) noexcept : keys_{&keys...}, size_(sizeof...(Key)) {
        static_assert(sizeof...(Key) <= max_keys, "a record model holds at most max_keys keys");
    }
    RecordModel(const RecordModel&) = delete;
    RecordModel& operator=(const RecordModel&) = delete;

    // A new record holding values[i] under the i-th key.
    object make(std::initializer_list<handle> values) const;
    // A new record to fill: the model's keys holding None, or an empty
    // dictionary where layouts are not read.
    object blank() const;
    // Puts values[i] (as many as there are keys) under the i-th key of a
    // record that blank() made and no other code has seen; false, with the
    // record untouched, when that cannot be done in place.
    bool fill(handle record, PyObject* const* values) const;
    // Sets each key of `record` to its value in turn, as `record[k] = v` does.
    void set_each(handle record, PyObject* const* values) const;

private:
    handle model() const;
    const Text* keys_[max_keys];
    std::size_t size_;
    mutable PyObject* model_ = nullptr;  // kept for the life of the process, as the texts are
};
void append(handle list, handle item);  // list.append(item) for an exact list
// o.append(item): an exact list appends at once (its append cannot be
// replaced), anything else through its own append method.
void call_append(handle o, handle item);

// ---------------------------------------------------------------- attributes and items

inline object attr(handle o, handle name) { return checked(PyObject_GetAttr(o.ptr(), name.ptr())); }
// o.name for a declared name: read where the type kept it last time while
// nothing about the type has changed (attrcache.h).
inline object attr(handle o, const Text& name) {
    return checked(pg_cached_getattr(o.ptr(), name.ptr(), &name.attr_cache()));
}
inline void set_attr(handle o, handle name, handle value) {
    check(PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr()));
}
// o.name = value for a declared name: straight to the type's setattro, as
// PyObject_SetAttr goes for a name that is already an interned str.
inline void set_attr(handle o, const Text& name, handle value) {
    setattrofunc store = Py_TYPE(o.ptr())->tp_setattro;
    check(store ? store(o.ptr(), name.ptr(), value.ptr()) : PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr()));
}
inline bool has_attr(handle o, handle name) {
    object v = steal(PyObject_GetAttr(o.ptr(), name.ptr()));
    if (v) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
    PyErr_Clear();
    return false;
}

namespace detail {
// An exact dict looked up by an exact str key: the dict lookup that o[key]
// makes, without the protocol dispatch (a table of text keys is probed at
// once, textdict.h); *applies tells whether it was made.
inline PyObject* str_key_lookup(handle o, handle key, bool* applies) {
    *applies = PyDict_CheckExact(o.ptr()) && PyUnicode_CheckExact(key.ptr());
    if (!*applies) return nullptr;
    PyObject* v = pg_dict_get_str(o.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) raise_pending();
    return v;
}
}  // namespace detail

// o[key]
inline object item(handle o, handle key) {
    bool fast;
    if (PyObject* v = detail::str_key_lookup(o, key, &fast)) return borrow(v);
    if (fast) raise(PyExc_KeyError, key);  // KeyError(key), as the dict raises it
    return checked(PyObject_GetItem(o.ptr(), key.ptr()));
}
object item(handle o, Py_ssize_t index);
// o[key] = value (an exact dict takes the store its subscript slot makes)
inline void set_item(handle o, handle key, handle value) {
    if (PyDict_CheckExact(o.ptr())) return check(PyDict_SetItem(o.ptr(), key.ptr(), value.ptr()));
    check(PyObject_SetItem(o.ptr(), key.ptr(), value.ptr()));
}
// o[key], or an empty object when that raises KeyError (other errors propagate).
// This is `try: v = o[key] except KeyError: ...` without a C++ throw.
object item_or_null(handle o, handle key);

// ---------------------------------------------------------------- truth, comparison, membership

inline bool truth(handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) raise_pending();
    return r != 0;
}

// Rich comparison followed by a truth test, exactly as `if a == b:` does.
// (PyObject_RichCompareBool is not used: its identity shortcut differs.)
bool compare(handle a, handle b, int op);
inline bool eq(handle a, handle b) { return compare(a, b, Py_EQ); }
inline bool ne(handle a, handle b) { return compare(a, b, Py_NE); }
inline bool lt(handle a, handle b) { return compare(a, b, Py_LT); }
inline bool le(handle a, handle b) { return compare(a, b, Py_LE); }
inline bool gt(handle a, handle b) { return compare(a, b, Py_GT); }
inline bool ge(handle a, handle b) { return compare(a, b, Py_GE); }

// len(o)
inline Py_ssize_t length(handle o) {
    Py_ssize_t n = PyObject_Size(o.ptr());
    if (n < 0) raise_pending();
    return n;
}

// `x in container`
inline bool contains(handle container, handle x) {
    // An exact dict answers with its own lookup, as its `in` slot does.
    int r = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), x.ptr())
                                               : PySequence_Contains(container.ptr(), x.ptr());
    if (r < 0) raise_pending();
    return r != 0;
}

// isinstance(o, cls) for a class object that may be a tuple or use __instancecheck__.
inline bool isinstance(handle o, handle cls) {
    int r = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (r < 0) raise_pending();
    return r != 0;
}

// ---------------------------------------------------------------- text

// str(o); an exact str is returned as it is.
inline object str(handle o) {
    if (PyUnicode_CheckExact(o.ptr())) return borrow(o);
    return checked(PyObject_Str(o.ptr()));
}

// Concatenation of the text forms of the pieces, as `"a" + str(x) + "b"`.
object cat(std::initializer_list<handle> pieces);
template <class... P>
object concat(const P&... pieces) {
    return cat({handle(pieces)...});
}

// `a + b + ...` with Python's `+`, left to right; pieces that are all exact
// str are joined at once.
object add(std::initializer_list<handle> pieces);

// s.replace(old, new); s.split(sep); sep.join(items). An exact str goes
// straight to the str implementation, anything else through its own method.
object replace(handle s, handle old, handle new_);
object split(handle s, handle sep);
object join(handle sep, handle items);

// `s.split("/")[index]` with Python's indexing rules (negative indices,
// IndexError). An exact str is scanned for the one segment; anything else
// goes through its own split method.
object segment(handle s, handle sep, Py_ssize_t index);
// The same with an index that is itself a Python object (a class constant).
object segment(handle s, handle sep, handle index);

// ---------------------------------------------------------------- guards

// `try: return body()` / `except Exception: return fallback` — SystemExit,
// KeyboardInterrupt and GeneratorExit pass through.
template <class Body>
object try_or(handle fallback, Body&& body) {
    try {
        return body();
    } catch (const Error& e) {
        if (!is_exception(e)) throw;
        return borrow(fallback);
    }
}

// ---------------------------------------------------------------- calls

namespace detail {
inline PyObject* arg_ptr(handle h) { return h.ptr(); }
inline PyObject* arg_ptr(const Text& t) { return t.ptr(); }
}  // namespace detail

// f(args...)
template <class... A>
object call(handle f, const A&... args) {
    PyObject* argv[] = {nullptr, detail::arg_ptr(args)...};
    return checked(PyObject_Vectorcall(f.ptr(), argv + 1,
                                       sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// o.name(args...)
template <class... A>
object call_method(handle o, handle name, const A&... args) {
    PyObject* argv[] = {o.ptr(), detail::arg_ptr(args)...};
    return checked(PyObject_VectorcallMethod(
        name.ptr(), argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// cls.name(args...) for a declared name: a class method of a class is called
// with the class at once while neither the class nor its metaclass changed
// (attrcache.h).
template <class... A>
object call_method(handle o, const Text& name, const A&... args) {
    PyObject* argv[] = {o.ptr(), detail::arg_ptr(args)...};
    return checked(pg_cached_call_method(name.ptr(), argv, 1 + sizeof...(A), &name.method_cache()));
}

// f(*positional, **{name: value for name, value in keywords}), keyword order kept.
struct Keyword {
    handle name;
    handle value;
};
object call_kw(handle f, std::initializer_list<handle> positional,
               std::initializer_list<Keyword> keywords);

// ---------------------------------------------------------------- iteration

// `for x in iterable:` — iterate(obj) yields borrowed handles valid for one step.
class Iteration {
public:
    explicit Iteration(handle iterable) : it_(checked(PyObject_GetIter(iterable.ptr()))) {}

    class Cursor {
    public:
        explicit Cursor(Iteration* owner) : owner_(owner) { advance(); }
        Cursor() = default;
        handle operator*() const { return current_; }
        Cursor& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const Cursor& other) const { return current_.ptr() != other.current_.ptr(); }

    private:
        void advance() {
            current_ = steal(PyIter_Next(owner_->it_.ptr()));
            if (!current_ && PyErr_Occurred()) raise_pending();
        }
        Iteration* owner_ = nullptr;
        object current_;
    };

    Cursor begin() { return Cursor(this); }
    Cursor end() { return Cursor(); }

private:
    object it_;
};
inline Iteration iterate(handle iterable) { return Iteration(iterable); }

// `a, b = pair` with Python's unpacking rules and messages.
std::pair<object, object> unpack2(handle pair);

// next(iterator), or an empty object when it is exhausted (StopIteration).
object next_or_null(handle iterator);

// ---------------------------------------------------------------- unpacking of n values

// `t[0], t[1], ..., t[n-1] = values` with Python's unpacking rules and messages.
void unpack(handle values, object* targets, Py_ssize_t n);

// ---------------------------------------------------------------- comparison with None

// `x == None` and `x != None` in a condition. None itself and the exact dict, list and str
// (whose comparisons with None fall back to identity) answer without a call;
// anything else compares through the protocol.
inline bool eq_none(handle x) {
    PyObject* p = x.ptr();
    if (p == Py_None) return true;
    if (PyDict_CheckExact(p) || PyList_CheckExact(p) || PyUnicode_CheckExact(p)) return false;
    return eq(x, Py_None);
}

inline bool ne_none(handle x) {
    PyObject* p = x.ptr();
    if (p == Py_None) return false;
    if (PyDict_CheckExact(p) || PyList_CheckExact(p) || PyUnicode_CheckExact(p)) return true;
    return ne(x, Py_None);
}

}  // namespace pg

// ---------------------------------------------------------------- keyword calls with fixed names

namespace pg {

namespace detail {
// The tuple of a call site's keyword names, made on the first call and kept
// for the process. Not a C++ guarded static: making the tuple may collect
// garbage, run a finalizer and let another thread in, which would then wait
// for the guard while holding the interpreter's lock. The first tuple stored
// is the one kept.
inline PyObject* keyword_names(PyObject*& kept, std::initializer_list<PyObject*> names) {
    if (kept) return kept;
    PyObject* t = PyTuple_New(Py_ssize_t(names.size()));
    if (!t) raise_pending();
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(t, i++, new_ref(name));
    if (kept) Py_DECREF(t);
    else kept = t;
    return kept;
}
}  // namespace detail

// f(p1, ..., N1=v1, N2=v2, ...) for declared names, the keyword values last:
// as the interpreter keeps a call's keyword names as a constant, their tuple
// is made on the first call only.
template <const Text&... Names, class... A>
object call_keywords(handle f, const A&... values) {
    static_assert(sizeof...(Names) <= sizeof...(A), "a value for every keyword");
    static PyObject* kept = nullptr;
    PyObject* names = detail::keyword_names(kept, {Names.ptr()...});
    PyObject* argv[] = {nullptr, detail::arg_ptr(values)...};
    constexpr std::size_t positional = sizeof...(A) - sizeof...(Names);
    return checked(PyObject_Vectorcall(f.ptr(), argv + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

}  // namespace pg
