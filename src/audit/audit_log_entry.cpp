// AuditLogEntry: timestamp, key and message (shared with the meta log's entries) and its str().
#include "audit/audit_log_entry.hpp"

#include "binding/convert.hpp"
#include "binding/number_text.hpp"
#include "binding/type.hpp"
#include "log/record_objects.hpp"

namespace morva {
namespace {

PyObject* str(PyObject* self) {
  const LogRecord& e = log_record_of(self);
  std::string time = format_float(e.timestamp, FloatText::kPlain);
  return make_str_lossless("[" + time + "] " + e.key + ": " + e.message).release();
}

PyTypeObject* build() {
  return build_type(TypeSpec{
      .name = "morva_core.AuditLogEntry",
      .basicsize = sizeof(Box<LogRecord>),
      .slots = {
          no_constructor_slot(),
          dealloc_slot<LogRecord>(),
          slot<str>(Py_tp_str),
          raw_slot(Py_tp_getset, log_record_properties()),
      },
  });
}

}  // namespace

PyTypeObject* audit_log_entry_type() {
  return cached_type<build>();
}

Ref audit_log_entries(std::vector<LogRecord> records) {
  return log_record_list(audit_log_entry_type(), std::move(records));
}

}  // namespace morva
