// TrackedList: write-through proxy over a transaction's working list.
#pragma once

#include "binding/object.hpp"

namespace morva {

PyTypeObject* tracked_list_type();

}  // namespace morva
