// The workflow step parser on YAML trees: step shapes, slot numbering, renderings and the text
// rules of graph branch conditions.
#include <gtest/gtest.h>

#include <set>

#include "fsm/flux_parser.hpp"
#include "fsm/node_graph.hpp"

using namespace morva::fsm;
using morva::yaml::read_document;

namespace {

ParsedSteps parse(const std::string& text) { return parse_workflow(read_document(text)); }

std::string rendered(const std::string& text) {
  std::string out;
  for (const FluxStep& step : parse(text).steps) out += debug_render(step) + "\n";
  return out;
}

std::string diagnostic(const std::string& value) {
  return diagnostic_render(read_document("v: " + value).entries().at(0).second);
}

}  // namespace

TEST(FluxParser, DebugRenderingShowsEveryField) {
  EXPECT_EQ(rendered("steps: [load, {flux: run, steps: []}]"),
            "Process { name: \"load\" }\nRun { steps: [] }\n");
  EXPECT_EQ(rendered("steps: [{flux: while, condition: 'a \"b\"', do: [x, {flux: run, steps: [y]}]}]"),
            "While { condition: \"a \\\"b\\\"\", do_steps: [Process { name: \"x\" }, "
            "Run { steps: [Process { name: \"y\" }] }] }\n");
  EXPECT_EQ(rendered("steps: [{flux: if, condition: c, else: [e]}]"),
            "If { condition: \"c\", then_steps: [], else_steps: [Process { name: \"e\" }] }\n");
}

TEST(FluxParser, SlotsNumberEveryProcessAndCondition) {
  ParsedSteps p = parse(R"(
steps:
  - a
  - {flux: while, condition: w, do: [b, {flux: if, condition: i, then: [c], else: [d]}]}
  - {flux: run, steps: [e]}
)");
  EXPECT_EQ(p.process_slots, 5u);
  EXPECT_EQ(p.condition_slots, 2u);
  std::set<std::size_t> slots;
  std::string names;
  for_each_process(p.steps, [&](const ProcessStep& s) {
    slots.insert(s.slot);
    names += s.name;
  });
  EXPECT_EQ(names, "abcde");
  EXPECT_EQ(slots, (std::set<std::size_t>{0, 1, 2, 3, 4}));
  std::string flat;
  flatten_processes(p.steps, [&](const ProcessStep& s) { flat += s.name; });
  EXPECT_EQ(flat, "ae");
}

TEST(FluxParser, DiagnosticRenderingOfValues) {
  EXPECT_EQ(diagnostic("0b101"), "Number(5)");
  EXPECT_EQ(diagnostic("-0x10"), "Number(-16)");
  EXPECT_EQ(diagnostic("18446744073709551615"), "Number(18446744073709551615)");
  EXPECT_EQ(diagnostic("5.0"), "Number(5.0)");
  EXPECT_EQ(diagnostic("0.1"), "Number(0.1)");
  EXPECT_EQ(diagnostic("1e300"), "Number(1e+300)");
  EXPECT_EQ(diagnostic("-.inf"), "Number(-.inf)");
  EXPECT_EQ(diagnostic(".nan"), "Number(.nan)");
  EXPECT_EQ(diagnostic("\"tab\\there\\x01\\x7f\\u0085é\""),
            "String(\"tab\\there\\u{1}\\u{7f}\\u{85}é\")");
  EXPECT_EQ(diagnostic("[[], {}]"), "Sequence [Sequence [], Mapping {}]");
  EXPECT_EQ(diagnostic("{~: 1, 1.5: [true], !k x: y}"),
            "Mapping {Null: Number(1), 1.5: Sequence [Bool(true)], "
            "TaggedValue { tag: !k, value: String(\"x\") }: String(\"y\")}");
  EXPECT_EQ(diagnostic("!<tag:example.com,1:x> 1"),
            "TaggedValue { tag: !<tag:example.com,1:x>, value: Number(1) }");
}

TEST(FluxParser, QuoteEscapes) {
  EXPECT_EQ(quote_escaped(std::string("a\0b\"\\\r\n", 7)), "\"a\\0b\\\"\\\\\\r\\n\"");
  EXPECT_EQ(quote_escaped("\x1b[0m ünï"), "\"\\u{1b}[0m ünï\"");
}

TEST(FluxParser, BranchConditionTrimsWhiteSpaceThenQuotes) {
  EXPECT_EQ(branch_condition("if x > 1"), "x > 1");
  EXPECT_EQ(branch_condition("if \t 'x' \n"), "x");
  EXPECT_EQ(branch_condition("if \u3000\u2003\"'\"x == 'a'\"\u00a0"), "x == 'a");
  EXPECT_EQ(branch_condition("if  \" x \" "), " x ");
  EXPECT_EQ(branch_condition("if '\"'"), "");
  EXPECT_EQ(branch_condition("if a\u200bb"), "a\u200bb");  // zero-width space is not white space
  EXPECT_EQ(branch_condition("if \u200b"), "\u200b");
}
