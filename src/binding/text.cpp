// Text conversion helpers of the binding layer.
#include "binding/text.hpp"

#include <chrono>

#include "binding/convert.hpp"

namespace morva {

Ref text_of(PyObject* obj) {
  Ref text = Ref::steal(PyObject_Str(obj));
  if (text) return text;
  if (!ordinary_exception_set()) throw PyErrorSet{};  // out of memory or stack, or an interrupt
  PyErr_WriteUnraisable(obj);
  std::string name = type_name(Py_TYPE(obj));
  std::string fallback =
      name.empty() ? std::string("<unprintable object>") : "<unprintable " + name + " object>";
  return make_str(fallback);
}

std::string text_of_utf8(PyObject* obj) {
  Ref text = text_of(obj);
  Ref bytes = Ref::checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
  return std::string(data, static_cast<std::size_t>(size));
}

double wall_clock_seconds() noexcept {
  using namespace std::chrono;
  auto since = system_clock::now().time_since_epoch();
  if (since.count() < 0) return 0.0;
  auto secs = duration_cast<seconds>(since);
  auto nanos = duration_cast<nanoseconds>(since - secs);
  return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
}

}  // namespace morva
