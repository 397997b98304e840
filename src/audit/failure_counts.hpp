// FailureCounts: the per-key unsigned 32-bit failure counters of an audit system. Pure C++;
// the owner serialises access (the audit system's exclusive borrow), so there is no lock here.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

namespace morva {

class FailureCounts {
 public:
  static constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();

  // The counter of `key`, made at 0 when the key is new (a count of 0 reads as an unknown key
  // does). Throws std::bad_alloc, changing nothing, when a new key cannot be stored. The
  // reference stays valid while the key is held (the map's nodes never move).
  uint32_t& counter(std::string_view key) {
    auto it = counts_.find(key);
    if (it == counts_.end()) it = counts_.emplace(std::string(key), 0).first;
    return it->second;
  }

  // The count after one more failure. A counter that reached kMax stays there: a wrap to 0
  // would silently reopen a blocked key, and refusing the failure would replace the escalation
  // the recipe asks for by an unrelated error.
  static uint32_t next(uint32_t count) noexcept { return count < kMax ? count + 1 : kMax; }

  // Adds one failure and returns the new count.
  uint32_t add_failure(std::string_view key) {
    uint32_t& count = counter(key);
    return count = next(count);
  }

  // Sets a key's count (the key becomes known if it was not).
  void set(std::string_view key, uint32_t count) { counter(key) = count; }

  // The key's count; 0 for a key never seen.
  uint32_t get(std::string_view key) const {
    auto it = counts_.find(key);
    return it == counts_.end() ? 0 : it->second;
  }

 private:
  // Transparent hashing: lookups by string_view allocate nothing; only a new key is copied.
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> counts_;
};

}  // namespace morva
