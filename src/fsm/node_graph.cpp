// Graph walk: start node, `next` as a name or as ordered "if ..." / "else" branches, over an
// index of the node mapping, and the bound that turns an endless `next` chain into an error.
#include "fsm/node_graph.hpp"

#include "binding/convert.hpp"
#include "fsm/condition.hpp"

namespace morva::fsm {
namespace {

using yaml::Kind;
using yaml::Node;

// Steps between two chances for signal handlers (Ctrl+C) to run during a walk that evaluates
// no condition, which would otherwise hold the GIL for its whole length.
constexpr std::size_t kSignalCheckInterval = 4096;

const std::string* string_of(const Node* node) {
  if (node == nullptr) return nullptr;
  const Node& value = node->untagged();
  return value.kind == Kind::String ? &value.text : nullptr;
}

// The name of the branch target taken from a `next` mapping, or nullptr when none is taken.
const std::string* take_branch(const Node& branches, PyObject* ctx, bool debug) {
  for (const yaml::Entry& entry : branches.entries()) {
    const std::string* key = string_of(&entry.first);
    if (key == nullptr) raise(PyExc_ValueError, "Condition key must be string");
    const std::string* target = string_of(&entry.second);
    if (target == nullptr) raise(PyExc_ValueError, "Target must be string");
    if (*key == "else") return target;
    if (key->size() >= 3 && key->compare(0, 3, "if ") == 0 &&
        evaluate_condition(branch_condition(*key), ctx, debug, nullptr)) {
      return target;
    }
  }
  return nullptr;
}

// The node after one whose `next` is `next`, or nullptr when the walk stops there.
const std::string* successor(const Node* next, PyObject* ctx, bool debug) {
  if (next == nullptr) return nullptr;
  const Node& value = next->untagged();
  if (value.kind == Kind::String) return &value.text;
  if (value.kind != Kind::Mapping || value.entries().empty()) return nullptr;
  return take_branch(value, ctx, debug);
}

}  // namespace

NodeGraph::NodeGraph(const yaml::Node& document) : nodes_(document.find("nodes")) {
  if (nodes_ == nullptr) return;
  for (const yaml::Entry& entry : nodes_->untagged().entries()) {
    const std::string* name = string_of(&entry.first);
    if (name == nullptr || index_.count(*name) != 0) continue;
    index_.emplace(*name, Known{make_str(*name), entry.second.find("next")});
  }
}

const NodeGraph::Known* NodeGraph::known(std::string_view name) const {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : &it->second;
}

Ref NodeGraph::walk(PyObject* ctx, bool debug) const {
  const Node* start = nodes_->find("start");
  if (start == nullptr) raise(PyExc_ValueError, "Missing 'start' node");
  const std::string* current = string_of(start);
  if (current == nullptr) raise(PyExc_ValueError, "Start node must be string");

  Ref path = Ref::checked(PyList_New(0));
  for (std::size_t visited = 0; current != nullptr; ++visited) {
    if (visited == kMaxWalk) {
      raise(PyExc_ValueError, "Node graph walk exceeded " + std::to_string(kMaxWalk) +
                                  " nodes at '" + *current +
                                  "'; the 'next' chain does not reach an end");
    }
    if (visited % kSignalCheckInterval == kSignalCheckInterval - 1) check(PyErr_CheckSignals());
    const Known* node = known(*current);
    // Only a name that is no node (the last one of a walk) needs a str of its own.
    check(PyList_Append(path.get(), node ? node->name.get() : make_str(*current).get()));
    current = node ? successor(node->next, ctx, debug) : nullptr;
  }
  return path;
}

namespace {

// Decodes one UTF-8 code point at `i` (the reader hands over valid UTF-8); returns its length.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
  auto b = static_cast<unsigned char>(s[i]);
  std::size_t len = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
  if (i + len > s.size()) len = s.size() - i;
  cp = len == 1 ? b : b & (0xff >> (len + 1));
  for (std::size_t k = 1; k < len; ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
  }
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
