// The YAML reader: libyaml events -> value tree, with plain-scalar resolution, nesting and
// alias-expansion bounds, and single-document enforcement.
#include "yaml/document.hpp"

#include <yaml.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <unordered_map>

#include "binding/number_text.hpp"

namespace morva::yaml {

namespace {

std::string with_position(const std::string& description, Mark mark) {
  return description + " at line " + std::to_string(mark.line) + " column " +
         std::to_string(mark.column);
}

Mark to_mark(const yaml_mark_t& m) { return Mark{m.line + 1, m.column + 1}; }

// The position of a byte offset: libyaml reports encoding problems (invalid UTF-8, control
// characters) by offset only. Columns count characters, as libyaml's own marks do.
Mark mark_at(std::string_view text, std::size_t offset) {
  Mark mark;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    char c = text[i];
    if (c == '\n' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++mark.line;
      mark.column = 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++mark.column;
    }
  }
  return mark;
}

// Owns a libyaml event for one iteration.
class Event {
 public:
  Event() = default;
  ~Event() {
    if (filled_) yaml_event_delete(&event_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  yaml_event_t* slot() {
    if (filled_) yaml_event_delete(&event_);
    filled_ = false;
    return &event_;
  }
  void mark_filled() { filled_ = true; }
  const yaml_event_t& operator*() const { return event_; }
  const yaml_event_t* operator->() const { return &event_; }

 private:
  yaml_event_t event_{};
  bool filled_ = false;
};

// Anchor and tag of a node, copied out of its start event.
struct Extras {
  bool has_anchor = false;
  bool has_tag = false;
  std::string anchor;
  std::string tag;
  static Extras of(const yaml_char_t* anchor, const yaml_char_t* tag) {
    Extras e;
    e.has_anchor = anchor != nullptr;
    e.has_tag = tag != nullptr;
    if (anchor) e.anchor = reinterpret_cast<const char*>(anchor);
    if (tag) e.tag = reinterpret_cast<const char*>(tag);
    return e;
  }
};

// What a later alias of an anchored node copies (a node shell whose children are shared) and
// what it is charged: the expanded size and scalar bytes of the subtree and its height in
// nested collections, all counted while the subtree was read.
struct Anchor {
  Node node;
  std::size_t nodes;
  std::size_t bytes;
  std::size_t height;
};

class Reader {
 public:
  Reader(std::string_view text, const Limits& limits) : text_(text), limits_(limits) {
    if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
  }
  ~Reader() { yaml_parser_delete(&parser_); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  Node read() {
    expect(YAML_STREAM_START_EVENT);
    next();
    if (event_->type == YAML_STREAM_END_EVENT) return Node{};  // empty text
    if (event_->type != YAML_DOCUMENT_START_EVENT) fail_unexpected();
    next();
    Node root = read_tree();
    next();
    if (event_->type != YAML_DOCUMENT_END_EVENT) fail_unexpected();
    next();
    if (event_->type == YAML_DOCUMENT_START_EVENT) {
      throw Error("more than one document in the text; only one is allowed",
                  to_mark(event_->start_mark));
    }
    if (event_->type != YAML_STREAM_END_EVENT) fail_unexpected();
    return root;
  }

 private:
  // A collection whose end has not been read yet: what its start event said, the children read
  // so far and, in a mapping, the key that waits for its value.
  struct Open {
    bool mapping;
    Mark mark;
    Extras extras;
    std::size_t nodes_before;  // counts when its start was read, for its anchor's charges
    std::size_t bytes_before;
    std::size_t height = 0;  // of its tallest child so far
    Children children;
    std::optional<Node> key;
  };

  void next() {
    if (!yaml_parser_parse(&parser_, event_.slot())) fail_parser();
    event_.mark_filled();
  }

  void expect(yaml_event_type_t type) {
    next();
    if (event_->type != type) fail_unexpected();
  }

  [[noreturn]] void fail_parser() {
    if (parser_.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
    std::string description = parser_.problem ? parser_.problem : "unreadable YAML";
    if (parser_.context) description += std::string(" ") + parser_.context;
    Mark mark = parser_.error == YAML_READER_ERROR ? mark_at(text_, parser_.problem_offset)
                                                   : to_mark(parser_.problem_mark);
    throw Error(description, mark);
  }

  [[noreturn]] void fail_unexpected() {
    throw Error("unexpected YAML structure", to_mark(event_->start_mark));
  }

  void charge(std::size_t nodes, std::size_t bytes, Mark mark) {
    nodes_ += nodes;
    expanded_bytes_ += bytes;
    if (nodes_ > limits_.max_nodes || alias_bytes_ > limits_.max_alias_bytes) {
      throw Error("document too large: more than " + std::to_string(limits_.max_nodes) +
                      " values or " + std::to_string(limits_.max_alias_bytes) +
                      " bytes repeated through aliases",
                  mark);
    }
  }

  // Reads the node whose first event is the current one and leaves its last event current.
  // A loop over the events with the open collections on a heap stack, not a recursion: how
  // deep a document nests decides how much memory this takes, never how much of the thread's
  // stack, so a small thread stack reads every document the nesting limit lets through.
  Node read_tree() {
    std::vector<Open> open;
    for (;;) {
      std::optional<Node> done;
      if (event_->type == YAML_SEQUENCE_START_EVENT || event_->type == YAML_MAPPING_START_EVENT) {
        open_collection(open);
      } else {
        done = read_leaf(open.size());
      }
      // Hands each finished node to its collection, and finishes every collection whose end
      // comes next, until the current event starts another node.
      for (;;) {
        if (done) {
          if (open.empty()) return std::move(*done);
          add(open.back(), std::move(*done));
          done.reset();
        }
        next();
        yaml_event_type_t end = open.back().mapping ? YAML_MAPPING_END_EVENT
                                                    : YAML_SEQUENCE_END_EVENT;
        if (event_->type != end) break;
        done = close_collection(open);
      }
    }
  }

  // A scalar or an alias (`depth` collections enclose it); sets `height_`.
  Node read_leaf(std::size_t depth) {
    const yaml_event_t& ev = *event_;
    Mark mark = to_mark(ev.start_mark);
    if (ev.type == YAML_ALIAS_EVENT) return read_alias(depth, mark);
    if (ev.type != YAML_SCALAR_EVENT) fail_unexpected();
    std::size_t nodes_before = nodes_, bytes_before = expanded_bytes_;
    Extras extras = Extras::of(ev.data.scalar.anchor, ev.data.scalar.tag);
    Node node = read_scalar(mark);
    charge(1, node.text.size(), mark);
    height_ = 0;
    return finish(std::move(node), extras, mark, nodes_before, bytes_before);
  }

  void open_collection(std::vector<Open>& open) {
    const yaml_event_t& ev = *event_;
    Mark mark = to_mark(ev.start_mark);
    bool mapping = ev.type == YAML_MAPPING_START_EVENT;
    enter(open.size() + 1, mark);
    // Copied now: the event is replaced while the content is read.
    Extras extras = mapping ? Extras::of(ev.data.mapping_start.anchor, ev.data.mapping_start.tag)
                            : Extras::of(ev.data.sequence_start.anchor, ev.data.sequence_start.tag);
    std::size_t nodes_before = nodes_, bytes_before = expanded_bytes_;
    charge(1, 0, mark);
    open.push_back(Open{mapping, mark, std::move(extras), nodes_before, bytes_before, 0, {}, {}});
  }

  // `node` (read last: its height is `height_`) becomes the next item, key or value of `parent`.
  void add(Open& parent, Node node) {
    parent.height = std::max(parent.height, height_);
    if (!parent.mapping) {
      parent.children.items.push_back(std::move(node));
    } else if (!parent.key) {
      parent.key.emplace(std::move(node));
    } else {
      parent.children.entries.emplace_back(std::move(*parent.key), std::move(node));
      parent.key.reset();
    }
  }

  Node close_collection(std::vector<Open>& open) {
    Open top = std::move(open.back());
    open.pop_back();
    height_ = top.height + 1;
    Node node;
    node.kind = top.mapping ? Kind::Mapping : Kind::Sequence;
    node.mark = top.mark;
    if (!top.children.items.empty() || !top.children.entries.empty()) {
      node.children = std::make_shared<Children>(std::move(top.children));
    }
    return finish(std::move(node), top.extras, top.mark, top.nodes_before, top.bytes_before);
  }

  // The node with its tag applied, remembered under its anchor with what reading it cost.
  Node finish(Node node, const Extras& extras, Mark mark, std::size_t nodes_before,
              std::size_t bytes_before) {
    node = tagged(std::move(node), extras, mark);
    if (extras.has_anchor) {
      anchors_[extras.anchor] =
          Anchor{node, nodes_ - nodes_before, expanded_bytes_ - bytes_before, height_};
    }
    return node;
  }

  // `levels`: how many collections deep the deepest one of the node being read would sit.
  void enter(std::size_t levels, Mark mark) {
    if (levels > limits_.max_depth) {
      throw Error("recursion limit exceeded: more than " + std::to_string(limits_.max_depth) +
                      " nested sequences and mappings",
                  mark);
    }
  }

  Node read_scalar(Mark mark) {
    const auto& s = event_->data.scalar;
    Node node;
    node.mark = mark;
    node.text.assign(reinterpret_cast<const char*>(s.value), s.length);
    switch (s.style) {
      case YAML_SINGLE_QUOTED_SCALAR_STYLE: node.style = Style::SingleQuoted; break;
      case YAML_DOUBLE_QUOTED_SCALAR_STYLE: node.style = Style::DoubleQuoted; break;
      case YAML_LITERAL_SCALAR_STYLE: node.style = Style::Literal; break;
      case YAML_FOLDED_SCALAR_STYLE: node.style = Style::Folded; break;
      default: node.style = Style::Plain; break;
    }
    if (node.style == Style::Plain) {
      resolve_plain(node);
    } else {
      node.kind = Kind::String;
    }
    return node;
  }

  // Wraps an explicitly tagged node (the wrapper is no collection: it adds no nesting).
  static Node tagged(Node node, const Extras& extras, Mark mark) {
    if (!extras.has_tag) return node;
    Node wrapper;
    wrapper.kind = Kind::Tagged;
    wrapper.mark = mark;
    wrapper.text = extras.tag;
    auto content = std::make_shared<Children>();
    content->items.push_back(std::move(node));
    wrapper.children = std::move(content);
    return wrapper;
  }

  // The anchored node again, sharing its children; here it counts at its full expanded size
  // and height, as the same subtree written out in the text would.
  Node read_alias(std::size_t depth, Mark mark) {
    std::string name = reinterpret_cast<const char*>(event_->data.alias.anchor);
    auto it = anchors_.find(name);
    if (it == anchors_.end()) throw Error("unknown anchor '" + name + "'", mark);
    const Anchor& anchor = it->second;
    enter(depth + anchor.height, mark);
    alias_bytes_ += anchor.bytes;
    charge(anchor.nodes, anchor.bytes, mark);
    height_ = anchor.height;
    return anchor.node;
  }

  std::string_view text_;
  yaml_parser_t parser_{};
  Event event_;
  const Limits& limits_;
  std::size_t nodes_ = 0;           // values of the expanded tree so far
  std::size_t expanded_bytes_ = 0;  // scalar bytes of the expanded tree so far
  std::size_t alias_bytes_ = 0;     // the part of them repeated through aliases
  std::size_t height_ = 0;          // of the node read last
  std::unordered_map<std::string, Anchor> anchors_;
};

bool is_one_of(std::string_view text, std::initializer_list<std::string_view> options) {
  for (std::string_view o : options) {
    if (text == o) return true;
  }
  return false;
}

// Digits are ASCII whatever the locale (<cctype>'s tests follow LC_CTYPE).
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// 0-15 for a hexadecimal digit, 16 for anything else.
int hex_digit_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 16;
}

bool all_digits(std::string_view s, int base) {
  if (s.empty()) return false;
  for (char c : s) {
    if (hex_digit_value(c) >= base) return false;
  }
  return true;
}

bool resolve_integer(std::string_view text, Number& out) {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  int base = 10;
  if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'o' || body[1] == 'b')) {
    base = body[1] == 'x' ? 16 : body[1] == 'o' ? 8 : 2;
    body.remove_prefix(2);
  }
  if (!all_digits(body, base)) return false;
  uint64_t magnitude = 0;
  auto result = std::from_chars(body.data(), body.data() + body.size(), magnitude, base);
  out.is_integer = true;
  out.negative = negative && magnitude != 0;
  if (result.ec == std::errc::result_out_of_range) {
    // Too large for 64 bits: kept as the nearest double.
    double value = 0;
    if (base == 10) {
      value = read_float(body);
    } else {
      for (char c : body) value = value * base + hex_digit_value(c);
    }
    out.is_integer = false;
    out.value = negative ? -value : value;
    return true;
  }
  out.magnitude = magnitude;
  out.value = negative ? -static_cast<double>(magnitude) : static_cast<double>(magnitude);
  return true;
}

bool resolve_float(std::string_view text, Number& out) {
  if (is_one_of(text, {".inf", ".Inf", ".INF", "+.inf", "+.Inf", "+.INF"})) {
    out = Number{false, false, 0, std::numeric_limits<double>::infinity()};
    return true;
  }
  if (is_one_of(text, {"-.inf", "-.Inf", "-.INF"})) {
    out = Number{false, false, 0, -std::numeric_limits<double>::infinity()};
    return true;
  }
  if (is_one_of(text, {".nan", ".NaN", ".NAN"})) {
    out = Number{false, false, 0, std::numeric_limits<double>::quiet_NaN()};
    return true;
  }
  // [-+]? ( digits [. digits?] | . digits ) ([eE] [-+]? digits)?, with a '.' or an exponent.
  std::size_t i = 0, n = text.size();
  if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < n && is_digit(text[i])) ++i, ++int_digits;
  bool dot = i < n && text[i] == '.';
  if (dot) {
    ++i;
    while (i < n && is_digit(text[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  bool exponent = i < n && (text[i] == 'e' || text[i] == 'E');
  if (exponent) {
    ++i;
    if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
    std::size_t exp_digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != n || (!dot && !exponent)) return false;
  out = Number{false, false, 0, read_float(text)};
  return true;
}

}  // namespace

Error::Error(std::string description_, Mark mark_)
    : std::runtime_error(with_position(description_, mark_)),
      description(std::move(description_)),
      mark(mark_) {}

const std::vector<Node>& Node::items() const {
  static const std::vector<Node> kNone;
  return children ? children->items : kNone;
}

const std::vector<Entry>& Node::entries() const {
  static const std::vector<Entry> kNone;
  return children ? children->entries : kNone;
}

void Node::release_children() noexcept {
  // Blocks this node was the last owner of, whose nodes still hold children of their own.
  // Each is emptied of those before it goes, so no destructor below reaches another block.
  // Should the list itself find no memory, that one block is let go the nested way.
  std::vector<std::shared_ptr<const Children>> pending;
  auto take = [&pending](Node& node) {
    if (!node.children) return;
    try {
      pending.push_back(std::move(node.children));
    } catch (const std::bad_alloc&) {
      node.children.reset();
    }
  };
  take(*this);
  while (!pending.empty()) {
    std::shared_ptr<const Children> block = std::move(pending.back());
    pending.pop_back();
    if (block.use_count() != 1) continue;  // an alias still holds it: only the count drops
    // Sole owner, and every block is made non-const (make_shared<Children>).
    auto& contents = const_cast<Children&>(*block);
    for (Node& item : contents.items) take(item);
    for (Entry& entry : contents.entries) {
      take(entry.first);
      take(entry.second);
    }
  }
}

const Node& Node::untagged() const {
  const Node* node = this;
  while (node->kind == Kind::Tagged && !node->items().empty()) node = &node->items().front();
  return *node;
}

const Node* Node::find(std::string_view key) const {
  const Node& self = untagged();
  if (self.kind != Kind::Mapping) return nullptr;
  for (const Entry& entry : self.entries()) {
    const Node& k = entry.first.untagged();
    if (k.kind == Kind::String && k.text == key) return &entry.second;
  }
  return nullptr;
}

void resolve_plain(Node& node) {
  const std::string& t = node.text;
  if (is_one_of(t, {"", "~", "null", "Null", "NULL"})) {
    node.kind = Kind::Null;
  } else if (is_one_of(t, {"true", "True", "TRUE"})) {
    node.kind = Kind::Bool;
    node.boolean = true;
  } else if (is_one_of(t, {"false", "False", "FALSE"})) {
    node.kind = Kind::Bool;
    node.boolean = false;
  } else if (resolve_integer(t, node.number) || resolve_float(t, node.number)) {
    node.kind = Kind::Number;
  } else {
    node.kind = Kind::String;
  }
}

Node read_document(std::string_view text, const Limits& limits) {
  Reader reader(text, limits);
  return reader.read();
}

}  // namespace morva::yaml
