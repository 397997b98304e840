// The outbox message record and the lock-guarded message list that processes, transactions
// and the engine's queue share by handle. Pure C++ over held Python references.
#pragma once

#include <Python.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "binding/release.hpp"

namespace morva {

// One message: its topic (UTF-8, lone surrogates kept) and a strong reference to its payload.
// Copies share the payload object. Copying and destroying touch Python reference counts, so
// both need the GIL; destroying may run finalizers, so it must never happen under a lock, and
// a batch whose records may hold last references is dropped with release_collected().
class MessageRecord {
 public:
  MessageRecord(std::string topic, PyObject* payload) noexcept
      : topic_(std::move(topic)), payload_(payload) {
    Py_INCREF(payload_);
  }
  MessageRecord(const MessageRecord& other) : topic_(other.topic_), payload_(other.payload_) {
    Py_INCREF(payload_);
  }
  MessageRecord(MessageRecord&& other) noexcept
      : topic_(std::move(other.topic_)), payload_(other.payload_) {
    other.payload_ = nullptr;
  }
  MessageRecord& operator=(const MessageRecord&) = delete;
  MessageRecord& operator=(MessageRecord&&) = delete;
  ~MessageRecord() noexcept(false) {
    if (payload_ != nullptr) release_owned(payload_);
  }

  const std::string& topic() const noexcept { return topic_; }
  PyObject* payload() const noexcept { return payload_; }

 private:
  std::string topic_;
  PyObject* payload_;  // owned; null only after a move
};

using MessageBatch = std::vector<MessageRecord>;

// Records in insertion order behind their own mutex. The mutex is held only for the vector
// operation itself: reference increments happen under it, but no record is ever destroyed
// under it (removed records are handed to the caller, who drops them after unlocking).
class MessageList {
 public:
  void append(MessageRecord record);
  // Copies of every record, oldest first.
  MessageBatch snapshot() const;
  // Every record, leaving the list empty.
  MessageBatch take_all();
  bool empty() const;

  // Moves every record of `from` to the end of `to`, in order. `from`'s lock is taken first
  // and held until `to`'s has been released: the only place two message-list locks nest.
  static void move_all(MessageList& from, MessageList& to);

 private:
  mutable std::mutex mutex_;
  MessageBatch records_;
};

using SharedMessageList = std::shared_ptr<MessageList>;

}  // namespace morva
