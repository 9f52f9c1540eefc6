/* Remembered attribute reads (see attrcache.h). C, not C++: the interpreter's
 * internal headers that describe the instance layout compile only as C.
 *
 * Fast path (PG_FAST_LAYOUT, 3.11): mirrors the specialising LOAD_ATTR and
 * LOAD_METHOD of 3.11 (type version tags, inline values in shared keys,
 * module dict version tags). Generic path: PyObject_GetAttr and
 * PyObject_VectorcallMethod, at the end of this file. */
#ifdef PG_FAST_LAYOUT
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_moduleobject.h>
#include <internal/pycore_object.h>
#endif

#include "attrcache.h"
#include "textdict.h"

/* A way's index for a type whose reads of the name stay generic. */
#define PG_GENERIC (-2)

#ifdef PG_FAST_LAYOUT

int pg_attr_cache_enabled(void) { return 1; }

/* The dict an instance keeps its attributes in, or NULL. */
static PyObject* instance_dict(PyObject* o, PyTypeObject* tp) {
    if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) return *_PyObject_ManagedDictPointer(o);
    return *(PyObject**)((char*)o + tp->tp_dictoffset);
}

/* The value under name in the instance's storage, a borrowed reference, or
 * NULL when it is not there; never runs Python code, so that a miss followed
 * by the generic read is not seen twice. */
static PyObject* stored_value(PyObject* o, PyTypeObject* tp, PyObject* name, const pg_attr_way* way) {
    if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        PyDictValues* values = *_PyObject_ValuesPointer(o);
        if (values) return way->index >= 0 ? values->values[way->index] : NULL;
    }
    PyObject* dict = instance_dict(o, tp);
    /* Only str keys: the lookup compares texts and calls no __eq__. */
    if (!dict || !PyDict_CheckExact(dict) || !DK_IS_UNICODE(((PyDictObject*)dict)->ma_keys)) return NULL;
    Py_hash_t hash = ((PyASCIIObject*)name)->hash;
    return hash == -1 ? NULL : _PyDict_GetItem_KnownHash(dict, name, hash);
}

/* The way to the attribute for the type, or 0 when nothing can be remembered:
 * its own attribute protocol, no version tag or no instance dict. Something
 * under the name in its MRO (a descriptor, a method, a class value) makes a
 * way that says "generic", so that the type is not examined on every read. */
static int find_way(PyTypeObject* tp, PyObject* name, pg_attr_way* way) {
    if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && tp->tp_dictoffset <= 0) return 0;
    PyObject* on_type = _PyType_Lookup(tp, name); /* also gives the type its version tag */
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || tp->tp_version_tag == 0) return 0;
    way->type = tp;
    way->version = tp->tp_version_tag;
    way->keys = (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) ? ((PyHeapTypeObject*)tp)->ht_cached_keys : NULL;
    way->index = on_type ? PG_GENERIC : -1;
    if (on_type) return 1;
    if ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        PyDictKeysObject* keys = ((PyHeapTypeObject*)tp)->ht_cached_keys;
        if (keys && keys->dk_kind == DICT_KEYS_SPLIT) {
            PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
            for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
                if (entries[i].me_key == name) way->index = i;
        }
    }
    return 1;
}

/* o.name for an exact module o, a new reference: the value its dict held
 * when the way was made, while the dict keeps that version; else read the
 * generic way, and remembered when it is the dict's entry (not a module
 * __getattr__'s answer; nothing on the module type goes by such names). */
static PyObject* module_attribute(PyObject* o, PyObject* name, pg_module_way* way) {
    PyDictObject* dict = (PyDictObject*)_PyModule_GetDict(o);
    if (way->module == o && way->version && dict->ma_version_tag == way->version) return Py_NewRef(way->value);
    PyObject* v = PyObject_GetAttr(o, name);
    if (!v || _PyType_Lookup(&PyModule_Type, name) || !PyDict_CheckExact(dict) || !DK_IS_UNICODE(dict->ma_keys))
        return v;
    Py_hash_t hash = ((PyASCIIObject*)name)->hash;
    if (hash != -1 && _PyDict_GetItem_KnownHash((PyObject*)dict, name, hash) == v) {
        way->module = o;
        way->value = v;
        way->version = dict->ma_version_tag;
    }
    return v;
}

PyObject* pg_cached_getattr(PyObject* o, PyObject* name, pg_attr_cache* cache) {
    if (Py_IS_TYPE(o, &PyModule_Type)) return module_attribute(o, name, &cache->module);
    PyTypeObject* tp = Py_TYPE(o);
    for (int w = 0; w < PG_ATTR_WAYS; ++w) {
        const pg_attr_way* way = &cache->ways[w];
        if (way->type != tp || way->version != tp->tp_version_tag || way->version == 0) continue;
        /* Shared keys only grow while the type lives: a slot found once stays that name's. */
        if ((tp->tp_flags & Py_TPFLAGS_HEAPTYPE) && way->keys != ((PyHeapTypeObject*)tp)->ht_cached_keys)
            break;
        if (way->index == PG_GENERIC) return PyObject_GetAttr(o, name);
        PyObject* v = stored_value(o, tp, name, way);
        if (v) return Py_NewRef(v);
        break;
    }
    PyObject* v = PyObject_GetAttr(o, name);
    if (!v) return NULL;
    tp = Py_TYPE(o); /* as it is now, should the read have run code */
    pg_attr_way found;
    if (find_way(tp, name, &found)) {
        /* One way per type: a type seen again replaces its old way. */
        unsigned int slot = cache->next;
        for (unsigned int w = 0; w < PG_ATTR_WAYS; ++w)
            if (cache->ways[w].type == tp) slot = w;
        cache->ways[slot] = found;
        if (slot == cache->next) cache->next = (cache->next + 1) % PG_ATTR_WAYS;
    }
    return v;
}

/* The layout of a classmethod object (Objects/funcobject.c of 3.11). */
typedef struct {
    PyObject_HEAD
    PyObject* cm_callable;
    PyObject* cm_dict;
} pg_classmethod;

static PyTypeObject* binds_plainly;

void pg_binds_plainly(PyTypeObject* type) { binds_plainly = type; }

/* The function a classmethod binds, when binding it makes a plain bound
 * method of it (a Python function, a class function of ours, or a callable
 * that is no descriptor). */
static PyObject* bound_function(PyObject* method) {
    PyObject* f = ((pg_classmethod*)method)->cm_callable;
    if (!f || (!PyFunction_Check(f) && Py_TYPE(f)->tp_descr_get && Py_TYPE(f) != binds_plainly)) return NULL;
    return f;
}

static int find_method_way(PyObject* o, PyObject* name, pg_method_way* way) {
    if (!PyType_Check(o)) return 0;
    PyTypeObject* cls = (PyTypeObject*)o;
    PyTypeObject* meta = Py_TYPE(o);
    if (meta->tp_getattro != PyType_Type.tp_getattro || _PyType_Lookup(meta, name)) return 0;
    PyObject* method = _PyType_Lookup(cls, name);
    if (!method || !Py_IS_TYPE(method, &PyClassMethod_Type) || !bound_function(method)) return 0;
    if (!(cls->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || !cls->tp_version_tag ||
        !(meta->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || !meta->tp_version_tag)
        return 0;
    way->cls = cls;
    way->meta = meta;
    way->method = method;
    way->version = cls->tp_version_tag;
    way->meta_version = meta->tp_version_tag;
    return 1;
}

/* Whether the name in the shared keys' entries, compared as the dict would. */
static int keys_hold(PyDictKeysObject* keys, PyObject* name) {
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        PyObject* key = entries[i].me_key;
        if (key == name || (key && _PyUnicode_EQ(key, name))) return 1;
    }
    return 0;
}

static int find_instance_way(PyObject* o, PyObject* name, pg_instance_way* way) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && tp->tp_dictoffset < 0) return 0;
    PyObject* method = _PyType_Lookup(tp, name);
    if (!method || !PyType_HasFeature(Py_TYPE(method), Py_TPFLAGS_METHOD_DESCRIPTOR)) return 0;
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || !tp->tp_version_tag) return 0;
    way->keys = NULL;
    way->nentries = 0;
    if ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        PyDictKeysObject* keys = ((PyHeapTypeObject*)tp)->ht_cached_keys;
        if (keys) {
            if (keys->dk_kind != DICT_KEYS_SPLIT || keys_hold(keys, name)) return 0;
            way->keys = keys;
            way->nentries = keys->dk_nentries;
        }
    }
    way->type = tp;
    way->method = method;
    way->version = tp->tp_version_tag;
    return 1;
}

/* Whether the instance surely holds nothing under the name; 0 when that
 * cannot be told without running Python code, so that the call goes the
 * generic way and any code runs there, once. */
static int instance_lacks(PyObject* o, PyTypeObject* tp, PyObject* name, const pg_instance_way* way) {
    if ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && *_PyObject_ValuesPointer(o)) {
        PyDictKeysObject* keys = ((PyHeapTypeObject*)tp)->ht_cached_keys;
        return keys == way->keys && keys->dk_nentries == way->nentries;
    }
    PyObject* dict = (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset > 0 ? instance_dict(o, tp) : NULL;
    if (!dict) return 1;
    if (!PyDict_CheckExact(dict) || !DK_IS_UNICODE(((PyDictObject*)dict)->ma_keys)) return 0;
    Py_hash_t hash = ((PyASCIIObject*)name)->hash;
    return hash != -1 && !_PyDict_GetItem_KnownHash(dict, name, hash);
}

/* f(*args) for a callable found in a class's dict, held for the call as the
 * interpreter holds what LOAD_METHOD pushed: the call may run code (and other
 * threads) that rebinds the name and drops the dict's reference. */
static PyObject* call_held(PyObject* f, PyObject* const* args, size_t nargs) {
    Py_INCREF(f);
    PyObject* result = PyObject_Vectorcall(f, args, nargs, NULL);
    Py_DECREF(f);
    return result;
}

PyObject* pg_cached_call_method(PyObject* name, PyObject* const* args, size_t nargs, pg_method_cache* cache) {
    PyObject* o = args[0];
    if (Py_IS_TYPE(o, &PyModule_Type)) {
        /* Held for the call, as the interpreter holds what it read: the call may change the dict. */
        PyObject* f = module_attribute(o, name, &cache->module);
        if (!f) return NULL;
        PyObject* result = PyObject_Vectorcall(f, args + 1, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
        Py_DECREF(f);
        return result;
    }
    PyTypeObject* meta = Py_TYPE(o);
    for (int w = 0; w < PG_METHOD_WAYS; ++w) {
        const pg_instance_way* way = &cache->instance_ways[w];
        if (way->type != meta || way->version != meta->tp_version_tag || !way->version) continue;
        if (instance_lacks(o, meta, name, way)) return call_held(way->method, args, nargs);
        break;
    }
    for (int w = 0; w < PG_METHOD_WAYS; ++w) {
        const pg_method_way* way = &cache->ways[w];
        if ((PyObject*)way->cls != o || way->version != ((PyTypeObject*)o)->tp_version_tag ||
            way->meta != meta || way->meta_version != meta->tp_version_tag || !way->version)
            continue;
        PyObject* f = bound_function(way->method);
        if (f) return call_held(f, args, nargs);
        break;
    }
    pg_method_way found;
    pg_instance_way found_instance;
    if (find_method_way(o, name, &found)) {
        unsigned int slot = cache->next;
        for (unsigned int w = 0; w < PG_METHOD_WAYS; ++w)
            if (cache->ways[w].cls == found.cls) slot = w;
        cache->ways[slot] = found;
        if (slot == cache->next) cache->next = (cache->next + 1) % PG_METHOD_WAYS;
        /* Just found, nothing run since: the way applies to this call too
         * (a class changed at every call, as by its own class attribute
         * stores, is then looked up once per call, not twice). */
        PyObject* f = bound_function(found.method);
        if (f) return call_held(f, args, nargs);
    } else if (find_instance_way(o, name, &found_instance)) {
        unsigned int slot = cache->next_instance;
        for (unsigned int w = 0; w < PG_METHOD_WAYS; ++w)
            if (cache->instance_ways[w].type == found_instance.type) slot = w;
        cache->instance_ways[slot] = found_instance;
        if (slot == cache->next_instance) cache->next_instance = (cache->next_instance + 1) % PG_METHOD_WAYS;
    }
    return PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
}

#else

int pg_attr_cache_enabled(void) { return 0; }

void pg_binds_plainly(PyTypeObject* type) { (void)type; }

PyObject* pg_cached_call_method(PyObject* name, PyObject* const* args, size_t nargs, pg_method_cache* cache) {
    (void)cache;
    return PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
}

PyObject* pg_cached_getattr(PyObject* o, PyObject* name, pg_attr_cache* cache) {
    (void)cache;
    return PyObject_GetAttr(o, name);
}

#endif

/* ---------------------------------------------------------------- look-ups that can be reused */

#ifdef PG_FAST_LAYOUT
unsigned long long pg_pure_lookup_version(PyObject* dict, PyObject* key) {
    return PyUnicode_CheckExact(key) && pg_text_dict(dict) ? ((PyDictObject*)dict)->ma_version_tag : 0;
}
#else
unsigned long long pg_pure_lookup_version(PyObject* dict, PyObject* key) {
    (void)dict;
    (void)key;
    return 0;
}
#endif
