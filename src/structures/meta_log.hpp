// MetaLogBuffer: the bounded, oldest-evicted-first log of (key, message, wall-clock time)
// entries shared by every version of a state lineage: a RingBuffer whose entries keep what a
// reader needs to build the text, not the text. Pure C++; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_record.hpp"
#include "log/ring_buffer.hpp"

namespace morva {

// One stored entry. Every State.update writes one, so its message ("State updated to version
// N") is kept as the number and formatted when a snapshot is taken: a reader gets the same
// text, and the write copies no text at all. Other entries keep their texts.
struct MetaLogSlot {
  uint64_t update_version = 0;  // non-zero: a "state_update" entry for that version
  std::string key;              // otherwise, the texts of the entry
  std::string message;
  double timestamp = 0.0;
};

class MetaLogBuffer {
 public:
  // Reserves room for `capacity` entries up front, so appends never reallocate. Throws
  // std::bad_alloc when that reservation cannot be made (the caller reports MemoryError).
  explicit MetaLogBuffer(uint64_t capacity) : ring_(capacity) {}

  // Adds one entry stamped with the current wall-clock time, evicting the oldest when full.
  // A capacity of 0 keeps the log empty. The clock is read before the lock is taken.
  void append(std::string_view key, std::string_view message);
  // Adds the entry ("state_update", "State updated to version {version}"); version >= 1.
  void append_state_update(uint64_t version);
  // The entries, oldest first, copied under the lock.
  std::vector<LogRecord> snapshot() const;

  uint64_t capacity() const noexcept { return ring_.capacity(); }

 private:
  RingBuffer<MetaLogSlot> ring_;
};

}  // namespace morva
