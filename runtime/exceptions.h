// The thread's raised and handled exceptions, and matching them by class.
#pragma once

#include <Python.h>

// Entry of a guarded block: new references to the handled exception (or empties).
void Rt_ExceptionSave(PyThreadState* tstate, PyObject** type, PyObject** value,
                      PyObject** tb) noexcept;
// New references to what the innermost handled-exception entry holds itself
// (empties in a generator that handles nothing), for a guarded block to put
// back: restoring the walked-to outer exception into a generator's own entry
// would make the generator report, and keep alive, an exception it never saw.
void Rt_ExceptionSaveInnermost(PyThreadState* tstate, PyObject** type, PyObject** value,
                               PyObject** tb) noexcept;
// Makes the triple the handled exception; the references pass to the thread.
void Rt_ExceptionReset(PyThreadState* tstate, PyObject* type, PyObject* value, PyObject* tb) noexcept;
// Catches the raised exception: 0 with three new references, -1 on failure.
int Rt_GetException(PyThreadState* tstate, PyObject** type, PyObject** value, PyObject** tb) noexcept;

int Rt_ExceptionMatchesCurrent(PyThreadState* tstate, PyObject* target) noexcept;
int Rt_GivenExceptionMatches(PyObject* type, PyObject* target) noexcept;
int Rt_ExceptionMatchesTuple(PyObject* type, PyObject* tuple) noexcept;
int Rt_IsSubtype(PyTypeObject* a, PyTypeObject* b) noexcept;
int Rt_IsSubtypeOfEither(PyTypeObject* a, PyTypeObject* b1, PyTypeObject* b2) noexcept;
// 0 when an iteration ended normally (StopIteration is cleared), -1 otherwise.
int Rt_IterFinish() noexcept;
