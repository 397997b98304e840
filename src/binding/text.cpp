// Text conversion helpers of the binding layer.
#include "binding/text.hpp"

#include <charconv>
#include <chrono>
#include <cmath>

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

std::string format_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // A fixed-notation double needs at most ~330 characters (denormals) plus sign.
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (result.ec != std::errc()) return "NaN";
  return std::string(buffer, result.ptr);
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
