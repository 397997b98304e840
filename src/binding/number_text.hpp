// Numbers to and from text, the same whatever the host's locale: a Python program may set a
// locale whose decimal mark is a comma, and the C library's strtod and printf follow it.
// std::from_chars and std::to_chars never do. Pure C++.
#pragma once

#include <string>
#include <string_view>

namespace morva {

enum class FloatText {
  // Never an exponent, integral values without a fraction (log entries): 0.0 -> "0",
  // 12.25 -> "12.25", 5.0 -> "5", 1e20 -> "100000000000000000000"; NaN -> "NaN", "inf", "-inf".
  kPlain,
  // Fixed or exponent form, whichever is shorter, with ".0" on a value that would otherwise
  // read as an integer (diagnostics of YAML values): 5.0 -> "5.0", 1e300 -> "1e+300",
  // 2500.0 -> "2500.0"; non-finite values as YAML writes them: ".nan", ".inf", "-.inf".
  kShortest,
};

// The shortest text that reads back as the same double, in the given form: the module's one
// float formatter.
std::string format_float(double value, FloatText form);

// The double nearest to `text`, which must be a decimal number as `[-+]? digits [. digits]
// ([eE] [-+]? digits)?` (at least one digit, either side of the point). A text beyond the
// range of doubles reads as infinity, one below the smallest as zero, as strtod has them.
double read_float(std::string_view text);

}  // namespace morva
