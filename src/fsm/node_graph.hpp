// The node-graph form of a workflow document, walked only by `simulate`.
#pragma once

#include "binding/object.hpp"
#include "yaml/document.hpp"

namespace morva::fsm {

// True when the document has a top-level `nodes` key (the graph form takes precedence).
bool has_node_graph(const yaml::Node& document);

// Walks `nodes` from `start`, evaluating branch conditions against `ctx`, and returns the list
// of node names visited. Raises ValueError for malformed graphs, and for a walk that runs past
// one visit per node plus one (only a cycle can do that), or whatever a condition raises.
Ref walk_node_graph(const yaml::Node& document, PyObject* ctx, bool debug);

}  // namespace morva::fsm
