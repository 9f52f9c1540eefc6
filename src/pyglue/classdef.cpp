#include "classdef.h"

#include "fast/attrcache.h"
#include "module.h"

#include <structmember.h>

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

// The function a classmethod of ours wraps (see classdef.h).
struct ClassFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // the adapter's entry
    PyObject* module;           // the module's name, as __module__
    PyObject* owner_bound;      // bound to the class that defines it, once that is made
    const char* name;
    const char* qualname;       // "<class>.<name>"
    const char* doc;            // "name($cls, a)\n--\n\n<doc>": the text signature, then the doc
};

// As a Python function's __get__, but the binding to the defining class is
// the one kept.
PyObject* class_function_get(PyObject* self, PyObject* obj, PyObject*) {
    PyObject* kept = reinterpret_cast<ClassFunction*>(self)->owner_bound;
    if (kept && PyMethod_GET_SELF(kept) == obj) return new_ref(kept);
    if (!obj || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

int class_function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<ClassFunction*>(self)->owner_bound);
    return 0;
}

int class_function_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<ClassFunction*>(self)->owner_bound);
    return 0;
}

void class_function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    class_function_clear(self);
    Py_XDECREF(reinterpret_cast<ClassFunction*>(self)->module);
    PyObject_GC_Del(self);
}

const ClassFunction& fields(PyObject* self) { return *reinterpret_cast<ClassFunction*>(self); }

PyObject* class_function_name(PyObject* self, void*) { return PyUnicode_FromString(fields(self).name); }

PyObject* class_function_qualname(PyObject* self, void*) { return PyUnicode_FromString(fields(self).qualname); }

PyObject* class_function_doc(PyObject* self, void*) {
    return PyUnicode_FromString(std::strstr(fields(self).doc, "\n--\n\n") + 5);
}

PyObject* class_function_text_signature(PyObject* self, void*) {
    const char* open = std::strchr(fields(self).doc, '(');
    return PyUnicode_FromStringAndSize(open, std::strstr(open, "\n--\n\n") - open);
}

PyObject* class_function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<class function %s>", fields(self).qualname);
}

PyTypeObject* class_function_type() {
    static PyTypeObject* const type = [] {
        static PyGetSetDef getset[] = {
            {"__name__", class_function_name, nullptr, nullptr, nullptr},
            {"__qualname__", class_function_qualname, nullptr, nullptr, nullptr},
            {"__doc__", class_function_doc, nullptr, nullptr, nullptr},
            {"__text_signature__", class_function_text_signature, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyMemberDef members[] = {
            {"__module__", T_OBJECT, offsetof(ClassFunction, module), READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr},
        };
        static PyTypeObject t{};
        Py_SET_REFCNT(&t, 1);  // as PyVarObject_HEAD_INIT leaves a static type
        t.tp_name = "class_function";
        t.tp_basicsize = sizeof(ClassFunction);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
        t.tp_vectorcall_offset = offsetof(ClassFunction, vectorcall);
        t.tp_call = PyVectorcall_Call;
        t.tp_descr_get = class_function_get;
        t.tp_traverse = class_function_traverse;
        t.tp_clear = class_function_clear;
        t.tp_dealloc = class_function_dealloc;
        t.tp_repr = class_function_repr;
        t.tp_getset = getset;
        t.tp_members = members;
        if (PyType_Ready(&t) < 0) raise_pending();
        pg_binds_plainly(&t);
        return &t;
    }();
    return type;
}

}  // namespace

vectorcallfunc class_function_entry(PyObject* function) {
    return Py_IS_TYPE(function, class_function_type()) ? fields(function).vectorcall : nullptr;
}

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

// The class function of an operation. Its names and doc are kept for the
// life of the process: made on the first import, reused when the module is
// imported again.
object class_function(const char* class_name, const MethodSpec& m) {
    static auto& docs = *new std::unordered_map<const char**, const char*>;
    auto [doc, made] = docs.try_emplace(m.qualname);
    if (made) {
        *m.qualname = keep(std::string(class_name) + "." + m.name);
        doc->second = keep(signature_doc(m));
    }
    auto* f = PyObject_GC_New(ClassFunction, class_function_type());
    if (!f) raise_pending();
    f->vectorcall = m.impl;
    f->module = new_ref(Globals::module_name().ptr());
    f->owner_bound = nullptr;
    f->name = m.name;
    f->qualname = *m.qualname;
    f->doc = doc->second;
    PyObject_GC_Track(f);
    return steal(reinterpret_cast<PyObject*>(f));
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
    std::vector<object> functions;
    for (const MethodSpec& m : definition.methods) {
        object name_text = checked(PyUnicode_InternFromString(m.name));
        functions.push_back(class_function(definition.name, m));
        set_item(ns, name_text, checked(PyClassMethod_New(functions.back().ptr())));
    }
    object cls = call(meta, name, bases, ns);
    for (const object& function : functions) {
        auto* f = reinterpret_cast<ClassFunction*>(function.ptr());
        f->owner_bound = checked(PyMethod_New(function.ptr(), cls.ptr())).release().ptr();
    }
    return cls;
}

}  // namespace pg
