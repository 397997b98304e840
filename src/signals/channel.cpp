// The broadcast ring, its publishing ends and its cursors.
#include "signals/channel.hpp"

#include <bit>
#include <utility>

namespace morva {

SignalChannel::SignalChannel(std::size_t requested_room)
    : slots_(std::bit_ceil(requested_room == 0 ? std::size_t{1} : requested_room)),
      mask_(slots_.size() - 1) {}

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

RecvResult SignalCursor::recv() {
  std::lock_guard<std::mutex> own(mutex_);
  SignalChannel& ch = *channel_;
  std::unique_lock<std::mutex> lock(ch.mutex_);
  for (;;) {
    RecvResult result = ch.poll_locked(cursor_);
    if (result.kind != RecvResult::Kind::kEmpty) return result;
    ++ch.waiting_;
    ch.wake_.wait(lock);
    --ch.waiting_;
  }
}

RecvResult SignalCursor::try_recv() {
  std::unique_lock<std::mutex> own(mutex_, std::try_to_lock);
  if (!own.owns_lock()) return RecvResult{};
  std::lock_guard<std::mutex> lock(channel_->mutex_);
  return channel_->poll_locked(cursor_);
}

}  // namespace morva
