// Error helpers of the binding layer: raising, PanicException, attribute-error filtering.
#include "binding/object.hpp"

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

void raise_object(PyObject* type, PyObject* value) {
  PyErr_SetObject(type, value);
  throw PyErrorSet{};
}

PyObject* panic_exception() {
  // Created once per process under the GIL; never released (process-wide cache).
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("morva_core.PanicException", PyExc_BaseException, nullptr);
  }
  return type;
}

void set_panic(const char* what) noexcept {
  PyObject* type = panic_exception();
  if (type == nullptr) return;  // the failure to create it is the error now set
  PyErr_SetString(type, what);
}

bool clear_if_attribute_error() noexcept {
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

}  // namespace morva
