// Strict reading of the schema records: every record accepts only its own keys, each once;
// strings take any scalar's text as written; `required` takes only a plain YAML boolean.
// Tags carry no meaning in this format and are looked through, except that `required` accepts
// no tag but the boolean one.
#include "config/schema_records.hpp"

#include <array>
#include <string_view>

namespace morva::config {
namespace {

using yaml::Kind;
using yaml::Node;
using yaml::Style;

constexpr std::string_view kYamlTagPrefix = "tag:yaml.org,2002:";
constexpr std::size_t kShownBytes = 80;  // longer texts are cut in messages

[[noreturn]] void fail(std::string description, const Node& at) {
  throw yaml::Error(std::move(description), at.mark);
}

// A text from the schema as it appears in a message: cut (on a character boundary) when long.
std::string shown(std::string_view text) {
  if (text.size() <= kShownBytes) return std::string(text);
  std::size_t cut = kShownBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : shown(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

std::string tag_name(std::string_view tag) {
  if (tag.substr(0, kYamlTagPrefix.size()) == kYamlTagPrefix) {
    return "!!" + std::string(tag.substr(kYamlTagPrefix.size()));
  }
  return shown(tag);
}

// Numbers too large for 64 bits are kept as doubles by the reader but were written as integers.
bool written_as_integer(const Node& n) {
  if (n.number.is_integer) return true;
  std::string_view t = n.text;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) t.remove_prefix(1);
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o' || t[1] == 'b')) return true;
  return t.find_first_of(".eEnN") == std::string_view::npos;
}

// How a value found in the text is named in "invalid type" descriptions.
std::string found(const Node& n) {
  switch (n.kind) {
    case Kind::Null: return "null";
    case Kind::Bool: return "boolean " + n.text;
    case Kind::Number:
      return (written_as_integer(n) ? "integer " : "floating point number ") + shown(n.text);
    case Kind::String: return "string " + quoted(n.text);
    case Kind::Sequence: return "a sequence";
    case Kind::Mapping: return "a map";
    case Kind::Tagged: return "a value tagged " + tag_name(n.text);
  }
  return "a value";
}

[[noreturn]] void invalid_type(const Node& n, std::string_view expected) {
  fail("invalid type: " + found(n) + ", expected " + std::string(expected), n);
}

std::string read_string(const Node& node) {
  const Node& n = node.untagged();
  if (!n.is_scalar()) invalid_type(n, "a string");
  return n.text;
}

bool read_boolean(const Node& node) {
  const Node* n = &node;
  if (n->kind == Kind::Tagged && n->text == "tag:yaml.org,2002:bool" && n->items().size() == 1) {
    n = &n->items().front();
  }
  if (n->kind != Kind::Bool || n->style != Style::Plain) invalid_type(*n, "a boolean");
  return n->boolean;
}

// A null value (nothing after the colon, ~, null, Null, NULL) means none.
std::optional<std::string> read_optional_string(const Node& node) {
  if (node.untagged().kind == Kind::Null) return std::nullopt;
  return read_string(node);
}

// Walks a record's entries in document order. Each key must be a scalar naming one of
// `names`, at most once; `read(index, value)` reads the value of the field at that index.
template <std::size_t N, typename Read>
void read_record(const Node& node, std::string_view what, const std::array<const char*, N>& names,
                 std::string_view accepted, Read&& read) {
  const Node& n = node.untagged();
  if (n.kind != Kind::Mapping) invalid_type(n, what);
  std::array<bool, N> seen{};
  for (const yaml::Entry& entry : n.entries()) {
    const Node& key = entry.first.untagged();
    if (!key.is_scalar()) invalid_type(key, "a field name");
    std::size_t i = 0;
    while (i < N && key.text != names[i]) ++i;
    if (i == N) {
      fail("unknown field `" + shown(key.text) + "`, expected " + std::string(accepted), key);
    }
    if (seen[i]) fail("duplicate field `" + shown(key.text) + "`", key);
    seen[i] = true;
    read(i, entry.second);
  }
}

FieldSpec read_field_spec(const Node& node) {
  FieldSpec field;
  if (node.untagged().kind == Kind::Null) return field;  // left empty: every default
  static constexpr std::array<const char*, 3> kNames = {"type", "required", "default"};
  read_record(node, "struct FieldSpec", kNames, "one of `type`, `required`, `default`",
              [&field](std::size_t i, const Node& value) {
                if (i == 0) field.type = read_string(value);
                if (i == 1) field.required = read_boolean(value);
                if (i == 2) field.default_value = read_optional_string(value);
              });
  return field;
}

// A zone maps field names to FieldSpec records; a name given twice keeps the later one (both
// are still read strictly).
Zone read_zone(const Node& node) {
  const Node& n = node.untagged();
  if (n.kind != Kind::Mapping) invalid_type(n, "a map");
  Zone zone;
  for (const yaml::Entry& entry : n.entries()) {
    std::string name = read_string(entry.first);
    zone.insert_or_assign(std::move(name), read_field_spec(entry.second));
  }
  return zone;
}

ContextConfig read_context(const Node& node) {
  ContextConfig context;
  static constexpr std::array<const char*, 2> kNames = {"global", "domain"};
  read_record(node, "struct ContextConfig", kNames, "`global` or `domain`",
              [&context](std::size_t i, const Node& value) {
                (i == 0 ? context.global : context.domain) = read_zone(value);
              });
  return context;
}

}  // namespace

RootConfig read_root_config(const Node& root) {
  RootConfig config;
  if (root.untagged().kind == Kind::Null) return config;  // an empty text
  static constexpr std::array<const char*, 1> kNames = {"context"};
  read_record(root, "struct RootConfig", kNames, "`context`",
              [&config](std::size_t, const Node& value) {
                if (value.untagged().kind != Kind::Null) config.context = read_context(value);
              });
  return config;
}

}  // namespace morva::config
