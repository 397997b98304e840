// The debug form of a step ("Op #" lines) and the quoted-string form shared with the
// diagnostic rendering of YAML values.
#include "fsm/flux_step.hpp"

#include <charconv>

#include "binding/stack_guard.hpp"

namespace morva::fsm {
namespace {

void append_hex_escape(std::string& out, unsigned value) {
  char digits[8];
  auto written = std::to_chars(digits, digits + sizeof digits, value, 16);
  out += "\\u{";
  out.append(digits, written.ptr);
  out += '}';
}

void append_steps(std::string& out, const StepList& steps) {
  out += '[';
  append_joined(out, steps, append_debug_render);
  out += ']';
}

}  // namespace

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
  std::string out;
  append_debug_render(out, step);
  return out;
}

// One level of recursion per nested block (at most 63 under the reader's nesting limit).
void append_debug_render(std::string& out, const FluxStep& step) {
  check_native_stack("while rendering a workflow step");
  if (auto* p = std::get_if<ProcessStep>(&step.v)) {
    out += "Process { name: " + quote_escaped(p->name) + " }";
  } else if (auto* w = std::get_if<WhileStep>(&step.v)) {
    out += "While { condition: " + quote_escaped(w->condition) + ", do_steps: ";
    append_steps(out, w->do_steps);
    out += " }";
  } else if (auto* i = std::get_if<IfStep>(&step.v)) {
    out += "If { condition: " + quote_escaped(i->condition) + ", then_steps: ";
    append_steps(out, i->then_steps);
    out += ", else_steps: ";
    append_steps(out, i->else_steps);
    out += " }";
  } else {
    out += "Run { steps: ";
    append_steps(out, std::get<RunStep>(step.v).steps);
    out += " }";
  }
}

}  // namespace morva::fsm
