// MessageQueue: the engine's queue of committed, not yet delivered messages, kept as the
// batches that commits handed over. Pure C++ over held Python references.
#pragma once

#include <list>
#include <mutex>

#include "structures/message_list.hpp"

namespace morva {

// A commit must either install its state and queue every message, or do neither. Installing
// comes first (only then are the messages committed), so what follows it must not be able to
// fail: the list node a batch will occupy is made beforehand (Room), and handing the batch over
// is a swap and a splice, neither of which allocates. A delivery takes every batch at once the
// same way, and can put them back in front of whatever was committed meanwhile.
class MessageQueue {
 public:
  using Batches = std::list<MessageBatch>;

  // The room one commit's messages will take in the queue. Made before the commit installs its
  // state; throws std::bad_alloc, while nothing has changed yet, when it cannot be made.
  class Room {
   public:
    Room() : node_(1) {}

   private:
    friend class MessageQueue;
    Batches node_;
  };

  // Moves every record of `from` to the end of the queue, in order, through `room` (used up).
  // `from`'s lock and the queue's are taken one after the other, never together.
  void append(MessageList& from, Room& room) noexcept;
  // Every queued batch, oldest first, leaving the queue empty.
  Batches take_all() noexcept;
  // Puts `batches` (taken earlier) back in front of whatever was queued since.
  void put_back(Batches& batches) noexcept;

 private:
  mutable std::mutex mutex_;
  Batches batches_;
};

}  // namespace morva
