#include "module.h"

#include "classdef.h"

#include <cstring>
#include <string>

namespace pg {

namespace {
PyObject* current_module = nullptr;  // strong references, replaced on re-execution
PyObject* current_dict = nullptr;

Text k___name__{"__name__"};
Text k_logging{"logging"};
Text k_getLogger{"getLogger"};
Text k_debug{"debug"};
Text k_info{"info"};
Text k_warning{"warning"};
Text k_error{"error"};
Text k_critical{"critical"};
}  // namespace

// ---------------------------------------------------------------- globals

void Globals::attach(handle module) {
    PyObject* dict = PyModule_GetDict(module.ptr());
    if (!dict) raise_pending();
    Py_INCREF(module.ptr());
    Py_INCREF(dict);
    Py_XSETREF(current_module, module.ptr());
    Py_XSETREF(current_dict, dict);
}

void Globals::bind(handle name, handle value) {
    check(PyDict_SetItem(current_dict, name.ptr(), value.ptr()));
}

void Globals::bind(const char* name, handle value) { bind(intern(name), value); }

object Globals::get(handle name) {
    PyObject* v = PyDict_GetItemWithError(current_dict, name.ptr());
    if (v) return borrow(v);
    if (PyErr_Occurred()) raise_pending();
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        v = PyDict_GetItemWithError(builtins, name.ptr());
        if (v) return borrow(v);
        if (PyErr_Occurred()) raise_pending();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    raise_pending();
}

handle Globals::module_name() {
    PyObject* v = PyDict_GetItemWithError(current_dict, k___name__.ptr());
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module has no __name__");
        raise_pending();
    }
    return v;
}

handle Globals::dict() { return current_dict; }

// ---------------------------------------------------------------- imports

object import_package(const char* dotted) {
    return checked(PyImport_ImportModuleLevel(dotted, current_dict, nullptr, nullptr, 0));
}

object import_module(const char* dotted) { return checked(PyImport_ImportModule(dotted)); }

object import_from(const char* module, const char* name) {
    object wanted = checked(PyUnicode_FromString(name));
    object fromlist = tuple({wanted});
    object mod = checked(
        PyImport_ImportModuleLevel(module, current_dict, nullptr, fromlist.ptr(), 0));
    PyObject* v = PyObject_GetAttr(mod.ptr(), wanted.ptr());
    if (v) return steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
    PyErr_Clear();
    object msg = checked(
        PyUnicode_FromFormat("cannot import name '%s' from '%s'", name, module));
    object modname = checked(PyUnicode_FromString(module));
    PyErr_SetImportError(msg.ptr(), modname.ptr(), nullptr);
    raise_pending();
}

// ---------------------------------------------------------------- logging

object module_logger() {
    object getLogger = module_attr<k_getLogger>(global<k_logging>());
    return call(getLogger, global<k___name__>());
}

void log(handle logger, Level level, handle message) {
    static const Text* const methods[] = {&k_debug, &k_info, &k_warning, &k_error, &k_critical};
    call_method(logger, *methods[int(level)], message);
}

// ---------------------------------------------------------------- loading

void warn_if_other_python(const char* module, const char* built_for) {
    // Py_GetVersion() reads "3.11.7 (main, ...)": keep "major.minor".
    std::string running = Py_GetVersion();
    std::size_t first = running.find('.');
    std::size_t second = running.find_first_not_of("0123456789", first + 1);
    running.resize(second == std::string::npos ? running.size() : second);
    if (running == built_for) return;
    PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                     "%s was built for Python %s but is running on Python %s", module,
                     built_for, running.c_str());
}

int run_module_init(PyObject* module, void (*body)()) {
    try {
        Text::intern_all();
        Globals::attach(module);
        body();
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

}  // namespace pg
