// Type tests of the values a guard hands out and stores: the scalars that reads hand out as they
// are, and the builtins that cannot be wrappers of another value.
#pragma once

#include <string_view>

#include "binding/object.hpp"

namespace morva {

// Scalars are recognised by the exact __name__ of the value's type. The host's own scalar
// types are recognised by pointer first (their names cannot change), the rest by name.
bool is_builtin_scalar(PyObject* value) noexcept;
bool is_scalar_type_name(std::string_view name) noexcept;
// The exact __name__ of the value's type as UTF-8 into `out`; false when it is not a str.
// `holder` keeps the name alive.
bool type_name_of(PyObject* value, Ref& holder, std::string_view& out);

// Builtin instances that cannot answer `_target` / `_data`: unwrapping needs no lookup.
bool has_no_wrapper_attributes(PyObject* value) noexcept;

}  // namespace morva
