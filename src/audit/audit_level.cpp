// AuditLevel: four members made once with the type, compared by value with levels and ints.
// The type defines equality and no hash, so the host makes its members unhashable.
#include "audit/audit_level.hpp"

#include "binding/convert.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

struct LevelFields {
  AuditLevelValue value;
};

constexpr const char* kNames[] = {"Stop", "Abort", "Block", "Count"};
PyObject* g_members[4] = {};  // filled with the type; process lifetime

int value_of(PyObject* self) { return static_cast<int>(fields<LevelFields>(self).value); }

PyObject* repr(PyObject* self) {
  return check(PyUnicode_FromFormat("AuditLevel.%s", kNames[value_of(self)]));
}

PyObject* to_int(PyObject* self) { return check(PyLong_FromLong(value_of(self))); }

// == and != against another level or any int (an int subclass keeps its own say through the
// host's reflected comparison); everything else is left to the host.
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  if (PyObject_TypeCheck(other, audit_level_type())) {
    bool equal = value_of(self) == value_of(other);
    return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
  }
  if (!PyLong_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  Ref mine = Ref::checked(PyLong_FromLong(value_of(self)));
  return check(PyObject_RichCompare(mine.get(), other, op));
}

PyTypeObject* build() {
  static const char* const kDoc =
      "Audit Level\n"
      "Escalation policies of the audit system (see the audit design note):\n"
      "- S (Stop): Immediate halt on first failure\n"
      "- A (Abort): Cancel current operation, allow retry\n"
      "- B (Block): Block after threshold exceeded\n"
      "- C (Count): Count only, never block";
  PyTypeObject* type =
      build_type(TypeSpec{
          .name = "morva_core.AuditLevel",
          .basicsize = sizeof(Box<LevelFields>),
          .slots = {
              doc_slot(kDoc),
              no_constructor_slot(),
              dealloc_slot<LevelFields>(),
              slot<repr>(Py_tp_repr),
              slot<to_int>(Py_nb_int),
              slot<richcompare>(Py_tp_richcompare),
          },
      });
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(type));  // dropped if a member fails
  for (int i = 0; i < 4; ++i) {
    Ref member = create<LevelFields>(type, static_cast<AuditLevelValue>(i));
    check(PyObject_SetAttrString(owner.get(), kNames[i], member.get()));
    g_members[i] = member.release();
  }
  return reinterpret_cast<PyTypeObject*>(owner.release());
}

}  // namespace

PyTypeObject* audit_level_type() {
  return cached_type<build>();
}

PyObject* audit_level_member(AuditLevelValue level) {
  audit_level_type();
  return g_members[static_cast<int>(level)];
}

AuditLevelValue audit_level_of(PyObject* obj) {
  return fields<LevelFields>(as_instance(obj, audit_level_type(), "AuditLevel")).value;
}

}  // namespace morva
