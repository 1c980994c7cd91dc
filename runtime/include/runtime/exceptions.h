// The thread's raised and handled exceptions, and matching them by class.
#pragma once

#include <Python.h>

#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "runtime/subtype.h"

// Entry of a guarded block: new references to the handled exception (or none).
rt::ExceptionState Rt_ExceptionSave(PyThreadState* tstate) noexcept;
// New references to what the innermost handled-exception entry holds itself
// (nothing in a generator that handles nothing), for a guarded block to put
// back: restoring the walked-to outer exception into a generator's own entry
// would make the generator report, and keep alive, an exception it never saw.
rt::ExceptionState Rt_ExceptionSaveInnermost(PyThreadState* tstate) noexcept;
// Makes `saved` the handled exception; its references pass to the thread.
void Rt_ExceptionReset(PyThreadState* tstate, rt::ExceptionState saved) noexcept;
// Catches the raised exception: 0 with new references in *caught (which
// must be empty), -1 on failure with *caught left empty.
int Rt_GetException(PyThreadState* tstate, rt::ExceptionState* caught) noexcept;

// 1 when the raised exception (none: 0) matches `target`, a class or a tuple.
int Rt_ExceptionMatchesCurrent(PyThreadState* tstate, PyObject* target) noexcept;
// 1 when the class `type` matches `target`, a class or a tuple of them, else 0.
int Rt_GivenExceptionMatches(PyObject* type, PyObject* target) noexcept;
int Rt_ExceptionMatchesTuple(PyObject* type, PyObject* tuple) noexcept;
// 0 when an iteration ended normally (StopIteration is cleared), -1 otherwise.
int Rt_IterFinish() noexcept;

namespace rt {

// The handled exception of a guarded block (a try statement): saved on entry
// and put back when the block is left, on every path.
class [[nodiscard]] HandledExceptionScope {
 public:
  explicit HandledExceptionScope(PyThreadState* tstate) noexcept
      : tstate_(tstate), saved_(Rt_ExceptionSaveInnermost(tstate)) {}
  ~HandledExceptionScope() { Rt_ExceptionReset(tstate_, std::move(saved_)); }
  HandledExceptionScope(const HandledExceptionScope&) = delete;
  HandledExceptionScope& operator=(const HandledExceptionScope&) = delete;

 private:
  PyThreadState* tstate_;
  ExceptionState saved_;
};

// The raised exception set aside while work runs that may fail on its own
// (that failure is not reported): it is raised again when the scope ends,
// unless Discard() let a new error take its place.
class [[nodiscard]] PendingErrorScope {
 public:
  PendingErrorScope() noexcept : kept_(Rt_TakeRaised()) {}
  ~PendingErrorScope() {
    if (discarded_) return;
    PyErr_Clear();  // the pending exception is the one to report
    Rt_Raise(std::move(kept_));
  }
  void Discard() noexcept { discarded_ = true; }
  PendingErrorScope(const PendingErrorScope&) = delete;
  PendingErrorScope& operator=(const PendingErrorScope&) = delete;

 private:
  ExceptionState kept_;
  bool discarded_ = false;
};

}  // namespace rt
