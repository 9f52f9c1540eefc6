/* The version tag of a dict.
 *
 * Fast path (PG_FAST_DICT_TAGS, 3.9 to 3.11): the dict's ma_version_tag,
 * which these interpreters replace on every change of any dict with a tag
 * never given before, so that an unchanged tag means an unchanged dict.
 * Generic path: 0, "no tag", and the caller looks up anew. */
#ifndef PG_DICTTAG_H
#define PG_DICTTAG_H

#include <Python.h>

static inline unsigned long long pg_dict_tag(PyObject* d) {
#ifdef PG_FAST_DICT_TAGS
    return PyDict_CheckExact(d) ? ((PyDictObject*)d)->ma_version_tag : 0;
#else
    (void)d;
    return 0;
#endif
}

#endif
