// The workflow step parser: the YAML value tree of a document -> its FluxStep tree with the
// definition errors, and the diagnostic form of a YAML value that those errors show. Pure C++.
#pragma once

#include <stdexcept>
#include <string>

#include "fsm/flux_step.hpp"
#include "yaml/document.hpp"

namespace morva::fsm {

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

// `Null`, `Bool(true)`, `Number(42)`, `String("x")`, `Sequence [...]`, `Mapping {"k": ...}`,
// `TaggedValue { tag: !t, value: ... }`.
std::string diagnostic_render(const yaml::Node& node);

}  // namespace morva::fsm
