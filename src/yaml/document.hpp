// YAML reader shared by the workflow engine and the schema loader: libyaml's event parser
// builds a value tree (null, bool, number, string, sequence, mapping in document order, tagged
// value) that keeps each scalar's text as written, its style, tags and positions. Pure C++.
//
// Aliases share: the children of a collection live in one immutable block held by every node
// that refers to it (the anchored node, its entry in the reader's anchor table, each alias), so
// an anchored subtree exists once in memory however often it is named. Consumers still see a
// plain tree. What they walk is the expanded tree, so the reader bounds that: every alias is
// charged its full expanded size against the value limit and counts at its full height where
// it is used against the nesting limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morva::yaml {

// Position of a node's first character: 1-based line and column, as people count them.
struct Mark {
  std::size_t line = 1;
  std::size_t column = 1;
};

enum class Kind { Null, Bool, Number, String, Sequence, Mapping, Tagged };

// How a scalar was written. Only Plain scalars are resolved to null / bool / number;
// every other style is always a string.
enum class Style { Plain, SingleQuoted, DoubleQuoted, Literal, Folded, NotScalar };

struct Number {
  bool is_integer = true;
  bool negative = false;   // integers: the sign of `magnitude`
  uint64_t magnitude = 0;  // integers: absolute value
  double value = 0.0;      // floats (also set for integers, rounded)
};

struct Node;
using Entry = std::pair<Node, Node>;
struct Children;

struct Node {
  Node() = default;
  Node(const Node&) = default;
  Node(Node&&) noexcept = default;
  Node& operator=(const Node&) = default;
  Node& operator=(Node&&) noexcept = default;
  // Takes a tree apart level by level, not by nested destructor calls: a node can sit a few
  // hundred levels deep, and the last owner may let go of it on a small thread stack.
  ~Node() {
    if (children) release_children();
  }

  Kind kind = Kind::Null;
  Style style = Style::NotScalar;
  Mark mark;
  std::string text;   // scalars: the text as written (after YAML escapes); Tagged: the tag
  bool boolean = false;
  Number number;
  // Shared with every alias of this node; null for scalars and empty collections. Never
  // changed once shared (the blocks are made non-const only so that the last owner can take
  // their contents apart).
  std::shared_ptr<const Children> children;

  // Sequence items; for Tagged, exactly one item: the content.
  const std::vector<Node>& items() const;
  // Mapping entries in document order (duplicates kept).
  const std::vector<Entry>& entries() const;

  bool is_scalar() const { return style != Style::NotScalar; }
  // Looks through any number of tags.
  const Node& untagged() const;
  // Mapping lookup (through tags): the first entry whose key is a String equal to `key`
  // byte for byte; nullptr when absent or when this is not a mapping.
  const Node* find(std::string_view key) const;

 private:
  void release_children() noexcept;
};

struct Children {
  std::vector<Node> items;
  std::vector<Entry> entries;
};

// A problem found while reading: the reader's description and where it happened.
struct Error : std::runtime_error {
  Error(std::string description, Mark mark);
  std::string description;
  Mark mark;
};

struct Limits {
  std::size_t max_depth = 128;          // nested sequences + mappings
  std::size_t max_nodes = 1u << 18;     // all values, each alias counted at its expanded size
  std::size_t max_alias_bytes = 1u << 26;  // scalar bytes repeated through aliases
};

// Reads `text` as at most one YAML document. An empty text (or one holding only comments)
// gives a Null node. More than one document, syntax errors, nesting deeper than
// `limits.max_depth` ("recursion limit exceeded ...", an alias counting at the depth of its
// anchored subtree's deepest collection) and documents larger than `limits.max_nodes` values
// (aliases count their whole subtree at every use) or repeating more than
// `limits.max_alias_bytes` of scalar text through aliases throw Error ("document too large ...").
Node read_document(std::string_view text, const Limits& limits = Limits{});

// Resolution of a plain scalar's text: null (empty, ~, null, Null, NULL), booleans
// (true/True/TRUE/false/False/FALSE), integers (decimal, 0x, 0o, 0b, optional sign), floats
// (decimal with '.', exponent, .inf/-.inf/+.inf, .nan in their usual spellings); everything
// else, yes/no/on/off included, is a string.
void resolve_plain(Node& node);

}  // namespace morva::yaml
