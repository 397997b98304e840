// Float text in both forms and float reading, and the stack-allocated short texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>

#include "binding/number_text.hpp"
#include "binding/stack_text.hpp"

using morva::FloatText;
using morva::format_float;
using morva::read_float;

std::string plain(double v) { return format_float(v, FloatText::kPlain); }
std::string shortest(double v) { return format_float(v, FloatText::kShortest); }

TEST(FormatFloat, FixedCases) {
  EXPECT_EQ(plain(0.0), "0");
  EXPECT_EQ(plain(12.25), "12.25");
  EXPECT_EQ(plain(12.5), "12.5");
  EXPECT_EQ(plain(12.125), "12.125");
  EXPECT_EQ(plain(5.0), "5");
  EXPECT_EQ(plain(0.1), "0.1");
  EXPECT_EQ(plain(-2.5), "-2.5");
  EXPECT_EQ(plain(1e20), "100000000000000000000");
  EXPECT_EQ(plain(1e-7), "0.0000001");
  EXPECT_EQ(plain(1733600000.123456), "1733600000.123456");
  EXPECT_EQ(shortest(5.0), "5.0");
  EXPECT_EQ(shortest(2500.0), "2500.0");
  EXPECT_EQ(shortest(1e300), "1e+300");
  EXPECT_EQ(shortest(-0.0), "-0.0");
  EXPECT_EQ(shortest(1.5), "1.5");
  for (double v : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    std::string expected = std::isnan(v) ? "NaN .nan" : v > 0 ? "inf .inf" : "-inf -.inf";
    EXPECT_EQ(plain(v) + " " + shortest(v), expected);
  }
}

// Each form reads back as the value it was made from, through the module's own reader and the
// C library's (in the "C" locale of this test binary).
TEST(FormatFloat, BothFormsRoundTrip) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    double v = unit(rng) * std::pow(10.0, static_cast<int>(rng() % 40) - 20);
    std::string s = plain(v);
    EXPECT_EQ(s.find_first_of("eE"), std::string::npos) << s;
    EXPECT_EQ(std::strtod(s.c_str(), nullptr), v) << s;
    EXPECT_EQ(read_float(s), v) << s;
    std::string t = shortest(v);
    EXPECT_LE(t.size(), s.size() + 2) << t;
    EXPECT_EQ(read_float(t), v) << t;
  }
}

TEST(ReadFloat, SignsAndTheEndsOfTheRange) {
  EXPECT_EQ(read_float("+1.5"), 1.5);
  EXPECT_EQ(read_float("-.5e1"), -5.0);
  EXPECT_EQ(read_float("1."), 1.0);
  EXPECT_EQ(read_float("18446744073709551616"), 18446744073709551616.0);
  // Past either end, as strtod gives them: infinity, or a zero that keeps its sign.
  for (const char* text : {"1e400", "-1e400", "1e-400", "-1e-400", "0.000001e-320",
                           "123456789e99999999999999999999", "1e-99999999999999999999"}) {
    EXPECT_EQ(read_float(text), std::strtod(text, nullptr)) << text;
    EXPECT_EQ(std::signbit(read_float(text)), text[0] == '-') << text;
  }
}

// A text that outgrows its inline buffer part-way through keeps every byte, in order.
TEST(StackText, SpillsToTheHeapWithoutCuttingShort) {
  morva::StackText<8> text;
  text << "Fail #" << 7u;
  EXPECT_EQ(text.view(), "Fail #7");
  text << " (" << UINT32_MAX << "/" << INT64_MIN << ")";
  EXPECT_EQ(text.view(), "Fail #7 (4294967295/-9223372036854775808)");
}
