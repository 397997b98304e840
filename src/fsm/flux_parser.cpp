// The workflow step parser: YAML value tree -> FluxStep tree with the definition errors, and
// the diagnostic rendering of YAML values.
#include "fsm/flux_parser.hpp"

#include <vector>

#include "binding/number_text.hpp"
#include "binding/stack_guard.hpp"

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

// The step errors, built out of line: the parser recurses once per nested block, and their
// texts would otherwise take room in every level's frame.
[[noreturn, gnu::noinline, gnu::cold]] void fail(const char* message) { throw StepError(message); }
[[noreturn, gnu::noinline, gnu::cold]] void fail_with(const char* prefix, const Node& element) {
  throw StepError(prefix + diagnostic_render(element));
}
[[noreturn, gnu::noinline, gnu::cold]] void fail_flux_type(const std::string& word) {
  throw StepError("Unknown flux type: '" + word + "'");
}

class Parser {
 public:
  ParsedSteps take(StepList steps) {
    return ParsedSteps{std::move(steps), process_slots_, condition_slots_};
  }

  // Each nested block is one level of recursion: at most 63 (the reader's nesting limit, two
  // YAML levels per block), each checked against the thread's stack.
  StepList list(const Node& sequence) {
    check_native_stack("while parsing nested workflow steps");
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
      fail_with("Invalid step type: expected string or mapping, got ", element);
    }
    if (const Node* name = node.find("process")) {
      if (!is_string(name)) fail("'process' value must be a string");
      return process(name->untagged().text);
    }
    const Node* flux = node.find("flux");
    if (flux == nullptr) fail_with("Unknown step format: ", element);
    if (!is_string(flux)) fail("'flux' value must be a string");
    const std::string& word = flux->untagged().text;
    if (word == "while") return while_step(node);
    if (word == "if") return if_step(node);
    if (word == "run") return run_step(node);
    fail_flux_type(word);
  }

  FluxStep process(const std::string& name) {
    return FluxStep{ProcessStep{name, process_slots_++}};
  }

  FluxStep while_step(const Node& node) {
    const Node* condition = node.find("condition");
    if (!is_string(condition)) fail("'flux: while' requires 'condition' field");
    const Node* body = node.find("do");
    if (!is_sequence(body)) fail("'flux: while' requires 'do' block");
    WhileStep w{condition->untagged().text, {}, condition_slots_++};
    w.do_steps = list(*body);
    return FluxStep{std::move(w)};
  }

  FluxStep if_step(const Node& node) {
    const Node* condition = node.find("condition");
    if (!is_string(condition)) fail("'flux: if' requires 'condition' field");
    IfStep i{condition->untagged().text, {}, {}, condition_slots_++};
    // A missing or non-sequence branch is an empty branch, not an error.
    if (const Node* then = node.find("then"); is_sequence(then)) i.then_steps = list(*then);
    if (const Node* other = node.find("else"); is_sequence(other)) i.else_steps = list(*other);
    return FluxStep{std::move(i)};
  }

  FluxStep run_step(const Node& node) {
    const Node* steps = node.find("steps");
    if (!is_sequence(steps)) fail("'flux: run' requires 'steps' block");
    return FluxStep{RunStep{list(*steps)}};
  }

  std::size_t process_slots_ = 0;
  std::size_t condition_slots_ = 0;
};

std::string render_number(const yaml::Number& n) {
  if (n.is_integer) return (n.negative ? "-" : "") + std::to_string(n.magnitude);
  return format_float(n.value, FloatText::kShortest);
}

// Tags as they are usually written: `!local`, `!!str` for the core schema's tags, and the
// verbatim form `!<...>` for any other full tag.
std::string render_tag(const std::string& tag) {
  constexpr std::string_view kCore = "tag:yaml.org,2002:";
  if (!tag.empty() && tag[0] == '!') return tag;
  if (tag.compare(0, kCore.size(), kCore) == 0) return "!!" + tag.substr(kCore.size());
  return "!<" + tag + ">";
}

// Keys are written bare where that is unambiguous (strings quoted, booleans and numbers as
// their text); false for any other key, which gets its full rendering.
bool append_bare_key(std::string& out, const Node& key) {
  switch (key.kind) {
    case Kind::String: out += quote_escaped(key.text); return true;
    case Kind::Bool: out += key.boolean ? "true" : "false"; return true;
    case Kind::Number: out += render_number(key.number); return true;
    default: return false;
  }
}

// What is left to write: a node (as a mapping key when `key`), or a fixed text when `node` is
// null.
struct Pending {
  const Node* node;
  std::string_view text;
  bool key;
};

// Writes the opening of `node` and pushes what follows it, last part first: its children and
// the texts between and after them.
void open_node(std::string& out, const Node& node, std::vector<Pending>& todo) {
  auto queue_node = [&todo](const Node& n, bool key = false) { todo.push_back({&n, {}, key}); };
  auto queue_text = [&todo](std::string_view text) { todo.push_back({nullptr, text, false}); };
  switch (node.kind) {
    case Kind::Null: out += "Null"; return;
    case Kind::Bool: out += node.boolean ? "Bool(true)" : "Bool(false)"; return;
    case Kind::Number: out += "Number(" + render_number(node.number) + ")"; return;
    case Kind::String: out += "String(" + quote_escaped(node.text) + ")"; return;
    case Kind::Sequence: {
      out += "Sequence [";
      queue_text("]");
      const std::vector<Node>& items = node.items();
      for (std::size_t i = items.size(); i-- > 0;) {
        queue_node(items[i]);
        if (i > 0) queue_text(", ");
      }
      return;
    }
    case Kind::Mapping: {
      out += "Mapping {";
      queue_text("}");
      const std::vector<yaml::Entry>& entries = node.entries();
      for (std::size_t i = entries.size(); i-- > 0;) {
        queue_node(entries[i].second);
        queue_text(": ");
        queue_node(entries[i].first, true);
        if (i > 0) queue_text(", ");
      }
      return;
    }
    case Kind::Tagged:
      out += "TaggedValue { tag: " + render_tag(node.text) + ", value: ";
      queue_text(" }");
      if (node.items().empty()) {
        queue_text("Null");
      } else {
        queue_node(node.items().front());
      }
      return;
  }
}

// A loop over a stack of pending parts on the heap, not a recursion: the value shown in a step
// error may nest as deep as the reader allows (a few hundred levels counting tags), on any
// thread's stack.
void append_diagnostic(std::string& out, const Node& root) {
  std::vector<Pending> todo{{&root, {}, false}};
  while (!todo.empty()) {
    Pending next = todo.back();
    todo.pop_back();
    if (next.node == nullptr) {
      out += next.text;
    } else if (!next.key || !append_bare_key(out, *next.node)) {
      open_node(out, *next.node, todo);
    }
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
