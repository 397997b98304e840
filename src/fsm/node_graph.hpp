// The node-graph form of a workflow document, walked only by `simulate`.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "binding/object.hpp"
#include "yaml/document.hpp"

namespace morva::fsm {

// The `nodes` mapping of a document, indexed once so that each step of a walk costs the same
// however large the graph is. Holds pointers into the document, which must outlive it and not
// change (the engine keeps both, fixed, for its whole life).
class NodeGraph {
 public:
  // A walk that names this many nodes has almost certainly met a cycle that no condition ends;
  // it is refused rather than grown without end. A walk that revisits nodes because its
  // conditions change the context is still free to end anywhere below this.
  static constexpr std::size_t kMaxWalk = 1'000'000;

  // An empty graph when the document has no top-level `nodes` key.
  explicit NodeGraph(const yaml::Node& document);

  // True when the document has a top-level `nodes` key (the graph form takes precedence).
  bool present() const { return nodes_ != nullptr; }

  // Walks `nodes` from `start`, evaluating branch conditions against `ctx`, and returns the
  // list of node names visited. Raises ValueError for malformed graphs and for a walk longer
  // than kMaxWalk, or whatever a condition raises. Lets signal handlers run on long walks.
  Ref walk(PyObject* ctx, bool debug) const;

 private:
  struct Known {
    Ref name;                        // the name as a str, shared by every visit
    const yaml::Node* next = nullptr;  // the node's `next`, or null when it has none
  };
  const Known* known(std::string_view name) const;

  const yaml::Node* nodes_ = nullptr;
  std::unordered_map<std::string_view, Known> index_;  // first entry wins, as a lookup finds it
};

// The condition of a branch key ("if " + expression), with
// Unicode white space trimmed from both ends and then every leading and trailing ' and "
// removed.
std::string branch_condition(std::string_view key);

}  // namespace morva::fsm
