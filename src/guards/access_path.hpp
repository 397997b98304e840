// What a guarded access checks and what it then uses: the exact name or key, resolved once, and
// the dotted / bracketed path of one access below the guard's prefix.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/object.hpp"
#include "guards/zones.hpp"

namespace morva {

// The str that an attribute access both checks and uses. A str subclass keeps its text but may
// hash and compare like another name, so the target would resolve a name other than the one
// checked; it is replaced by the exact str of its text (kept alive by `holder`).
PyObject* exact_name(PyObject* name, Ref& holder);

// An item key resolved once, before it is checked or used, so that both see the same key: a str
// becomes its exact str (as above), an integer (an int subclass, or any object with __index__)
// the exact int of its value. Any other key is checked by its str() text but reaches the target
// as it is, where its own __hash__ and __eq__ decide what it finds; so only keys whose text,
// hash and equality are the host's own are taken: an exact float, complex, bytes or None, and
// an exact tuple or slice made of such keys (and of exact str and int), at most kMaxKeyNesting
// deep. Anything else raises TypeError before the target is touched.
class ItemKey {
 public:
  explicit ItemKey(PyObject* key) : key_(key) {
    if (PyUnicode_CheckExact(key)) {
      kind_ = Kind::Name;
    } else {
      resolve();
    }
  }
  ItemKey(const ItemKey&) = delete;
  ItemKey& operator=(const ItemKey&) = delete;

  static constexpr int kMaxKeyNesting = 32;

  // The key to reach the target with.
  PyObject* get() const noexcept { return key_; }
  bool is_name() const noexcept { return kind_ == Kind::Name; }
  // An exact str or an exact int (or bool): immutable, and checked by its value alone.
  bool is_exact() const noexcept { return kind_ != Kind::Other; }

 private:
  friend class AccessPath;
  enum class Kind { Name, Index, Other };
  void resolve();  // every key but an exact str; raises TypeError for a key it cannot check
  Ref holder_;
  PyObject* key_;
  Kind kind_ = Kind::Other;
  int64_t index_ = 0;
};

// The path of one access below `prefix`. An attribute name or string key joins with ".";
// an integer key is bracketed; any other key joins as the text of its str().
class AccessPath {
 public:
  // `name` is an exact str and `utf8` its text, which must outlive the path.
  AccessPath(std::string_view prefix, PyObject* name, std::string_view utf8);
  // A resolved item key; the key must outlive the path.
  AccessPath(std::string_view prefix, const ItemKey& key);
  AccessPath(const AccessPath&) = delete;
  AccessPath& operator=(const AccessPath&) = delete;

  std::string_view view() const noexcept { return borrowed_ ? name_utf8_ : built_.view(); }
  // The path as a str (the name itself when nothing had to be joined).
  Ref str() const;
  // The text the path was built from, as a str: the name, or the str() of an item key (taken
  // once, so the write log names the key that was checked).
  Ref key_text() const;

 private:
  PathText built_;
  bool borrowed_ = false;  // the view is the caller's name text, not built_
  std::string_view name_utf8_;
  PyObject* same_ = nullptr;  // borrowed: a str equal to the whole path, when there is one
  PyObject* key_ = nullptr;   // borrowed: the key the path was built from
  Ref key_text_;              // the str() of a key that is neither a name nor an integer
};

}  // namespace morva
