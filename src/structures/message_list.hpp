// MessageList: the lock-guarded list of message records that processes, transactions and the
// engine's queue share by handle. Pure C++ over held Python references.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "structures/message_record.hpp"

namespace morva {

using MessageBatch = std::vector<MessageRecord>;

// Records in insertion order behind their own mutex. The mutex is held only for the vector
// operation itself: reference increments happen under it, but no record is ever destroyed
// under it (removed records are handed to the caller, who drops them after unlocking).
// Appends cost amortised O(1) whatever the list already holds.
class MessageList {
 public:
  void append(MessageRecord record);
  // Copies of every record, oldest first.
  MessageBatch snapshot() const;
  // Every record, leaving the list empty.
  MessageBatch take_all() noexcept;
  bool empty() const;

 private:
  mutable std::mutex mutex_;
  MessageBatch records_;
};

using SharedMessageList = std::shared_ptr<MessageList>;

}  // namespace morva
