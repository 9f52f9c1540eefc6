#include "classdef.h"

#include "module.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace pg {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (Error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
}

namespace detail {

namespace {
// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as Python lists missing arguments.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}
}  // namespace

Py_ssize_t parameter_names(const char* method, const std::vector<const char*>& params,
                           const char** names, PyObject** defaults) {
    static const std::string none_default = "=None", empty_default = "=''", zero_default = "=0";
    names[0] = "cls";
    Py_ssize_t required = 1;
    for (std::size_t i = 0; i < params.size(); ++i) {
        std::string name = params[i];
        auto ends_with = [&](const std::string& tail) {
            return name.size() > tail.size() &&
                   name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
        };
        PyObject* fallback = ends_with(none_default)    ? Py_None
                             : ends_with(empty_default) ? PyUnicode_New(0, 0)  // kept for good
                             : ends_with(zero_default)  ? PyLong_FromLong(0)   // kept for good
                                                        : nullptr;
        if (fallback) {
            name.resize(name.find('='));
            names[i + 1] = strdup(name.c_str());
            defaults[i + 1] = fallback;
        } else {
            if (required != Py_ssize_t(i) + 1) throw std::logic_error(method);  // after an optional one
            names[i + 1] = params[i];
            ++required;
        }
    }
    return required;
}

bool bind_arguments(const char* qualname, const char* const* params, Py_ssize_t nparams,
                    Py_ssize_t nrequired, PyObject* const* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (nargs > nparams) {
        if (nrequired < nparams)
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments but %zd %s given",
                         qualname, nrequired, nparams, nargs, nargs == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                         qualname, nparams, nparams == 1 ? "" : "s", nargs,
                         nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t p = 0;
        while (p < nparams && PyUnicode_CompareWithASCIIString(key, params[p]) != 0) ++p;
        if (p == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         qualname, key);
            return false;
        }
        if (slots[p]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         qualname, key);
            return false;
        }
        slots[p] = args[nargs + j];
    }
    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (!slots[i] && i >= nrequired) slots[i] = defaults[i];
        else if (!slots[i]) missing.push_back(params[i]);
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
                     qualname, Py_ssize_t(missing.size()), missing.size() == 1 ? "" : "s",
                     quoted_list(missing).c_str());
        return false;
    }
    return true;
}

}  // namespace detail

namespace {
Text k___prepare__{"__prepare__"};
Text k___module__{"__module__"};
Text k___qualname__{"__qualname__"};
Text k___doc__{"__doc__"};

// The metaclass a class statement picks: the most derived of the bases' types.
PyTypeObject* winning_metaclass(handle bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.ptr()); ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases.ptr(), i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return winner;
}

// Immortal storage for what the interpreter keeps pointers to.
const char* keep(const std::string& s) { return strdup(s.c_str()); }

// "name($cls, a, b)\n--\n\n<doc>": lets inspect.signature() and help() show
// the parameters of a C++ method.
std::string signature_doc(const MethodSpec& m) {
    std::string doc = std::string(m.name) + "($cls";
    for (const char* p : m.params) doc += std::string(", ") + p;
    doc += ")\n--\n\n";
    doc += m.doc;
    return doc;
}

// One method table entry per adapter for the life of the process: made on
// the first import, reused when the module is imported again (the map is
// never destroyed, so function objects alive at exit still point into it).
object class_method(const char* class_name, const MethodSpec& m) {
    static auto& defs = *new std::unordered_map<const char**, PyMethodDef>;
    auto [entry, made] = defs.try_emplace(m.qualname);
    if (made) {
        *m.qualname = keep(std::string(class_name) + "." + m.name);
        entry->second = {m.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.impl)),
                         METH_FASTCALL | METH_KEYWORDS, keep(signature_doc(m))};
    }
    object func = checked(PyCMethod_New(&entry->second, nullptr, Globals::module_name().ptr(), nullptr));
    return checked(PyClassMethod_New(func.ptr()));
}
}  // namespace

object make_class(const ClassSpec& definition, std::initializer_list<handle> base_list) {
    object bases = tuple(base_list);
    handle meta = reinterpret_cast<PyObject*>(winning_metaclass(bases));
    object name = checked(PyUnicode_FromString(definition.name));
    object ns = call_method(meta, k___prepare__, name, bases);
    set_item(ns, k___module__, Globals::module_name());
    set_item(ns, k___qualname__, name);
    object doc = checked(PyUnicode_FromString(definition.doc));
    set_item(ns, k___doc__, doc);
    for (const ClassAttr& a : definition.attrs) set_item(ns, a.name, a.value);
    for (const MethodSpec& m : definition.methods) {
        object name_text = checked(PyUnicode_InternFromString(m.name));
        set_item(ns, name_text, class_method(definition.name, m));
    }
    return call(meta, name, bases, ns);
}

}  // namespace pg
