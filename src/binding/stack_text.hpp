// Short texts built on the stack (access paths, log lines, warning messages), spilling to the
// heap when they outgrow the inline buffer. Pure C++: no Python objects.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace morva {

// The usual short text costs no allocation; a longer one moves to the heap once and keeps
// growing there, so a text is never cut short whatever its parts.
template <std::size_t Inline>
class StackText {
 public:
  StackText() = default;
  StackText(const StackText&) = delete;
  StackText& operator=(const StackText&) = delete;

  std::string_view view() const noexcept {
    return heap_.empty() ? std::string_view(inline_, size_) : std::string_view(heap_);
  }

  StackText& append(std::string_view part) {
    if (heap_.empty() && part.size() <= Inline - size_) {
      std::memcpy(inline_ + size_, part.data(), part.size());
      size_ += part.size();
      return *this;
    }
    if (heap_.empty()) heap_.assign(inline_, size_);
    heap_.append(part);
    return *this;
  }
  StackText& operator<<(std::string_view part) { return append(part); }
  // Decimal digits of an integer.
  template <std::integral T>
  StackText& operator<<(T value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }

 private:
  char inline_[Inline];
  std::size_t size_ = 0;
  std::string heap_;  // used once the text outgrows the inline buffer
};

}  // namespace morva
