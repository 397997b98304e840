// RingBuffer: a bounded, lock-guarded log that overwrites its oldest entry once full and counts
// every entry ever written; the meta log and the audit log are both one. Pure C++; safe from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace morva {

template <typename T>
class RingBuffer {
 public:
  // Reserves room for `capacity` entries up front, so writes never reallocate. Throws
  // std::bad_alloc when that reservation cannot be made (the caller reports MemoryError).
  explicit RingBuffer(uint64_t capacity) : capacity_(capacity) {
    if (capacity > slots_.max_size()) throw std::bad_alloc();
    try {
      slots_.reserve(static_cast<std::size_t>(capacity));
    } catch (const std::length_error&) {
      throw std::bad_alloc();
    }
  }
  RingBuffer(const RingBuffer&) = delete;
  RingBuffer& operator=(const RingBuffer&) = delete;

  // Writes one entry, whole or not at all. `fill(entry)` sets every field of the entry. A
  // `fill` that may throw (a text that cannot be copied for want of memory) fills a spare
  // entry, so that a failure writes and counts nothing; only once it is filled does the entry
  // go in, by steps that cannot fail: moved into the reserved room while the ring fills,
  // afterwards swapped with the oldest entry, whose storage the next write's `fill` reuses. A
  // noexcept `fill` writes straight into the slot. `head_` advances on every write, so once
  // the ring is full it always names the oldest entry. A capacity of 0 keeps nothing but still
  // counts the write in `total()`. `fill` runs under the lock: it must be short and must not
  // call back.
  template <typename Fill>
  void write(Fill&& fill) {
    static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_swappable_v<T>);
    std::lock_guard<std::mutex> lock(mutex_);
    if (capacity_ != 0) {
      bool filling = slots_.size() < capacity_;
      if constexpr (std::is_nothrow_invocable_v<Fill&, T&>) {
        fill(filling ? slots_.emplace_back() : slots_[head_]);  // emplace: in the reserved room
      } else {
        fill(spare_);
        if (filling) {
          slots_.push_back(std::move(spare_));  // within the reserved room: no reallocation
        } else {
          std::swap(slots_[head_], spare_);
        }
      }
      if (++head_ == capacity_) head_ = 0;  // head_ < capacity_ always: no division needed
    }
    ++total_;
  }

  // A ready entry goes in by moving it: no allocation, so this cannot fail.
  void push(T entry) noexcept {
    write([&entry](T& slot) noexcept { slot = std::move(entry); });
  }

  // `read(entry)` of every held entry, oldest first, collected under the lock (so `read` must be
  // short and must not call back); the caller turns them into Python objects after it.
  template <typename Read>
  auto snapshot(Read&& read) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::decay_t<decltype(read(std::declval<const T&>()))>> out;
    out.reserve(slots_.size());
    // While filling, `head_` equals the size and the stored order is already oldest first.
    std::size_t start = slots_.size() < capacity_ ? 0 : head_;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      out.push_back(read(slots_[(start + i) % slots_.size()]));
    }
    return out;
  }
  // Copies of the held entries, oldest first.
  std::vector<T> snapshot() const {
    return snapshot([](const T& entry) { return entry; });
  }

  std::size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size();
  }
  uint64_t total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
  }
  uint64_t capacity() const noexcept { return capacity_; }

 private:
  const uint64_t capacity_;
  mutable std::mutex mutex_;
  std::vector<T> slots_;
  T spare_{};             // filled by each write before it goes in; then the evicted entry
  std::size_t head_ = 0;  // where the next write goes once full
  uint64_t total_ = 0;    // entries ever written, overwritten and dropped ones included
};

}  // namespace morva
