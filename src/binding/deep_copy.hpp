// The host's copy.deepcopy, for the transaction's shadow copies and the read-only views'
// __deepcopy__.
#pragma once

#include "binding/object.hpp"

namespace morva {

// copy.deepcopy(value) or, with a memo, copy.deepcopy(value, memo); the module is looked up
// at every call (a replaced copy module is the one used).
Ref deep_copy(PyObject* value, PyObject* memo = nullptr);

// What the deepcopy memo `memo` already holds for `original`, or an empty reference (also when
// `memo` is no dict). An object copied from inside its own copy (a container that holds it)
// is entered there first, and the outer copy returns that entry so the copied structure keeps
// its shape.
Ref memo_entry(PyObject* memo, PyObject* original);

}  // namespace morva
