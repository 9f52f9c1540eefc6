/* Attribute reads that remember where a plain instance keeps the attribute.
 *
 * `o.name` through PyObject_GetAttr looks the name up on the type's MRO and
 * then in the instance on every read. The interpreter's own LOAD_ATTR caches,
 * per instruction, the type's version tag and the slot of the attribute in
 * the instance's inline values; pg_cached_getattr does the same for a read
 * of one name from C. A remembered way applies only while the type is the
 * same type at the same version (any change to the type or a base gives it a
 * new version), its attribute protocol is the generic one (no __getattribute__
 * or __getattr__ of its own) and the MRO holds nothing under the name (so no
 * descriptor of any kind is in play). Anything else, and every miss, takes
 * PyObject_GetAttr.
 *
 * It reads the instance layout only where the build turns that fast path on
 * (attrcache.c); elsewhere every read takes the generic path. */
#ifndef PG_ATTRCACHE_H
#define PG_ATTRCACHE_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where one type keeps the attribute. */
typedef struct {
    PyTypeObject* type;     /* not owned: the version tag tells a type apart */
    const void* keys;       /* the type's shared keys when instances keep inline values */
    Py_ssize_t index;       /* slot in those keys, -1 for none, -2 for reads that stay generic */
    unsigned int version;   /* the type's version tag; 0 marks an empty way */
} pg_attr_way;

#define PG_ATTR_WAYS 4

/* The value a module's dict held under the name: while the dict keeps its
 * version (any change to a dict gives it a new one), the dict still holds it. */
typedef struct {
    PyObject* module;              /* not owned: the version tells a dict apart */
    PyObject* value;               /* owned by the module's dict */
    unsigned long long version;    /* 0 marks an empty way */
} pg_module_way;

/* The ways remembered for one attribute name, replaced in turn. */
typedef struct {
    pg_attr_way ways[PG_ATTR_WAYS];
    pg_module_way module;
    unsigned int next;
} pg_attr_cache;

/* getattr(o, name) for an exact, interned str name: a new reference, or NULL
 * with the error set, exactly as PyObject_GetAttr gives them. */
PyObject* pg_cached_getattr(PyObject* o, PyObject* name, pg_attr_cache* cache);

/* Where a class keeps a class method: the classmethod object found on the
 * class (owned by a dict of its MRO while the class keeps its version). */
typedef struct {
    PyTypeObject* cls;
    PyTypeObject* meta;
    PyObject* method;
    unsigned int version;
    unsigned int meta_version;
} pg_method_way;

#define PG_METHOD_WAYS 2

/* Where an instance's type keeps a method: the function (or method
 * descriptor) found on the type, for instances that hold nothing under the
 * name. Instances keeping inline values cannot hold it while the type's shared
 * keys, which never held the name, have not grown. */
typedef struct {
    PyTypeObject* type;
    const void* keys;       /* the type's shared keys, NULL for none */
    Py_ssize_t nentries;    /* their entries when the name was found missing */
    PyObject* method;       /* owned by a dict of the type's MRO while the type keeps its version */
    unsigned int version;   /* 0 marks an empty way */
} pg_instance_way;

typedef struct {
    pg_method_way ways[PG_METHOD_WAYS];
    pg_instance_way instance_ways[PG_METHOD_WAYS];
    pg_module_way module;
    unsigned int next;
    unsigned int next_instance;
} pg_method_cache;

/* o.name(*args) for an exact, interned str name, args[0] being o and nargs
 * counting it: a new reference, or NULL with the error set, as
 * PyObject_VectorcallMethod gives them. A module's function (o a module,
 * the name in its dict) is remembered as pg_cached_getattr remembers it.
 * When o is a class whose name is a class method (and its metaclass has
 * nothing under the name), the method's
 * function is called with the class at once, as the bound method would; when
 * o is an instance of a type with the generic attribute protocol whose MRO
 * gives a function or method descriptor under the name, and the instance
 * holds nothing under it, that is called with o, as the interpreter's own
 * method calls do. */
PyObject* pg_cached_call_method(PyObject* name, PyObject* const* args, size_t nargs, pg_method_cache* cache);

/* Declares that a callable of `type` bound by a classmethod to a class is
 * called as the callable itself with the class first (pg_cached_call_method
 * then calls it so). One type: the layer's class functions. */
void pg_binds_plainly(PyTypeObject* type);

/* Whether this build reads instance layouts (1) or always reads generically (0). */
int pg_attr_cache_enabled(void);

/* ---- look-ups that can be reused
 * The version tag of an exact dict whose look-up of `key` runs no Python code
 * (only str keys in the dict, an exact str key), or 0 when that is not sure
 * (always 0 where the layout is not read). Every change to a dict gives it a
 * new tag, so while the tag stays the same the look-up finds what it found. */
unsigned long long pg_pure_lookup_version(PyObject* dict, PyObject* key);

#ifdef __cplusplus
}
#endif

#endif
