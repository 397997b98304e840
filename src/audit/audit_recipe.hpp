// AuditRecipe: a level with its thresholds and reset rule, copied by each AuditSystem.
#pragma once

#include <cstdint>

#include "audit/audit_level.hpp"
#include "binding/object.hpp"

namespace morva {

struct RecipeValues {
  uint32_t threshold_max = 3;
  uint32_t threshold_min = 0;
  AuditLevelValue level = AuditLevelValue::Block;
  bool reset_on_success = true;
};

PyTypeObject* audit_recipe_type();
// The values of an AuditRecipe instance (`obj` must already be one).
RecipeValues recipe_values(PyObject* obj);

}  // namespace morva
