// Error helpers of the binding layer: raising, PanicException, error filters.
#include "binding/object.hpp"

#include <cstdarg>

namespace morva {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyErrorSet{};
}

void raise(PyObject* type, const std::string& message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(),
                                                    static_cast<Py_ssize_t>(message.size())));
  if (!text) throw PyErrorSet{};
  PyErr_SetObject(type, text.get());
  throw PyErrorSet{};
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PyErrorSet{};
}

void raise_object(PyObject* type, PyObject* value) {
  PyErr_SetObject(type, value);
  throw PyErrorSet{};
}

Ref take_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
}

void raise_from(PyObject* type, PyObject* message, Ref cause) {
  Ref error = Ref::checked(PyObject_CallFunctionObjArgs(type, message, nullptr));
  PyException_SetContext(error.get(), cause.new_ref());  // steals
  PyException_SetCause(error.get(), cause.release());    // steals; suppresses the context
  raise_object(type, error.get());
}

PyObject* panic_exception() {
  // Created once per process; never released (process-wide cache).
  static OnceCell<PyObject> type;
  if (PyObject* made = type.get()) return made;
  PyObject* made = PyErr_NewException("morva_core.PanicException", PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  return type.publish(made, [](PyObject* lost) { Py_DECREF(lost); });
}

void set_panic(const char* what) {
  PyObject* type = panic_exception();
  if (type == nullptr) return;  // the failure to create it is the error now set
  PyErr_SetString(type, what);
}

bool clear_if(PyObject* type) {
  if (PyErr_ExceptionMatches(type)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

bool ordinary_exception_set() {
  return PyErr_ExceptionMatches(PyExc_Exception) &&
         !PyErr_ExceptionMatches(PyExc_RecursionError) &&
         !PyErr_ExceptionMatches(PyExc_MemoryError);
}

bool clear_if_exception() {
  if (!ordinary_exception_set()) return false;
  PyErr_Clear();
  return true;
}

Ref optional_attribute(PyObject* obj, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, name));
  if (!value && !clear_if_exception()) throw PyErrorSet{};
  return value;
}

}  // namespace morva
