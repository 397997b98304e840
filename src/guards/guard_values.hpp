// Pieces of the guard that do not depend on its instance layout: UTF-8 views of names, the
// access path of one attribute or key, the scalar test of value wrapping and value unwrapping.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/object.hpp"
#include "guards/zones.hpp"

namespace morva {

// Clears the current error when it is an ordinary Exception and says so. Interrupts
// (KeyboardInterrupt, SystemExit) stay set: a lookup whose failure is dropped by design must
// never swallow them.
bool clear_if_exception() noexcept;

// UTF-8 bytes of a str, valid while the str lives. Lone surrogates are kept (surrogatepass),
// so every str has a distinct text that keeps prefix relations intact.
class Utf8 {
 public:
  explicit Utf8(PyObject* str);
  std::string_view view() const noexcept { return view_; }

 private:
  Ref bytes_;  // only for text with lone surrogates
  std::string_view view_;
};

// A new str from UTF-8 text made by Utf8 (surrogates restored).
Ref str_from_utf8(std::string_view text);

// The path of one access below `prefix`. An attribute name or string key joins with ".";
// an integer key is bracketed; any other key joins as the text of its str().
class AccessPath {
 public:
  // `name` is a str and `utf8` its text, which must outlive the path.
  AccessPath(std::string_view prefix, PyObject* name, std::string_view utf8);
  // Any item key (its text is copied).
  AccessPath(std::string_view prefix, PyObject* key);
  AccessPath(const AccessPath&) = delete;
  AccessPath& operator=(const AccessPath&) = delete;

  std::string_view view() const noexcept { return borrowed_ ? name_utf8_ : built_.view(); }
  // The path as a str (the key itself when nothing had to be joined).
  Ref str() const;

 private:
  PathText built_;
  bool borrowed_ = false;      // the view is the caller's name text, not built_
  std::string_view name_utf8_;
  PyObject* same_ = nullptr;   // borrowed: a str equal to the whole path, when there is one
};

// Wrapping rule 1 is by the exact __name__ of the value's type. The host's own scalar types
// are recognised by pointer first (their names cannot change), the rest by name.
bool is_builtin_scalar(PyObject* value) noexcept;
bool is_scalar_type_name(std::string_view name) noexcept;
// The exact __name__ of the value's type as UTF-8 into `out`; false when it is not a str.
// `holder` keeps the name alive.
bool type_name_of(PyObject* value, Ref& holder, std::string_view& out);

// Builtin instances that cannot answer `_target` / `_data`: unwrapping needs no lookup.
bool has_no_wrapper_attributes(PyObject* value) noexcept;

// Reads `name` from `obj`; null (error cleared) when the read fails with an ordinary Exception.
Ref optional_attribute(PyObject* obj, PyObject* name);

}  // namespace morva
