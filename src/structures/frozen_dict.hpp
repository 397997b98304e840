// FrozenDict: read-only view over a dict (holds the dict itself, never a copy).
#pragma once

#include "binding/object.hpp"

namespace morva {

PyTypeObject* frozen_dict_type();
// A new view over `dict` (which must be a dict or a dict subclass).
Ref make_frozen_dict(Ref dict);

}  // namespace morva
