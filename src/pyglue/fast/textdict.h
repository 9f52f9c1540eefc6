/* Dictionaries whose keys are all exact str.
 *
 * Looking up an exact str in an exact dict whose keys are all exact str runs
 * no host code: no __hash__ or __eq__ of a key can be met on a probe. These
 * helpers make that look-up without the generic dispatch, tell when a dict is
 * such a dict, and fill the values of a record just copied from a model record
 * in place. They read the dict layout only where the build turns that fast
 * path on (textdict.c); elsewhere they take the generic C API throughout (the
 * look-up) or say they cannot (the others), and the callers then take their
 * generic path. */
#ifndef PG_TEXTDICT_H
#define PG_TEXTDICT_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* d[key] for an exact dict d and an exact str key: a borrowed reference, or
 * NULL (with an error set only when the look-up failed, never for a missing
 * key), as PyDict_GetItemWithError gives them. */
PyObject* pg_dict_get_str(PyObject* d, PyObject* key);

/* Whether d is an exact dict whose keys are all exact str, so that looking up
 * an exact str in it runs no host code; 0 when that is not sure (always 0
 * where the layout is not read). */
int pg_text_dict(PyObject* d);

/* Sets the n values of `record`, a dict made by PyDict_Copy of a model record
 * that no other code has seen: values[i] becomes the value of its i-th key, as
 * setting each key anew would leave it (the key order and the key table kept,
 * the record tracked by the collector when a value may need it). The model
 * keeps the values the copy took from it. 1 when done; 0, with the record
 * untouched, when the record is not such a copy (or the layout is not read):
 * the caller then sets the values itself. */
int pg_fill_copy(PyObject* record, PyObject* const* values, Py_ssize_t n);

/* Whether this build reads dict layouts (1) or always takes the generic C API (0). */
int pg_text_dicts_read(void);

#ifdef __cplusplus
}
#endif

#endif
