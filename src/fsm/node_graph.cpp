// Graph walk: start node, `next` as a name or as ordered "if ..." / "else" branches, and the
// bound that turns a cycling `next` chain into an error instead of an endless path.
#include "fsm/node_graph.hpp"

#include <string>

#include "binding/convert.hpp"
#include "fsm/condition.hpp"
#include "fsm/flux_step.hpp"

namespace morva::fsm {
namespace {

using yaml::Kind;
using yaml::Node;

const std::string* string_of(const Node* node) {
  if (node == nullptr) return nullptr;
  const Node& value = node->untagged();
  return value.kind == Kind::String ? &value.text : nullptr;
}

// The name of the branch target taken from a `next` mapping, or nullptr when none is taken.
const std::string* take_branch(const Node& branches, PyObject* ctx, bool debug) {
  for (const yaml::Entry& entry : branches.entries) {
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

// The node after `name`, or nullptr when the walk stops there.
const std::string* successor(const Node& nodes, const std::string& name, PyObject* ctx,
                             bool debug) {
  const Node* node = nodes.find(name);
  const Node* next = node ? node->find("next") : nullptr;
  if (next == nullptr) return nullptr;
  const Node& value = next->untagged();
  if (value.kind == Kind::String) return &value.text;
  if (value.kind != Kind::Mapping || value.entries.empty()) return nullptr;
  return take_branch(value, ctx, debug);
}

}  // namespace

bool has_node_graph(const yaml::Node& document) { return document.find("nodes") != nullptr; }

Ref walk_node_graph(const yaml::Node& document, PyObject* ctx, bool debug) {
  const Node& nodes = *document.find("nodes");
  const Node* start = nodes.find("start");
  if (start == nullptr) raise(PyExc_ValueError, "Missing 'start' node");
  const std::string* current = string_of(start);
  if (current == nullptr) raise(PyExc_ValueError, "Start node must be string");

  // Without a cycle every name is visited at most once, and only the last one may be a name
  // that is not a node, so a path longer than this has come back to a node it already left.
  // Unless a condition changes the context as it is evaluated, such a walk never ends.
  const std::size_t limit = nodes.untagged().entries.size() + 1;
  Ref path = Ref::checked(PyList_New(0));
  while (current != nullptr) {
    if (static_cast<std::size_t>(PyList_Size(path.get())) >= limit) {
      raise(PyExc_ValueError, "Node graph cycle: the walk exceeded " + std::to_string(limit) +
                                  " nodes at '" + *current +
                                  "'; the 'next' chain never reaches an end");
    }
    check(PyList_Append(path.get(), make_str(*current).get()));
    current = successor(nodes, *current, ctx, debug);
  }
  return path;
}

}  // namespace morva::fsm
