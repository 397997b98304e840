// SignalChannel: the bounded broadcast ring of text messages behind every SignalHub, with its
// publishing ends (SignalSender) and read cursors (SignalCursor). Pure C++, safe from any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
  std::string message;
  uint64_t missed = 0;
};

// The ring. Messages get consecutive positions 0, 1, 2, ...; position p lives in slot
// p % capacity until position p + capacity overwrites it. A slot remembers its position, so
// a cursor recognises an overwritten message by a position mismatch (lag), and how many
// receivers have yet to read it: the last reader takes the text out and frees the slot.
//
// Publishing never waits for receivers: a full ring overwrites its oldest slot. Receivers
// wait on the channel's condition variable; publishers and closure wake them, and only when
// someone is actually waiting, so an idle channel pays nothing for it.
//
// Every field is guarded by `mutex_`. Nothing here touches Python, so the lock may be held
// with or without the GIL; nobody holding it ever waits for the GIL.
class SignalChannel {
 public:
  // Every channel the module creates asks for this much room.
  static constexpr std::size_t kRequestedRoom = 100;

  // The ring holds `requested_room` rounded up to a power of two (100 -> 128).
  explicit SignalChannel(std::size_t requested_room);
  SignalChannel(const SignalChannel&) = delete;
  SignalChannel& operator=(const SignalChannel&) = delete;

  std::size_t capacity() const noexcept { return slots_.size(); }
  // Appends a copy of `message` for every current receiver and returns their number; with no
  // receiver the message is dropped and 0 returned.
  std::size_t publish(std::string_view message);
  std::size_t receiver_count() const;
  bool closed() const;

 private:
  friend class SignalSender;
  friend class SignalCursor;

  struct Slot {
    uint64_t position = UINT64_MAX;  // no message yet
    std::size_t unread = 0;          // receivers that still have to read it
    std::string text;
  };

  void attach_sender();
  void detach_sender();
  uint64_t attach_receiver();
  void detach_receiver(uint64_t cursor);
  // One step for the cursor at `cursor`, with `mutex_` held: a message, a lag, closure, or
  // kEmpty when nothing is there yet.
  RecvResult poll_locked(uint64_t& cursor);
  // The oldest position still in the ring.
  uint64_t oldest_locked() const noexcept {
    return next_ > slots_.size() ? next_ - slots_.size() : 0;
  }
  void release_slot_locked(Slot& slot) noexcept;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Slot> slots_;
  uint64_t mask_;
  uint64_t next_ = 0;           // position of the next message to publish
  std::size_t senders_ = 0;     // publishing ends alive; 0 means closed
  std::size_t receivers_ = 0;   // cursors alive
  std::size_t waiting_ = 0;     // receivers blocked in wake_.wait
};

// One publishing end. The channel is closed when its last end is destroyed.
class SignalSender {
 public:
  explicit SignalSender(std::shared_ptr<SignalChannel> channel);
  ~SignalSender();
  SignalSender(const SignalSender&) = delete;
  SignalSender& operator=(const SignalSender&) = delete;

  std::size_t publish(std::string_view message) { return channel_->publish(message); }
  const std::shared_ptr<SignalChannel>& channel() const noexcept { return channel_; }

 private:
  std::shared_ptr<SignalChannel> channel_;
};

// One subscription: a read cursor that starts after the newest message published so far.
// Its own lock serialises receives, so each message reaches only one of several concurrent
// receives on the same cursor. Destroying it withdraws its claim on every unread message.
class SignalCursor {
 public:
  explicit SignalCursor(std::shared_ptr<SignalChannel> channel);
  ~SignalCursor();
  SignalCursor(const SignalCursor&) = delete;
  SignalCursor& operator=(const SignalCursor&) = delete;

  // Blocks until a message, a lag report or closure.
  RecvResult recv();
  // Never blocks: kEmpty when it would have to wait, including when another receive on this
  // cursor is in progress.
  RecvResult try_recv();

 private:
  std::shared_ptr<SignalChannel> channel_;
  std::mutex mutex_;     // serialises receives; taken before the channel's lock
  uint64_t cursor_;      // next position to read; changed only with both locks held
};

}  // namespace morva
