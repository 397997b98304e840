// The access flag: re-entry on one thread raises, another thread waits for the access.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "binding/borrow.hpp"

using morva::BorrowFlag;

namespace {
// Runs `f`, expecting RuntimeError with `message`; clears the error.
template <typename F>
void expect_runtime_error(F f, const char* message) {
  bool thrown = false;
  try {
    f();
  } catch (const morva::PyErrorSet&) {
    thrown = true;
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeError));
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* text = PyObject_Str(value);
    EXPECT_STREQ(PyUnicode_AsUTF8AndSize(text, nullptr), message);
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  EXPECT_TRUE(thrown);
}

void release_gil_for(std::chrono::milliseconds ms) {
  PyThreadState* saved = PyEval_SaveThread();
  std::this_thread::sleep_for(ms);
  PyEval_RestoreThread(saved);
}
}  // namespace

TEST(Borrow, SameThreadConflictsRaise) {
  BorrowFlag flag;
  {
    BorrowFlag::Exclusive excl(flag);
    expect_runtime_error([&] { BorrowFlag::Shared s(flag); }, "Already mutably borrowed");
    expect_runtime_error([&] { BorrowFlag::Exclusive e(flag); }, "Already borrowed");
  }
  {
    BorrowFlag::Shared a(flag);
    BorrowFlag::Shared b(flag);  // shared access nests
    expect_runtime_error([&] { BorrowFlag::Exclusive e(flag); }, "Already borrowed");
  }
  EXPECT_TRUE(flag.is_free());
  BorrowFlag::Exclusive again(flag);
}

TEST(Borrow, NoWaitRequestFailsAtOnce) {
  BorrowFlag flag;
  BorrowFlag::Shared s(flag);
  expect_runtime_error([&] { BorrowFlag::Exclusive e(flag, {"busy"}); }, "busy");
}

TEST(Borrow, OtherThreadWaitsForExclusiveHolder) {
  BorrowFlag flag;
  std::atomic<bool> acquired{false};
  auto excl = std::make_unique<BorrowFlag::Exclusive>(flag);
  std::thread other([&] {
    PyGILState_STATE g = PyGILState_Ensure();
    {
      BorrowFlag::Shared s(flag);  // must wait, not raise
      acquired = true;
    }
    PyGILState_Release(g);
  });
  release_gil_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(acquired.load());
  excl.reset();
  while (!acquired.load()) release_gil_for(std::chrono::milliseconds(1));
  PyThreadState* saved = PyEval_SaveThread();
  other.join();
  PyEval_RestoreThread(saved);
  EXPECT_TRUE(flag.is_free());
}

TEST(Borrow, ExclusiveWaitsForReadersOfOtherThreads) {
  BorrowFlag flag;
  std::atomic<int> stage{0};
  auto shared = std::make_unique<BorrowFlag::Shared>(flag);
  std::thread other([&] {
    PyGILState_STATE g = PyGILState_Ensure();
    {
      BorrowFlag::Exclusive e(flag);
      stage = 1;
    }
    PyGILState_Release(g);
  });
  release_gil_for(std::chrono::milliseconds(100));
  EXPECT_EQ(stage.load(), 0);
  shared.reset();
  while (stage.load() == 0) release_gil_for(std::chrono::milliseconds(1));
  PyThreadState* saved = PyEval_SaveThread();
  other.join();
  PyEval_RestoreThread(saved);
}
