/* The host calls of one call of an operation made from C, as a compiled
 * operation makes them: each callable entered through PyObject_Vectorcall
 * with its recorded positional and keyword arguments. bench/instructions.py
 * measures it beside the same calls made from Python source, so that the
 * table shows what entering the host from compiled code costs by itself. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define MAX_ARGS 16

/* replay(calls): calls is a tuple of (callable, arguments, keyword names or
 * None, links, keep), the keyword values last in arguments. links is None or
 * pairs (argument position, index of an earlier call) whose argument is what
 * that call returned in this replay; keep says whether a later call takes
 * this call's result. The first error ends the replay and is raised. */
static PyObject* replay(PyObject* self, PyObject* calls) {
    (void)self;
    if (!PyTuple_CheckExact(calls)) {
        PyErr_SetString(PyExc_TypeError, "replay() takes a tuple of calls");
        return NULL;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(calls);
    PyObject* few[64] = {NULL};  /* most replays: no allocation of their own to count */
    PyObject** results = n <= 64 ? few : PyMem_Calloc((size_t)n, sizeof(PyObject*));
    if (!results) return PyErr_NoMemory();
    PyObject* outcome = Py_None;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* call = PyTuple_GET_ITEM(calls, i);
        PyObject* args = PyTuple_GET_ITEM(call, 1);
        PyObject* names = PyTuple_GET_ITEM(call, 2);
        PyObject* links = PyTuple_GET_ITEM(call, 3);
        PyObject* const* passed = &PyTuple_GET_ITEM(args, 0);
        PyObject* linked[MAX_ARGS];
        if (links != Py_None) {
            if (PyTuple_GET_SIZE(args) > MAX_ARGS) {
                PyErr_SetString(PyExc_ValueError, "replay(): too many arguments to pass results on");
                outcome = NULL;
                break;
            }
            for (Py_ssize_t a = 0; a < PyTuple_GET_SIZE(args); ++a) linked[a] = passed[a];
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(links); ++k) {
                PyObject* pair = PyTuple_GET_ITEM(links, k);
                linked[PyLong_AsSsize_t(PyTuple_GET_ITEM(pair, 0))] = results[PyLong_AsSsize_t(PyTuple_GET_ITEM(pair, 1))];
            }
            passed = linked;
        }
        Py_ssize_t npos = PyTuple_GET_SIZE(args) - (names == Py_None ? 0 : PyTuple_GET_SIZE(names));
        PyObject* result = PyObject_Vectorcall(PyTuple_GET_ITEM(call, 0), passed, npos, names == Py_None ? NULL : names);
        if (!result) {
            outcome = NULL;
            break;
        }
        if (PyTuple_GET_ITEM(call, 4) == Py_True)
            results[i] = result;
        else
            Py_DECREF(result);
    }
    for (Py_ssize_t i = 0; i < n; ++i) Py_XDECREF(results[i]);
    if (results != few) PyMem_Free(results);
    Py_XINCREF(outcome);
    return outcome;
}

static PyMethodDef methods[] = {
    {"replay", replay, METH_O, "Make the recorded calls from C."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "hostcall", NULL, -1, methods};

PyMODINIT_FUNC PyInit_hostcall(void) { return PyModule_Create(&module); }
