// The meta log ring.
#include "structures/meta_log.hpp"

#include <new>
#include <stdexcept>

#include "binding/text.hpp"

namespace morva {

MetaLogBuffer::MetaLogBuffer(uint64_t capacity) : capacity_(capacity) {
  if (capacity > slots_.max_size()) throw std::bad_alloc();
  try {
    slots_.reserve(static_cast<std::size_t>(capacity));
  } catch (const std::length_error&) {
    throw std::bad_alloc();
  }
}

void MetaLogBuffer::append(std::string_view key, std::string_view message) {
  double timestamp = wall_clock_seconds();
  std::lock_guard<std::mutex> lock(mutex_);
  if (capacity_ == 0) return;
  if (slots_.size() < capacity_) {
    // Within the reserved room: no reallocation of the ring.
    slots_.push_back(MetaLogRecord{std::string(key), std::string(message), timestamp});
    return;
  }
  // Full: the oldest entry's strings are overwritten in place, reusing their storage, so a
  // steady stream of appends does not allocate.
  MetaLogRecord& oldest = slots_[head_];
  oldest.key.assign(key);
  oldest.message.assign(message);
  oldest.timestamp = timestamp;
  head_ = (head_ + 1) % slots_.size();
}

std::vector<MetaLogRecord> MetaLogBuffer::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<MetaLogRecord> out;
  out.reserve(slots_.size());
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    out.push_back(slots_[(head_ + i) % slots_.size()]);
  }
  return out;
}

}  // namespace morva
