// MetaLogEntry: timestamp, key, message and its repr; the record properties and list building
// are shared with the audit log's entries.
#include "structures/meta_log_entry.hpp"

#include "binding/convert.hpp"
#include "binding/text.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

using EntryFields = MetaLogRecord;

PyObject* get_timestamp(PyObject* self, void*) {
  return check(PyFloat_FromDouble(fields<EntryFields>(self).timestamp));
}
// Texts were stored with lone surrogates kept (State.log_meta), so they decode the same way.
PyObject* get_key(PyObject* self, void*) {
  return make_str_lossless(fields<EntryFields>(self).key).release();
}
PyObject* get_message(PyObject* self, void*) {
  return make_str_lossless(fields<EntryFields>(self).message).release();
}

PyObject* repr(PyObject* self) {
  const EntryFields& e = log_record_of(self);
  std::string text = "MetaLogEntry(time=" + format_float(e.timestamp) + ", key=" + e.key +
                     ", msg=" + e.message + ")";
  return make_str_lossless(text).release();
}

PyTypeObject* build() {
  return build_type(TypeSpec{
      .name = "morva_core.MetaLogEntry",
      .basicsize = sizeof(Box<EntryFields>),
      .slots = {
          no_constructor_slot(),
          dealloc_slot<EntryFields>(),
          slot<repr>(Py_tp_repr),
          slot<repr>(Py_tp_str),
          raw_slot(Py_tp_getset, log_record_properties()),
      },
  });
}

}  // namespace

PyGetSetDef* log_record_properties() {
  static PyGetSetDef props[] = {
      getter<get_timestamp>("timestamp"),
      getter<get_key>("key"),
      getter<get_message>("message"),
      end_getset(),
  };
  return props;
}

const MetaLogRecord& log_record_of(PyObject* entry) { return fields<EntryFields>(entry); }

Ref log_record_list(PyTypeObject* type, std::vector<MetaLogRecord> records) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (std::size_t i = 0; i < records.size(); ++i) {
    Ref entry = create<EntryFields>(type, std::move(records[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list;
}

PyTypeObject* meta_log_entry_type() {
  return cached_type<build>();
}

Ref meta_log_entries(const MetaLogBuffer& buffer) {
  return log_record_list(meta_log_entry_type(), buffer.snapshot());
}

}  // namespace morva
