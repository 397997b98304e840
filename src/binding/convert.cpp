// Conversion helpers of the binding layer.
#include "binding/convert.hpp"

namespace morva {

namespace {
std::string attr_text(PyObject* obj, const char* attr) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, attr));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(data, static_cast<std::size_t>(size));
}
}  // namespace

std::string type_qualname(PyObject* obj) {
  std::string name = attr_text(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  return name.empty() ? std::string("?") : name;
}

std::string type_name(PyTypeObject* type) {
  return attr_text(reinterpret_cast<PyObject*>(type), "__name__");
}

void raise_conversion(PyObject* obj, const char* target) {
  raise(PyExc_TypeError,
        "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'");
}

PyObject* as_dict(PyObject* obj) {
  if (!PyDict_Check(obj)) raise_conversion(obj, "PyDict");
  return obj;
}

PyObject* as_list(PyObject* obj) {
  if (!PyList_Check(obj)) raise_conversion(obj, "PyList");
  return obj;
}

PyObject* as_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_conversion(obj, "PyString");
  return obj;
}

PyObject* as_instance(PyObject* obj, PyTypeObject* type, const char* target) {
  int ok = PyObject_TypeCheck(obj, type);
  if (!ok) raise_conversion(obj, target);
  return obj;
}

std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw PyErrorSet{};
  return std::string_view(data, static_cast<std::size_t>(size));
}

Ref exact_str(PyObject* str) {
  if (PyUnicode_CheckExact(str)) return Ref::borrow(str);
  as_str(str);
  return Ref::checked(PyUnicode_Substring(str, 0, PyUnicode_GetLength(str)));
}

std::string_view str_view(PyObject* obj) { return utf8_of(as_str(obj)); }

Ref make_str(std::string_view text) {
  return Ref::checked(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string_view utf8_lossless(PyObject* str, std::string& scratch) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data != nullptr) return std::string_view(data, static_cast<std::size_t>(size));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrorSet{};
  PyErr_Clear();
  Ref bytes = Ref::checked(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  char* raw = nullptr;
  check(PyBytes_AsStringAndSize(bytes.get(), &raw, &size));
  scratch.assign(raw, static_cast<std::size_t>(size));
  return scratch;
}

Ref make_str_lossless(std::string_view bytes) {
  return Ref::checked(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogatepass"));
}

uint64_t to_u64(PyObject* obj) {
  if (PyLong_CheckExact(obj)) {  // the usual case, without the index protocol's new reference
    unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return static_cast<uint64_t>(value);
  }
  Ref index = Ref::checked(PyNumber_Index(obj));
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
  return static_cast<uint64_t>(value);
}

uint32_t to_u32(PyObject* obj) {
  uint64_t value = to_u64(obj);
  if (value > UINT32_MAX) raise(PyExc_OverflowError, "int too big to convert");
  return static_cast<uint32_t>(value);
}

int64_t to_i64(PyObject* obj) {
  Ref index = Ref::checked(PyNumber_Index(obj));
  long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
  return static_cast<int64_t>(value);
}

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  raise_conversion(obj, "PyBool");
}

}  // namespace morva
