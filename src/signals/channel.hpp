// SignalChannel: the bounded broadcast ring of text messages behind every SignalHub, with its
// publishing ends (SignalSender) and read cursors (SignalCursor). Messages are str objects.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "binding/object.hpp"
#include "binding/threads.hpp"

namespace morva {

// What one receive produced.
struct RecvResult {
  enum class Kind {
    kMessage,  // `message` holds the next message
    kLagged,   // `missed` messages were overwritten before this receiver read them
    kClosed,   // every publishing end is gone and nothing is left to read
    kEmpty,    // (non-blocking attempt only) nothing ready; the caller must wait
  };
  Kind kind = Kind::kEmpty;
  Ref message;  // an exact str
  uint64_t missed = 0;
};

// The ring. Messages get consecutive positions 0, 1, 2, ...; position p lives in slot
// p % capacity until position p + capacity overwrites it. A slot remembers its position, so
// a cursor recognises an overwritten message by a position mismatch (lag), and how many
// receivers have yet to read it: the last reader takes the message out and frees the slot.
// A message is kept as an exact str: immutable, so one reference serves every receiver.
//
// Every operation runs under the channel's own lock (`lock_`, an FtMutex: the GIL where there
// is one), held for a few instructions and never while waiting; a receiver waiting for a
// message holds nothing at all (binding/waiting.hpp), so neither a fork() nor the end of the
// waiting thread can leave the channel locked. Publishing never waits for receivers: a full
// ring overwrites its oldest slot, and wakes receivers only when one is actually waiting. A
// receiver about to sleep looks at the ring once more with the waiters mutex held, and a
// publisher wakes through that mutex, so no wake-up is lost.
class SignalChannel {
 public:
  // Every channel the module creates asks for this much room.
  static constexpr std::size_t kRequestedRoom = 100;

  // The ring holds `requested_room` rounded up to a power of two (100 -> 128).
  explicit SignalChannel(std::size_t requested_room);
  SignalChannel(const SignalChannel&) = delete;
  SignalChannel& operator=(const SignalChannel&) = delete;

  std::size_t capacity() const noexcept { return capacity_; }
  // Appends `message` (an exact str) for every current receiver and returns their number;
  // with no receiver the message is dropped and 0 returned.
  std::size_t publish(PyObject* message);
  // The same for UTF-8 text (lone surrogates allowed); the str is built only for listeners.
  std::size_t publish(std::string_view text);
  std::size_t receiver_count() const noexcept {
    FtLock hold(lock_);
    return receivers_;
  }
  bool closed() const noexcept {
    FtLock hold(lock_);
    return senders_ == 0;
  }

 private:
  friend class SignalSender;
  friend class SignalCursor;

  struct Slot {
    uint64_t position = UINT64_MAX;  // no message yet
    std::size_t unread = 0;          // receivers that still have to read it
    Ref text;
  };

  void attach_sender() noexcept {
    FtLock hold(lock_);
    ++senders_;
  }
  void detach_sender() noexcept;
  uint64_t attach_receiver();
  void detach_receiver(uint64_t cursor) noexcept;
  // One step for the cursor at `cursor`: a message, a lag, closure, or kEmpty when nothing is
  // there yet. poll() takes the lock, poll_locked() is for a caller that holds it.
  RecvResult poll(uint64_t& cursor) noexcept;
  RecvResult poll_locked(uint64_t& cursor) noexcept;
  // The oldest position still in the ring.
  uint64_t oldest() const noexcept { return next_ > capacity_ ? next_ - capacity_ : 0; }
  void check_positions() const noexcept;

  mutable FtMutex lock_;
  std::size_t capacity_;
  uint64_t mask_;
  // Allocated with the first receiver: a channel nobody listens to (every restrict_view makes
  // one) drops its messages and needs no ring.
  std::vector<Slot> slots_;
  uint64_t next_ = 0;          // position of the next message to publish
  std::size_t senders_ = 0;    // publishing ends alive; 0 means closed
  std::size_t receivers_ = 0;  // cursors alive
  std::size_t waiting_ = 0;    // receives asleep in wait_for_wake on this channel
  // Set by every receive that goes to sleep, cleared by the wake-up that follows: a wake-up
  // reaches every waiter of the channel, so until another receive goes to sleep, further
  // messages need not wake anyone (the woken receives are on their way back to the GIL).
  bool wake_due_ = false;
};

// One publishing end. The channel is closed when its last end is destroyed.
class SignalSender {
 public:
  explicit SignalSender(std::shared_ptr<SignalChannel> channel);
  ~SignalSender();
  SignalSender(const SignalSender&) = delete;
  SignalSender& operator=(const SignalSender&) = delete;

  std::size_t publish(PyObject* message) { return channel_->publish(message); }
  std::size_t publish(std::string_view text) { return channel_->publish(text); }
  const std::shared_ptr<SignalChannel>& channel() const noexcept { return channel_; }

 private:
  std::shared_ptr<SignalChannel> channel_;
};

// One subscription: a read cursor that starts after the newest message published so far.
// Several receives may run on one cursor at once (on different threads); the channel's lock
// serialises their steps, so each message reaches only one of them. Destroying the cursor withdraws its
// claim on every unread message.
class SignalCursor {
 public:
  explicit SignalCursor(std::shared_ptr<SignalChannel> channel);
  ~SignalCursor();
  SignalCursor(const SignalCursor&) = delete;
  SignalCursor& operator=(const SignalCursor&) = delete;

  // Never blocks: kEmpty when it would have to wait.
  RecvResult try_recv() noexcept { return channel_->poll(cursor_); }
  // Waits (with the GIL released) until a message, a lag report or closure, or gives up with
  // kEmpty after `patience`, so the caller can run pending signal handlers and wait again.
  RecvResult recv_for(std::chrono::milliseconds patience);

 private:
  std::shared_ptr<SignalChannel> channel_;
  uint64_t cursor_;  // next position to read
};

}  // namespace morva
