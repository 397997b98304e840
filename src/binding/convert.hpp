// Conversions of Python arguments to the types the classes require, with the module's
// messages: "'{type}' object cannot be converted to '{target}'" and the host's integer errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/object.hpp"

namespace morva {

// The qualified name of an object's type ("int", "FrozenDict"); "?" if it cannot be read.
std::string type_qualname(PyObject* obj);
// The short name (__name__) of a type; empty if it cannot be read (error cleared).
std::string type_name(PyTypeObject* type);

// Raises TypeError "'{qualname of obj's type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_conversion(PyObject* obj, const char* target);

// Type requirements: return the object itself (borrowed) or raise the conversion TypeError.
// Subclasses are accepted.
PyObject* as_dict(PyObject* obj);   // target "PyDict"
PyObject* as_list(PyObject* obj);   // target "PyList"
PyObject* as_str(PyObject* obj);    // target "PyString"
PyObject* as_instance(PyObject* obj, PyTypeObject* type, const char* target);

// A new reference to the exact str of a str's text (the object itself when it is exact). Where
// a name is checked and then used, both must see this object: a str subclass may hash and
// compare as some other text.
Ref exact_str(PyObject* str);

// UTF-8 view of a str (checked as by as_str); valid while the object lives.
std::string_view str_view(PyObject* obj);
// UTF-8 view of an object already known to be a str.
std::string_view utf8_of(PyObject* str);
// A new str from UTF-8 bytes.
Ref make_str(std::string_view text);
// UTF-8 of a str that keeps lone surrogates (encoded as by "surrogatepass"), so any str
// survives a trip through C++ text. Points into the str's cached UTF-8 when it has no lone
// surrogate (the common, allocation-free case), else into `scratch`.
std::string_view utf8_lossless(PyObject* str, std::string& scratch);
// The str of bytes made by utf8_lossless (decoded with "surrogatepass").
Ref make_str_lossless(std::string_view bytes);

// Integers through the host's index protocol: TypeError for non-integers, OverflowError
// for values outside the range (negative included, for the unsigned ones).
uint64_t to_u64(PyObject* obj);
uint32_t to_u32(PyObject* obj);
int64_t to_i64(PyObject* obj);
// Only True and False are accepted (target "PyBool").
bool to_bool(PyObject* obj);

// Optional variants: None gives the fallback.
inline PyObject* as_dict_or_none(PyObject* obj) { return obj == Py_None ? nullptr : as_dict(obj); }

}  // namespace morva
