/* The host calls of one call of an operation made from C, as a compiled
 * operation makes them: each callable entered through PyObject_Vectorcall
 * with its recorded positional and keyword arguments. bench/instructions.py
 * measures it beside the same calls made from Python source, so that the
 * table shows what entering the host from compiled code costs by itself. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* replay(calls): calls is a tuple of (callable, arguments, keyword names or
 * None), the keyword values last in arguments. Results are dropped; the
 * first error ends the replay and is raised. */
static PyObject* replay(PyObject* self, PyObject* calls) {
    (void)self;
    if (!PyTuple_CheckExact(calls)) {
        PyErr_SetString(PyExc_TypeError, "replay() takes a tuple of calls");
        return NULL;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(calls); ++i) {
        PyObject* call = PyTuple_GET_ITEM(calls, i);
        PyObject* args = PyTuple_GET_ITEM(call, 1);
        PyObject* names = PyTuple_GET_ITEM(call, 2);
        Py_ssize_t npos = PyTuple_GET_SIZE(args) - (names == Py_None ? 0 : PyTuple_GET_SIZE(names));
        PyObject* result = PyObject_Vectorcall(PyTuple_GET_ITEM(call, 0), &PyTuple_GET_ITEM(args, 0), npos,
                                               names == Py_None ? NULL : names);
        if (!result) return NULL;
        Py_DECREF(result);
    }
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"replay", replay, METH_O, "Make the recorded calls from C."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "hostcall", NULL, -1, methods};

PyMODINIT_FUNC PyInit_hostcall(void) { return PyModule_Create(&module); }
