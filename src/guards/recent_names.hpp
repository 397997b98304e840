// The last few names and keys a guard checked, with what it found, so that a repeated access
// through the same object skips the text, path and contract work.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "binding/object.hpp"

namespace morva {

// Holds each by strong reference: while it is held, the pointer keeps naming the same immutable
// text or integer, and a guard's contract, prefix and modes never change, so what a check found
// stays true. Only exact str and int keys are remembered (a subclass instance is never
// pointer-equal to one). Replacing an entry releases one of those, which runs no Python code.
class RecentNames {
 public:
  enum Fact : uint8_t {
    kReadable = 1,              // passed the read check
    kReadableAsAttribute = 2,   // also: the normal lookup on the guard cannot find it
    kWritable = 4,              // passed the write check
  };

  bool knows(PyObject* name, Fact fact) const noexcept {
    for (std::size_t i = 0; i < kSize; ++i) {
      if (names_[i].get() == name) return (facts_[i] & fact) != 0;
    }
    return false;
  }
  void remember(PyObject* name, uint8_t facts) noexcept {
    for (std::size_t i = 0; i < kSize; ++i) {
      if (names_[i].get() == name) {
        facts_[i] |= facts;
        return;
      }
    }
    names_[next_] = Ref::borrow(name);
    facts_[next_] = facts;
    next_ = (next_ + 1) % kSize;
  }

 private:
  static constexpr std::size_t kSize = 4;
  std::array<Ref, kSize> names_;
  std::array<uint8_t, kSize> facts_{};
  std::size_t next_ = 0;
};

}  // namespace morva
