// The shared message list: order, snapshots sharing payloads, whole-list moves and take-all,
// with the payload references every operation must leave balanced.
#include <gtest/gtest.h>

#include <Python.h>

#include <string>
#include <vector>

#include "structures/outbox.hpp"

using morva::MessageBatch;
using morva::MessageList;
using morva::MessageRecord;

namespace {

// Py_REFCNT is not part of the limited API; sys.getrefcount is.
Py_ssize_t refs(PyObject* obj) {
  PyObject* sys = PyImport_ImportModule("sys");
  PyObject* count = PyObject_CallMethod(sys, "getrefcount", "O", obj);
  Py_ssize_t n = PyLong_AsSsize_t(count);
  Py_DECREF(count);
  Py_DECREF(sys);
  return n;
}

std::vector<std::string> topics(const MessageBatch& batch) {
  std::vector<std::string> out;
  for (const auto& r : batch) out.push_back(r.topic());
  return out;
}

}  // namespace

TEST(MessageList, KeepsOrderAndSharesPayloadsInSnapshots) {
  PyObject* payload = PyList_New(0);
  Py_ssize_t base = refs(payload);
  {
    MessageList list;
    list.append(MessageRecord("a", payload));
    list.append(MessageRecord("b", payload));
    list.append(MessageRecord("a", payload));
    EXPECT_EQ(refs(payload), base + 3);
    MessageBatch snap = list.snapshot();
    EXPECT_EQ(topics(snap), (std::vector<std::string>{"a", "b", "a"}));
    EXPECT_EQ(snap[1].payload(), payload);
    EXPECT_EQ(refs(payload), base + 6);
  }
  EXPECT_EQ(refs(payload), base);
  Py_DECREF(payload);
}

TEST(MessageList, MoveAllAppendsAfterExistingInOrder) {
  PyObject* payload = PyLong_FromLong(654321);
  Py_ssize_t base = refs(payload);
  MessageList from, to;
  to.append(MessageRecord("queued", payload));
  from.append(MessageRecord("a", payload));
  from.append(MessageRecord("b", payload));
  MessageList::move_all(from, to);
  EXPECT_TRUE(from.empty());
  EXPECT_EQ(topics(to.snapshot()), (std::vector<std::string>{"queued", "a", "b"}));
  EXPECT_EQ(refs(payload), base + 3);  // moved, not copied
  MessageList::move_all(from, to);     // nothing left to move
  {
    MessageBatch taken = to.take_all();
    EXPECT_EQ(taken.size(), 3u);
    EXPECT_TRUE(to.empty());
  }
  EXPECT_EQ(refs(payload), base);
  Py_DECREF(payload);
}
