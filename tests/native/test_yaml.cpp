// The YAML reader: scalar resolution, document order, tags, marks, and the hostile-input bounds.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "yaml/document.hpp"

using namespace morva::yaml;

namespace {
Node scalar(const std::string& text) { return read_document("v: " + text).entries().at(0).second; }

std::string error_of(const std::string& text, const Limits& limits = Limits{}) {
  try {
    read_document(text, limits);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}
}  // namespace

TEST(YamlReader, EmptyTextsAreNull) {
  EXPECT_EQ(read_document("").kind, Kind::Null);
  EXPECT_EQ(read_document("# only a comment\n").kind, Kind::Null);
  EXPECT_EQ(read_document("~").kind, Kind::Null);
}

TEST(YamlReader, PlainScalarsResolveByTheFixedRules) {
  for (const char* t : {"~", "null", "Null", "NULL", ""}) EXPECT_EQ(scalar(t).kind, Kind::Null) << t;
  for (const char* t : {"true", "True", "TRUE"}) {
    EXPECT_EQ(scalar(t).kind, Kind::Bool) << t;
    EXPECT_TRUE(scalar(t).boolean);
  }
  for (const char* t : {"false", "False", "FALSE"}) EXPECT_FALSE(scalar(t).boolean) << t;
  for (const char* t : {"yes", "no", "on", "off", "tRue", "nULL", "0x", "1_000", "+", ".", "e5"}) {
    EXPECT_EQ(scalar(t).kind, Kind::String) << t;
  }
  Node n = scalar("42");
  EXPECT_EQ(n.kind, Kind::Number);
  EXPECT_TRUE(n.number.is_integer);
  EXPECT_EQ(n.number.magnitude, 42u);
  EXPECT_EQ(scalar("-7").number.negative, true);
  EXPECT_EQ(scalar("0x1F").number.magnitude, 31u);
  EXPECT_EQ(scalar("0o17").number.magnitude, 15u);
  EXPECT_EQ(scalar("0b101").number.magnitude, 5u);
  EXPECT_EQ(scalar("18446744073709551615").number.magnitude, UINT64_MAX);
  EXPECT_FALSE(scalar("18446744073709551616").number.is_integer);
  for (const char* t : {"1.5", "-2e3", "1e5", "1.", ".5", ".inf", "-.inf", ".nan", ".NaN"}) {
    EXPECT_EQ(scalar(t).kind, Kind::Number) << t;
    EXPECT_FALSE(scalar(t).number.is_integer) << t;
  }
  EXPECT_DOUBLE_EQ(scalar("-2e3").number.value, -2000.0);
  EXPECT_TRUE(std::isinf(scalar("-.inf").number.value));
}

TEST(YamlReader, QuotedAndBlockScalarsAreStringsAsWritten) {
  EXPECT_EQ(scalar("'42'").kind, Kind::String);
  EXPECT_EQ(scalar("\"true\"").style, Style::DoubleQuoted);
  EXPECT_EQ(scalar("'  spaced  '").text, "  spaced  ");
  Node block = read_document("v: |\n  line one\n  line two\n").entries().at(0).second;
  EXPECT_EQ(block.kind, Kind::String);
  EXPECT_EQ(block.style, Style::Literal);
  EXPECT_EQ(block.text, "line one\nline two\n");
  EXPECT_EQ(scalar("5").text, "5");  // the text is kept for numbers too
}

TEST(YamlReader, MappingsKeepDocumentOrderAndDuplicates) {
  Node doc = read_document("b: 1\na: 2\nb: 3\n1: x\n");
  ASSERT_EQ(doc.kind, Kind::Mapping);
  ASSERT_EQ(doc.entries().size(), 4u);
  EXPECT_EQ(doc.entries()[0].first.text, "b");
  EXPECT_EQ(doc.entries()[1].first.text, "a");
  EXPECT_EQ(doc.find("b")->number.magnitude, 1u);  // the first entry wins a lookup
  EXPECT_EQ(doc.find("1"), nullptr);                // a number key never matches a name
  EXPECT_EQ(doc.find("zz"), nullptr);
  EXPECT_EQ(read_document("[1]").find("a"), nullptr);
}

TEST(YamlReader, TagsWrapValuesAndLookupsLookThrough) {
  Node doc = read_document("!outer\nsteps: !inner [a, !!str 5]\n");
  ASSERT_EQ(doc.kind, Kind::Tagged);
  EXPECT_EQ(doc.text, "!outer");
  const Node* steps = doc.find("steps");
  ASSERT_NE(steps, nullptr);
  EXPECT_EQ(steps->kind, Kind::Tagged);
  const Node& seq = steps->untagged();
  ASSERT_EQ(seq.kind, Kind::Sequence);
  EXPECT_EQ(seq.items()[1].kind, Kind::Tagged);
  EXPECT_EQ(seq.items()[1].text, "tag:yaml.org,2002:str");
  EXPECT_EQ(seq.items()[1].untagged().kind, Kind::Number);
}

TEST(YamlReader, MarksAreOneBased) {
  Node doc = read_document("a:\n  - x\n  - y\n");
  const Node& seq = *doc.find("a");
  EXPECT_EQ(seq.items()[1].mark.line, 3u);
  EXPECT_EQ(seq.items()[1].mark.column, 5u);
  EXPECT_EQ(doc.mark.line, 1u);
}

TEST(YamlReader, AliasesShareTheAnchoredSubtree) {
  Node doc = read_document("a: &x [1, [2]]\nb: *x\nc: &y !t {k: v}\nd: *y\n");
  EXPECT_EQ(doc.find("b")->kind, Kind::Sequence);
  EXPECT_EQ(doc.find("b")->items().size(), 2u);
  EXPECT_EQ(doc.find("b")->children, doc.find("a")->children);  // one block, not a copy
  EXPECT_EQ(doc.find("d")->untagged().find("k")->text, "v");
  EXPECT_NE(error_of("a: *missing\n").find("unknown anchor 'missing'"), std::string::npos);
}

TEST(YamlReader, AnAliasCountsAtTheDepthOfItsDeepestCollection) {
  // a{i} is written two levels deep but holds i + 1 nested sequences.
  auto wrapped = [](int levels, const std::string& use) {
    std::string text = "a0: &a0 [p]\n";
    for (int i = 1; i < levels; ++i) {
      text += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [*a" +
              std::to_string(i - 1) + "]\n";
    }
    return text + use;
  };
  EXPECT_EQ(error_of(wrapped(127, "")), "");
  EXPECT_EQ(error_of(wrapped(128, "")).rfind("recursion limit exceeded", 0), 0u);
  EXPECT_EQ(error_of(wrapped(127, "b: [*a0, [*a124]]\n")), "");
  EXPECT_EQ(error_of(wrapped(127, "b: [[*a125]]\n")).rfind("recursion limit exceeded", 0), 0u);
}

TEST(YamlReader, ErrorsCarryTheProblemAndPosition) {
  std::string e = error_of("a: [1, 2\nb: 3\n");
  EXPECT_NE(e.find(" at line "), std::string::npos) << e;
  EXPECT_NE(e.find(" column "), std::string::npos) << e;
  e = error_of("a: 1\n---\nb: 2\n");
  EXPECT_EQ(e, "more than one document in the text; only one is allowed at line 2 column 1");
  EXPECT_NE(error_of("key: value: other\n").find("mapping values are not allowed"),
            std::string::npos);
}

TEST(YamlReader, NestingLimitIs128Collections) {
  auto nested = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  EXPECT_EQ(error_of(nested(128)), "");
  std::string e = error_of(nested(129));
  EXPECT_EQ(e.rfind("recursion limit exceeded", 0), 0u) << e;
  auto start = std::chrono::steady_clock::now();
  e = error_of(nested(100000));
  EXPECT_EQ(e.rfind("recursion limit exceeded", 0), 0u) << e;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(YamlReader, BillionLaughsFailsFast) {
  std::string text = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  char prev = 'a';
  for (char c = 'b'; c <= 'i'; ++c, ++prev) {
    text += std::string(1, c) + ": &" + c + " [";
    for (int i = 0; i < 9; ++i) text += std::string(i ? ", *" : "*") + prev;
    text += "]\n";
  }
  auto start = std::chrono::steady_clock::now();
  std::string e = error_of(text);
  EXPECT_EQ(e.rfind("document too large", 0), 0u) << e;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  // Repeating one large scalar through aliases is bounded by bytes, not only by nodes.
  std::string big = "a: &a '" + std::string(1 << 20, 'x') + "'\nb: [";
  for (int i = 0; i < 100; ++i) big += std::string(i ? ", *a" : "*a");
  EXPECT_EQ(error_of(big + "]\n").rfind("document too large", 0), 0u);
}

TEST(YamlReader, LargeScalarsAndRandomBytesNeverCrash) {
  std::string big(10 << 20, 'y');
  EXPECT_EQ(read_document("v: " + big).find("v")->text.size(), big.size());
  std::mt19937 rng(11);
  const std::string alphabet = "ab: -[]{}&*!|>'\"#\n\t,?%@`\x01\xff\xc3";
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int len = static_cast<int>(rng() % 60);
    for (int i = 0; i < len; ++i) text += alphabet[rng() % alphabet.size()];
    try {
      read_document(text);
    } catch (const Error&) {
    }
  }
}
