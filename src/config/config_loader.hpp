// ConfigLoader: validates a YAML schema text against the schema records.
#pragma once

#include "binding/object.hpp"

namespace morva {

PyTypeObject* config_loader_type();

}  // namespace morva
