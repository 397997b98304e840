// MessageRecord: one outbox message, its topic text and a shared reference to its payload.
#pragma once

#include <string>

#include "binding/object.hpp"

namespace morva {

// Copies share the payload object. Copying and destroying touch Python reference counts, so
// both need the GIL (free-threaded: a thread attached to the interpreter); destroying may run finalizers, so it must never happen under a lock, and
// a batch whose records may hold last references is dropped with release_collected().
class MessageRecord {
 public:
  MessageRecord(std::string topic, PyObject* payload) noexcept
      : topic_(std::move(topic)), payload_(Ref::borrow(payload)) {}
  MessageRecord(const MessageRecord& other)
      : topic_(other.topic_), payload_(Ref::borrow(other.payload_.get())) {}
  MessageRecord(MessageRecord&&) noexcept = default;
  MessageRecord& operator=(const MessageRecord&) = delete;
  MessageRecord& operator=(MessageRecord&&) = delete;

  const std::string& topic() const noexcept { return topic_; }
  PyObject* payload() const noexcept { return payload_.get(); }

 private:
  std::string topic_;  // UTF-8, lone surrogates kept
  Ref payload_;        // null only after a move
};

}  // namespace morva
