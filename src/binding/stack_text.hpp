// Short texts built on the stack (access paths, log lines, warning messages), spilling to the
// heap when they outgrow the inline buffer. Pure C++: no Python objects.
#pragma once

#include <algorithm>
#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string_view>

namespace morva {

// The usual short text costs no allocation; a longer one moves to the heap and keeps growing
// there, so a text is never cut short whatever its parts. `data_` points at the inline buffer
// until then, so reading the text takes no branch.
template <std::size_t Inline>
class StackText {
 public:
  StackText() noexcept = default;
  StackText(const StackText&) = delete;
  StackText& operator=(const StackText&) = delete;
  ~StackText() {
    if (data_ != inline_) delete[] data_;
  }

  std::string_view view() const noexcept { return std::string_view(data_, size_); }

  StackText& append(std::string_view part) {
    if (part.size() > capacity_ - size_) grow(part.size());
    std::memcpy(data_ + size_, part.data(), part.size());
    size_ += part.size();
    return *this;
  }
  StackText& operator<<(std::string_view part) { return append(part); }
  // Decimal digits of an integer, written in place (room for the longest is made first).
  template <std::integral T>
  StackText& operator<<(T value) {
    constexpr std::size_t kLongest = std::numeric_limits<T>::digits10 + 2;  // digits and sign
    if (kLongest > capacity_ - size_) grow(kLongest);
    char* at = data_ + size_;
    size_ += static_cast<std::size_t>(std::to_chars(at, data_ + capacity_, value).ptr - at);
    return *this;
  }

 private:
  [[gnu::noinline]] void grow(std::size_t more) {
    std::size_t capacity = std::max(capacity_ * 2, size_ + more);
    char* bigger = new char[capacity];
    std::memcpy(bigger, data_, size_);
    if (data_ != inline_) delete[] data_;
    data_ = bigger;
    capacity_ = capacity;
  }

  char inline_[Inline];
  char* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = Inline;
};

}  // namespace morva
