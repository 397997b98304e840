// The three record properties and the list builder shared by the log-entry classes.
#include "log/record_objects.hpp"

#include "binding/convert.hpp"
#include "binding/type.hpp"

namespace morva {
namespace {

PyObject* get_timestamp(PyObject* self, void*) {
  return check(PyFloat_FromDouble(fields<LogRecord>(self).timestamp));
}
// Texts were stored with lone surrogates kept, so they decode the same way.
PyObject* get_key(PyObject* self, void*) {
  return make_str_lossless(fields<LogRecord>(self).key).release();
}
PyObject* get_message(PyObject* self, void*) {
  return make_str_lossless(fields<LogRecord>(self).message).release();
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

const LogRecord& log_record_of(PyObject* entry) { return fields<LogRecord>(entry); }

Ref log_record_list(PyTypeObject* type, std::vector<LogRecord> records) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (std::size_t i = 0; i < records.size(); ++i) {
    Ref entry = create<LogRecord>(type, std::move(records[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list;
}

}  // namespace morva
