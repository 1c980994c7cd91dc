// Exception texts written without the format parser: each must equal, as a
// str (length, width and characters), what PyErr_Format makes of the same
// parts, since the argument errors' wording is pinned to the interpreter's.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

#include "runtime/argparse.h"
#include "runtime/ascii_message.h"

namespace {

// The pending exception's value as a str; the exception is cleared.
PyObject* TakeMessage(PyObject* expected_type) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  EXPECT_EQ(type, expected_type);
  PyErr_NormalizeException(&type, &value, &tb);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return text;
}

void ExpectSameText(PyObject* built, PyObject* formatted, const std::string& label) {
  ASSERT_TRUE(built && formatted) << label;
  EXPECT_EQ(PyUnicode_KIND(built), PyUnicode_KIND(formatted)) << label;
  EXPECT_EQ(PyUnicode_Compare(built, formatted), 0)
      << label << ": " << PyUnicode_AsUTF8(built) << " / " << PyUnicode_AsUTF8(formatted);
  Py_DECREF(built);
  Py_DECREF(formatted);
}

const std::string kLongName(260, 'n');  // beyond the 200-byte cap

struct CountCase {
  const char* name;
  Py_ssize_t count;
  const char* plural;
  Py_ssize_t given;
};

TEST(AsciiMessage, CountErrorsMatchTheFormatter) {
  const CountCase cases[] = {
      {"_get_info", 1, "", 0},
      {"_get_info", 1, "", 2},
      {"_finish_with_result", 3, "s", 1},
      {"_finish_with_result", 3, "s", 4},
      {"f", 0, "s", PY_SSIZE_T_MAX},
      {"f", 10, "sx", PY_SSIZE_T_MIN},  // "%.1s" keeps one byte
      {"f", -7, "", -100},
      {kLongName.c_str(), 2, "s", 12345},
  };
  for (const CountCase& c : cases) {
    ArgSignature sig = {c.name, nullptr, c.count, c.plural};
    Rt_RaiseArgCountError(sig, c.given);
    PyObject* built = TakeMessage(PyExc_TypeError);
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 c.name, "exactly", c.count, c.plural, c.given);
    ExpectSameText(built, TakeMessage(PyExc_TypeError), std::string(c.name).substr(0, 20));
  }
}

TEST(AsciiMessage, QuotedNamesOfEveryWidthMatchTheFormatter) {
  const char* keys[] = {
      "x", "", "self", "caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "a\xf0\x9f\x98\x80z"};
  for (const char* utf8 : keys) {
    PyObject* key = PyUnicode_FromString(utf8);
    ASSERT_TRUE(key);
    AsciiMessage()
        .Text("probe")
        .Literal("() got an unexpected keyword argument '")
        .Raise(PyExc_TypeError, key, "'");
    PyObject* built = TakeMessage(PyExc_TypeError);
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "probe", key);
    ExpectSameText(built, TakeMessage(PyExc_TypeError), utf8);
    Py_DECREF(key);
  }
}

TEST(AsciiMessage, NonAsciiNameFallsBackToTheDecoder) {
  // Not a name the runtime passes, but the text must still come out right.
  const char* name = "m\xc3\xa9thode";
  PyObject* key = PyUnicode_FromString("\xe2\x82\xac");
  ASSERT_TRUE(key);
  AsciiMessage()
      .Text(name)
      .Literal("() got multiple values for keyword argument '")
      .Raise(PyExc_TypeError, key, "'");
  PyObject* built = TakeMessage(PyExc_TypeError);
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
  ExpectSameText(built, TakeMessage(PyExc_TypeError), name);
  AsciiMessage().Text(name, 200).Literal("() keywords must be strings").Raise(PyExc_TypeError);
  built = TakeMessage(PyExc_TypeError);
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
  ExpectSameText(built, TakeMessage(PyExc_TypeError), name);
  Py_DECREF(key);
}

}  // namespace
