// The step tree of a workflow (FluxStep), the walks over it and the debug form of a step shown
// in the engine's "Op #" lines. Pure C++.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "binding/stack_guard.hpp"

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

// `Process { name: "load" }`, `While { condition: "x", do_steps: [...] }`, ...
std::string debug_render(const FluxStep& step);

// Appends debug_render(step) to `out`.
void append_debug_render(std::string& out, const FluxStep& step);

// A string in double quotes with backslash escapes for quotes, backslashes and control
// characters (`\u{1b}` for those without a short escape).
std::string quote_escaped(std::string_view text);

// Appends `render(out, item)` for each item, separated by ", ". Renderings append to one
// string rather than return their own, so a nested value is copied once, not once per level.
template <typename Items, typename Render>
void append_joined(std::string& out, const Items& items, Render&& render) {
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ", ";
    first = false;
    render(out, item);
  }
}

// Calls `visit(name, slot)` for every ProcessStep of the tree and returns nothing; used by the
// engine to fill its table of name objects.
template <typename Visit>
void for_each_process(const StepList& steps, Visit&& visit) {
  check_native_stack("while walking nested workflow steps");
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
  check_native_stack("while walking nested workflow steps");
  for (const FluxStep& step : steps) {
    if (auto* p = std::get_if<ProcessStep>(&step.v)) {
      visit(*p);
    } else if (auto* r = std::get_if<RunStep>(&step.v)) {
      flatten_processes(r->steps, visit);
    }
  }
}

}  // namespace morva::fsm
