// WorkflowEngine: construction (read + parse), execute with the operation limit, coroutine
// processes on the "_loop" loop, execute_async, simulate, and the tracked state machine with
// its history and observers.
#include "fsm/workflow_engine.hpp"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/dict_entry.hpp"
#include "binding/modules.hpp"
#include "binding/stack_guard.hpp"
#include "binding/text.hpp"
#include "binding/type.hpp"
#include "fsm/condition.hpp"
#include "fsm/debug_line.hpp"
#include "fsm/flux_parser.hpp"
#include "fsm/fsm_state.hpp"
#include "fsm/state_history.hpp"
#include "fsm/node_graph.hpp"
#include "yaml/document.hpp"

namespace morva::fsm {
namespace {

// The engine never takes a borrow of itself: the step tree, the document and the tables are
// fixed after construction, and the three mutable parts each sit behind their own mutex that
// is held only for a plain C++ access (no Python code runs under any of them). So executors,
// conditions and observers may call back into the engine, and threads may run it together.
struct WorkflowFields {
  WorkflowFields(ParsedSteps parsed, yaml::Node doc, uint32_t max_ops_, bool debug_,
               std::vector<Ref> names_)
      : steps(std::move(parsed.steps)),
        document(std::move(doc)),
        graph(document),
        max_ops(max_ops_),
        debug(debug_),
        names(std::move(names_)),
        codes(parsed.condition_slots) {
    name_strs.reserve(names.size());
    for (const Ref& args : names) name_strs.push_back(PyTuple_GetItem(args.get(), 0));
  }

  StepList steps;
  yaml::Node document;
  NodeGraph graph;  // indexes `document`, declared after it
  StateHistory history;
  std::mutex observers_lock;
  std::vector<Ref> observers;
  uint32_t max_ops;
  bool debug;
  // Beside the tree, indexed by slot: each Process step's executor arguments, the 1-tuple
  // (name,) whose str is also what results list (fixed at construction, read by every run), and
  // each condition's compiled code, filled once at its first successful compile.
  std::vector<Ref> names;
  std::vector<PyObject*> name_strs;  // borrowed from the tuples above
  PyObject* name(std::size_t slot) const { return name_strs[slot]; }
  OnceRefs codes;
};

WorkflowFields& workflow(PyObject* self) { return fields<WorkflowFields>(self); }

InternedStr kAsyncio{"asyncio"};
InternedStr kAsyncioCoroutines{"asyncio.coroutines"};
InternedStr kIsCoroutine{"iscoroutine"};
InternedStr kRunningLoopProbe{"_get_running_loop"};
InternedStr kRunThreadsafe{"run_coroutine_threadsafe"};
InternedStr kResult{"result"};
InternedStr kLoopKey{"_loop"};
InternedStr kGetRunningLoop{"get_running_loop"};
InternedStr kToThread{"to_thread"};
InternedStr kExecute{"execute"};

// Observers are called on a copy of the list, so none of the locks is held while they run;
// whatever they raise (or a failure to call them at all, even to copy the list) is dropped:
// the transition they are told of has happened.
void notify_observers(WorkflowFields& e, FsmValue old_state, FsmValue new_state) {
  std::vector<Ref> observers;
  try {
    std::lock_guard<std::mutex> guard(e.observers_lock);
    observers.reserve(e.observers.size());
    for (const Ref& o : e.observers) observers.push_back(Ref::borrow(o.get()));
  } catch (const std::bad_alloc&) {
    return;
  }
  for (const Ref& observer : observers) {
    try {
      Ref a = make_fsm_state(old_state);
      Ref b = make_fsm_state(new_state);
      Ref result = Ref::steal(
          PyObject_CallFunctionObjArgs(observer.get(), a.get(), b.get(), nullptr));
    } catch (const PyErrorSet&) {
    }
    PyErr_Clear();
  }
}

// The only way the state changes (state_history.hpp: a run's last transition cannot fail).
// Concurrent runs interleave their transitions; none is merged or skipped.
void transition(PyObject* self, FsmValue next,
                StateHistory::Step step = StateHistory::Step::kMiddle) {
  WorkflowFields& e = workflow(self);
  FsmValue old_state = e.history.enter(next, step);
  notify_observers(e, old_state, next);
  if (e.debug) debug_line({"FSM State: ", fsm_name(old_state), " -> ", fsm_name(next)});
}

// asyncio's own iscoroutine, taken from asyncio.coroutines once it can be found (a process-wide
// cache; while null, the shortcut below is simply not taken).
PyObject* stock_iscoroutine() {
  static OnceCell<PyObject> stock;
  if (PyObject* found = stock.get()) [[likely]] return found;
  try {
    Ref module = loaded_module(kAsyncioCoroutines.get());
    return stock.publish(module_attr(module.get(), kIsCoroutine.get()).release(),
                         [](PyObject* lost) { Py_DECREF(lost); });
  } catch (const PyErrorSet&) {
    PyErr_Clear();
    return nullptr;
  }
}

// `import asyncio; asyncio.iscoroutine(result)`, both looked up afresh for every step so a
// replaced module or function is always the one asked. asyncio's own function answers False
// for None (None is no coroutine type and no Coroutine ABC instance unless NoneType were
// registered as one, and then scheduling it would fail anyway), so the call is skipped for
// executors that return None: it would otherwise cost several times the step itself. For that
// common case the two lookups are first tried through DictEntry (no Python code, no side
// effect); whatever it cannot confirm takes the ordinary path. One instance serves every run.
class CoroutineTest {
 public:
  bool operator()(PyObject* result) {
    if (result == Py_None) {
      PyObject* stock = stock_iscoroutine();
      if (stock != nullptr && cached_iscoroutine() == stock) return false;
    }
    Ref test = iscoroutine_function();
    if (result == Py_None && test.get() == stock_iscoroutine()) return false;
    Ref answer = Ref::checked(PyObject_CallFunctionObjArgs(test.get(), result, nullptr));
    return check(PyObject_IsTrue(answer.get())) != 0;
  }

 private:
  // asyncio.iscoroutine (borrowed) when both remembered entries still hold, else null. The
  // module found must be the one whose dictionary the attribute entry was remembered in (a
  // module's dictionary is fixed for its life, and it is held), so neither its type nor its
  // dictionary needs asking again; PyDict_Next itself answers nothing for a non-dict.
  PyObject* cached_iscoroutine() const noexcept {
#ifdef Py_GIL_DISABLED
    return nullptr;  // remembered positions would be shared by every thread: always look up
#else
    PyObject* module = modules_.peek(PyImport_GetModuleDict());
    return module != nullptr && module == module_.get() ? attributes_.peek(module_dict_) : nullptr;
#endif
  }

  // The sys.modules entry serves while it has the attribute. A miss (a module that another
  // thread is still initialising) goes through the full import, which waits for the
  // initialisation to finish, and the ordinary attribute lookup with its exact error.
  Ref iscoroutine_function() {
#ifdef Py_GIL_DISABLED
    // Nothing remembered (see cached_iscoroutine): the sys.modules entry, then its attribute.
    Ref module = loaded_module(kAsyncio.get());
    Ref found = Ref::steal(PyObject_GetAttr(module.get(), kIsCoroutine.get()));
    if (found) return found;
    if (!clear_if_attribute_error()) throw PyErrorSet{};
#else
    Ref module = asyncio_module();
    if (PyModule_CheckExact(module.get())) {
      PyObject* dict = PyModule_GetDict(module.get());
      if (Ref found = attributes_.find(dict, kIsCoroutine.get())) {
        if (module.get() != module_.get()) {
          module_dict_ = dict;
          module_ = std::move(module);  // the old one goes last
        }
        return found;
      }
    } else if (Ref found = lookup_.find(module.get(), kIsCoroutine.get())) {
      return found;
    }
#endif
    Ref imported = import_module(kAsyncio.get());
    return Ref::checked(PyObject_GetAttr(imported.get(), kIsCoroutine.get()));
  }

  // What loaded_module answers, remembering where sys.modules keeps the entry.
  Ref asyncio_module() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (PyDict_Check(modules)) {
      Ref module = modules_.find(modules, kAsyncio.get());
      if (module && module.get() != Py_None) return module;
    }
    return loaded_module(kAsyncio.get());
  }

  DictEntry modules_;     // sys.modules["asyncio"]
  DictEntry attributes_;  // its "iscoroutine"
  Ref module_;                      // the module attributes_ last looked in
  PyObject* module_dict_ = nullptr;  // its dictionary, borrowed from it
  ModuleLookup lookup_;
};

// The shared instance: never destroyed (see DictEntry).
CoroutineTest& coroutine_test() {
  static CoroutineTest* test = new CoroutineTest();
  return *test;
}

// Waiting on the loop that runs this very thread could never end: the loop cannot run the
// coroutine while this thread blocks inside one of its callbacks. asyncio's own probe answers
// without raising when no loop runs here; an asyncio without it simply skips the check.
bool runs_on_this_thread(PyObject* asyncio, PyObject* loop) {
  Ref probe = Ref::steal(PyObject_GetAttr(asyncio, kRunningLoopProbe.get()));
  if (!probe) {
    if (!clear_if_attribute_error()) throw PyErrorSet{};
    return false;
  }
  Ref running = Ref::checked(PyObject_CallNoArgs(probe.get()));
  // With no loop running the probe answers None, which must not match a "_loop" of None: that
  // one goes on to fail in run_coroutine_threadsafe as any other unusable loop does.
  return running.get() != Py_None && running.get() == loop;
}

// One call of execute: its own operation counter and list of executed names.
class Run {
 public:
  Run(PyObject* self, PyObject* ctx, PyObject* executor)
      : self_(self), e_(workflow(self)), ctx_(ctx), executor_(executor),
        executed_(Ref::checked(PyList_New(0))) {}

  void steps(const StepList& list) {
    for (const FluxStep& step : list) visit(step);
  }
  Ref take_names() { return std::move(executed_); }

 private:
  // The counter is wider than max_ops, so it cannot wrap before it trips.
  void count_operation() {
    if (++ops_ > e_.max_ops) {
      raise(PyExc_RuntimeError, "Flux Safety Trip: Exceeded " + std::to_string(e_.max_ops) +
                                    " operations. Check for infinite loops.");
    }
  }

  bool holds(const std::string& condition, std::size_t slot) {
    return evaluate_condition(condition, ctx_, e_.debug, &e_.codes[slot]);
  }

  void visit(const FluxStep& step) {
    count_operation();
    if (e_.debug) debug_line({"Op #", std::to_string(ops_), ": ", debug_render(step)});
    if (const ProcessStep* p = std::get_if<ProcessStep>(&step.v)) {
      process(*p);
      return;
    }
    // A block is one more level of recursion, checked first: its steps run executors and
    // conditions, which need room on the thread's stack too.
    check_stack("while running nested workflow steps");
    if (const WhileStep* w = std::get_if<WhileStep>(&step.v)) {
      // An empty body visits no step, so a condition that stays true would never meet the
      // limit: each such turn counts as one operation instead.
      while (holds(w->condition, w->slot)) {
        if (w->do_steps.empty()) {
          count_operation();
        } else {
          steps(w->do_steps);
        }
      }
    } else if (const IfStep* i = std::get_if<IfStep>(&step.v)) {
      steps(holds(i->condition, i->slot) ? i->then_steps : i->else_steps);
    } else {
      steps(std::get_if<RunStep>(&step.v)->steps);
    }
  }

  void process(const ProcessStep& step) {
    Ref result = Ref::checked(PyObject_Call(executor_, e_.names[step.slot].get(), nullptr));
    if (coroutine_test()(result.get())) await_on_loop(std::move(result));
    check(PyList_Append(executed_.get(), e_.name(step.slot)));
  }

  // Hands the coroutine to the context's loop and blocks this thread until it has finished.
  void await_on_loop(Ref coroutine) {
    Ref loop = dict_get(ctx_, kLoopKey.get());
    if (!loop) {
      raise(PyExc_RuntimeError,
            "Async process returned coroutine but '_loop' missing in context. Ensure you used "
            "execute_async() or provided '_loop'.");
    }
    Ref module = import_module(kAsyncio.get());
    PyObject* asyncio = module.get();
    if (runs_on_this_thread(asyncio, loop.get())) {
      raise(PyExc_RuntimeError,
            "Async process returned coroutine but '_loop' is the event loop running on this "
            "thread; waiting for it would never finish. Use execute_async() to run the workflow "
            "on a worker thread.");
    }
    transition(self_, FsmValue::WaitingIO);
    Ref future = Ref::checked(PyObject_CallMethodObjArgs(asyncio, kRunThreadsafe.get(),
                                                         coroutine.get(), loop.get(), nullptr));
    coroutine.reset();
    Ref value = Ref::checked(PyObject_CallMethodObjArgs(future.get(), kResult.get(), nullptr));
    transition(self_, FsmValue::Running);
  }

  PyObject* self_;
  WorkflowFields& e_;
  PyObject* ctx_;
  PyObject* executor_;
  Ref executed_;
  uint64_t ops_ = 0;
};

MORVA_BOUNDARY_ATTRIBUTES Ref run_workflow(PyObject* self, PyObject* ctx, PyObject* executor) {
  // Executors, conditions and observers may run the engine again from inside a run.
  check_stack("while running a workflow");
  Run run(self, ctx, executor);
  transition(self, FsmValue::Running, StateHistory::Step::kStart);
  try {
    run.steps(workflow(self).steps);
  } catch (abi::__forced_unwind&) {
    throw;  // the host is ending this thread at exit: no observer, no C API
  } catch (...) {
    // Observers run during this transition; the run's error is kept aside and restored.
    SavedError saved;
    transition(self, FsmValue::Failed, StateHistory::Step::kEnd);
    throw;
  }
  transition(self, FsmValue::Complete, StateHistory::Step::kEnd);
  return run.take_names();
}

// --- construction -------------------------------------------------------------------------

yaml::Node read_workflow(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    // Lone surrogates cannot be encoded: the text is not a readable document.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
    Ref error = take_exception();
    std::string reason = error ? text_of_utf8(error.get()) : std::string("text is not valid UTF-8");
    raise(PyExc_ValueError, "Invalid YAML: " + reason);
  }
  try {
    return yaml::read_document(std::string_view(data, static_cast<std::size_t>(size)));
  } catch (const yaml::Error& error) {
    raise(PyExc_ValueError, std::string("Invalid YAML: ") + error.what());  // with position
  }
}

std::vector<Ref> name_table(const ParsedSteps& parsed) {
  std::vector<Ref> names(parsed.process_slots);
  for_each_process(parsed.steps,
                   [&](const ProcessStep& p) {
                     Ref name = make_str(p.name);
                     names[p.slot] = Ref::checked(PyTuple_Pack(1, name.get()));
                   });
  return names;
}

using WorkflowEngineNew =
    Signature<"WorkflowEngine.__new__", "yaml_config", "max_ops=10000", "debug=False">;
using WorkflowEngineAddStateObserver = Signature<"WorkflowEngine.add_state_observer", "callback">;
using WorkflowEngineExecute = Signature<"WorkflowEngine.execute", "ctx", "executor">;
using WorkflowEngineExecuteAsync = Signature<"WorkflowEngine.execute_async", "ctx", "executor">;
using WorkflowEngineSimulate = Signature<"WorkflowEngine.simulate", "ctx">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<WorkflowEngineNew>(args, kwargs);
  PyObject* text = a.convert<"yaml_config">(as_str);
  uint32_t max_ops = a.convert_or<"max_ops">(to_u32);
  bool debug = a.convert_or<"debug">(to_bool);

  yaml::Node document = read_workflow(text);
  ParsedSteps parsed;
  try {
    parsed = parse_workflow(document);
  } catch (const StepError& error) {
    raise(PyExc_ValueError, std::string("Parse error: ") + error.what());
  }
  if (debug) debug_line({"Parsed ", std::to_string(parsed.steps.size()), " top-level steps"});
  std::vector<Ref> names = name_table(parsed);
  return create<WorkflowFields>(type, std::move(parsed), std::move(document), max_ops, debug,
                              std::move(names))
      .release();
}

// --- methods -------------------------------------------------------------------------------

PyObject* add_state_observer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  auto a = parse<WorkflowEngineAddStateObserver>(args, nargs, kwnames);
  WorkflowFields& e = workflow(self);
  Ref callback = Ref::borrow(a.get<"callback">());
  {
    std::lock_guard<std::mutex> guard(e.observers_lock);
    e.observers.push_back(std::move(callback));
  }
  Py_RETURN_NONE;
}

PyObject* execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<WorkflowEngineExecute>(args, nargs, kwnames);
  PyObject* ctx = a.convert<"ctx">(as_dict);
  return run_workflow(self, ctx, a.get<"executor">()).release();
}

PyObject* execute_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  auto a = parse<WorkflowEngineExecuteAsync>(args, nargs, kwnames);
  PyObject* ctx = a.convert<"ctx">(as_dict);
  Ref asyncio = import_module(kAsyncio.get());
  Ref loop =
      Ref::checked(PyObject_CallMethodObjArgs(asyncio.get(), kGetRunningLoop.get(), nullptr));
  Ref copy = Ref::checked(PyDict_Copy(ctx));
  check(PyDict_SetItem(copy.get(), kLoopKey.get(), loop.get()));
  // Through attribute lookup, so a subclass's own execute is the one that runs.
  Ref bound = Ref::checked(PyObject_GetAttr(self, kExecute.get()));
  return check(PyObject_CallMethodObjArgs(asyncio.get(), kToThread.get(), bound.get(), copy.get(),
                                          a.get<"executor">(), nullptr));
}

PyObject* simulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<WorkflowEngineSimulate>(args, nargs, kwnames);
  PyObject* ctx = a.convert<"ctx">(as_dict);
  WorkflowFields& e = workflow(self);
  check_stack("while simulating a workflow");
  if (e.graph.present()) return e.graph.walk(ctx, e.debug).release();
  Ref path = Ref::checked(PyList_New(0));
  flatten_processes(e.steps, [&](const ProcessStep& p) {
    check(PyList_Append(path.get(), e.name(p.slot)));
  });
  return path.release();
}

PyObject* get_state(PyObject* self, void*) {
  WorkflowFields& e = workflow(self);
  return make_fsm_state(e.history.state()).release();
}

PyObject* get_history(PyObject* self, void*) {
  WorkflowFields& e = workflow(self);
  std::vector<FsmValue> history = e.history.entries();
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(history.size())));
  for (std::size_t i = 0; i < history.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), make_fsm_state(history[i]).release());
  }
  return list.release();
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<add_state_observer, WorkflowEngineAddStateObserver,
             "Add an observer callback for state changes.\n"
             "Callback signature: (old_state, new_state) -> None">(),
      method<execute, WorkflowEngineExecute,
             "Execute the workflow using the provided executor callback.\n"
             "\n"
             "Args:\n"
             "    ctx: PyDict - Context for condition evaluation (e.g., {\"domain\": {...}, "
             "\"global\": {...}})\n"
             "    executor: Callable[[str], None] - Function to execute a process by name\n"
             "\n"
             "Returns:\n"
             "    List of executed process names (for debugging/logging)">(),
      method<execute_async, WorkflowEngineExecuteAsync,
             "Execute the workflow asynchronously.\n"
             "Wraps the synchronous execution in a thread (asyncio.to_thread) to avoid blocking "
             "the event loop.\n"
             "Handles FSM state transitions correctly for async steps by blocking the worker "
             "thread.">(),
      method<simulate, WorkflowEngineSimulate,
             "Legacy method for backward compatibility with existing tests.\n"
             "Returns the simulated execution path without actually executing.">(),
      end_methods(),
  };
  static PyGetSetDef props[] = {
      getter<get_state>("fsm_state", "Get current FSM state."),
      getter<get_state>("state", "Alias for fsm_state (for test compatibility)."),
      getter<get_history>("state_history", "Get state transition history."),
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.WorkflowEngine",
      .basicsize = sizeof(Box<WorkflowFields>),
      .subclassable = true,
      .slots = {
          doc_slot<WorkflowEngineNew>(),
          slot<new_>(Py_tp_new),
          dealloc_slot<WorkflowFields, FieldRelease::kCollect>(),
          raw_slot(Py_tp_methods, methods),
          raw_slot(Py_tp_getset, props),
      },
  });
}

}  // namespace

PyTypeObject* workflow_engine_type() {
  return cached_type<build>();
}

}  // namespace morva::fsm
