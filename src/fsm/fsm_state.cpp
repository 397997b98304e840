// FSMState: int conversion, repr, equality with its own kind and with integers, no hash and no
// constructor; the five values are class attributes made when the class is built.
#include "fsm/fsm_state.hpp"

#include <string>

#include "binding/type.hpp"

namespace morva::fsm {
namespace {

struct FsmFields {
  FsmValue value;
};

constexpr FsmValue kAll[] = {FsmValue::Pending, FsmValue::Running, FsmValue::WaitingIO,
                             FsmValue::Complete, FsmValue::Failed};

long value_of(PyObject* self) { return static_cast<long>(fields<FsmFields>(self).value); }

PyObject* to_int(PyObject* self) { return check(PyLong_FromLong(value_of(self))); }

PyObject* repr(PyObject* self) {
  std::string text = "FSMState." + std::string(fsm_name(fields<FsmFields>(self).value));
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Equal to another FSMState of the same value or to an int of that value; anything else, and
// every ordering, is left to Python's defaults.
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  bool equal;
  if (PyObject_TypeCheck(other, fsm_state_type())) {
    equal = value_of(other) == value_of(self);
  } else if (PyLong_Check(other)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(other, &overflow);
    if (n == -1 && PyErr_Occurred()) throw PyErrorSet{};
    equal = overflow == 0 && n == value_of(self);
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return Ref::borrow(equal == (op == Py_EQ) ? Py_True : Py_False).release();
}

PyTypeObject* build() {
  PyTypeObject* type = build_type(TypeSpec{
      .name = "morva_core.FSMState",
      .basicsize = sizeof(Box<FsmFields>),
      .slots = {
          doc_slot("FSM State for Workflow execution tracking.\n"
                   "Supports: Pending -> Running -> WaitingIO -> Complete/Failed"),
          no_constructor_slot(),
          dealloc_slot<FsmFields>(),
          slot<repr>(Py_tp_repr),
          slot<richcompare>(Py_tp_richcompare),
          raw_slot(Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)),
          slot<to_int>(Py_nb_int),
      },
  });
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(type));  // released if a value fails
  for (FsmValue value : kAll) {
    Ref instance = create<FsmFields>(type, FsmFields{value});
    std::string name(fsm_name(value));
    check(PyObject_SetAttrString(owner.get(), name.c_str(), instance.get()));
  }
  return reinterpret_cast<PyTypeObject*>(owner.release());
}

}  // namespace

std::string_view fsm_name(FsmValue value) {
  switch (value) {
    case FsmValue::Pending: return "Pending";
    case FsmValue::Running: return "Running";
    case FsmValue::WaitingIO: return "WaitingIO";
    case FsmValue::Complete: return "Complete";
    case FsmValue::Failed: return "Failed";
  }
  return "Pending";
}

PyTypeObject* fsm_state_type() {
  return cached_type<build>();
}

Ref make_fsm_state(FsmValue value) { return create<FsmFields>(fsm_state_type(), FsmFields{value}); }

}  // namespace morva::fsm
