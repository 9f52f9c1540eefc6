// Class methods implemented in C++ and classes made the way a `class`
// statement makes them.
//
//     object getVnet(handle cls, handle vnetName, handle network_client);
//     ...
//     pg::method<getVnet>("getVnet", {"vnetName", "network_client"}, "doc")
//
// A trailing parameter written "name=None" is optional and defaults to None;
// one written "name=''" defaults to the empty text, "name=0" to the integer 0.
//
// The adapter parses positional and keyword arguments with Python's rules and
// messages (TypeError on a wrong count, an unknown or a repeated keyword),
// calls the operation, and hands any error back to the interpreter: a Python
// error as it is, any other C++ exception as a Python exception, so nothing
// but a Python error ever reaches the interpreter.
//
// Each operation is a classmethod, as a class statement makes it, over a
// class function: called with the class first and bound to a class as a
// Python function is (a bound method of it). The bound method of the class
// that defines the operation is made once and kept, so `Common.getVnet(...)`
// makes no binding object; any other class gets a new one, as always.
#pragma once

#include "pyglue.h"
#include "pyglue/fast/recursion.h"

#include <array>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

namespace pg {

// Translates the exception being handled into the pending Python exception.
void set_error_from_current_exception() noexcept;

// A class method as the class namespace will hold it.
struct MethodSpec {
    const char* name;
    const char* doc;
    std::vector<const char*> params;  // after cls
    vectorcallfunc impl;    // called with cls first among the arguments
    const char** qualname;  // the adapter's, set when the class is made
};

namespace detail {

// Positional and keyword arguments bound to parameter slots; slot 0 is cls.
// Slots from `nrequired` on take their `defaults`. Returns false with
// TypeError set when the arguments do not fit.
bool bind_arguments(const char* qualname, const char* const* params, Py_ssize_t nparams,
                    Py_ssize_t nrequired, PyObject* const* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Fills `names` (cls first) from the declared parameters, with any default
// removed, and each optional one's default; returns how many are required
// (cls included).
Py_ssize_t parameter_names(const char* method, const std::vector<const char*>& params,
                           const char** names, PyObject** defaults);

template <class F>
struct Arity;
template <class... A>
struct Arity<object (*)(A...)> {
    static constexpr std::size_t value = sizeof...(A);
};

template <auto Fn>
struct Adapter {
    static constexpr std::size_t N = Arity<decltype(Fn)>::value;  // cls included
    static inline const char* qualname = nullptr;
    static inline std::array<const char*, N> params{};
    static inline std::array<PyObject*, N> defaults{};
    static inline Py_ssize_t required = N;

    template <std::size_t... I>
    static object invoke(PyObject* const* slots, std::index_sequence<I...>) {
        return Fn(handle(slots[I])...);
    }

    // As a built-in function is called, with the interpreter's recursion
    // limit: an operation can reach itself through a class's methods.
    static PyObject* entry(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        PyObject* const* slots = args;
        PyObject* bound[N > 0 ? N : 1];
        if (kwnames || nargs != Py_ssize_t(N)) {
            if (!bind_arguments(qualname, params.data(), N, required, defaults.data(), args, nargs,
                                kwnames, bound))
                return nullptr;
            slots = bound;
        }
        PyThreadState* tstate = enter_call();
        if (!tstate) return nullptr;
        PyObject* result;
        try {
            result = invoke(slots, std::make_index_sequence<N>()).release().ptr();
        } catch (...) {
            set_error_from_current_exception();
            result = nullptr;
        }
        leave_call(tstate);
        return result;
    }
};

}  // namespace detail

// Registers `Fn(cls, ...)` as the class method `name` with the given parameter
// names (the first, cls, is implied).
template <auto Fn>
MethodSpec method(const char* name, std::vector<const char*> params, const char* doc) {
    using A = detail::Adapter<Fn>;
    static_assert(A::N >= 1, "a class method takes cls first");
    if (params.size() + 1 != A::N) throw std::logic_error(name);  // a registration typo
    if (!A::params[0])  // parsed once per process; a module imported again reuses the names
        A::required = detail::parameter_names(name, params, A::params.data(), A::defaults.data());
    return MethodSpec{name, doc, std::move(params), A::entry, &A::qualname};
}

// A class attribute set when the class is created. The name is owned: an
// interned str made for it lives only as long as someone holds it.
struct ClassAttr {
    object name;
    object value;
};

// The adapter entry of a class function, else nullptr.
vectorcallfunc class_function_entry(PyObject* function);

// The adapter entry that `cls.<name>(...)` would call with cls first, when
// that is sure without calling anything (cls of the plain metaclass, the name
// on its MRO a classmethod of a class function); else nullptr, and the caller
// calls through the class.
vectorcallfunc class_method_entry(handle cls, const Text& name);

// Whether `cls.<name>(...)` would call the class method registered from Fn,
// so that the caller may run Fn at once.
template <auto Fn>
bool resolves_to(handle cls, const Text& name) {
    return class_method_entry(cls, name) == &detail::Adapter<Fn>::entry;
}

struct ClassSpec {
    const char* name;
    const char* doc;
    std::vector<ClassAttr> attrs;    // in the order the class body binds them
    std::vector<MethodSpec> methods;  // wrapped in classmethod
};

// `class <name>(*bases): ...` in the current module: the metaclass is the
// most derived metaclass of the bases, the namespace comes from its
// __prepare__ and holds __module__, __qualname__ and __doc__ first.
object make_class(const ClassSpec& definition, std::initializer_list<handle> bases);

}  // namespace pg
