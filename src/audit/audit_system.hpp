// AuditSystem: per-key failure counters escalated by a recipe, and the audit log ring.
#pragma once

#include "binding/object.hpp"

namespace morva {

PyTypeObject* audit_system_type();

}  // namespace morva
