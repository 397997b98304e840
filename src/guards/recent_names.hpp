// The last few names a guard found readable, so that a repeated read of the same name object
// skips the text, path and contract work.
#pragma once

#include <array>
#include <cstddef>

#include "binding/object.hpp"

namespace morva {

// Holds each name by strong reference: while it is held, the pointer keeps naming the same
// immutable text, and a guard's contract, prefix and modes never change, so a name once found
// readable stays readable. Only exact str names are remembered (a str subclass never compares
// pointer-equal to one). Replacing an entry releases an exact str, which runs no Python code.
class RecentNames {
 public:
  bool contains(PyObject* name) const noexcept {
    for (const Ref& held : names_) {
      if (held.get() == name) return true;
    }
    return false;
  }
  void remember(PyObject* name) noexcept {
    names_[next_] = Ref::borrow(name);
    next_ = (next_ + 1) % kSize;
  }

 private:
  static constexpr std::size_t kSize = 4;
  std::array<Ref, kSize> names_;
  std::size_t next_ = 0;
};

}  // namespace morva
