// Every replacement of a MorvaEngine's current state: compare_and_swap, commit_state and a
// transaction's commit (commit_staged).
//
// The commit protocol. A transaction commit reads `engine.state`, calls that state's `update`
// with the staged data dict, heavy dict and signal list, hands the result's `data.to_dict()`
// to the schema's `model_validate`, installs the result with `engine.commit_state`, and moves
// the transaction's messages to the engine's queue. `state`, `update` and `commit_state` are
// found by attribute lookup, because an application may subclass MorvaEngine, or hand in a
// State-like object through an overriding `state`, and override any of them; only what the
// engine owns outright (the schema reference, the queue) is reached directly. Each step may
// run Python code, and any step that fails ends the commit with its error: the state is
// unchanged and the messages stay in the transaction. (compare_and_swap works on the current
// state itself, which only commit_state installs and which is therefore always a State.)
//
// What is held while Python code runs. The whole commit runs inside the engine's commit gate,
// and so does all of compare_and_swap and commit_state: a swap, commit or install from another
// thread waits (GIL released, or free-threaded, detached) until this one has installed its
// state and moved its messages.
// Nothing can therefore be installed between a commit's read of the state and its install, and
// no update a caller was told succeeded is overwritten by one built on an older state. The
// engine's access flag is held only where its rules need it: shared while the schema runs (so
// commit_state from inside the schema is refused), exclusive inside commit_state and for the
// whole of compare_and_swap (so Python code that a swap's arguments run cannot change the
// engine mid-swap). No
// C++ mutex is held while Python code runs, and the replaced state is dropped only after
// everything is released.
//
// Calls that can only find the class's own code. The lookups above are what decides; where the
// object is exactly State or exactly MorvaEngine, both immutable classes, a lookup can only
// find our own method or property, so the commit runs that code directly, with the
// interpreter's recursion check that the call would have made. Anything else (a subclass, a
// State-like object) goes through the lookup.
//
// Where messages move. Last, and only once commit_state has returned: all of the transaction's
// records go to the end of the queue, taken from its list under that list's lock, then
// spliced in under the queue's. Being inside the gate, the queue receives the messages of
// commits in the order the commits installed their states.
//
// All or nothing. A commit either installs its state and queues every message, or does
// neither and raises. Everything that needs memory happens before the install, the room the
// messages will take in the queue included (message_queue.hpp); after it, only steps that
// cannot fail remain. The meta log entry and the signals of the state's `update` are not part
// of this: `update` writes them before it looks at its arguments, and they stay, as they do
// for an update that fails on its own.
//
// Lock order. Every engine operation takes what it needs in this order, and none asks for an
// earlier one while it holds a later one:
//   1. a transaction's access flag (its __exit__ holds it shared for the whole commit);
//   2. the engine's commit gate (commits, compare_and_swap, commit_state, process launches);
//   3. the engine's access flag;
//   4. a transaction's message-list lock or the engine's queue lock, one at a time, or the
//      engine's slot lock (the worker, schema and audit references), never across Python
//      code (binding/threads.hpp).
// Python code that runs while 2 or 3 is held runs on the thread that holds the gate, so a
// commit, swap or launch it starts passes the gate again and meets the access flag's
// same-thread rules: RuntimeError where the access conflicts ("Already borrowed" / "Already
// mutably borrowed"), success where it does not (a follow-up transaction committed by an
// overriding commit_state after super().commit_state() returned). A thread waiting for the
// gate holds no access to the engine, so the holder never waits for it and the two cannot
// close a cycle. A wait that Python code makes on some other object from inside (a schema
// entering a transaction that another thread is committing) is for the access flag's cycle
// check to refuse.
#include <optional>

#include "binding/args.hpp"
#include "binding/check.hpp"
#include "binding/convert.hpp"
#include "binding/release.hpp"
#include "binding/stack_guard.hpp"
#include "engine/engine.hpp"
#include "engine/engine_fields.hpp"
#include "engine/transaction.hpp"
#include "errors/exceptions.hpp"
#include "structures/state.hpp"

namespace morva {
namespace {

PyObject* as_state(PyObject* value) { return as_instance(value, state_type(), "State"); }

PyObject* empty_list() { return PyList_New(0); }

// A zone's staged container, or a new empty one made by `make` when nothing was staged there.
PyObject* staged_container(Ref& staged, PyObject* (*make)()) {
  if (!staged) staged = Ref::checked(make());
  return staged.get();
}

// The interpreter's own check around a call of a method: what calling the found method through
// the interpreter would have done before running it.
class CallDepth {
 public:
  CallDepth() {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw PyErrorSet{};
  }
  // Not on a thread being ended at exit: it no longer holds the GIL the counter needs.
  ~CallDepth() {
    if (python_usable()) [[likely]] Py_LeaveRecursiveCall();
  }
  CallDepth(const CallDepth&) = delete;
  CallDepth& operator=(const CallDepth&) = delete;
};

// Replaces the current state under the exclusive access the caller holds; the old state is
// handed back so that the caller drops it after releasing every hold (its values' finalizers
// may use the engine).
Ref install(MorvaEngineFields& f, Ref next) {
  std::swap(f.state, next);
  return next;
}

// The mismatch is ordinary flow in a retry loop, so it is not thrown: the message is formatted
// straight into the error and the caller returns null through its holds (see set_error). Two
// writers on one engine fail about one swap in five; thrown, each failure cost five swaps.
PyObject* version_mismatch(uint64_t expected, uint64_t found) {
  return PyErr_Format(context_error(), "CAS Version Mismatch: Expected %llu, Found %llu",
                      static_cast<unsigned long long>(expected),
                      static_cast<unsigned long long>(found));
}

// Turns the error of a failed model_validate into SchemaViolationError, keeping the original
// as its cause. Errors that are not Exceptions (KeyboardInterrupt, SystemExit) pass unchanged:
// an interrupt is not a verdict about the data.
[[noreturn]] void raise_schema_violation() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
  Ref cause = take_exception();
  std::string name = type_qualname(cause.get());
  Ref text = Ref::steal(PyObject_Str(cause.get()));
  if (!text) PyErr_Clear();
  Ref message = Ref::checked(
      text ? PyUnicode_FromFormat("Schema Violation: %s: %U", name.c_str(), text.get())
           : PyUnicode_FromFormat("Schema Violation: %s: <exception str() failed>", name.c_str()));
  raise_from(schema_violation_error(), message.get(), std::move(cause));
}

// The schema check, under shared access. The schema is called through a reference of its own,
// so a schema that calls set_schema on this engine replaces it without pulling it from under
// the running call.
void validate(MorvaEngineFields& f, PyObject* next_state) {
  static InternedStr data_name{"data"};
  static InternedStr to_dict_name{"to_dict"};
  static InternedStr validate_name{"model_validate"};
  BorrowFlag::Shared access(f.access);
  Ref schema = f.slot(&MorvaEngineFields::schema);
  if (!schema) return;
  Ref view = Ref::checked(PyObject_GetAttr(next_state, data_name.get()));
  Ref dict = Ref::checked(PyObject_CallMethodObjArgs(view.get(), to_dict_name.get(), nullptr));
  Ref result = Ref::steal(
      PyObject_CallMethodObjArgs(schema.get(), validate_name.get(), dict.get(), nullptr));
  if (!result) raise_schema_violation();
}

}  // namespace

PyObject* compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  auto a = parse<MorvaEngineCompareAndSwap>(args, nargs, kwnames);
  check_stack("in compare_and_swap");
  MorvaEngineFields& f = engine_fields(self);
  // Declared outside every hold: whatever is dropped (the old state, a rejected result) is
  // released only after the engine is free again.
  Ref current, next;
  {
    CommitGate::Hold gate(f.gate);
    BorrowFlag::Exclusive access(f.access);
    uint64_t expected = a.convert<"expected_version">(to_u64);
    // Only commit_state installs a state, and it takes nothing but a State: the current state
    // is always exactly one, so its `version` and `update` are the class's own.
    current = Ref::borrow(f.state.get());
    MORVA_CHECK(is_exact_state(current.get()));
    uint64_t found = state_version(current.get());
    if (found != expected) return version_mismatch(expected, found);
    {
      CallDepth depth;
      next = update_state(current.get(), a.or_none<"data">(), a.or_none<"heavy">(),
                          a.or_none<"signal">());
    }
    next = install(f, std::move(next));
  }
  Py_RETURN_NONE;
}

namespace {

// commit_state's work once `state` is known to be a State, for a caller that holds the gate
// (which commit_state would only pass again). The replaced state is dropped when this
// returns, after the access is released.
void install_state(MorvaEngineFields& f, PyObject* state) {
  Ref replaced;
  {
    BorrowFlag::Exclusive access(f.access);
    replaced = install(f, Ref::borrow(state));
  }
}

}  // namespace

PyObject* commit_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  auto a = parse<MorvaEngineCommitState>(args, nargs, kwnames);
  MorvaEngineFields& f = engine_fields(self);
  Ref replaced;
  {
    CommitGate::Hold gate(f.gate);
    BorrowFlag::Exclusive access(f.access);
    PyObject* state = a.convert<"state">(as_state);
    replaced = install(f, Ref::borrow(state));
  }
  Py_RETURN_NONE;
}

void commit_staged(PyObject* engine, Ref data, Ref heavy, Ref signals, PyObject* tx) {
  static InternedStr state_name{"state"};
  static InternedStr update_name{"update"};
  static InternedStr commit_name{"commit_state"};
  check_stack("while committing a transaction");
  MorvaEngineFields& f = engine_fields(engine);
  // The state read, its successor and commit_state's result are dropped after the gate is
  // released: the last reference to a replaced state may run finalizers.
  Ref state, next, committed;
  CommitGate::Hold gate(f.gate);
  bool own_engine = is_exact_engine(engine);
  state = own_engine ? current_state(engine)
                     : Ref::checked(PyObject_GetAttr(engine, state_name.get()));
  if (is_exact_state(state.get())) {
    // Nothing staged in a zone and an empty container for it update alike.
    CallDepth depth;
    next = update_state(state.get(), data.get(), heavy.get(), signals.get());
  } else {
    next = Ref::checked(PyObject_CallMethodObjArgs(
        state.get(), update_name.get(), staged_container(data, PyDict_New),
        staged_container(heavy, PyDict_New), staged_container(signals, empty_list), nullptr));
  }
  validate(f, next.get());
  bool direct = own_engine && PyObject_TypeCheck(next.get(), state_type());
  // The room for the messages is made before the state is installed, so that once it is, the
  // move below cannot fail. An overriding commit_state runs Python code that may still make
  // the transaction's message list, so for it the room is made whatever the list is now.
  std::optional<MessageQueue::Room> room;
  if (transaction_has_outbox(tx) || !direct) room.emplace();
  if (direct) {
    CallDepth depth;
    install_state(f, next.get());  // the gate it would pass again is held right here
  } else {
    committed =
        Ref::checked(PyObject_CallMethodObjArgs(engine, commit_name.get(), next.get(), nullptr));
  }
  // Read now: a collector made by Python code during the commit adds to this same list.
  if (SharedMessageList list = transaction_outbox(tx); list && room) {
    f.queue.append(*list, *room);
  }
}

}  // namespace morva
