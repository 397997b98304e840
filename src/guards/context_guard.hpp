// ContextGuard: the object through which a process reaches its context; every access is checked
// against the declared inputs and outputs.
#pragma once

#include "binding/object.hpp"

namespace morva {

PyTypeObject* context_guard_type();

}  // namespace morva
