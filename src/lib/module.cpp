// Module initialisation: the registration table (which fixes __all__ and its order), the
// single-phase init entry point, re-initialisation and the sub-interpreter refusal.
#include "audit/audit_level.hpp"
#include "audit/audit_log_entry.hpp"
#include "audit/audit_recipe.hpp"
#include "audit/audit_system.hpp"
#include "binding/object.hpp"
#include "config/config_loader.hpp"
#include "fsm/fsm_state.hpp"
#include "fsm/workflow_engine.hpp"
#include "engine/engine.hpp"
#include "engine/outbox_collector.hpp"
#include "engine/transaction.hpp"
#include "guards/context_guard.hpp"
#include "errors/exceptions.hpp"
#include "signals/signal_hub.hpp"
#include "signals/signal_receiver.hpp"
#include "structures/frozen_dict.hpp"
#include "structures/meta_log_entry.hpp"
#include "structures/outbox.hpp"
#include "structures/outbox_msg.hpp"
#include "structures/process_context.hpp"
#include "structures/state.hpp"
#include "tracked/frozen_list.hpp"
#include "tracked/tracked_dict.hpp"
#include "tracked/tracked_list.hpp"

namespace morva {
namespace {

template <PyTypeObject* (*Get)()>
PyObject* type_object() {
  return reinterpret_cast<PyObject*>(Get());
}

struct Registration {
  const char* name;
  PyObject* (*get)();  // the process-wide type object (built on first request); throws
};

// Registration order is part of the interface: __all__ lists the names in this order.
const Registration kRegistry[] = {
    {"MorvaEngine", type_object<engine_type>},
    {"Transaction", type_object<transaction_type>},
    {"OutboxCollector", type_object<outbox_collector_type>},
    {"WriteTimeoutError", write_timeout_error},
    {"WorkflowEngine", type_object<fsm::workflow_engine_type>},
    {"FSMState", type_object<fsm::fsm_state_type>},
    {"SignalHub", type_object<signal_hub_type>},
    {"SignalReceiver", type_object<signal_receiver_type>},
    {"State", type_object<state_type>},
    {"ProcessContext", type_object<process_context_type>},
    {"FrozenDict", type_object<frozen_dict_type>},
    {"OutboxMsg", type_object<outbox_msg_type>},
    {"MetaLogEntry", type_object<meta_log_entry_type>},
    {"ContextError", context_error},
    {"ContextGuard", type_object<context_guard_type>},
    {"ConfigLoader", type_object<config_loader_type>},
    {"SchemaViolationError", schema_violation_error},
    {"AuditSystem", type_object<audit_system_type>},
    {"AuditRecipe", type_object<audit_recipe_type>},
    {"AuditLevel", type_object<audit_level_type>},
    {"AuditLogEntry", type_object<audit_log_entry_type>},
    {"AuditBlockError", audit_block_error},
    {"AuditAbortError", audit_abort_error},
    {"AuditStopError", audit_stop_error},
    {"AuditWarning", audit_warning},
};

// Classes met only as returned values: built at initialisation like the registered ones, but
// not module attributes.
PyTypeObject* (*const kHiddenTypes[])() = {
    frozen_list_type,
    outbox_type,
    tracked_dict_type,
    tracked_list_type,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "morva_core",
    "Native core of the Morva process framework: versioned state, transactions, guards, "
    "audit, workflows and signals.",
    0,  // no per-module state; re-initialisation hands back the first module object
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

void register_entry(PyObject* module, const Registration& entry) {
  PyObject* type = entry.get();
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!clear_if_attribute_error()) throw PyErrorSet{};
    all = Ref::checked(PyList_New(0));
    check(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  Ref name = Ref::checked(PyUnicode_FromString(entry.name));
  check(PyList_Append(all.get(), name.get()));
  check(PyObject_SetAttr(module, name.get(), type));
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (PyInterpreterState_GetID(interp) != 0) {
    raise(PyExc_ImportError, "morva_core does not support sub-interpreters; import it from the "
                             "main interpreter only");
  }
  // The module object lives for the process; a later initialisation returns it unchanged.
  static OnceCell<PyObject> cached;  // initialisation runs under the import lock
  if (PyObject* made = cached.get()) return Py_NewRef(made);
  Ref module = Ref::checked(PyModule_Create(&module_def));
#ifdef Py_GIL_DISABLED
  // Every class is safe with threads truly in parallel (binding/threads.hpp): importing the
  // module leaves the GIL off.
  check(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED));
#endif
  check(PyModule_AddStringConstant(module.get(), "__version__", MORVA_VERSION));  // not in __all__
  arm_exit_gate();
  for (const Registration& entry : kRegistry) register_entry(module.get(), entry);
  for (auto build : kHiddenTypes) build();
  cached.publish(module.new_ref(), [](PyObject* lost) { Py_DECREF(lost); });
  return module.release();
}

}  // namespace
}  // namespace morva

PyMODINIT_FUNC PyInit_morva_core() {
  return morva::Boundary<morva::init_module>::call();
}
