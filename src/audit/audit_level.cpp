// AuditLevel: the four escalation policies, an enumeration class whose members are made once
// with the class and handed out as they are.
#include "audit/audit_level.hpp"

#include "binding/convert.hpp"
#include "binding/enum_type.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

constexpr const char* kNames[] = {"Stop", "Abort", "Block", "Count"};
PyObject* g_members[4] = {};  // filled with the type; process lifetime

constexpr EnumSpec kSpec{"morva_core.AuditLevel",
                         "Audit Level\n"
                         "Escalation policies of the audit system (see the audit design note):\n"
                         "- S (Stop): Immediate halt on first failure\n"
                         "- A (Abort): Cancel current operation, allow retry\n"
                         "- B (Block): Block after threshold exceeded\n"
                         "- C (Count): Count only, never block",
                         kNames, 4};

PyTypeObject* build() { return build_enum_type(kSpec, g_members); }

}  // namespace

PyTypeObject* audit_level_type() {
  return cached_type<build>();
}

PyObject* audit_level_member(AuditLevelValue level) {
  audit_level_type();
  return g_members[static_cast<int>(level)];
}

AuditLevelValue audit_level_of(PyObject* obj) {
  return static_cast<AuditLevelValue>(
      enum_value(as_instance(obj, audit_level_type(), "AuditLevel")));
}

}  // namespace morva
