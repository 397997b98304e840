// AuditLevel: the closed enumeration of escalation policies (Stop, Abort, Block, Count).
#pragma once

#include "binding/object.hpp"

namespace morva {

enum class AuditLevelValue : int { Stop = 0, Abort = 1, Block = 2, Count = 3 };

PyTypeObject* audit_level_type();
// The member object for a level (borrowed; the members live as long as the process).
PyObject* audit_level_member(AuditLevelValue level);
// The level of an AuditLevel instance; anything else raises the conversion TypeError with
// target "AuditLevel".
AuditLevelValue audit_level_of(PyObject* obj);

}  // namespace morva
