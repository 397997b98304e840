// AuditSystem: counts failures per key, escalates them by the recipe's level (exceptions, or a
// warning issued through the host's warnings machinery) and writes every event to its ring.
#include "audit/audit_system.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "audit/audit_log_entry.hpp"
#include "audit/audit_recipe.hpp"
#include "audit/failure_counts.hpp"
#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/convert.hpp"
#include "binding/stack_text.hpp"
#include "binding/text.hpp"
#include "binding/type.hpp"
#include "errors/exceptions.hpp"
#include "log/ring_buffer.hpp"

namespace morva {
namespace {

struct AuditSystemFields {
  AuditSystemFields(const RecipeValues& r, uint64_t capacity) : recipe(r), log(capacity) {}

  // Exclusive for log_fail / log_success / log, shared for the readers. Held while the
  // warning is issued, so a warning handler that calls back into this object is refused.
  BorrowFlag access;
  const RecipeValues recipe;  // copied at construction; the recipe object may change later
  FailureCounts counts;
  RingBuffer<LogRecord> log;

  // The clock is read before the ring's lock is taken; the texts are copied into the slot
  // under it, reusing the storage of the entry being overwritten.
  void write(std::string_view key, std::string_view message) {
    double now = wall_clock_seconds();
    log.write([&](LogRecord& slot) {
      slot.key.assign(key);
      slot.message.assign(message);
      slot.timestamp = now;
    });
  }
};

AuditSystemFields& audit_of(PyObject* self) { return fields<AuditSystemFields>(self); }

// "WARNING: Approaching threshold (4294967295/4294967295)" and the other entries fit inline.
using Text = StackText<64>;

using AuditSystemNew = Signature<"AuditSystem.__new__", "recipe=None", "capacity=1000">;
using AuditSystemLogFail = Signature<"AuditSystem.log_fail", "key">;
using AuditSystemLogSuccess = Signature<"AuditSystem.log_success", "key">;
using AuditSystemGetCount = Signature<"AuditSystem.get_count", "key">;
using AuditSystemLog = Signature<"AuditSystem.log", "key", "message">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<AuditSystemNew>(args, kwargs);
  RecipeValues recipe;
  if (a.present<"recipe">()) {
    recipe = recipe_values(a.convert<"recipe">([](PyObject* obj) {
      return as_instance(obj, audit_recipe_type(), "AuditRecipe");
    }));
  }
  uint64_t capacity = a.convert_or<"capacity">(to_u64);
  return create<AuditSystemFields>(type, recipe, capacity).release();
}

// Keys and messages are any str, lone surrogates included: they are kept as UTF-8 with the
// surrogates passed through, so every text the system gives back (counts by key, log entries,
// exception messages) is the caller's own. The exception is made whole here, before the failure
// it reports is counted: raising a ready instance needs no memory.
Ref make_error(PyObject* type, const std::string& message) {
  Ref text = make_str_lossless(message);
  return Ref::checked(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
}

// The per-key methods: the single `key` argument (UTF-8, valid for the call), then `Body`
// under the access the operation needs.
template <typename Sig, typename Access, PyObject* (*Body)(AuditSystemFields&, std::string_view)>
PyObject* with_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<Sig>(args, nargs, kwnames);
  std::string scratch;
  std::string_view key = utf8_lossless(a.template convert<"key">(as_str), scratch);
  AuditSystemFields& s = audit_of(self);
  Access access(s.access);
  return Body(s, key);
}

// What the recipe's level makes of the `count`-th failure of `key`: an exception to raise, or
// a warning with the "WARN: " entry that follows it. Made in full before anything changes.
struct Escalation {
  Ref error;
  std::string warning;  // empty: no warning
  LogRecord warn_entry;
};

Escalation escalation(const RecipeValues& r, std::string_view key, uint32_t count) {
  Escalation e;
  switch (r.level) {
    case AuditLevelValue::Stop:
      e.error = make_error(audit_stop_error(),
                           "Audit Stop: " + std::string(key) + " triggered immediate halt");
      break;
    case AuditLevelValue::Abort:
      e.error = make_error(audit_abort_error(),
                           "Audit Abort: " + std::string(key) + " operation cancelled");
      break;
    case AuditLevelValue::Block:
      if (count > r.threshold_max) {
        e.error = make_error(audit_block_error(), "Audit Blocked: " + std::string(key) +
                                                      " exceeded threshold " +
                                                      std::to_string(r.threshold_max));
      } else if (r.threshold_min >= 1 && count >= r.threshold_min) {
        Text warning;
        warning << "WARNING: Approaching threshold (" << count << "/" << r.threshold_max << ")";
        e.warning = warning.view();
        e.warn_entry.key = key;
        e.warn_entry.message = "WARN: " + std::string(warning.view().substr(9));
      }
      break;
    case AuditLevelValue::Count:
      break;
  }
  return e;
}

// A failure is counted and its "Fail #" entry written together or not at all: everything that
// needs memory (the key's counter, the escalation, the entry) is made first, and the count is
// raised only once the entry is in. What the level asks for follows.
PyObject* record_failure(AuditSystemFields& s, std::string_view key) {
  uint32_t& counter = s.counts.counter(key);  // a new key starts at 0, as an unknown one reads
  uint32_t count = FailureCounts::next(counter);
  Escalation e = escalation(s.recipe, key, count);
  Text message;
  message << "Fail #" << count;
  s.write(key, message.view());
  counter = count;
  if (e.error) raise_object(reinterpret_cast<PyObject*>(Py_TYPE(e.error.get())), e.error.get());
  if (!e.warning.empty()) {
    // Stack level 0 attributes the warning to the Python line that called log_fail. When a
    // filter turns it into an exception, that exception propagates and no "WARN: " entry is
    // written.
    check(PyErr_WarnEx(audit_warning(), e.warning.c_str(), 0));
    e.warn_entry.timestamp = wall_clock_seconds();
    s.log.push(std::move(e.warn_entry));  // a ready entry goes in without allocating
  }
  Py_RETURN_NONE;
}

PyObject* record_success(AuditSystemFields& s, std::string_view key) {
  uint32_t* counter = s.recipe.reset_on_success ? &s.counts.counter(key) : nullptr;
  s.write(key, "Success");
  if (counter != nullptr) *counter = 0;
  Py_RETURN_NONE;
}

PyObject* count_of(AuditSystemFields& s, std::string_view key) {
  return check(PyLong_FromUnsignedLong(s.counts.get(key)));
}

PyObject* log_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_key<AuditSystemLogFail, BorrowFlag::Exclusive, record_failure>(self, args, nargs,
                                                                             kwnames);
}

PyObject* log_success(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return with_key<AuditSystemLogSuccess, BorrowFlag::Exclusive, record_success>(self, args, nargs,
                                                                                kwnames);
}

PyObject* get_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_key<AuditSystemGetCount, BorrowFlag::Shared, count_of>(self, args, nargs, kwnames);
}

PyObject* log_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<AuditSystemLog>(args, nargs, kwnames);
  std::string key_scratch, message_scratch;
  std::string_view key = utf8_lossless(a.convert<"key">(as_str), key_scratch);
  std::string_view message = utf8_lossless(a.convert<"message">(as_str), message_scratch);
  AuditSystemFields& s = audit_of(self);
  BorrowFlag::Exclusive access(s.access);
  s.write(key, message);
  Py_RETURN_NONE;
}

PyObject* get_count_all(PyObject* self, PyObject*) {
  AuditSystemFields& s = audit_of(self);
  BorrowFlag::Shared access(s.access);
  return check(PyLong_FromUnsignedLongLong(s.log.total()));
}

PyObject* get_logs(PyObject* self, PyObject*) {
  AuditSystemFields& s = audit_of(self);
  BorrowFlag::Shared access(s.access);
  return audit_log_entries(s.log.snapshot()).release();
}

PyObject* ring_buffer_len(PyObject* self, void*) {
  AuditSystemFields& s = audit_of(self);
  BorrowFlag::Shared access(s.access);
  return check(PyLong_FromSize_t(s.log.size()));
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<log_fail, AuditSystemLogFail,
             "Log a failure event. Behavior depends on AuditLevel.">(),
      method<log_success, AuditSystemLogSuccess,
             "Log a success event. Resets counter if configured.">(),
      method<get_count, AuditSystemGetCount, "Get current count for a key.">(),
      method_noargs<get_count_all, "get_count_all", "Get total count across all keys.">(),
      method<log_event, AuditSystemLog, "Log a general event to ring buffer.">(),
      method_noargs<get_logs, "get_logs", "Get all logs from ring buffer.">(),
      end_methods(),
  };
  static PyGetSetDef props[] = {
      getter<ring_buffer_len>("ring_buffer_len", "Get number of logs in buffer."),
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.AuditSystem",
      .basicsize = sizeof(Box<AuditSystemFields>),
      .subclassable = true,
      .slots = {
          doc_slot<AuditSystemNew>(),
          slot<new_>(Py_tp_new),
          dealloc_slot<AuditSystemFields>(),
          raw_slot(Py_tp_methods, methods),
          raw_slot(Py_tp_getset, props),
      },
  });
}

}  // namespace

PyTypeObject* audit_system_type() {
  return cached_type<build>();
}

}  // namespace morva
