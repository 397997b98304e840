// MorvaEngine: construction, the state property, the schema / worker / audit references and
// the strict flag, and the transaction factory. State replacement lives in state_commits.cpp,
// delivery in outbox_delivery.cpp, process launch in async_process.cpp.
#include "engine/engine.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "engine/async_process.hpp"
#include "engine/engine_fields.hpp"
#include "engine/outbox_delivery.hpp"
#include "engine/transaction.hpp"
#include "structures/state.hpp"

namespace morva {
namespace {

Ref first_state() {
  return Ref::checked(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(state_type())));
}

using MorvaEngineNew = Signature<"MorvaEngine.__new__">;
using MorvaEngineTransaction = Signature<"MorvaEngine.transaction", "write_timeout_ms=5000">;
using MorvaEngineSetSchema = Signature<"MorvaEngine.set_schema", "schema">;
using MorvaEngineSetAuditSystem = Signature<"MorvaEngine.set_audit_system", "audit">;
using MorvaEngineSetStrictMode = Signature<"MorvaEngine.set_strict_mode", "strict">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  parse<MorvaEngineNew>(args, kwargs);
  return create<MorvaEngineFields>(type, first_state()).release();
}

PyObject* get_state(PyObject* self, void*) { return current_state(self).release(); }

PyObject* transaction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  auto a = parse<MorvaEngineTransaction>(args, nargs, kwnames);
  uint64_t timeout = a.convert_or<"write_timeout_ms">(to_u64);
  return make_transaction(Ref::borrow(self), timeout).release();
}

PyObject* set_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<MorvaEngineSetSchema>(args, nargs, kwnames);
  return store_in(self, &MorvaEngineFields::schema, a.get<"schema">());
}

PyObject* set_audit_system(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  auto a = parse<MorvaEngineSetAuditSystem>(args, nargs, kwnames);
  return store_in(self, &MorvaEngineFields::audit, a.get<"audit">());
}

PyObject* set_strict_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  auto a = parse<MorvaEngineSetStrictMode>(args, nargs, kwnames);
  MorvaEngineFields& f = engine_fields(self);
  BorrowFlag::Shared access(f.access);
  bool strict = a.convert<"strict">(to_bool);
  FtLock hold(f.slots);
  f.strict = strict;
  Py_RETURN_NONE;
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<compare_and_swap, MorvaEngineCompareAndSwap>(),
      method<commit_state, MorvaEngineCommitState>(),
      method<transaction, MorvaEngineTransaction>(),
      method<set_schema, MorvaEngineSetSchema>(),
      method<set_strict_mode, MorvaEngineSetStrictMode>(),
      method<set_audit_system, MorvaEngineSetAuditSystem>(),
      method<attach_worker, MorvaEngineAttachWorker>(),
      method_noargs<process_outbox, "process_outbox">(),
      method<execute_process_async, MorvaEngineExecuteProcessAsync>(),
      end_methods(),
  };
  static PyGetSetDef props[] = {
      getter<get_state>("state"),
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.MorvaEngine",
      .basicsize = sizeof(Box<MorvaEngineFields>),
      .subclassable = true,
      .slots = join_slots(
          {
              doc_slot<MorvaEngineNew>(),
              slot<new_>(Py_tp_new),
              dealloc_slot<MorvaEngineFields, FieldRelease::kCollect>(),
              raw_slot(Py_tp_methods, methods),
              raw_slot(Py_tp_getset, props),
          },
          attribute_first_slots<"state", get_state, engine_type>()),
  });
}

}  // namespace

PyObject* store_in(PyObject* self, Ref MorvaEngineFields::*ref, PyObject* value) {
  MorvaEngineFields& f = engine_fields(self);
  Ref replaced = Ref::borrow(value);
  {
    BorrowFlag::Shared access(f.access);
    FtLock hold(f.slots);
    std::swap(replaced, f.*ref);
  }
  Py_RETURN_NONE;
}

PyTypeObject* engine_type() {
  return cached_type<build>();
}

MorvaEngineFields& engine_fields(PyObject* engine) { return fields<MorvaEngineFields>(engine); }

bool is_exact_engine(PyObject* engine) { return Py_TYPE(engine) == engine_type(); }

Ref current_state(PyObject* engine) {
  MorvaEngineFields& f = engine_fields(engine);
  return f.access.read_briefly([&] { return Ref::borrow(f.state.get()); });
}

Ref make_engine() { return create<MorvaEngineFields>(engine_type(), first_state()); }

}  // namespace morva
