// The workflow step parser: YAML value tree -> FluxStep tree with the definition errors, and
// the diagnostic rendering of YAML values.
#include "fsm/flux_parser.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace morva::fsm {
namespace {

using yaml::Kind;
using yaml::Node;

bool is_string(const Node* node) {
  return node != nullptr && node->untagged().kind == Kind::String;
}
bool is_sequence(const Node* node) {
  return node != nullptr && node->untagged().kind == Kind::Sequence;
}

class Parser {
 public:
  ParsedSteps take(StepList steps) {
    return ParsedSteps{std::move(steps), process_slots_, condition_slots_};
  }

  StepList list(const Node& sequence) {
    const Node& seq = sequence.untagged();
    StepList out;
    out.reserve(seq.items().size());
    for (const Node& item : seq.items()) out.push_back(step(item));
    return out;
  }

 private:
  FluxStep step(const Node& element) {
    const Node& node = element.untagged();
    if (node.kind == Kind::String) return process(node.text);
    if (node.kind != Kind::Mapping) {
      throw StepError("Invalid step type: expected string or mapping, got " +
                      diagnostic_render(element));
    }
    if (const Node* name = node.find("process")) {
      if (!is_string(name)) throw StepError("'process' value must be a string");
      return process(name->untagged().text);
    }
    const Node* flux = node.find("flux");
    if (flux == nullptr) throw StepError("Unknown step format: " + diagnostic_render(element));
    if (!is_string(flux)) throw StepError("'flux' value must be a string");
    const std::string& word = flux->untagged().text;
    if (word == "while") return while_step(node);
    if (word == "if") return if_step(node);
    if (word == "run") return run_step(node);
    throw StepError("Unknown flux type: '" + word + "'");
  }

  FluxStep process(const std::string& name) {
    return FluxStep{ProcessStep{name, process_slots_++}};
  }

  FluxStep while_step(const Node& node) {
    const Node* condition = node.find("condition");
    if (!is_string(condition)) throw StepError("'flux: while' requires 'condition' field");
    const Node* body = node.find("do");
    if (!is_sequence(body)) throw StepError("'flux: while' requires 'do' block");
    WhileStep w{condition->untagged().text, {}, condition_slots_++};
    w.do_steps = list(*body);
    return FluxStep{std::move(w)};
  }

  FluxStep if_step(const Node& node) {
    const Node* condition = node.find("condition");
    if (!is_string(condition)) throw StepError("'flux: if' requires 'condition' field");
    IfStep i{condition->untagged().text, {}, {}, condition_slots_++};
    // A missing or non-sequence branch is an empty branch, not an error.
    if (const Node* then = node.find("then"); is_sequence(then)) i.then_steps = list(*then);
    if (const Node* other = node.find("else"); is_sequence(other)) i.else_steps = list(*other);
    return FluxStep{std::move(i)};
  }

  FluxStep run_step(const Node& node) {
    const Node* steps = node.find("steps");
    if (!is_sequence(steps)) throw StepError("'flux: run' requires 'steps' block");
    return FluxStep{RunStep{list(*steps)}};
  }

  std::size_t process_slots_ = 0;
  std::size_t condition_slots_ = 0;
};

std::string render_number(const yaml::Number& n) {
  if (n.is_integer) return (n.negative ? "-" : "") + std::to_string(n.magnitude);
  if (std::isnan(n.value)) return ".nan";
  if (std::isinf(n.value)) return n.value > 0 ? ".inf" : "-.inf";
  // Shortest text that reads back as the same double; integral values keep a ".0" so a float
  // never looks like an integer.
  char buffer[64];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, n.value);
    if (std::strtod(buffer, nullptr) == n.value) break;
  }
  std::string text = buffer;
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

void append_diagnostic(std::string& out, const Node& node);

// Keys are written bare where that is unambiguous (strings quoted, booleans and numbers as
// their text); anything else gets its full rendering.
void append_key(std::string& out, const Node& key) {
  switch (key.kind) {
    case Kind::String:
      out += quote_escaped(key.text);
      break;
    case Kind::Bool:
      out += key.boolean ? "true" : "false";
      break;
    case Kind::Number:
      out += render_number(key.number);
      break;
    default:
      append_diagnostic(out, key);
  }
}

// Tags as they are usually written: `!local`, `!!str` for the core schema's tags, and the
// verbatim form `!<...>` for any other full tag.
std::string render_tag(const std::string& tag) {
  constexpr std::string_view kCore = "tag:yaml.org,2002:";
  if (!tag.empty() && tag[0] == '!') return tag;
  if (tag.compare(0, kCore.size(), kCore) == 0) return "!!" + tag.substr(kCore.size());
  return "!<" + tag + ">";
}

void append_diagnostic(std::string& out, const Node& node) {
  switch (node.kind) {
    case Kind::Null:
      out += "Null";
      break;
    case Kind::Bool:
      out += node.boolean ? "Bool(true)" : "Bool(false)";
      break;
    case Kind::Number:
      out += "Number(" + render_number(node.number) + ")";
      break;
    case Kind::String:
      out += "String(" + quote_escaped(node.text) + ")";
      break;
    case Kind::Sequence:
      out += "Sequence [";
      append_joined(out, node.items(), append_diagnostic);
      out += ']';
      break;
    case Kind::Mapping:
      out += "Mapping {";
      append_joined(out, node.entries(), [](std::string& o, const yaml::Entry& e) {
        append_key(o, e.first);
        o += ": ";
        append_diagnostic(o, e.second);
      });
      out += '}';
      break;
    case Kind::Tagged:
      out += "TaggedValue { tag: " + render_tag(node.text) + ", value: ";
      if (node.items().empty()) {
        out += "Null";
      } else {
        append_diagnostic(out, node.items().front());
      }
      out += " }";
      break;
  }
}

}  // namespace

ParsedSteps parse_workflow(const yaml::Node& document) {
  Parser parser;
  const Node* steps = document.find("steps");
  if (!is_sequence(steps)) return parser.take({});
  StepList list = parser.list(*steps);
  return parser.take(std::move(list));
}

std::string diagnostic_render(const yaml::Node& node) {
  std::string out;
  append_diagnostic(out, node);
  return out;
}

}  // namespace morva::fsm
