// Entering and leaving a call under the interpreter's recursion limit.
//
// Fast path (PG_FAST_LAYOUT, 3.11): the thread state's recursion_remaining
// counted in place, as 3.11's own Py_EnterRecursiveCall does it inline.
// Generic path: Py_EnterRecursiveCall / Py_LeaveRecursiveCall.
#pragma once

#include <Python.h>

namespace pg::detail {

#ifdef PG_FAST_LAYOUT
extern "C" PyAPI_FUNC(int) _Py_CheckRecursiveCall(PyThreadState* tstate, const char* where);  // internal header
inline PyThreadState* enter_call() {
    PyThreadState* tstate = _PyThreadState_UncheckedGet();
    if (tstate->recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(tstate, " while calling a Python object"))
        return nullptr;
    return tstate;
}
inline void leave_call(PyThreadState* tstate) { tstate->recursion_remaining++; }
#else
inline PyThreadState* enter_call() {
    return Py_EnterRecursiveCall(" while calling a Python object") ? nullptr : PyThreadState_Get();
}
inline void leave_call(PyThreadState*) { Py_LeaveRecursiveCall(); }
#endif

}  // namespace pg::detail
