// The workflow step parser: YAML value tree -> FluxStep tree with the definition errors, and
// the debug / diagnostic renderings of steps and YAML values.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "fsm/flux_step.hpp"

namespace morva::fsm {
namespace {

using yaml::Kind;
using yaml::Node;

bool is_string(const Node* node) { return node != nullptr && node->untagged().kind == Kind::String; }
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
    out.reserve(seq.items.size());
    for (const Node& item : seq.items) out.push_back(step(item));
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

void append_hex_escape(std::string& out, unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u{%x}", value);
  out += buffer;
}

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

// Keys are written bare where that is unambiguous (strings quoted, booleans and numbers as
// their text); anything else gets its full rendering.
std::string render_key(const Node& key) {
  switch (key.kind) {
    case Kind::String:
      return quote_escaped(key.text);
    case Kind::Bool:
      return key.boolean ? "true" : "false";
    case Kind::Number:
      return render_number(key.number);
    default:
      return diagnostic_render(key);
  }
}

template <typename Items, typename Render>
std::string join(const Items& items, Render&& render) {
  std::string out;
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ", ";
    first = false;
    out += render(item);
  }
  return out;
}

// Tags as they are usually written: `!local`, `!!str` for the core schema's tags, and the
// verbatim form `!<...>` for any other full tag.
std::string render_tag(const std::string& tag) {
  constexpr std::string_view kCore = "tag:yaml.org,2002:";
  if (!tag.empty() && tag[0] == '!') return tag;
  if (tag.compare(0, kCore.size(), kCore) == 0) return "!!" + tag.substr(kCore.size());
  return "!<" + tag + ">";
}

std::string render_steps(const StepList& steps) {
  return "[" + join(steps, [](const FluxStep& s) { return debug_render(s); }) + "]";
}

}  // namespace

ParsedSteps parse_workflow(const yaml::Node& document) {
  Parser parser;
  const Node* steps = document.find("steps");
  if (!is_sequence(steps)) return parser.take({});
  StepList list = parser.list(*steps);
  return parser.take(std::move(list));
}

std::string quote_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      append_hex_escape(out, c);
    } else if (c == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) < 0xa0) {
      // U+0080..U+009F (C1 controls) are invisible too.
      append_hex_escape(out, static_cast<unsigned char>(text[++i]));
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::string debug_render(const FluxStep& step) {
  if (auto* p = std::get_if<ProcessStep>(&step.v)) {
    return "Process { name: " + quote_escaped(p->name) + " }";
  }
  if (auto* w = std::get_if<WhileStep>(&step.v)) {
    return "While { condition: " + quote_escaped(w->condition) +
           ", do_steps: " + render_steps(w->do_steps) + " }";
  }
  if (auto* i = std::get_if<IfStep>(&step.v)) {
    return "If { condition: " + quote_escaped(i->condition) +
           ", then_steps: " + render_steps(i->then_steps) +
           ", else_steps: " + render_steps(i->else_steps) + " }";
  }
  return "Run { steps: " + render_steps(std::get<RunStep>(step.v).steps) + " }";
}

std::string diagnostic_render(const yaml::Node& node) {
  switch (node.kind) {
    case Kind::Null:
      return "Null";
    case Kind::Bool:
      return node.boolean ? "Bool(true)" : "Bool(false)";
    case Kind::Number:
      return "Number(" + render_number(node.number) + ")";
    case Kind::String:
      return "String(" + quote_escaped(node.text) + ")";
    case Kind::Sequence:
      return "Sequence [" + join(node.items, [](const Node& n) { return diagnostic_render(n); }) +
             "]";
    case Kind::Mapping:
      return "Mapping {" + join(node.entries, [](const yaml::Entry& e) {
               return render_key(e.first) + ": " + diagnostic_render(e.second);
             }) + "}";
    case Kind::Tagged: {
      std::string tag = render_tag(node.text);
      std::string value = node.items.empty() ? "Null" : diagnostic_render(node.items.front());
      return "TaggedValue { tag: " + tag + ", value: " + value + " }";
    }
  }
  return "Null";
}

namespace {

// Decodes one UTF-8 code point at `i` (the reader hands over valid UTF-8); returns its length.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
  auto b = static_cast<unsigned char>(s[i]);
  std::size_t len = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
  if (i + len > s.size()) len = s.size() - i;
  cp = len == 1 ? b : b & (0xff >> (len + 1));
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
  return len;
}

// The Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
         c == 0x205f || c == 0x3000;
}

std::string_view trim_white_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    char32_t cp;
    std::size_t len = decode(s, begin, cp);
    if (!is_white_space(cp)) break;
    begin += len;
  }
  s.remove_prefix(begin);
  // From the back: step over continuation bytes to find each code point's start.
  while (!s.empty()) {
    std::size_t start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xc0) == 0x80) --start;
    char32_t cp;
    decode(s, start, cp);
    if (!is_white_space(cp)) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

}  // namespace

std::string branch_condition(std::string_view key) {
  std::string_view text = trim_white_space(key.substr(3));
  auto is_quote = [](char c) { return c == '\'' || c == '"'; };
  while (!text.empty() && is_quote(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_quote(text.back())) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace morva::fsm
