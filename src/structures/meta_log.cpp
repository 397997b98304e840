// The meta log: appends stamp and store; snapshots format the state_update entries.
#include "structures/meta_log.hpp"

#include "binding/check.hpp"
#include "binding/text.hpp"

namespace morva {

void MetaLogBuffer::append(std::string_view key, std::string_view message) {
  double timestamp = wall_clock_seconds();
  // The texts are copied into the ring's spare entry, which holds the storage of the entry
  // evicted last, so a steady stream of appends of like size does not allocate.
  ring_.write([&](MetaLogSlot& slot) {
    slot.update_version = 0;
    slot.key.assign(key);
    slot.message.assign(message);
    slot.timestamp = timestamp;
  });
}

void MetaLogBuffer::append_state_update(uint64_t version) {
  MORVA_CHECK(version != 0);
  double timestamp = wall_clock_seconds();
  // Two numbers: this fill cannot fail, so it writes into the slot itself.
  ring_.write([&](MetaLogSlot& slot) noexcept {
    slot.update_version = version;
    slot.timestamp = timestamp;
  });
}

std::vector<LogRecord> MetaLogBuffer::snapshot() const {
  return ring_.snapshot([](const MetaLogSlot& slot) {
    if (slot.update_version == 0) return LogRecord{slot.key, slot.message, slot.timestamp};
    return LogRecord{"state_update",
                     "State updated to version " + std::to_string(slot.update_version),
                     slot.timestamp};
  });
}

}  // namespace morva
