// The step tree of a workflow (FluxStep) and the pure C++ parser that builds it from the YAML
// value tree, with the two text renderings the engine shows: the debug form of a step and the
// diagnostic form of a YAML value used in parse errors.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "yaml/document.hpp"

namespace morva::fsm {

struct FluxStep;
using StepList = std::vector<FluxStep>;

// Every Process step and every condition gets a slot number when it is parsed, so the engine
// can keep Python objects beside the tree (the name as a str, the compiled condition) without
// the tree itself holding any.
struct ProcessStep {
  std::string name;
  std::size_t slot = 0;
};
struct WhileStep {
  std::string condition;
  StepList do_steps;
  std::size_t slot = 0;
};
struct IfStep {
  std::string condition;
  StepList then_steps;
  StepList else_steps;
  std::size_t slot = 0;
};
struct RunStep {
  StepList steps;
};

struct FluxStep {
  std::variant<ProcessStep, WhileStep, IfStep, RunStep> v;
};

// The outcome of parsing a workflow's top-level `steps`.
struct ParsedSteps {
  StepList steps;
  std::size_t process_slots = 0;    // number of ProcessStep slots handed out
  std::size_t condition_slots = 0;  // number of While/If condition slots handed out
};

// A step definition error; what() is the message without any prefix.
struct StepError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Builds the top-level step list of `document`: its `steps` key when that is a sequence,
// otherwise (absent, not a sequence, document not a mapping) an empty list. Throws StepError
// at the first invalid step; nothing of a failed parse survives.
ParsedSteps parse_workflow(const yaml::Node& document);

// `Process { name: "load" }`, `While { condition: "x", do_steps: [...] }`, ...
std::string debug_render(const FluxStep& step);

// `Null`, `Bool(true)`, `Number(42)`, `String("x")`, `Sequence [...]`, `Mapping {"k": ...}`,
// `TaggedValue { tag: !t, value: ... }`.
std::string diagnostic_render(const yaml::Node& node);

// A string in double quotes with backslash escapes for quotes, backslashes and control
// characters (`\u{1b}` for those without a short escape).
std::string quote_escaped(std::string_view text);

// Calls `visit(name, slot)` for every ProcessStep of the tree and returns nothing; used by the
// engine to fill its table of name objects.
template <typename Visit>
void for_each_process(const StepList& steps, Visit&& visit) {
  for (const FluxStep& step : steps) {
    if (auto* p = std::get_if<ProcessStep>(&step.v)) {
      visit(*p);
    } else if (auto* w = std::get_if<WhileStep>(&step.v)) {
      for_each_process(w->do_steps, visit);
    } else if (auto* i = std::get_if<IfStep>(&step.v)) {
      for_each_process(i->then_steps, visit);
      for_each_process(i->else_steps, visit);
    } else {
      for_each_process(std::get<RunStep>(step.v).steps, visit);
    }
  }
}

// The names a workflow would run if every While and If contributed nothing: Process names and
// the contents of Run blocks, depth first.
template <typename Visit>
void flatten_processes(const StepList& steps, Visit&& visit) {
  for (const FluxStep& step : steps) {
    if (auto* p = std::get_if<ProcessStep>(&step.v)) {
      visit(*p);
    } else if (auto* r = std::get_if<RunStep>(&step.v)) {
      flatten_processes(r->steps, visit);
    }
  }
}

// Graph-walk helpers (pure text): the condition of a branch key ("if " + expression), with
// Unicode white space trimmed from both ends and then every leading and trailing ' and "
// removed.
std::string branch_condition(std::string_view key);

}  // namespace morva::fsm
