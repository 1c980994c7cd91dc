// Traceback entries for code that has no frames of its own. Code objects are
// cached by line in a sorted array that grows by 64 entries.
#include "runtime/traceback.h"

#include <frameobject.h>

#include <cassert>
#include <cstring>

#include "runtime/exceptions.h"
#include "runtime/internals.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"
#include "runtime/traceback_frames.h"

constexpr int kCodeCacheGrowth = 64;

int Rt_BisectCodeObjects(const CodeObjectCacheEntry* entries, int count, int line) noexcept {
  int start = 0, end = count - 1, middle = 0;
  if (end < 0) return 0;  // nothing to compare with, not even entry 0
  if (line > entries[end].line) return count;
  while (start < end) {
    middle = start + (end - start) / 2;
    if (line < entries[middle].line) {
      end = middle;
    } else if (line > entries[middle].line) {
      start = middle + 1;
    } else {
      return middle;
    }
  }
  return line <= entries[middle].line ? middle : middle + 1;
}

rt::Ref Rt_FindCodeObject(int line) noexcept {
  CodeObjectCache& cache = g_state.code_cache;
  if (line == 0 || !cache.entries) return rt::Ref();
  int pos = Rt_BisectCodeObjects(cache.entries, cache.count, line);
  if (pos >= cache.count || cache.entries[pos].line != line) return rt::Ref();
  return rt::Ref::borrow(cache.entries[pos].code);
}

void Rt_InsertCodeObject(int line, PyObject* code) noexcept {
  CodeObjectCache& cache = g_state.code_cache;
  if (line == 0) return;
  if (!cache.entries) {
    auto* entries = static_cast<CodeObjectCacheEntry*>(
        PyMem_Malloc(kCodeCacheGrowth * sizeof(CodeObjectCacheEntry)));
    if (!entries) return;
    cache.entries = entries;
    cache.capacity = kCodeCacheGrowth;
    cache.count = 1;
    Py_INCREF(code);
    entries[0] = {code, line};
    return;
  }
  int pos = Rt_BisectCodeObjects(cache.entries, cache.count, line);
  if (pos < cache.count && cache.entries[pos].line == line) {
    rt::SetField(&cache.entries[pos].code, rt::Ref::borrow(code));
    return;
  }
  if (cache.count == cache.capacity) {
    int capacity = cache.capacity + kCodeCacheGrowth;
    auto* grown = static_cast<CodeObjectCacheEntry*>(
        PyMem_Realloc(cache.entries, static_cast<size_t>(capacity) * sizeof(CodeObjectCacheEntry)));
    if (!grown) return;
    cache.entries = grown;
    cache.capacity = capacity;
  }
  for (int i = cache.count; i > pos; --i) cache.entries[i] = cache.entries[i - 1];
  Py_INCREF(code);
  cache.entries[pos] = {code, line};
  ++cache.count;
}

static bool TextEquals(PyObject* name, const char* function_name) noexcept {
  // The names are ASCII, whose compact str holds its text as UTF-8 already.
  if (PyUnicode_IS_COMPACT_ASCII(name))
    return std::strcmp(static_cast<const char*>(PyUnicode_DATA(name)), function_name) == 0;
  // The caller's exception is pending: a failure here must not replace it.
  rt::PendingErrorScope keep;
  const char* utf8 = PyUnicode_AsUTF8(name);
  return utf8 && std::strcmp(utf8, function_name) == 0;
}

// A cached code object serves only the function it was made for: one line can
// belong both to start-up ("init ...") and to a method defined on it.
static bool NamesFunction(PyObject* code, const char* function_name) noexcept {
  rt::Ref held = rt::internals::CodeName(code);
  PyObject* name = held.get();
  if (!name) return false;
  // A repeated failure meets the name it matched last: that str is held
  // here, so no other object can take its address, and callers pass their
  // names as constants, so the same pointer means the same text.
  static PyObject* matched_name;  // owned
  static const char* matched_for;
  if (name == matched_name && function_name == matched_for) return true;
  if (!TextEquals(name, function_name)) return false;
  rt::SetField(&matched_name, rt::Ref::borrow(name));
  matched_for = function_name;
  return true;
}

// An empty code object for the entry, made with the pending exception set
// aside; without memory the MemoryError replaces it.
static rt::Ref NewCodeObject(const char* function_name, int line,
                             const char* source_path) noexcept {
  rt::PendingErrorScope keep;
  rt::Ref code = rt::Ref::steal(
      reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_path, function_name, line)));
  if (!code) keep.Discard();
  return code;
}

// The entry's frame, made with the pending exception set aside: from 3.11 the
// interpreter's frame construction clears what its own lookups raise, and
// with it a pending exception. Without memory the MemoryError replaces it.
static rt::Ref NewFrame(PyThreadState* tstate, PyObject* code) noexcept {
  rt::PendingErrorScope keep;
  rt::Ref frame = rt::Ref::steal(reinterpret_cast<PyObject*>(
      PyFrame_New(tstate, reinterpret_cast<PyCodeObject*>(code), g_state.module_dict, nullptr)));
  if (!frame) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    keep.Discard();
  }
  return frame;
}

namespace {
// One frame kept per code object, for the next entry made with it once the
// exception that carried it is gone. The frame holds the code object, so the
// key stays the object it names.
struct SpareFrame {
  PyObject* code;
  PyObject* frame;  // owned
};
constexpr int kSpareFrames = 16;
SpareFrame g_spare_frames[kSpareFrames];
}  // namespace

static rt::Ref EntryFrame(PyThreadState* tstate, PyObject* code) noexcept {
  if (!rt::internals::kReuseEntryFrames) return NewFrame(tstate, code);
  SpareFrame* slot = nullptr;
  for (SpareFrame& spare : g_spare_frames) {
    if (spare.code == code) {
      if (rt::internals::EntryFrameIsUntouched(spare.frame)) return rt::Ref::borrow(spare.frame);
      // Still carried by an exception: a frame of its own, the spare kept.
      if (Py_REFCNT(spare.frame) > 1) return NewFrame(tstate, code);
      slot = &spare;  // written into: replaced
      break;
    }
    if (!slot && !spare.code) slot = &spare;
  }
  rt::Ref frame = NewFrame(tstate, code);
  if (frame && slot) {
    slot->code = code;
    rt::SetField(&slot->frame, rt::Ref::borrow(frame.get()));
  }
  return frame;
}

void Rt_ReleaseSpareFrames() noexcept {
  for (SpareFrame& spare : g_spare_frames) {
    spare.code = nullptr;
    rt::SetField(&spare.frame, rt::Ref());
  }
}

void Rt_AddTraceback(const char* function_name, int line, const char* source_path) noexcept {
  PyThreadState* tstate = PyThreadState_GetUnchecked();
  assert(PyErr_Occurred() && "an entry is added to the exception being propagated");
  rt::Ref code = line ? Rt_FindCodeObject(line) : rt::Ref();
  if (code && !NamesFunction(code.get(), function_name)) code.reset();
  if (!code) {
    code = NewCodeObject(function_name, line, source_path);
    if (!code) return;
    Rt_InsertCodeObject(line, code.get());
  }
  // The frame runs nothing: it reports its code object's first line, the entry's.
  rt::Ref frame = EntryFrame(tstate, code.get());
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}
