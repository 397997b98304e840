// The engine's message queue: batches spliced in and out under its mutex, never allocating there.
#include "structures/message_queue.hpp"

namespace morva {

void MessageQueue::append(MessageList& from, Room& room) noexcept {
  MessageBatch& batch = room.node_.front();
  batch = from.take_all();
  if (batch.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  batches_.splice(batches_.end(), room.node_);
}

MessageQueue::Batches MessageQueue::take_all() noexcept {
  Batches out;
  std::lock_guard<std::mutex> lock(mutex_);
  out.swap(batches_);
  return out;
}

void MessageQueue::put_back(Batches& batches) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  batches_.splice(batches_.begin(), batches);
}

}  // namespace morva
