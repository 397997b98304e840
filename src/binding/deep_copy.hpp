// The host's copy.deepcopy, for the transaction's shadow copies and the read-only views'
// __deepcopy__.
#pragma once

#include "binding/object.hpp"

namespace morva {

// copy.deepcopy(value) or, with a memo, copy.deepcopy(value, memo); the module is looked up
// at every call (a replaced copy module is the one used).
Ref deep_copy(PyObject* value, PyObject* memo = nullptr);

// __deepcopy__ of a read-only view over `wrapped`: a new view, made by `make`, over
// copy.deepcopy(wrapped, memo) once `convert` has accepted the copy. A container that holds
// its own view copies that view again from inside; the memo then holds the copy made there,
// which the copied container refers to, and it is returned instead of a second one, so the
// copied structure keeps its shape.
Ref deep_copy_view(PyObject* view, PyObject* wrapped, PyObject* memo,
                   PyObject* (*convert)(PyObject*), Ref (*make)(Ref));

}  // namespace morva
