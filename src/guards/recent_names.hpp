// The last few names and keys a guard checked, with what it found, so that a repeated access
// through the same object skips the text, path and contract work.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "binding/object.hpp"

namespace morva {

// Holds each by strong reference: while it is held, the pointer keeps naming the same immutable
// text or integer, and a guard's contract, prefix and modes never change, so what a check found
// stays true. Only exact str and int keys are remembered (a subclass instance is never
// pointer-equal to one). Replacing an entry releases one of those, which runs no Python code.
//
// Threads reading through one guard share it. Each entry is one word, the object's address
// with the facts in its low bits (objects are aligned to at least 8 bytes), so a reader sees a
// name and its facts together or not at all; a word holds a reference to the object it names,
// so an address compared here is never one reused by another object. Writers add facts with a
// compare-and-swap and replace entries with an exchange. Reads are plain loads in both builds.
class RecentNames {
 public:
  enum Fact : uint8_t {
    kReadable = 1,              // passed the read check
    kReadableAsAttribute = 2,   // also: the normal lookup on the guard cannot find it
    kWritable = 4,              // passed the write check
  };

  RecentNames() = default;
  RecentNames(const RecentNames&) = delete;
  RecentNames& operator=(const RecentNames&) = delete;
  ~RecentNames() noexcept(false) {
    for (auto& entry : entries_) {
      if (PyObject* held = object_of(entry.load(std::memory_order_relaxed))) release_owned(held);
    }
  }

  bool knows(PyObject* name, Fact fact) const noexcept {
    for (const auto& entry : entries_) {
      uintptr_t word = entry.load(std::memory_order_acquire);
      if (object_of(word) == name) return (word & fact) != 0;
    }
    return false;
  }

  void remember(PyObject* name, uint8_t facts) {
    for (auto& entry : entries_) {
      uintptr_t word = entry.load(std::memory_order_relaxed);
      while (object_of(word) == name) {
        if (entry.compare_exchange_weak(word, word | facts, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
          return;
        }
      }
    }
    Py_INCREF(name);
    std::size_t slot = next_.fetch_add(1, std::memory_order_relaxed) % kSize;
    uintptr_t old = entries_[slot].exchange(reinterpret_cast<uintptr_t>(name) | facts,
                                           std::memory_order_acq_rel);
    if (PyObject* dropped = object_of(old)) release_owned(dropped);
  }

 private:
  static constexpr std::size_t kSize = 4;
  static constexpr uintptr_t kFactBits = 7;
  static_assert(alignof(std::max_align_t) >= 8);

  static PyObject* object_of(uintptr_t word) noexcept {
    return reinterpret_cast<PyObject*>(word & ~kFactBits);
  }

  std::array<std::atomic<uintptr_t>, kSize> entries_{};
  std::atomic<unsigned> next_{0};
};

}  // namespace morva
