// The thread's raised and handled exceptions, and matching them by class.
#pragma once

#include <Python.h>

#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "runtime/subtype.h"

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
void Rt_ExceptionReset(PyThreadState* tstate, PyObject* type, PyObject* value,
                       PyObject* tb) noexcept;
// Catches the raised exception: 0 with three new references, -1 on failure.
int Rt_GetException(PyThreadState* tstate, PyObject** type, PyObject** value,
                    PyObject** tb) noexcept;

// 1 when the raised exception (none: 0) matches `target`, a class or a tuple.
int Rt_ExceptionMatchesCurrent(PyThreadState* tstate, PyObject* target) noexcept;
// 1 when the class `type` matches `target`, a class or a tuple of them, else 0.
int Rt_GivenExceptionMatches(PyObject* type, PyObject* target) noexcept;
int Rt_ExceptionMatchesTuple(PyObject* type, PyObject* tuple) noexcept;
// 0 when an iteration ended normally (StopIteration is cleared), -1 otherwise.
int Rt_IterFinish() noexcept;

namespace rt {

// An exception taken out of the thread: caught by a handler, or set aside
// while other work runs. Released in the interpreter's order: type, value,
// traceback.
struct ExceptionTriple {
  Ref type, value, tb;
  ~ExceptionTriple() {
    type.reset();
    value.reset();
    tb.reset();
  }
};

// The handled exception of a guarded block (a try statement): saved on entry
// and put back when the block is left, on every path.
class [[nodiscard]] HandledExceptionScope {
 public:
  explicit HandledExceptionScope(PyThreadState* tstate) noexcept : tstate_(tstate) {
    Rt_ExceptionSaveInnermost(tstate, saved_.type.out(), saved_.value.out(), saved_.tb.out());
  }
  ~HandledExceptionScope() {
    Rt_ExceptionReset(tstate_, saved_.type.release(), saved_.value.release(), saved_.tb.release());
  }
  HandledExceptionScope(const HandledExceptionScope&) = delete;
  HandledExceptionScope& operator=(const HandledExceptionScope&) = delete;

 private:
  PyThreadState* tstate_;
  ExceptionTriple saved_;
};

// The raised exception set aside while work runs that may fail on its own
// (that failure is not reported): it is raised again when the scope ends,
// unless Discard() let a new error take its place.
class [[nodiscard]] PendingErrorScope {
 public:
  PendingErrorScope() noexcept { Rt_ErrFetch(kept_.type.out(), kept_.value.out(), kept_.tb.out()); }
  ~PendingErrorScope() {
    if (discarded_) return;
    PyErr_Clear();  // the pending exception is the one to report
    Rt_ErrRestore(kept_.type.release(), kept_.value.release(), kept_.tb.release());
  }
  void Discard() noexcept { discarded_ = true; }
  PendingErrorScope(const PendingErrorScope&) = delete;
  PendingErrorScope& operator=(const PendingErrorScope&) = delete;

 private:
  ExceptionTriple kept_;
  bool discarded_ = false;
};

}  // namespace rt
