// The scalar type names and the type tests of guarded values.
#include "guards/value_types.hpp"

#include <array>

namespace morva {

namespace {

// The scalar type names handed out unwrapped: the host's own and the fixed-width numeric
// types of array libraries.
constexpr std::array<std::string_view, 16> kScalarTypeNames = {
    "int",   "str",   "bool",   "float",  "NoneType", "int8",    "int16",   "int32",
    "int64", "uint8", "uint16", "uint32", "uint64",   "float32", "float64", "bool_",
};

}  // namespace

bool type_name_of(PyObject* value, Ref& holder, std::string_view& out) {
  static InternedStr name_attr{"__name__"};
  holder = Ref::checked(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), name_attr.get()));
  if (!PyUnicode_Check(holder.get())) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(holder.get(), &size);
  if (data == nullptr) {
    // A name that is not valid UTF-8 names none of the types the guard knows.
    if (!clear_if(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool is_builtin_scalar(PyObject* value) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type ||
         type == &PyBool_Type || value == Py_None;
}

bool is_scalar_type_name(std::string_view name) noexcept {
  for (std::string_view scalar : kScalarTypeNames) {
    if (name == scalar) return true;
  }
  return false;
}

bool has_no_wrapper_attributes(PyObject* value) noexcept {
  // Exact builtin types: immutable, no instance dictionary, no such attributes.
  PyTypeObject* type = Py_TYPE(value);
  return is_builtin_scalar(value) || type == &PyBytes_Type || type == &PyTuple_Type ||
         type == &PyList_Type || type == &PyDict_Type;
}

}  // namespace morva
