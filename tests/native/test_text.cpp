// Shortest round-trip float formatting used by the log entries.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>

#include "binding/stack_text.hpp"
#include "binding/text.hpp"

using morva::format_float;

TEST(FormatFloat, FixedCases) {
  EXPECT_EQ(format_float(0.0), "0");
  EXPECT_EQ(format_float(12.25), "12.25");
  EXPECT_EQ(format_float(12.5), "12.5");
  EXPECT_EQ(format_float(12.125), "12.125");
  EXPECT_EQ(format_float(5.0), "5");
  EXPECT_EQ(format_float(0.1), "0.1");
  EXPECT_EQ(format_float(-2.5), "-2.5");
  EXPECT_EQ(format_float(1e20), "100000000000000000000");
  EXPECT_EQ(format_float(1e-7), "0.0000001");
  EXPECT_EQ(format_float(1733600000.123456), "1733600000.123456");
}

TEST(FormatFloat, NeverUsesExponentAndRoundTrips) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    double v = unit(rng) * std::pow(10.0, static_cast<int>(rng() % 40) - 20);
    std::string s = format_float(v);
    EXPECT_EQ(s.find_first_of("eE"), std::string::npos) << s;
    EXPECT_EQ(std::strtod(s.c_str(), nullptr), v) << s;
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
