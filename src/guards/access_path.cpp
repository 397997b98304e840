// Resolution of names and item keys, and the paths built from them.
#include "guards/access_path.hpp"

#include "binding/convert.hpp"

namespace morva {

namespace {

// The exact int of an integer key: the value of an int subclass or of __index__. Null (error
// cleared) when __index__ fails with an ordinary Exception: the key is then judged as any other.
Ref exact_int(PyObject* key) {
  Ref index = Ref::steal(PyNumber_Index(key));  // always an exact int
  if (!index && !clear_if_exception()) throw PyErrorSet{};
  return index;
}

// The key as a signed 64-bit integer; false when it does not fit.
bool fits_i64(PyObject* exact, int64_t& out) {
  long long value = PyLong_AsLongLong(exact);
  if (value == -1 && PyErr_Occurred()) {
    if (clear_if_exception()) return false;
    throw PyErrorSet{};
  }
  out = static_cast<int64_t>(value);
  return true;
}

// Whether `key` hashes, compares and prints by its value alone, as the host's own types do
// (exact types only: a subclass may override any of the three). Items of a tuple and parts of
// a slice are keys too; `depth` bounds the nesting. Sets `refused` to the offending part.
bool is_value_key(PyObject* key, int depth, PyObject*& refused) {
  PyTypeObject* type = Py_TYPE(key);
  if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type ||
      type == &PyFloat_Type || type == &PyComplex_Type || type == &PyBytes_Type ||
      key == Py_None) {
    return true;
  }
  refused = key;
  if (depth >= ItemKey::kMaxKeyNesting) return false;
  if (type == &PyTuple_Type) {
    Py_ssize_t n = PyTuple_Size(key);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!is_value_key(PyTuple_GetItem(key, i), depth + 1, refused)) return false;
    }
    return true;
  }
  if (type == &PySlice_Type) {
    static InternedStr part_names[] = {InternedStr{"start"}, InternedStr{"stop"},
                                       InternedStr{"step"}};
    for (InternedStr& name : part_names) {
      // A slice's parts are read-only and the slice holds them: the borrowed view is safe.
      Ref part = Ref::checked(PyObject_GetAttr(key, name.get()));
      if (!is_value_key(part.get(), depth + 1, refused)) return false;
    }
    return true;
  }
  return false;
}

[[noreturn]] void refuse_key(PyObject* refused) {
  if (Py_TYPE(refused) == &PyTuple_Type || Py_TYPE(refused) == &PySlice_Type) {
    raise_format(PyExc_TypeError, "ContextGuard cannot check a key nested more than %d levels deep",
                 ItemKey::kMaxKeyNesting);
  }
  raise(PyExc_TypeError, "ContextGuard cannot check a key of type '" + type_qualname(refused) +
                             "': keys must be str, int, float, complex, bytes, None, or a "
                             "tuple or slice of these");
}

}  // namespace

PyObject* exact_name(PyObject* name, Ref& holder) {
  if (PyUnicode_CheckExact(name)) return name;
  holder = Ref::checked(PyUnicode_FromObject(name));
  return holder.get();
}

void ItemKey::resolve() {
  PyObject* key = key_;
  if (PyUnicode_Check(key)) {
    kind_ = Kind::Name;
    key_ = exact_name(key, holder_);
    return;
  }
  // int and bool are exact already (bool cannot be subclassed); both hash and compare as the
  // value the path shows.
  if (!PyLong_CheckExact(key) && !PyBool_Check(key)) {
    if (PyIndex_Check(key)) holder_ = exact_int(key);
    if (!holder_) {
      PyObject* refused = nullptr;
      if (!is_value_key(key, 0, refused)) refuse_key(refused);
      return;
    }
    key_ = holder_.get();
  }
  if (fits_i64(key_, index_)) kind_ = Kind::Index;
}

AccessPath::AccessPath(std::string_view prefix, PyObject* name, std::string_view utf8)
    : key_(name) {
  if (prefix.empty()) {
    borrowed_ = true;
    name_utf8_ = utf8;
    same_ = name;
  } else {
    build_name_path(built_, prefix, utf8);
  }
}

AccessPath::AccessPath(std::string_view prefix, const ItemKey& key) : key_(key.get()) {
  std::string scratch;
  switch (key.kind_) {
    case ItemKey::Kind::Name: {
      std::string_view text = utf8_lossless(key_, scratch);
      if (prefix.empty()) same_ = key_;
      if (prefix.empty() && text.data() != scratch.data()) {
        // The str's own UTF-8, which lives as long as the key: no copy needed.
        borrowed_ = true;
        name_utf8_ = text;
        return;
      }
      build_name_path(built_, prefix, text);
      return;
    }
    case ItemKey::Kind::Index:
      build_index_path(built_, prefix, key.index_);
      return;
    case ItemKey::Kind::Other:
      key_text_ = Ref::checked(PyObject_Str(key_));
      build_name_path(built_, prefix, utf8_lossless(key_text_.get(), scratch));
      if (prefix.empty()) same_ = key_text_.get();
      return;
  }
}

Ref AccessPath::str() const {
  if (same_ != nullptr) return Ref::borrow(same_);
  return make_str_lossless(view());
}

Ref AccessPath::key_text() const {
  if (key_text_) return Ref::borrow(key_text_.get());
  return Ref::checked(PyObject_Str(key_));
}

}  // namespace morva
