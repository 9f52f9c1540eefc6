// Module-level state: the module's globals, the imports made at load, the
// module initialisation entry point, and logging through the module logger.
#pragma once

#include "pyglue.h"
#include "pyglue/fast/dicttag.h"

namespace pg {

// The globals of the extension module being loaded or called. Each extension
// links its own copy of this layer, so each has its own globals.
class Globals {
public:
    // Binds the module object being executed; called first by DM_MODULE.
    static void attach(handle module);

    // `name = value` at module level.
    static void bind(handle name, handle value);
    static void bind(const char* name, handle value);  // the name interned

    // A module-level name looked up at call time, as Python code resolves a
    // global: module dict, then builtins, else NameError.
    static object get(handle name);

    static handle module_name();  // __name__
    static handle dict();
};

// `import a.b.c` — returns the top-level package `a`, as the statement binds it.
object import_package(const char* dotted);
// `import a.b.c as x` — returns the module a.b.c itself.
object import_module(const char* dotted);
// `from module import name` — ImportError when the module lacks the name.
object import_from(const char* module, const char* name);

// Globals::get(Name) for a declared name, remembered while the module's dict
// is the same dict with the same version tag, as the interpreter's
// LOAD_GLOBAL remembers it (fast/dicttag.h). A name found only in builtins,
// or a build without dict tags, reads anew.
template <const Text& Name>
object global() {
    static PyObject* dict = nullptr;
    static unsigned long long version = 0;
    static PyObject* value = nullptr;  // borrowed from the dict, alive while it is unchanged
    PyObject* d = Globals::dict().ptr();
    if (unsigned long long tag = pg_dict_tag(d)) {
        if (d == dict && tag == version) return borrow(value);
        if (PyObject* v = PyDict_GetItemWithError(d, Name.ptr())) {
            dict = d;
            version = tag;
            value = v;
            return borrow(v);
        }
    }
    return Globals::get(Name);
}

// module.Name for an exact module object, remembered while the module's dict
// keeps its version tag, when the module type holds nothing under the name
// (the dict answers, as for LOAD_ATTR on a module); anything else reads anew.
template <const Text& Name>
object module_attr(handle module) {
    static PyObject* dict = nullptr;  // a strong reference: the tag is read only from a live dict
    static unsigned long long version = 0;
    static PyObject* value = nullptr;
    if (!PyModule_CheckExact(module.ptr())) return attr(module, Name);
    PyObject* d = PyModule_GetDict(module.ptr());
    unsigned long long tag = pg_dict_tag(d);
    if (tag && d == dict && tag == version) return borrow(value);
    object v = attr(module, Name);
    if (tag && PyDict_GetItemWithError(d, Name.ptr()) == v.ptr() && !_PyType_Lookup(&PyModule_Type, Name.ptr())) {
        // All three set before the old dict is let go: letting it go may run
        // code (and another thread), which must find them consistent.
        PyObject* old = dict;
        dict = new_ref(d);
        version = pg_dict_tag(d);  // as it is now, should the read have run code
        value = v.ptr();
        Py_XDECREF(old);
    }
    if (PyErr_Occurred()) raise_pending();
    return v;
}

// `logging.getLogger(__name__)`, both names resolved in the module's globals
// now (through global<>, and getLogger through module_attr<>).
object module_logger();

// logger.<level>(message)
enum class Level { debug, info, warning, error, critical };
void log(handle logger, Level level, handle message);

// Warns (RuntimeWarning) when the running interpreter's minor version differs
// from the one the module was built for.
void warn_if_other_python(const char* module, const char* built_for);

// Runs module initialisation code and turns anything it throws into the
// pending Python exception; returns -1 on failure as an exec slot must.
int run_module_init(PyObject* module, void (*body)());

}  // namespace pg

#ifndef DM_BUILT_FOR_PYTHON
#error "DM_BUILT_FOR_PYTHON (the Python version the module is built for) must be defined"
#endif

// Defines the extension's only exported symbol, PyInit_<name>, using
// multi-phase initialisation: an error raised by `body` propagates from the
// import statement as it is (a missing input file stays FileNotFoundError).
#define DM_MODULE(name, doc, body)                                                        \
    static int dm_exec_##name(PyObject* m) {                                              \
        pg::warn_if_other_python("dm.arm." #name, DM_BUILT_FOR_PYTHON);                   \
        if (PyErr_Occurred()) return -1;                                                  \
        return pg::run_module_init(m, body);                                              \
    }                                                                                     \
    static PyModuleDef_Slot dm_slots_##name[] = {{Py_mod_exec, (void*)dm_exec_##name},    \
                                                 {0, nullptr}};                           \
    static PyModuleDef dm_def_##name = {PyModuleDef_HEAD_INIT, #name, doc, 0, nullptr,    \
                                        dm_slots_##name, nullptr, nullptr, nullptr};      \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name() {         \
        return PyModuleDef_Init(&dm_def_##name);                                          \
    }
