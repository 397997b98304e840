// FrozenList: read-only view over a list (holds the list itself, never a copy).
#pragma once

#include "binding/object.hpp"

namespace morva {

PyTypeObject* frozen_list_type();
// A new view over `list` (which must be a list or a list subclass).
Ref make_frozen_list(Ref list);

}  // namespace morva
