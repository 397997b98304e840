// Locale-independent float text: std::to_chars for writing, std::from_chars for reading.
#include "binding/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace morva {
namespace {

// The power of ten of a decimal text's first significant digit, or of its last digit for zero;
// saturated, as it only tells a text too large for a double from one too small.
int64_t decimal_order(std::string_view text) {
  std::size_t e = text.find_first_of("eE");
  std::string_view mantissa = text.substr(0, e);
  int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view digits = text.substr(e + 1);
    bool negative = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
    auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
    if (parsed.ec != std::errc()) exponent = std::numeric_limits<int32_t>::max();
    if (negative) exponent = -exponent;
  }
  std::size_t point = mantissa.find('.');
  if (point == std::string_view::npos) point = mantissa.size();
  std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return exponent;
  auto position = static_cast<int64_t>(point) - static_cast<int64_t>(first);
  return exponent + (first < point ? position - 1 : position);
}

}  // namespace

std::string format_float(double value, FloatText form) {
  bool plain = form == FloatText::kPlain;
  if (std::isnan(value)) return plain ? "NaN" : ".nan";
  if (std::isinf(value)) return value > 0 ? (plain ? "inf" : ".inf") : (plain ? "-inf" : "-.inf");
  // A fixed-notation double needs at most ~330 characters (denormals) plus sign.
  char buffer[400];
  auto written = plain ? std::to_chars(buffer, buffer + sizeof buffer, value,
                                       std::chars_format::fixed)
                       : std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, written.ptr);
  if (!plain && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

double read_float(std::string_view text) {
  bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  double value = 0.0;
  auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone; far past either end of the range, the order of the
    // first digit tells which.
    value = decimal_order(text) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

}  // namespace morva
