// Text of arbitrary objects (with the unprintable fallback) and the wall clock that log
// entries are stamped with.
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

// Seconds since the Unix epoch from the wall clock (0.0 before the epoch).
double wall_clock_seconds() noexcept;

}  // namespace morva
