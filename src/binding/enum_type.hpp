// Closed enumeration classes (AuditLevel, FSMState), built one way: a final class without a
// constructor whose members, made once with the class, are its attributes; repr
// "Class.Member", int() the member's value, == and != by value against the same class or any
// int, every other comparison left to the host, and no hash (so members are unhashable).
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/object.hpp"

namespace morva {

// Static storage: instances point at their description for the names.
struct EnumSpec {
  const char* qualified_name;  // "morva_core.FSMState"
  const char* doc;
  const char* const* members;  // names of the values 0 .. count - 1
  std::size_t count;
};

// Builds the class; when `members` is given it receives a reference to each class attribute,
// kept for the life of the process (deleting the attribute cannot free a member in use).
PyTypeObject* build_enum_type(const EnumSpec& desc, PyObject** members = nullptr);

// A new instance of an enumeration class built above (members handed out are not shared
// objects where a class promises new instances).
Ref make_enum_instance(PyTypeObject* type, const EnumSpec& desc, int value);

// The value of an instance of any enumeration class built above.
int enum_value(PyObject* instance);

}  // namespace morva
