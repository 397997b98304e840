// The shared message list: appends, snapshots and whole-list moves under its mutex.
#include "structures/message_list.hpp"

namespace morva {

void MessageList::append(MessageRecord record) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(std::move(record));
}

MessageBatch MessageList::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

MessageBatch MessageList::take_all() {
  MessageBatch out;
  std::lock_guard<std::mutex> lock(mutex_);
  out.swap(records_);
  return out;
}

bool MessageList::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.empty();
}

void MessageList::move_all(MessageList& from, MessageList& to) {
  std::lock_guard<std::mutex> from_lock(from.mutex_);
  if (from.records_.empty() || &from == &to) return;
  std::lock_guard<std::mutex> to_lock(to.mutex_);
  // An empty queue (the usual case after a delivery) takes the records over whole. Otherwise
  // push_back grows the queue geometrically: reserving the exact new size here would move
  // the whole undelivered queue at every commit.
  if (to.records_.empty()) {
    to.records_.swap(from.records_);
    return;
  }
  for (MessageRecord& record : from.records_) to.records_.push_back(std::move(record));
  // Every record was moved out, so clearing drops no Python reference.
  from.records_.clear();
}

}  // namespace morva
