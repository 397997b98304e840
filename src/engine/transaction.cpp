// Transaction: staging with dict-merge semantics, the timed `with` block handing its staged
// changes to the engine's commit (state_commits.cpp), shadow copies and the write-log hook.
#include "engine/transaction.hpp"

#include <chrono>

#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/convert.hpp"
#include "binding/deep_copy.hpp"
#include "binding/stack_guard.hpp"
#include "binding/type.hpp"
#include "engine/engine.hpp"
#include "engine/outbox_collector.hpp"
#include "errors/exceptions.hpp"
#include "structures/message_list.hpp"

namespace morva {
namespace {

using Clock = std::chrono::steady_clock;

struct TransactionFields {
  // __enter__ holds it exclusively; every other operation shared (__exit__ for its whole run,
  // so a schema that re-enters __enter__ gets "Already borrowed").
  BorrowFlag access;
  uint64_t write_timeout_ms;
  Ref engine;  // a MorvaEngine, fixed for the transaction's life
  // The staging: each zone's container made when first needed (most transactions stage data
  // only, and a commit that runs the engine's own code needs no empty containers), replaced
  // whole by every update() and never changed in place, never cleared: every successful exit
  // applies it again.
  struct Staging {
    Ref data;     // dict
    Ref heavy;    // dict
    Ref signals;  // list
  };
  // Guards `staging` and `outbox`: update() and __exit__ run under shared access, so two
  // threads may stage into, or commit, one transaction at once.
  FtMutex staging_lock;
  Staging staging;
  // Made on the first read of `outbox`: most transactions never send a message, and until a
  // collector exists nothing can be added, so an absent list is an empty one.
  SharedMessageList outbox;
  bool started = false;
  Clock::time_point start_time;

  TransactionFields(Ref engine_ref, uint64_t timeout)
      : write_timeout_ms(timeout), engine(std::move(engine_ref)) {}

  // The staged containers, with references of the caller's own.
  Staging staged() {
    FtLock hold(staging_lock);
    return {Ref::borrow(staging.data.get()), Ref::borrow(staging.heavy.get()),
            Ref::borrow(staging.signals.get())};
  }
  // Puts `next` in place of the staging if it is still `base`; `next` then holds what was
  // replaced, for the caller to drop.
  bool replace_staging(const Staging& base, Staging& next) {
    FtLock hold(staging_lock);
    if (staging.data.get() != base.data.get() || staging.heavy.get() != base.heavy.get() ||
        staging.signals.get() != base.signals.get()) {
      return false;
    }
    std::swap(staging.data, next.data);
    std::swap(staging.heavy, next.heavy);
    std::swap(staging.signals, next.signals);
    return true;
  }
};

TransactionFields& tx_fields(PyObject* self) { return fields<TransactionFields>(self); }

PyObject* as_engine(PyObject* value) { return as_instance(value, engine_type(), "MorvaEngine"); }

using TransactionNew = Signature<"Transaction.__new__", "engine=None", "write_timeout_ms=5000">;
using TransactionUpdate = Signature<"Transaction.update", "data=None", "heavy=None", "signal=None">;
using TransactionExit =
    Signature<"Transaction.__exit__", "_exc_type=None", "_exc_value=None", "_traceback=None">;
using TransactionGetShadow = Signature<"Transaction.get_shadow", "val", "_path=None">;
using TransactionLogInternal =
    Signature<"Transaction.log_internal", "_path", "_op", "_new_val=None", "_old_val=None",
              "_obj_ref=None", "_key=None">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<TransactionNew>(args, kwargs);
  Ref engine = a.present<"engine">() ? Ref::borrow(a.convert<"engine">(as_engine)) : Ref();
  uint64_t timeout = a.convert_or<"write_timeout_ms">(to_u64);
  if (!engine) engine = make_engine();
  return create<TransactionFields>(type, std::move(engine), timeout).release();
}

// Staging. One call of update() changes the staging whole or not at all: what it would stage
// is built aside (copies of the staged containers with the new items merged in), and the
// copies take the place of the staged containers together, by swaps that cannot fail, only
// once every one is whole. A failure on the way (memory, or a mapping whose own code raises)
// leaves the staging as it was.
//
// The items of a mapping that is not an exact dict are first collected into a new dict with the
// host's dict-merge rules (its keys(), __getitem__ or pairs), so its code runs once. That code,
// or a key's __eq__ during the merge, may stage into this same transaction; the merge is then
// made again over what was staged meanwhile, so nothing staged by anyone is lost.

// The items of `value` as a dict: an exact dict itself, else a new dict updated from it.
Ref items_of(PyObject* value) {
  static InternedStr update_name{"update"};
  if (PyDict_CheckExact(value)) return Ref::borrow(value);
  check_stack("in Transaction.update");
  Ref items = Ref::checked(PyDict_New());
  Ref ignored =
      Ref::checked(PyObject_CallMethodObjArgs(items.get(), update_name.get(), value, nullptr));
  return items;
}

// `staged` (which may not exist yet) with `items` merged in, as a new dict. The first staging
// is simply a copy: the same items in the same order as merging them into an empty dict.
Ref merged(PyObject* staged, PyObject* items) {
  Ref out = Ref::checked(PyDict_Copy(staged != nullptr ? staged : items));
  if (staged != nullptr) check(PyDict_Update(out.get(), items));
  return out;
}

// `staged` (which may not exist yet) with `signal` appended, as a new list.
Ref appended(PyObject* staged, PyObject* signal) {
  Ref out = Ref::checked(staged != nullptr ? PyList_GetSlice(staged, 0, PyList_Size(staged))
                                           : PyList_New(0));
  check(PyList_Append(out.get(), signal));
  return out;
}

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<TransactionUpdate>(args, nargs, kwnames);
  TransactionFields& t = tx_fields(self);
  BorrowFlag::Shared access(t.access);
  Ref data = a.present<"data">() ? items_of(a.get<"data">()) : Ref();
  Ref heavy = a.present<"heavy">() ? items_of(a.get<"heavy">()) : Ref();
  PyObject* signal = a.present<"signal">() ? a.get<"signal">() : nullptr;
  // What is replaced is dropped after the swap (a staged value's finalizer may run then). The
  // base is held while the merges may run Python code, so no address compared after them can
  // have been reused by another container.
  TransactionFields::Staging next;
  for (;;) {
    TransactionFields::Staging base = t.staged();
    next.data = data ? merged(base.data.get(), data.get()) : Ref::borrow(base.data.get());
    next.heavy = heavy ? merged(base.heavy.get(), heavy.get()) : Ref::borrow(base.heavy.get());
    next.signals =
        signal ? appended(base.signals.get(), signal) : Ref::borrow(base.signals.get());
    if (t.replace_staging(base, next)) break;
  }
  Py_RETURN_NONE;
}

PyObject* enter(PyObject* self, PyObject*) {
  TransactionFields& t = tx_fields(self);
  BorrowFlag::Exclusive access(t.access);
  t.start_time = Clock::now();
  t.started = true;
  return Py_NewRef(self);
}

// Whole milliseconds since __enter__, truncated; equal to the limit still passes.
void check_write_timeout(const TransactionFields& t) {
  if (!t.started) return;
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t.start_time);
  auto ms = static_cast<unsigned long long>(elapsed.count());
  if (ms <= t.write_timeout_ms) return;
  raise_format(write_timeout_error(), "Transaction timed out after %llums (limit %llums)", ms,
               static_cast<unsigned long long>(t.write_timeout_ms));
}

PyObject* exit_(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<TransactionExit>(args, nargs, kwnames);
  TransactionFields& t = tx_fields(self);
  BorrowFlag::Shared access(t.access);
  if (a.present<"_exc_type">()) Py_RETURN_NONE;
  check_write_timeout(t);
  TransactionFields::Staging staged = t.staged();
  commit_staged(t.engine.get(), std::move(staged.data), std::move(staged.heavy),
                std::move(staged.signals), self);
  Py_RETURN_NONE;
}

PyObject* path_or_none(PyObject* value) { return value == Py_None ? value : as_str(value); }

PyObject* get_shadow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<TransactionGetShadow>(args, nargs, kwnames);
  check_stack("while making a shadow copy");
  BorrowFlag::Shared access(tx_fields(self).access);
  a.convert_or<"_path">(path_or_none, Py_None);
  return deep_copy(a.get<"val">()).release();
}

PyObject* log_internal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  auto a = parse<TransactionLogInternal>(args, nargs, kwnames);
  BorrowFlag::Shared access(tx_fields(self).access);
  a.convert<"_path">(as_str);
  a.convert<"_op">(as_str);
  a.convert_or<"_key">(path_or_none, Py_None);
  Py_RETURN_NONE;
}

PyObject* get_outbox(PyObject* self, void*) {
  TransactionFields& t = tx_fields(self);
  BorrowFlag::Shared access(t.access);
  SharedMessageList list;
  {
    FtLock hold(t.staging_lock);
    if (!t.outbox) t.outbox = std::make_shared<MessageList>();
    list = t.outbox;
  }
  return make_outbox_collector(std::move(list)).release();
}

PyObject* get_write_timeout_ms(PyObject* self, void*) {
  TransactionFields& t = tx_fields(self);
  BorrowFlag::Shared access(t.access);
  return check(PyLong_FromUnsignedLongLong(t.write_timeout_ms));
}

// The message list is a std::shared_ptr, whose destructor must not be on the stack while a
// finalizer runs (release.hpp): a transaction that made one has its fields collected. Most
// never read `outbox`, and theirs hold only references, which are released on the spot.
void dealloc(PyObject* self) {
  if (tx_fields(self).outbox) {
    deferred_dealloc<destroy_box<TransactionFields>, FieldRelease::kCollect>(self);
  } else {
    deferred_dealloc<destroy_box<TransactionFields>, FieldRelease::kDirect>(self);
  }
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<update, TransactionUpdate>(),
      method_noargs<enter, "__enter__">(),
      method<exit_, TransactionExit>(),
      method<get_shadow, TransactionGetShadow, "Internal: Get shadow copy for CoW/Tracking">(),
      method<log_internal, TransactionLogInternal, "Internal: Log operation for Audit">(),
      end_methods(),
  };
  static PyGetSetDef props[] = {
      getter<get_outbox>("outbox"),
      getter<get_write_timeout_ms>("write_timeout_ms"),
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.Transaction",
      .basicsize = sizeof(Box<TransactionFields>),
      .slots = {
          doc_slot<TransactionNew>(),
          slot<new_>(Py_tp_new),
          raw_slot(Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)),
          raw_slot(Py_tp_methods, methods),
          raw_slot(Py_tp_getset, props),
      },
  });
}

}  // namespace

PyTypeObject* transaction_type() {
  return cached_type<build>();
}

Ref make_transaction(Ref engine, uint64_t write_timeout_ms) {
  return create<TransactionFields>(transaction_type(), std::move(engine), write_timeout_ms);
}

void transaction_log_write(PyObject* tx, PyObject* path, const char* op, PyObject* new_val,
                           PyObject* old_val, PyObject* obj_ref, PyObject* key) {
  // Holding the transaction shared keeps the contract that a recording hook will rely on (no
  // write is reported while __enter__ changes it).
  BorrowFlag::Shared access(tx_fields(tx).access);
  transaction_log_held(tx, path, op, new_val, old_val, obj_ref, key);
}

BorrowFlag& transaction_access(PyObject* tx) { return tx_fields(tx).access; }

SharedMessageList transaction_outbox(PyObject* tx) {
  TransactionFields& t = tx_fields(tx);
  FtLock hold(t.staging_lock);
  return t.outbox;
}

bool transaction_has_outbox(PyObject* tx) {
  TransactionFields& t = tx_fields(tx);
  FtLock hold(t.staging_lock);
  return t.outbox != nullptr;
}

Ref transaction_shadow(PyObject*, PyObject* value, PyObject*) { return deep_copy(value); }

void transaction_log_held(PyObject*, PyObject*, const char*, PyObject*, PyObject*, PyObject*,
                          PyObject*) {
  // The hook records nothing yet.
}

}  // namespace morva
