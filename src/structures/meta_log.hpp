// MetaLogBuffer: the bounded, oldest-evicted-first log of (key, message, wall-clock time)
// entries shared by every version of a state lineage. Pure C++; safe from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace morva {

struct MetaLogRecord {
  std::string key;
  std::string message;
  double timestamp = 0.0;
};

class MetaLogBuffer {
 public:
  // Reserves room for `capacity` entries up front, so appends never reallocate. Throws
  // std::bad_alloc when that reservation cannot be made (the caller reports MemoryError).
  explicit MetaLogBuffer(uint64_t capacity);

  // Adds one entry stamped with the current wall-clock time, evicting the oldest when full.
  // A capacity of 0 keeps the log empty. The clock is read before the lock is taken.
  void append(std::string_view key, std::string_view message);
  // Copies of all entries, oldest first, taken under the lock.
  std::vector<MetaLogRecord> snapshot() const;

  uint64_t capacity() const noexcept { return capacity_; }

 private:
  const uint64_t capacity_;
  mutable std::mutex mutex_;
  // A ring over `slots_`: once it holds `capacity_` entries, `head_` is the oldest one and
  // the next write replaces it, so eviction never moves the other entries.
  std::vector<MetaLogRecord> slots_;
  std::size_t head_ = 0;
};

}  // namespace morva
