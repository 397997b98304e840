// MetaLogEntry: timestamp, key and message (shared with the audit log's entries) and its repr.
#include "structures/meta_log_entry.hpp"

#include "binding/convert.hpp"
#include "binding/number_text.hpp"
#include "binding/type.hpp"
#include "log/record_objects.hpp"

namespace morva {
namespace {

PyObject* repr(PyObject* self) {
  const LogRecord& e = log_record_of(self);
  std::string text = "MetaLogEntry(time=" + format_float(e.timestamp, FloatText::kPlain) +
                     ", key=" + e.key + ", msg=" + e.message + ")";
  return make_str_lossless(text).release();
}

PyTypeObject* build() {
  return build_type(TypeSpec{
      .name = "morva_core.MetaLogEntry",
      .basicsize = sizeof(Box<LogRecord>),
      .slots = {
          no_constructor_slot(),
          dealloc_slot<LogRecord>(),
          slot<repr>(Py_tp_repr),
          slot<repr>(Py_tp_str),
          raw_slot(Py_tp_getset, log_record_properties()),
      },
  });
}

}  // namespace

PyTypeObject* meta_log_entry_type() {
  return cached_type<build>();
}

Ref meta_log_entries(const MetaLogBuffer& buffer) {
  return log_record_list(meta_log_entry_type(), buffer.snapshot());
}

}  // namespace morva
