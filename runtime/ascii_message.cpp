// Exception texts from ASCII parts, written once into a str of the exact size.
#include "runtime/ascii_message.h"

#include <cassert>
#include <cstring>

#include "runtime/python_compat.h"

AsciiMessage& AsciiMessage::Text(const char* text, size_t max) noexcept {
  size_t room = kCapacity - length_;
  size_t n = strnlen(text, max < room ? max : room);
  // The messages are a name and fixed words: far below the capacity.
  assert(n == max || text[n] == '\0');
  unsigned char high = 0;
  for (size_t i = 0; i < n; ++i) high |= static_cast<unsigned char>(text[i]);
  ascii_ = ascii_ && high < 0x80;
  std::memcpy(buffer_ + length_, text, n);
  length_ += n;
  return *this;
}

AsciiMessage& AsciiMessage::Number(Py_ssize_t value) noexcept {
  char digits[24];
  size_t n = 0;
  // Digits of the magnitude, taken without negating PY_SSIZE_T_MIN.
  Py_ssize_t rest = value;
  do {
    Py_ssize_t d = rest % 10;
    digits[n++] = static_cast<char>('0' + (d < 0 ? -d : d));
    rest /= 10;
  } while (rest);
  if (value < 0) digits[n++] = '-';
  while (n && length_ < kCapacity) buffer_[length_++] = digits[--n];
  return *this;
}

// The message as one str: the buffer, `quoted` and `tail`; null with an
// exception set.
rt::Ref AsciiMessage::Build(PyObject* quoted, const char* tail) const noexcept {
  size_t tail_length = std::strlen(tail);
  if (!ascii_ || (quoted && (!PyUnicode_Check(quoted) || PyUnicode_READY(quoted) < 0))) {
    // Not reached with the runtime's constant names; kept exact all the same.
    rt::Ref head =
        rt::Ref::steal(PyUnicode_DecodeUTF8(buffer_, static_cast<Py_ssize_t>(length_), "replace"));
    if (!head) return head;
    return rt::Ref::steal(quoted ? PyUnicode_FromFormat("%U%U%s", head.get(), quoted, tail)
                                 : PyUnicode_FromFormat("%U%s", head.get(), tail));
  }
  Py_ssize_t head = static_cast<Py_ssize_t>(length_);
  Py_ssize_t middle = quoted ? PyUnicode_GET_LENGTH(quoted) : 0;
  Py_UCS4 maxchar = quoted ? PyUnicode_MAX_CHAR_VALUE(quoted) : 127;
  rt::Ref text =
      rt::Ref::steal(PyUnicode_New(head + middle + static_cast<Py_ssize_t>(tail_length), maxchar));
  if (!text) return text;
  int kind = PyUnicode_KIND(text.get());
  void* data = PyUnicode_DATA(text.get());
  Py_ssize_t end = head + middle;
  if (kind == PyUnicode_1BYTE_KIND) {
    std::memcpy(data, buffer_, length_);
    std::memcpy(static_cast<char*>(data) + end, tail, tail_length);
  } else {
    for (Py_ssize_t i = 0; i < head; ++i)
      PyUnicode_WRITE(kind, data, i, static_cast<Py_UCS1>(buffer_[i]));
    for (size_t i = 0; i < tail_length; ++i)
      PyUnicode_WRITE(kind, data, end + static_cast<Py_ssize_t>(i), static_cast<Py_UCS1>(tail[i]));
  }
  // Cannot fail on a new str of sufficient width.
  if (middle) (void)PyUnicode_CopyCharacters(text.get(), head, quoted, 0, middle);
  return text;
}

void AsciiMessage::Raise(PyObject* type, PyObject* quoted, const char* tail) const noexcept {
  rt::Ref text = Build(quoted, tail);
  if (text) PyErr_SetObject(type, text.get());
}
