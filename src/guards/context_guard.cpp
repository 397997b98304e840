// ContextGuard: attribute and item access to a target, checked against the declared contract
// and answered with values wrapped so that the contract keeps applying one level down. With a
// transaction, non-scalar values are the transaction's shadow copies and writes are reported to
// its write log before they are applied.
#include "guards/context_guard.hpp"

#include <structmember.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/convert.hpp"
#include "binding/stack_guard.hpp"
#include "binding/type.hpp"
#include "engine/transaction.hpp"
#include "guards/access_path.hpp"
#include "guards/contract.hpp"
#include "guards/recent_names.hpp"
#include "guards/value_types.hpp"
#include "structures/frozen_dict.hpp"
#include "tracked/frozen_list.hpp"
#include "tracked/tracked_dict.hpp"
#include "tracked/tracked_list.hpp"

namespace morva {
namespace {

struct GuardFields {
  // Reads hold it shared, writes exclusively, each for its whole duration.
  BorrowFlag access;
  // Immutable, so nested guards share it instead of copying the name lists.
  std::shared_ptr<const Contract> contract;
  std::string prefix;  // path of the target from the root guard (UTF-8); empty at the root
  Ref target;
  Ref tx;   // a Transaction, or null
  Ref log;  // free slot for Python, never read here; null when unset
  // Guards `log`: its getter takes no access (it reads no target), so a write on another
  // thread could otherwise replace the reference it is taking.
  FtMutex log_lock;
  bool is_admin;
  bool strict_mode;
  // What the last checks found for their (exact str) names; see repeated_read.
  RecentNames recent;

  GuardFields(std::shared_ptr<const Contract> c, std::string p, Ref t, Ref x, bool admin,
              bool strict)
      : contract(std::move(c)),
        prefix(std::move(p)),
        target(std::move(t)),
        tx(std::move(x)),
        is_admin(admin),
        strict_mode(strict) {}
};

// The instance dictionary pointer sits right after the C++ fields (tp_dictoffset).
constexpr Py_ssize_t kDictOffset = sizeof(Box<GuardFields>);

GuardFields& guard(PyObject* self) { return fields<GuardFields>(self); }
PyObject** dict_slot(PyObject* self) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + kDictOffset);
}

// A guard may only use its transaction when nothing else of that transaction is running; it
// never waits for it (its caller may be the very operation that holds it).
constexpr const char* kTransactionBusy =
    "ContextGuard cannot use its Transaction while another operation of that Transaction is "
    "running";

[[noreturn]] void raise_illegal(const AccessPath& path, bool write) {
  Ref text = path.str();
  raise_format(PyExc_PermissionError, write ? "Illegal Write: '%U'" : "Illegal Read: '%U'",
               text.get());
}

void check_access(const GuardFields& g, const AccessPath& path, bool write) {
  if (g.is_admin || g.contract->permits(path.view(), write)) return;
  raise_illegal(path, write);
}

bool write_permitted(const GuardFields& g, const AccessPath& path) {
  return g.is_admin || g.contract->permits(path.view(), true);
}

// A guard whose target is another guard forwards each access through a native call, and Python
// can build such chains of any length: every forwarding entry checks the real C stack first.
void check_depth() { check_stack("while accessing the target of a ContextGuard"); }

// ---- what reads hand out -----------------------------------------------------------------

Ref make_guard(PyTypeObject* type, std::shared_ptr<const Contract> contract, std::string prefix,
               Ref target, Ref tx, bool admin, bool strict) {
  return create<GuardFields>(type, std::move(contract), std::move(prefix), std::move(target),
                             std::move(tx), admin, strict);
}

Ref tracked(PyTypeObject* type, PyObject* shadow, PyObject* tx, PyObject* path) {
  return Ref::checked(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(type), shadow, tx,
                                                   path, nullptr));
}

// Rules, first that applies: scalar type names and callables as they are; without a
// transaction the value itself; otherwise the transaction's shadow copy, as a tracked container
// when the path is writable, a frozen one when not, or a nested guard for any other type.
Ref hand_out(const GuardFields& g, Ref value, const AccessPath& path) {
  PyObject* v = value.get();
  if (!g.tx || is_builtin_scalar(v) || PyCallable_Check(v)) return value;
  Ref name_holder;
  std::string_view name;
  bool has_name = type_name_of(v, name_holder, name);
  if (has_name && is_scalar_type_name(name)) return value;
  PyObject* tx = g.tx.get();
  Ref path_str = path.str();
  Ref shadow;
  {
    BorrowFlag::Exclusive hold(transaction_access(tx), {kTransactionBusy});
    shadow = transaction_shadow(tx, v, path_str.get());
  }
  if (has_name && name == "list") {
    as_list(shadow.get());
    if (!write_permitted(g, path)) return make_frozen_list(std::move(shadow));
    return tracked(tracked_list_type(), shadow.get(), tx, path_str.get());
  }
  if (has_name && name == "dict") {
    as_dict(shadow.get());
    if (!write_permitted(g, path)) return make_frozen_dict(std::move(shadow));
    return tracked(tracked_dict_type(), shadow.get(), tx, path_str.get());
  }
  // The constructor's strict input check is not repeated: the contract was checked at the root.
  return make_guard(context_guard_type(), g.contract, std::string(path.view()), std::move(shadow),
                    Ref::borrow(tx), g.is_admin, g.strict_mode);
}

// What a write stores: the target of a guard, the `_data` of a wrapper, else the value itself.
Ref unwrap_value(PyObject* value) {
  static InternedStr target_name{"_target"};
  static InternedStr data_name{"_data"};
  if (has_no_wrapper_attributes(value)) return Ref::borrow(value);
  // An exact guard's `_target` is its read-only property (the type is immutable); reading it
  // directly also works while that guard is itself being written.
  if (Py_TYPE(value) == context_guard_type()) return Ref::borrow(guard(value).target.get());
  if (Ref inner = optional_attribute(value, target_name.get())) return inner;
  if (Ref inner = optional_attribute(value, data_name.get())) return inner;
  return Ref::borrow(value);
}

// ---- reads -------------------------------------------------------------------------------

// `name` is an exact str (see exact_name) and `text` its UTF-8.
Ref attribute_read(const GuardFields& g, PyObject* name, std::string_view text) {
  if (text.starts_with('_')) {
    if (g.strict_mode) {
      raise_format(PyExc_PermissionError,
                   "Access to private attribute '%U' denied in Strict Mode", name);
    }
    return Ref::checked(PyObject_GetAttr(g.target.get(), name));
  }
  AccessPath path(g.prefix, name, text);
  check_access(g, path, false);
  Ref value = Ref::checked(PyObject_GetAttr(g.target.get(), name));
  return hand_out(g, std::move(value), path);
}

// The instance dictionary, if the guard has one yet. Free-threaded, another thread may make it
// or assign a new one (`guard.__dict__ = ...`, which the interpreter does in a critical section
// of the guard): it is taken, with a reference of its own, in one too.
Ref instance_dict(PyObject* self) {
  CriticalSection section(self);
  return Ref::borrow(std::atomic_ref<PyObject*>(*dict_slot(self)).load(std::memory_order_acquire));
}

// Whether the normal lookup on the guard could find `name`. For an exact guard (whose type is
// immutable and declares only `log` and underscore names) it can only be the instance
// dictionary; answering here spares the common read a raised-and-cleared AttributeError.
bool normal_lookup_may_find(PyObject* self, PyObject* name, std::string_view text) {
  if (Py_TYPE(self) != context_guard_type()) return true;
  if (text.empty() || text[0] == '_' || text == "log") return true;
  Ref dict = instance_dict(self);
  return dict && dict_get(dict.get(), name);
}

// The guard's own attributes (log, _target, the standard ones) first; anything else is a
// guarded read of the target.
// The common read: an exact guard with no instance dictionary, asked again for a public name
// it already found readable (so the normal lookup cannot find it, and the check would pass),
// handing out a value that needs no wrapping. Null when that does not apply and nothing was read.
Ref repeated_read(PyObject* self, GuardFields& g, PyObject* name) {
  if (Py_TYPE(self) != context_guard_type() ||
      std::atomic_ref<PyObject*>(*dict_slot(self)).load(std::memory_order_relaxed) != nullptr ||
      !g.recent.knows(name, RecentNames::kReadableAsAttribute)) {
    return Ref();
  }
  Ref value = Ref::checked(PyObject_GetAttr(g.target.get(), name));
  if (!g.tx || is_builtin_scalar(value.get())) return value;
  std::string scratch;
  AccessPath path(g.prefix, name, utf8_lossless(name, scratch));
  return hand_out(g, std::move(value), path);
}

PyObject* getattro(PyObject* self, PyObject* name) {
  check_depth();
  GuardFields& g = guard(self);
  BorrowFlag::Shared access(g.access);
  if (Ref value = repeated_read(self, g, name)) return value.release();
  Ref holder;
  name = exact_name(name, holder);
  std::string scratch;
  std::string_view text = utf8_lossless(name, scratch);
  if (normal_lookup_may_find(self, name, text)) {
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found != nullptr || !clear_if_attribute_error()) return check(found);
    return attribute_read(g, name, text).release();
  }
  // Only names that the normal lookup cannot find, and that passed the check, are remembered.
  Ref value = attribute_read(g, name, text);
  g.recent.remember(name, RecentNames::kReadable | RecentNames::kReadableAsAttribute);
  return value.release();
}

// Whether item lookup on the target can do anything but fail: a string key on an object
// without item access then goes straight to the attribute read.
bool has_item_lookup(PyObject* target) {
  if (PyType_Check(target)) return true;  // __class_getitem__
  PyTypeObject* type = Py_TYPE(target);
  return PyType_GetSlot(type, Py_mp_subscript) != nullptr ||
         PyType_GetSlot(type, Py_sq_item) != nullptr;
}

// The target's item, or null with the error set. An exact dict missing a string key answers
// null with no error at all, the common way to reach the attribute fallback.
Ref lookup_item(PyObject* target, PyObject* key) {
  if (PyUnicode_Check(key)) {
    if (PyDict_CheckExact(target)) return dict_get(target, key);
    if (!has_item_lookup(target)) return Ref();
  }
  return Ref::steal(PyObject_GetItem(target, key));
}

// The present item is fetched before the check; a string key whose lookup fails becomes an
// attribute read, any other failed key reports the target's own error.
PyObject* getitem(PyObject* self, PyObject* raw_key) {
  check_depth();
  GuardFields& g = guard(self);
  BorrowFlag::Shared access(g.access);
  ItemKey key(raw_key);
  Ref value = lookup_item(g.target.get(), key.get());
  if (!value) {
    if (!key.is_name()) throw PyErrorSet{};
    if (PyErr_Occurred() && !clear_if_exception()) throw PyErrorSet{};
    std::string scratch;
    return attribute_read(g, key.get(), utf8_lossless(key.get(), scratch)).release();
  }
  if (key.is_exact() && g.recent.knows(key.get(), RecentNames::kReadable) &&
      (!g.tx || is_builtin_scalar(value.get()))) {
    return value.release();  // the same check passed before, and nothing to wrap
  }
  AccessPath path(g.prefix, key);
  check_access(g, path, false);
  if (key.is_exact()) g.recent.remember(key.get(), RecentNames::kReadable);
  return hand_out(g, std::move(value), path).release();
}

int contains(PyObject* self, PyObject* key) {
  check_depth();
  GuardFields& g = guard(self);
  BorrowFlag::Shared access(g.access);
  return check(PySequence_Contains(g.target.get(), key));
}

PyObject* iter(PyObject* self) {
  static InternedStr iter_name{"__iter__"};
  check_depth();
  GuardFields& g = guard(self);
  BorrowFlag::Shared access(g.access);
  return check(PyObject_CallMethodObjArgs(g.target.get(), iter_name.get(), nullptr));
}

// ---- writes ------------------------------------------------------------------------------

// References a write lets go of. Declared before the exclusive access, they are released after
// it, so finalizers they trigger do not find the guard busy.
struct Dropped {
  Ref old_value;
  Ref new_value;
  Ref log;
};

void report_write(const GuardFields& g, const AccessPath& path, const char* op, PyObject* new_value,
                  PyObject* old_value, PyObject* key) {
  PyObject* tx = g.tx.get();
  Ref path_str = path.str();
  BorrowFlag::Exclusive hold(transaction_access(tx), {kTransactionBusy});
  transaction_log_held(tx, path_str.get(), op, new_value, old_value, g.target.get(), key);
}

// The rest of an attribute write once it is permitted: the old value, the report to the
// transaction when `logged_path` is given, then the store.
// `log` takes `value` (None empties it); what it held is dropped with the rest, later.
void replace_log(GuardFields& g, PyObject* value, Dropped& dropped) {
  Ref next = value != Py_None ? Ref::borrow(value) : Ref();
  {
    FtLock hold(g.log_lock);
    std::swap(g.log, next);
  }
  dropped.log = std::move(next);
}

void store_attribute(GuardFields& g, PyObject* name, PyObject* value, Dropped& dropped,
                     const AccessPath* logged_path) {
  PyObject* target = g.target.get();
  dropped.old_value = optional_attribute(target, name);
  if (!dropped.old_value) dropped.old_value = Ref::borrow(Py_None);
  dropped.new_value = unwrap_value(value);
  if (logged_path != nullptr) {
    report_write(g, *logged_path, "SET", dropped.new_value.get(), dropped.old_value.get(), name);
  }
  check(PyObject_SetAttr(target, name, dropped.new_value.get()));
}

// `guard.name = value`, and `guard[name] = value` for a string key; `name` is an exact str.
void attribute_write(GuardFields& g, PyObject* name, PyObject* value, Dropped& dropped) {
  // Without a transaction nothing but the check needs the name's text.
  if (!g.tx && g.recent.knows(name, RecentNames::kWritable)) {
    store_attribute(g, name, value, dropped, nullptr);
    return;
  }
  std::string scratch;
  std::string_view text = utf8_lossless(name, scratch);
  if (text == "log") {
    replace_log(g, value, dropped);
    return;
  }
  AccessPath path(g.prefix, name, text);
  check_access(g, path, true);
  g.recent.remember(name, RecentNames::kWritable);
  // Heavy-zone names are bulk payloads: written through, never logged.
  bool logged = g.tx && zone_of(text) != Zone::Heavy;
  store_attribute(g, name, value, dropped, logged ? &path : nullptr);
}

void item_write(GuardFields& g, const ItemKey& key, PyObject* value, Dropped& dropped) {
  std::optional<AccessPath> path;
  // Without a transaction nothing but the check needs the path.
  if (g.tx || !key.is_exact() || !g.recent.knows(key.get(), RecentNames::kWritable)) {
    path.emplace(g.prefix, key);
    check_access(g, *path, true);
    if (key.is_exact()) g.recent.remember(key.get(), RecentNames::kWritable);
  }
  PyObject* target = g.target.get();
  dropped.new_value = unwrap_value(value);
  dropped.old_value = Ref::steal(PyObject_GetItem(target, key.get()));
  if (!dropped.old_value) {
    if (!clear_if_exception()) throw PyErrorSet{};
    dropped.old_value = Ref::borrow(Py_None);
  }
  if (g.tx) {
    Ref key_text = path->key_text();
    report_write(g, *path, "SET_ITEM", dropped.new_value.get(), dropped.old_value.get(),
                 key_text.get());
  }
  check(PyObject_SetItem(target, key.get(), dropped.new_value.get()));
}

int setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (value == nullptr) refuse_attribute_delete();
  check_depth();
  GuardFields& g = guard(self);
  Dropped dropped;
  BorrowFlag::Exclusive access(g.access);
  Ref holder;
  attribute_write(g, exact_name(name, holder), value, dropped);
  return 0;
}

int setitem(PyObject* self, PyObject* key, PyObject* value) {
  if (value == nullptr) refuse_item_delete();
  check_depth();
  GuardFields& g = guard(self);
  Dropped dropped;
  BorrowFlag::Exclusive access(g.access);
  ItemKey item(key);
  if (item.is_name()) {
    attribute_write(g, item.get(), value, dropped);
  } else {
    item_write(g, item, value, dropped);
  }
  return 0;
}

// ---- construction ------------------------------------------------------------------------

void collect_names(PyObject* iterable, Contract::Builder& builder, bool inputs) {
  Ref it = Ref::steal(PyObject_GetIter(iterable));
  if (!it) {
    if (!clear_if(PyExc_TypeError)) throw PyErrorSet{};
    raise(PyExc_TypeError, "Expected iterable for inputs/outputs");
  }
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    std::string scratch;
    std::string_view text = utf8_lossless(as_str(item.get()), scratch);
    if (inputs) {
      builder.add_input(text);
    } else {
      builder.add_output(text);
    }
  }
  if (PyErr_Occurred()) throw PyErrorSet{};
}

// Strict guards may not read the control zones (signals, commands, meta) at all.
void check_control_inputs(const Contract& contract) {
  std::size_t i = contract.first_control_zone_input();
  if (i == Contract::npos) return;
  Ref name = make_str_lossless(contract.input(i));
  raise_format(PyExc_PermissionError,
               "SECURITY VIOLATION: Input '%U' belongs to restricted Control Zone %s.", name.get(),
               zone_name(zone_of(contract.input(i))));
}

PyObject* as_transaction(PyObject* value) {
  return as_instance(value, transaction_type(), "Transaction");
}

using ContextGuardNew =
    Signature<"ContextGuard.__new__", "target", "inputs", "outputs", "path_prefix=None", "tx=None",
              "is_admin=False", "strict_mode=False">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<ContextGuardNew>(args, kwargs);
  std::string prefix;
  if (a.present<"path_prefix">()) {
    std::string scratch;
    prefix = std::string(utf8_lossless(a.convert<"path_prefix">(as_str), scratch));
  }
  PyObject* tx = a.present<"tx">() ? a.convert<"tx">(as_transaction) : nullptr;
  bool admin = a.convert_or<"is_admin">(to_bool);
  bool strict = a.convert_or<"strict_mode">(to_bool);
  Contract::Builder builder;
  collect_names(a.get<"inputs">(), builder, true);
  collect_names(a.get<"outputs">(), builder, false);
  std::shared_ptr<const Contract> contract = std::move(builder).build();
  if (strict) check_control_inputs(*contract);
  return make_guard(type, std::move(contract), std::move(prefix), Ref::borrow(a.get<"target">()),
                    Ref::borrow(tx), admin, strict)
      .release();
}

// The instance dict goes with the fields, inside the same deferred release.
void destroy(PyObject* self) {
  if (PyObject* dict = std::exchange(*dict_slot(self), nullptr)) release_owned(dict);
  destroy_box<GuardFields>(self);
}

void dealloc(PyObject* self) { deferred_dealloc<destroy>(self); }

// ---- properties --------------------------------------------------------------------------

PyObject* get_target(PyObject* self, void*) { return guard(self).target.new_ref(); }

PyObject* get_log(PyObject* self, void*) {
  GuardFields& g = guard(self);
  FtLock hold(g.log_lock);
  return g.log ? g.log.new_ref() : Py_NewRef(Py_None);
}

// Reached only through the descriptor itself (`guard.log = x` goes through setattro).
int set_log(PyObject* self, PyObject* value, void*) {
  GuardFields& g = guard(self);
  Dropped dropped;
  BorrowFlag::Exclusive access(g.access);
  replace_log(g, value, dropped);
  return 0;
}

PyTypeObject* build() {
  static PyMemberDef members[] = {
      {"__dictoffset__", T_PYSSIZET, kDictOffset, READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  static PyGetSetDef props[] = {
      getter<get_target>("_target"),
      getset<get_log, set_log>("log"),
      {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.ContextGuard",
      .basicsize = static_cast<int>(kDictOffset + sizeof(PyObject*)),
      .subclassable = true,
      .slots = join_slots(
          {
              doc_slot<ContextGuardNew>(),
              slot<new_>(Py_tp_new),
              raw_slot(Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)),
              slot<getattro>(Py_tp_getattro),
              slot<setattro>(Py_tp_setattro),
              slot<iter>(Py_tp_iter),
              slot<contains>(Py_sq_contains),
              raw_slot(Py_tp_members, members),
              raw_slot(Py_tp_getset, props),
          },
          item_read_slots<getitem>(), item_write_slots<setitem>()),
  });
}

}  // namespace

PyTypeObject* context_guard_type() {
  return cached_type<build>();
}

}  // namespace morva
