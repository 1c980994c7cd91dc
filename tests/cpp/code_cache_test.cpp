// The code-object cache of traceback entries: sorted insertion, growth,
// lookup and the bisection it rests on.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "runtime/module_state.h"
#include "runtime/traceback.h"

namespace {

// Each test gets an empty cache; the process-wide one is put back afterwards.
class CodeCache : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_state.code_cache;
    g_state.code_cache = {0, 0, nullptr};
  }
  void TearDown() override {
    CodeObjectCache& cache = g_state.code_cache;
    for (int i = 0; i < cache.count; ++i) Py_DECREF(cache.entries[i].code);
    PyMem_Free(cache.entries);
    g_state.code_cache = saved_;
    for (PyObject* code : made_) Py_DECREF(code);
  }
  PyObject* MakeCode(int line) {
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty("cache.py", "f", line));
    EXPECT_NE(code, nullptr);
    made_.push_back(code);
    return code;
  }
  static std::vector<int> Lines() {
    const CodeObjectCache& cache = g_state.code_cache;
    std::vector<int> lines;
    for (int i = 0; i < cache.count; ++i) lines.push_back(cache.entries[i].line);
    return lines;
  }

 private:
  CodeObjectCache saved_{};
  std::vector<PyObject*> made_;
};

TEST_F(CodeCache, KeepsLinesAscendingAndUnique) {
  PyObject* at30 = MakeCode(30);
  PyObject* at27 = MakeCode(27);
  PyObject* at39 = MakeCode(39);
  PyObject* again27 = MakeCode(27);
  Py_ssize_t first27 = Py_REFCNT(at27), second27 = Py_REFCNT(again27);
  Rt_InsertCodeObject(30, at30);
  Rt_InsertCodeObject(27, at27);
  EXPECT_EQ(Py_REFCNT(at27), first27 + 1);
  Rt_InsertCodeObject(39, at39);
  Rt_InsertCodeObject(27, again27);
  EXPECT_EQ(Lines(), (std::vector<int>{27, 30, 39}));
  EXPECT_EQ(g_state.code_cache.capacity, 64);
  // The later object replaces the earlier one, whose reference is dropped.
  EXPECT_EQ(g_state.code_cache.entries[0].code, again27);
  EXPECT_EQ(Py_REFCNT(at27), first27);
  EXPECT_EQ(Py_REFCNT(again27), second27 + 1);
  EXPECT_EQ(g_state.code_cache.entries[1].code, at30);
  EXPECT_EQ(g_state.code_cache.entries[2].code, at39);
}

TEST_F(CodeCache, The65thDistinctLineGrowsTheArrayBy64) {
  PyObject* code = MakeCode(1);
  // Descending arrival makes every insertion move the whole array.
  for (int line = 640; line >= 10; line -= 10) Rt_InsertCodeObject(line, code);
  ASSERT_EQ(g_state.code_cache.count, 64);
  EXPECT_EQ(g_state.code_cache.capacity, 64);
  Rt_InsertCodeObject(645, code);  // an existing line would not grow it
  Rt_InsertCodeObject(320, code);
  EXPECT_EQ(g_state.code_cache.count, 65);
  EXPECT_EQ(g_state.code_cache.capacity, 128);
  std::vector<int> lines = Lines();
  EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
  EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end());
  EXPECT_EQ(lines.front(), 10);
  EXPECT_EQ(lines.back(), 645);
  for (int line = 10; line <= 640; line += 10) {
    PyObject* found = Rt_FindCodeObject(line).release();
    EXPECT_EQ(found, code) << line;
    Py_XDECREF(found);
  }
  for (int line = 66; line <= 129; ++line) Rt_InsertCodeObject(line * 1000, code);
  EXPECT_EQ(g_state.code_cache.count, 129);
  EXPECT_EQ(g_state.code_cache.capacity, 192);
}

TEST_F(CodeCache, LineZeroIsNeverStoredNorFound) {
  PyObject* code = MakeCode(0);
  Py_ssize_t before = Py_REFCNT(code);
  Rt_InsertCodeObject(0, code);
  EXPECT_EQ(g_state.code_cache.entries, nullptr);
  EXPECT_EQ(g_state.code_cache.count, 0);
  Rt_InsertCodeObject(5, code);
  Rt_InsertCodeObject(0, code);
  EXPECT_EQ(Lines(), std::vector<int>{5});
  EXPECT_FALSE(Rt_FindCodeObject(0));
  EXPECT_EQ(Py_REFCNT(code), before + 1);
}

TEST_F(CodeCache, FindReturnsANewReferenceOrMisses) {
  EXPECT_FALSE(Rt_FindCodeObject(12));  // no array yet
  PyObject* code = MakeCode(12);
  Rt_InsertCodeObject(12, code);
  Rt_InsertCodeObject(20, code);
  Py_ssize_t before = Py_REFCNT(code);
  PyObject* found = Rt_FindCodeObject(12).release();
  EXPECT_EQ(found, code);
  EXPECT_EQ(Py_REFCNT(code), before + 1);
  Py_XDECREF(found);
  EXPECT_FALSE(Rt_FindCodeObject(11));
  EXPECT_FALSE(Rt_FindCodeObject(13));
  EXPECT_FALSE(Rt_FindCodeObject(21));  // past the end
  EXPECT_EQ(Py_REFCNT(code), before);
  EXPECT_FALSE(PyErr_Occurred());
}

std::vector<CodeObjectCacheEntry> EntriesAt(std::initializer_list<int> lines) {
  std::vector<CodeObjectCacheEntry> entries;
  for (int line : lines) entries.push_back({nullptr, line});
  return entries;
}

TEST(CodeCacheBisect, EmptyAndSingleEntry) {
  // An empty range must not be read: the entry behind it is garbage.
  auto stale = EntriesAt({5});
  for (int line : {-3, 0, 5, 1000})
    EXPECT_EQ(Rt_BisectCodeObjects(stale.data(), 0, line), 0) << line;
  auto one = EntriesAt({10});
  EXPECT_EQ(Rt_BisectCodeObjects(one.data(), 1, 9), 0);
  EXPECT_EQ(Rt_BisectCodeObjects(one.data(), 1, 10), 0);
  EXPECT_EQ(Rt_BisectCodeObjects(one.data(), 1, 11), 1);
}

TEST(CodeCacheBisect, FindsEntriesAndInsertPositions) {
  auto many = EntriesAt({10, 20, 30, 40, 50});
  int n = static_cast<int>(many.size());
  EXPECT_EQ(Rt_BisectCodeObjects(many.data(), n, 10), 0);
  EXPECT_EQ(Rt_BisectCodeObjects(many.data(), n, 30), 2);
  EXPECT_EQ(Rt_BisectCodeObjects(many.data(), n, 50), 4);
  EXPECT_EQ(Rt_BisectCodeObjects(many.data(), n, 5), 0);
  EXPECT_EQ(Rt_BisectCodeObjects(many.data(), n, 15), 1);
  EXPECT_EQ(Rt_BisectCodeObjects(many.data(), n, 45), 4);
  EXPECT_EQ(Rt_BisectCodeObjects(many.data(), n, 55), 5);
}

// Every size from 1 to 12 and every line around the keys: the answer is the
// lower bound, which is both the index of a present line and the insert point.
TEST(CodeCacheBisect, AgreesWithLowerBound) {
  for (int size = 1; size <= 12; ++size) {
    std::vector<CodeObjectCacheEntry> entries;
    for (int i = 0; i < size; ++i) entries.push_back({nullptr, 3 * i + 2});
    for (int line = 0; line <= 3 * size + 4; ++line) {
      auto at = std::lower_bound(entries.begin(), entries.end(), line,
                                 [](const CodeObjectCacheEntry& e, int l) { return e.line < l; });
      EXPECT_EQ(Rt_BisectCodeObjects(entries.data(), size, line), at - entries.begin())
          << "size " << size << " line " << line;
    }
  }
}

}  // namespace
