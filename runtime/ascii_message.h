// Exception texts assembled from ASCII constants and numbers without the
// interpreter's format parser: a wrong call is common enough that decoding
// every argument into a temporary str shows in its cost.
#pragma once

#include <Python.h>

#include <cassert>
#include <cstddef>
#include <cstring>

#include "runtime/ref.h"

class AsciiMessage {
 public:
  // Appends at most `max` bytes of `text`, as "%.<max>s" does.
  AsciiMessage& Text(const char* text, size_t max = kCapacity) noexcept;
  // Appends fixed ASCII words of the message, whose length is known here.
  template <size_t N>
  AsciiMessage& Literal(const char (&words)[N]) noexcept {
    assert(length_ + (N - 1) <= kCapacity);
    size_t n = N - 1 <= kCapacity - length_ ? N - 1 : kCapacity - length_;
    std::memcpy(buffer_ + length_, words, n);
    length_ += n;
    return *this;
  }
  // Appends the decimal form of `value`, as "%zd" does.
  AsciiMessage& Number(Py_ssize_t value) noexcept;
  // Sets `type` with the text; `quoted` (a str, may be null) is inserted
  // between the text and `tail`, as "%U" does. Without memory, MemoryError.
  void Raise(PyObject* type, PyObject* quoted = nullptr, const char* tail = "") const noexcept;

 private:
  rt::Ref Build(PyObject* quoted, const char* tail) const noexcept;

  static constexpr size_t kCapacity = 480;  // names are capped at 200 bytes
  char buffer_[kCapacity];
  size_t length_ = 0;
  bool ascii_ = true;
};
