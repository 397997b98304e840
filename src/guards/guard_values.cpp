// Names, paths, the scalar test and unwrapping for the guard.
#include "guards/guard_values.hpp"

#include <array>

namespace morva {

namespace {

// The scalar type names handed out unwrapped: the host's own and the fixed-width numeric
// types of array libraries.
constexpr std::array<std::string_view, 16> kScalarTypeNames = {
    "int",   "str",   "bool",   "float",  "NoneType", "int8",    "int16",   "int32",
    "int64", "uint8", "uint16", "uint32", "uint64",   "float32", "float64", "bool_",
};

// The key as a signed 64-bit integer, when the host converts it to one (bool included). Keys
// that are not integers, do not fit, or whose __index__ fails are other keys.
bool integer_key(PyObject* key, int64_t& out) {
  Ref index;
  if (!PyLong_Check(key)) {
    if (!PyIndex_Check(key)) return false;
    index = Ref::steal(PyNumber_Index(key));
    if (!index) {
      if (clear_if_exception()) return false;
      throw PyErrorSet{};
    }
    key = index.get();
  }
  long long value = PyLong_AsLongLong(key);
  if (value == -1 && PyErr_Occurred()) {
    if (clear_if_exception()) return false;
    throw PyErrorSet{};
  }
  out = static_cast<int64_t>(value);
  return true;
}

}  // namespace

bool clear_if_exception() noexcept {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

Utf8::Utf8(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
    PyErr_Clear();
    bytes_ = Ref::checked(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    char* raw = nullptr;
    check(PyBytes_AsStringAndSize(bytes_.get(), &raw, &size));
    data = raw;
  }
  view_ = std::string_view(data, static_cast<std::size_t>(size));
}

Ref str_from_utf8(std::string_view text) {
  return Ref::checked(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

AccessPath::AccessPath(std::string_view prefix, PyObject* name, std::string_view utf8) {
  if (prefix.empty()) {
    borrowed_ = true;
    name_utf8_ = utf8;
    same_ = name;
  } else {
    build_name_path(built_, prefix, utf8);
  }
}

AccessPath::AccessPath(std::string_view prefix, PyObject* key) {
  if (PyUnicode_Check(key)) {
    Utf8 text(key);
    build_name_path(built_, prefix, text.view());
    if (prefix.empty()) same_ = key;
    return;
  }
  int64_t index = 0;
  if (integer_key(key, index)) {
    build_index_path(built_, prefix, index);
    return;
  }
  Ref text = Ref::checked(PyObject_Str(key));
  Utf8 utf8(text.get());
  build_name_path(built_, prefix, utf8.view());
}

Ref AccessPath::str() const {
  if (same_ != nullptr) return Ref::borrow(same_);
  return str_from_utf8(view());
}

bool type_name_of(PyObject* value, Ref& holder, std::string_view& out) {
  static InternedStr name_attr{"__name__"};
  holder = Ref::checked(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), name_attr.get()));
  if (!PyUnicode_Check(holder.get())) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(holder.get(), &size);
  if (data == nullptr) {
    // A name that is not valid UTF-8 names none of the types the guard knows.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
    PyErr_Clear();
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
  return is_builtin_scalar(value) || type == &PyBytes_Type ||
         type == &PyTuple_Type || type == &PyList_Type || type == &PyDict_Type;
}

Ref optional_attribute(PyObject* obj, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, name));
  if (!value && !clear_if_exception()) throw PyErrorSet{};
  return value;
}

}  // namespace morva
