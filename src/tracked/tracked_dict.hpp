// TrackedDict: write-through proxy over a transaction's working dict.
#pragma once

#include "binding/object.hpp"

namespace morva {

PyTypeObject* tracked_dict_type();

}  // namespace morva
