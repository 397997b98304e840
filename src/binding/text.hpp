// Text of arbitrary objects (with the unprintable fallback) and the shortest round-trip
// float formatting that the log entries use.
#pragma once

#include <string>

#include "binding/object.hpp"

namespace morva {

// The str() of an object. If str() raises an ordinary Exception, the error is reported
// through the unraisable hook and the text is "<unprintable {type name} object>"
// ("<unprintable object>" when even the type's name cannot be read). MemoryError,
// RecursionError and what is not an Exception (KeyboardInterrupt, SystemExit) are thrown on
// instead: a text made up because memory or stack ran out would be sent as if it were the
// value's own, and an interrupt must reach the caller.
Ref text_of(PyObject* obj);
// The same, as UTF-8 (lone surrogates are kept with surrogatepass so nothing is lost).
std::string text_of_utf8(PyObject* obj);

// Shortest decimal text that reads back as the same double, never in exponent notation and
// without a fractional part for integral values: 0.0 -> "0", 12.25 -> "12.25", 5.0 -> "5".
std::string format_float(double value);

// Seconds since the Unix epoch from the wall clock (0.0 before the epoch).
double wall_clock_seconds() noexcept;

}  // namespace morva
