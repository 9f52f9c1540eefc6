/* Dictionaries whose keys are all exact str (see textdict.h). C, not C++: the
 * interpreter's internal headers that describe the dict layout compile only
 * as C.
 *
 * Fast path (PG_FAST_LAYOUT, 3.11): mirrors the 3.11 dict's own look-up
 * (its index table and probe order over a table of str keys) and PyDict_Copy's
 * fresh copy. Generic path: PyDict_GetItemWithError, and "cannot" for the
 * others, at the end of this file. */
#ifdef PG_FAST_LAYOUT
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_gc.h>
#include <internal/pycore_object.h>
#endif

#include "textdict.h"

#ifdef PG_FAST_LAYOUT

/* The slot's entry index, read with the width the table's size gives it. */
static inline Py_ssize_t index_at(const PyDictKeysObject* keys, size_t i) {
    int log2size = keys->dk_log2_size;
    if (log2size < 8) return ((const int8_t*)keys->dk_indices)[i];
    if (log2size < 16) return ((const int16_t*)keys->dk_indices)[i];
    if (log2size >= 32) return ((const int64_t*)keys->dk_indices)[i];
    return ((const int32_t*)keys->dk_indices)[i];
}

/* The probe sequence of the dict's own look-up over a table of str keys:
 * the same slots in the same order, a key matching by identity or by equal
 * hash and equal text. */
static PyObject* text_table_get(PyDictObject* d, PyObject* key, Py_hash_t hash) {
    PyDictKeysObject* keys = d->ma_keys;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    size_t mask = ((size_t)1 << keys->dk_log2_size) - 1;
    size_t perturb = (size_t)hash;
    size_t i = (size_t)hash & mask;
    for (;;) {
        Py_ssize_t ix = index_at(keys, i);
        if (ix >= 0) {
            PyObject* k = entries[ix].me_key;
            if (k == key || (((PyASCIIObject*)k)->hash == hash && _PyUnicode_EQ(k, key)))
                return d->ma_values ? d->ma_values->values[ix] : entries[ix].me_value;
        } else if (ix == DKIX_EMPTY) {
            return NULL;
        }
        perturb >>= 5; /* PERTURB_SHIFT */
        i = mask & (i * 5 + perturb + 1);
    }
}

static __attribute__((noinline)) PyObject* generic_get(PyObject* d, PyObject* key) {
    return PyDict_GetItemWithError(d, key);
}

static __attribute__((noinline)) PyObject* probed_get(PyDictObject* d, PyObject* key, Py_hash_t hash) {
    return text_table_get(d, key, hash);
}

/* A look-up that the first probe settles (the key itself found there, or an
 * empty slot) is made here at once; any other goes the whole way. */
PyObject* pg_dict_get_str(PyObject* d, PyObject* key) {
    PyDictObject* mp = (PyDictObject*)d;
    PyDictKeysObject* keys = mp->ma_keys;
    Py_hash_t hash = ((PyASCIIObject*)key)->hash;
    if (hash == -1 || keys->dk_kind != DICT_KEYS_UNICODE) {
        if (hash != -1 && DK_IS_UNICODE(keys)) return probed_get(mp, key, hash);
        return generic_get(d, key);
    }
    if (keys->dk_log2_size < 8) {
        size_t i = (size_t)hash & (((size_t)1 << keys->dk_log2_size) - 1);
        Py_ssize_t ix = ((const int8_t*)keys->dk_indices)[i];
        if (ix == DKIX_EMPTY) return NULL;
        if (ix >= 0) {
            PyDictUnicodeEntry* entry = &DK_UNICODE_ENTRIES(keys)[ix];
            if (entry->me_key == key) return entry->me_value;
        }
    }
    return probed_get(mp, key, hash);
}

int pg_text_dicts_read(void) { return 1; }

int pg_text_dict(PyObject* d) {
    return PyDict_CheckExact(d) && DK_IS_UNICODE(((PyDictObject*)d)->ma_keys);
}

int pg_fill_copy(PyObject* record, PyObject* const* values, Py_ssize_t n) {
    PyDictObject* d = (PyDictObject*)record;
    /* A fresh copy: held here alone, its own table of str keys, every entry
     * in use (none deleted), not yet tracked. */
    if (!PyDict_CheckExact(record) || Py_REFCNT(record) != 1 || d->ma_values || !DK_IS_UNICODE(d->ma_keys) ||
        d->ma_keys->dk_kind != DICT_KEYS_UNICODE || d->ma_keys->dk_refcnt != 1 || d->ma_used != n ||
        d->ma_keys->dk_nentries != n || _PyObject_GC_IS_TRACKED(record))
        return 0;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(d->ma_keys);
    int track = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* old = entries[i].me_value;
        entries[i].me_value = Py_NewRef(values[i]);
        Py_DECREF(old); /* the model still holds it */
        track = track || (_PyObject_IS_GC(values[i]) &&
                          (!PyTuple_CheckExact(values[i]) || _PyObject_GC_IS_TRACKED(values[i])));
    }
    if (track) _PyObject_GC_TRACK(record);
    return 1;
}

#else

PyObject* pg_dict_get_str(PyObject* d, PyObject* key) { return PyDict_GetItemWithError(d, key); }

int pg_text_dicts_read(void) { return 0; }

int pg_text_dict(PyObject* d) {
    (void)d;
    return 0;
}

int pg_fill_copy(PyObject* record, PyObject* const* values, Py_ssize_t n) {
    (void)record;
    (void)values;
    (void)n;
    return 0;
}

#endif
