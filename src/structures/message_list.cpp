// The shared message list: appends, snapshots and whole-list takes under its mutex.
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

MessageBatch MessageList::take_all() noexcept {
  MessageBatch out;
  std::lock_guard<std::mutex> lock(mutex_);
  out.swap(records_);
  return out;
}

bool MessageList::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.empty();
}

}  // namespace morva
