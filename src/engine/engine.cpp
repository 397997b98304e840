// MorvaEngine: current state with version-checked swap and unconditional commit, the schema /
// worker / audit / strict slots, and the transaction factory. Delivery and async launch live
// in outbox_delivery.cpp and async_process.cpp.
#include "engine/engine.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "engine/async_process.hpp"
#include "engine/outbox_delivery.hpp"
#include "engine/transaction.hpp"
#include "errors/exceptions.hpp"
#include "structures/state.hpp"

namespace morva {
namespace {

PyObject* as_state(PyObject* value) { return as_instance(value, state_type(), "State"); }

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature<> sig{"MorvaEngine.__new__()"};
  parse(sig, args, kwargs);
  Ref first = Ref::checked(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(state_type())));
  return create<EngineFields>(type, std::move(first)).release();
}

PyObject* get_state(PyObject* self, void*) {
  EngineFields& f = engine_fields(self);
  BorrowFlag::Shared access(f.access);
  return f.state.new_ref();
}

// Replaces the current state under the exclusive access the caller holds; the old state is
// handed back so that the caller drops it after releasing that access (its values' finalizers
// may read the engine).
Ref install(EngineFields& f, Ref next) {
  std::swap(f.state, next);
  return next;
}

// The mismatch is ordinary flow in a retry loop: the message is formatted straight into the
// error, without a C++ exception object on the way.
[[noreturn]] void version_mismatch(uint64_t expected, uint64_t found) {
  raise_format(context_error(), "CAS Version Mismatch: Expected %llu, Found %llu",
               static_cast<unsigned long long>(expected), static_cast<unsigned long long>(found));
}

PyObject* compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const Signature<"expected_version",
                         "data=None",
                         "heavy=None",
                         "signal=None">
      sig{"MorvaEngine.compare_and_swap()"};
  static InternedStr version_name{"version"};
  static InternedStr update_name{"update"};
  auto a = parse(sig, args, nargs, kwnames);
  EngineFields& f = engine_fields(self);
  // Declared outside the access scope: whatever is dropped (the old state, a rejected result)
  // is released only after the engine is free again.
  Ref current, next;
  {
    BorrowFlag::Exclusive access(f.access);
    uint64_t expected = a.convert<"expected_version">(to_u64);
    current = Ref::borrow(f.state.get());
    Ref version = Ref::checked(PyObject_GetAttr(current.get(), version_name.get()));
    uint64_t found = to_u64(version.get());
    if (found != expected) version_mismatch(expected, found);
    next = Ref::checked(PyObject_CallMethodObjArgs(current.get(), update_name.get(),
                                                   a.or_none<"data">(), a.or_none<"heavy">(),
                                                   a.or_none<"signal">(), nullptr));
    as_state(next.get());
    next = install(f, std::move(next));
  }
  Py_RETURN_NONE;
}

PyObject* commit_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static const Signature<"state"> sig{"MorvaEngine.commit_state()"};
  auto a = parse(sig, args, nargs, kwnames);
  EngineFields& f = engine_fields(self);
  Ref replaced;
  {
    BorrowFlag::Exclusive access(f.access);
    PyObject* state = a.convert<"state">(as_state);
    replaced = install(f, Ref::borrow(state));
  }
  Py_RETURN_NONE;
}

PyObject* transaction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static const Signature<"write_timeout_ms=5000"> sig{"MorvaEngine.transaction()"};
  auto a = parse(sig, args, nargs, kwnames);
  uint64_t timeout = a.convert_or<"write_timeout_ms">(to_u64, kDefaultWriteTimeoutMs);
  return make_transaction(Ref::borrow(self), timeout).release();
}

}  // namespace

// Shared access for a slot store; the replaced object is dropped after the access is released.
PyObject* store_in(PyObject* self, ObjectSlot EngineFields::*slot, PyObject* value) {
  EngineFields& f = engine_fields(self);
  Ref replaced;
  {
    BorrowFlag::Shared access(f.access);
    replaced = (f.*slot).exchange(value);
  }
  Py_RETURN_NONE;
}

namespace {

PyObject* set_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature<"schema"> sig{"MorvaEngine.set_schema()"};
  auto a = parse(sig, args, nargs, kwnames);
  return store_in(self, &EngineFields::schema, a.get<"schema">());
}

PyObject* set_audit_system(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const Signature<"audit"> sig{"MorvaEngine.set_audit_system()"};
  auto a = parse(sig, args, nargs, kwnames);
  return store_in(self, &EngineFields::audit, a.get<"audit">());
}

PyObject* set_strict_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Signature<"strict"> sig{"MorvaEngine.set_strict_mode()"};
  auto a = parse(sig, args, nargs, kwnames);
  EngineFields& f = engine_fields(self);
  BorrowFlag::Shared access(f.access);
  f.strict.store(a.convert<"strict">(to_bool));
  Py_RETURN_NONE;
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<compare_and_swap>(
          "compare_and_swap",
          "compare_and_swap($self, expected_version, data=None, heavy=None, signal=None)\n--\n\n"),
      method<commit_state>("commit_state", "commit_state($self, state)\n--\n\n"),
      method<transaction>("transaction", "transaction($self, write_timeout_ms=5000)\n--\n\n"),
      method<set_schema>("set_schema", "set_schema($self, schema)\n--\n\n"),
      method<set_strict_mode>("set_strict_mode", "set_strict_mode($self, strict)\n--\n\n"),
      method<set_audit_system>("set_audit_system", "set_audit_system($self, audit)\n--\n\n"),
      method<attach_worker>("attach_worker", "attach_worker($self, worker)\n--\n\n"),
      method_noargs<process_outbox>("process_outbox", "process_outbox($self)\n--\n\n"),
      method<execute_process_async>("execute_process_async",
                                    "execute_process_async($self, name, func)\n--\n\n"),
      end_methods(),
  };
  static PyGetSetDef props[] = {
      getter<get_state>("state"),
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.MorvaEngine",
      .basicsize = sizeof(Box<EngineFields>),
      .subclassable = true,
      .slots = {
          doc_slot("MorvaEngine()\n--\n\n"),
          slot<new_>(Py_tp_new),
          dealloc_slot<EngineFields, FieldRelease::kCollect>(),
          raw_slot(Py_tp_methods, methods),
          raw_slot(Py_tp_getset, props),
      },
  });
}

}  // namespace

PyTypeObject* engine_type() {
  return cached_type<build>();
}

EngineFields& engine_fields(PyObject* engine) { return fields<EngineFields>(engine); }

Ref make_engine() {
  Ref first = Ref::checked(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(state_type())));
  return create<EngineFields>(engine_type(), std::move(first));
}

}  // namespace morva
