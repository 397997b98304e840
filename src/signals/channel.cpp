// The broadcast ring, its publishing ends and its cursors.
#include "signals/channel.hpp"

#include <bit>
#include <utility>

#include "binding/check.hpp"
#include "binding/convert.hpp"
#include "binding/waiting.hpp"

namespace morva {

SignalChannel::SignalChannel(std::size_t requested_room)
    : capacity_(std::bit_ceil(requested_room == 0 ? std::size_t{1} : requested_room)),
      mask_(capacity_ - 1) {}

std::size_t SignalChannel::publish(PyObject* message) {
  // A full ring simply reuses its oldest slot: any receiver still owing a read of the old
  // message finds the position changed and reports a lag. The old text is released last,
  // outside the lock (releasing a str runs no Python code, but stay tidy).
  Ref old;
  std::size_t receivers;
  bool wake;
  {
    FtLock hold(lock_);
    receivers = receivers_;
    if (receivers == 0) return 0;
    Slot& slot = slots_[next_ & mask_];
    old = std::exchange(slot.text, Ref::borrow(message));
    slot.position = next_;
    slot.unread = receivers;
    ++next_;
    check_positions();
    wake = std::exchange(wake_due_, false);
  }
  if (wake) wake_waiters(this);
  return receivers;
}

std::size_t SignalChannel::publish(std::string_view text) {
  {
    FtLock hold(lock_);
    if (receivers_ == 0) return 0;
  }
  return publish(make_str_lossless(text).get());
}

void SignalChannel::detach_sender() noexcept {
  bool wake;
  {
    FtLock hold(lock_);
    wake = --senders_ == 0 && waiting_ > 0;
  }
  if (wake) wake_waiters(this);
}

uint64_t SignalChannel::attach_receiver() {
  FtLock hold(lock_);
  if (slots_.empty()) slots_.resize(capacity_);
  ++receivers_;
  return next_;
}

void SignalChannel::detach_receiver(uint64_t cursor) noexcept {
  FtLock hold(lock_);
  --receivers_;
  // The receiver owes a read of every retained message from its cursor on; give those up.
  for (uint64_t p = cursor > oldest() ? cursor : oldest(); p < next_; ++p) {
    Slot& slot = slots_[p & mask_];
    if (slot.position == p && slot.unread > 0 && --slot.unread == 0) slot.text.reset();
  }
}

RecvResult SignalChannel::poll(uint64_t& cursor) noexcept {
  FtLock hold(lock_);
  return poll_locked(cursor);
}

RecvResult SignalChannel::poll_locked(uint64_t& cursor) noexcept {
  RecvResult result;
  if (cursor >= next_) {
    result.kind = senders_ == 0 ? RecvResult::Kind::kClosed : RecvResult::Kind::kEmpty;
    return result;
  }
  Slot& slot = slots_[cursor & mask_];
  if (slot.position != cursor) {
    // Overwritten: skip to the oldest message still retained, which the next receive returns.
    result.kind = RecvResult::Kind::kLagged;
    result.missed = oldest() - cursor;
    cursor = oldest();
    return result;
  }
  MORVA_CHECK(slot.unread > 0 && slot.text.get() != nullptr);
  result.kind = RecvResult::Kind::kMessage;
  // The last reader takes the message out, which frees the slot.
  result.message = --slot.unread == 0 ? std::move(slot.text) : Ref::borrow(slot.text.get());
  ++cursor;
  return result;
}

// Positions: every slot holds the one position of its place in the ring that is still
// retained (or an older one, or none), and owes reads to at most every receiver.
void SignalChannel::check_positions() const noexcept {
  MORVA_DEBUG_ONLY({
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      const Slot& slot = slots_[i];
      if (slot.position == UINT64_MAX) continue;
      MORVA_CHECK((slot.position & mask_) == i && slot.position < next_);
      MORVA_CHECK(slot.unread <= receivers_);
      MORVA_CHECK((slot.unread > 0) == (slot.text.get() != nullptr));
    }
  })
}

SignalSender::SignalSender(std::shared_ptr<SignalChannel> channel) : channel_(std::move(channel)) {
  channel_->attach_sender();
}

SignalSender::~SignalSender() { channel_->detach_sender(); }

SignalCursor::SignalCursor(std::shared_ptr<SignalChannel> channel)
    : channel_(std::move(channel)), cursor_(channel_->attach_receiver()) {}

SignalCursor::~SignalCursor() { channel_->detach_receiver(cursor_); }

RecvResult SignalCursor::recv_for(std::chrono::milliseconds patience) {
  RecvResult result = try_recv();
  if (result.kind != RecvResult::Kind::kEmpty) return result;
  SignalChannel& ch = *channel_;
  std::unique_lock<std::mutex> lock = lock_waiters();
  {
    // Once more, now that a publisher would have to wake this receive through the waiters
    // mutex held here: anything published before is found, anything after wakes it.
    FtLock hold(ch.lock_);
    result = ch.poll_locked(cursor_);
    if (result.kind != RecvResult::Kind::kEmpty) return result;
    ++ch.waiting_;
    ch.wake_due_ = true;
  }
  Waiter self(current_thread_id(), &ch, Waiter::Kind::kMessage, false);
  wait_for_wake(lock, self, patience);
  {
    FtLock hold(ch.lock_);
    --ch.waiting_;
  }
  return try_recv();
}

}  // namespace morva
