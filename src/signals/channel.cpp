// The broadcast ring, its publishing ends and its cursors.
#include "signals/channel.hpp"

#include <bit>
#include <utility>

namespace morva {

SignalChannel::SignalChannel(std::size_t requested_room)
    : capacity_(std::bit_ceil(requested_room == 0 ? std::size_t{1} : requested_room)),
      mask_(capacity_ - 1) {}

std::size_t SignalChannel::publish(std::string_view message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (receivers_ == 0) return 0;
  // A full ring simply reuses its oldest slot: any receiver still owing a read of the old
  // message finds the position changed and reports a lag.
  Slot& slot = slots_[next_ & mask_];
  slot.text.assign(message);
  slot.position = next_;
  slot.unread = receivers_;
  ++next_;
  if (waiting_ > 0) wake_.notify_all();
  return receivers_;
}

std::size_t SignalChannel::receiver_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return receivers_;
}

bool SignalChannel::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return senders_ == 0;
}

void SignalChannel::attach_sender() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++senders_;
}

void SignalChannel::detach_sender() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--senders_ == 0 && waiting_ > 0) wake_.notify_all();
}

uint64_t SignalChannel::attach_receiver() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slots_.empty()) slots_.resize(capacity_);
  ++receivers_;
  return next_;
}

void SignalChannel::detach_receiver(uint64_t cursor) {
  std::lock_guard<std::mutex> lock(mutex_);
  --receivers_;
  // The receiver owes a read of every retained message from its cursor on; give those up.
  for (uint64_t p = cursor > oldest_locked() ? cursor : oldest_locked(); p < next_; ++p) {
    Slot& slot = slots_[p & mask_];
    if (slot.position == p && slot.unread > 0 && --slot.unread == 0) release_slot_locked(slot);
  }
}

void SignalChannel::release_slot_locked(Slot& slot) noexcept {
  std::string().swap(slot.text);
}

RecvResult SignalChannel::poll_locked(uint64_t& cursor) {
  RecvResult result;
  if (cursor >= next_) {
    result.kind = senders_ == 0 ? RecvResult::Kind::kClosed : RecvResult::Kind::kEmpty;
    return result;
  }
  Slot& slot = slots_[cursor & mask_];
  if (slot.position != cursor) {
    // Overwritten: skip to the oldest message still retained, which the next receive returns.
    uint64_t oldest = oldest_locked();
    result.kind = RecvResult::Kind::kLagged;
    result.missed = oldest - cursor;
    cursor = oldest;
    return result;
  }
  result.kind = RecvResult::Kind::kMessage;
  if (--slot.unread == 0) {
    result.message = std::move(slot.text);  // the last reader frees the slot
    release_slot_locked(slot);
  } else {
    result.message = slot.text;
  }
  ++cursor;
  return result;
}

SignalSender::SignalSender(std::shared_ptr<SignalChannel> channel) : channel_(std::move(channel)) {
  channel_->attach_sender();
}

SignalSender::~SignalSender() { channel_->detach_sender(); }

SignalCursor::SignalCursor(std::shared_ptr<SignalChannel> channel)
    : channel_(std::move(channel)), cursor_(channel_->attach_receiver()) {}

SignalCursor::~SignalCursor() { channel_->detach_receiver(cursor_); }

RecvResult SignalCursor::recv() { return recv_for(std::chrono::nanoseconds::max()); }

RecvResult SignalCursor::recv_for(std::chrono::nanoseconds patience) {
  auto deadline = patience == std::chrono::nanoseconds::max()
                      ? std::chrono::steady_clock::time_point::max()
                      : std::chrono::steady_clock::now() + patience;
  std::lock_guard<std::mutex> own(mutex_);
  SignalChannel& ch = *channel_;
  std::unique_lock<std::mutex> lock(ch.mutex_);
  // Counted while the channel's lock is held (the count is undone on every way out).
  struct Blocking {
    unsigned& count;
    explicit Blocking(unsigned& c) : count(c) { ++count; }
    ~Blocking() { --count; }
  } blocking(blocking_);
  for (;;) {
    RecvResult result = ch.poll_locked(cursor_);
    if (result.kind != RecvResult::Kind::kEmpty) return result;
    if (std::chrono::steady_clock::now() >= deadline) return result;  // kEmpty
    ++ch.waiting_;
    if (deadline == std::chrono::steady_clock::time_point::max()) {
      ch.wake_.wait(lock);
    } else {
      ch.wake_.wait_until(lock, deadline);
    }
    --ch.waiting_;
  }
}

RecvResult SignalCursor::try_recv() {
  std::lock_guard<std::mutex> lock(channel_->mutex_);
  if (blocking_ > 0) return RecvResult{};
  return channel_->poll_locked(cursor_);
}

}  // namespace morva
