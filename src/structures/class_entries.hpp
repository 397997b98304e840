// ClassEntries: tells whether attribute lookups on an instance of one of our final classes
// would still find what the class was built with, so that a caller may run the method itself
// instead of looking it up and calling it through the interpreter.
//
// An instance of a class without an instance dictionary finds a name through the class's
// __getattribute__ and then the class's own dictionary and its bases (here only `object`,
// which cannot change). Our classes are not immutable types: Python code may replace an
// attribute on the class (tests do, to hand the engine a result that is not a State) or give
// it a __getattribute__ / __getattr__. So the check runs every time: the class's getattro slot
// is still the generic one, and the entry under each name in the class's own dictionary is
// still the object it held when the class was built. Both are read without running Python
// code, so the check itself cannot be observed either.
//
// Each entry is confirmed at the position where it was last found (DictEntry), and looked up
// by name only when it is no longer there.
//
// The class's dictionary is the one object behind the mappingproxy that `__dict__` returns;
// the limited API has no getter for it, so it is taken once, as the proxy's only referent
// (gc.get_referents), and accepted only if it answers every name exactly as the proxy does.
// Where that cannot be confirmed the check answers false for good, and every call goes
// through the lookup.
#pragma once

#include <array>
#include <concepts>

#include "binding/dict_entry.hpp"
#include "binding/object.hpp"

namespace morva {

template <std::size_t N>
class ClassEntries {
 public:
  // Called once, right after the class is built, with names the class defines itself.
  void capture(PyTypeObject* type, const std::array<const char*, N>& names) {
    Ref proxy = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dict__"));
    Ref gc = Ref::checked(PyImport_ImportModule("gc"));
    Ref referents =
        Ref::checked(PyObject_CallMethod(gc.get(), "get_referents", "O", proxy.get()));
    if (!PyList_Check(referents.get()) || PyList_Size(referents.get()) != 1) return;
    PyObject* dict = PyList_GetItem(referents.get(), 0);
    if (!PyDict_CheckExact(dict)) return;
    for (std::size_t i = 0; i < N; ++i) {
      names_[i] = check(PyUnicode_InternFromString(names[i]));
      Ref through_proxy = Ref::checked(PyObject_GetItem(proxy.get(), names_[i]));
      originals_[i] = PyDict_GetItemWithError(dict, names_[i]);
      if (originals_[i] != through_proxy.get()) return;
      Py_INCREF(originals_[i]);
    }
    dict_ = Py_NewRef(dict);
    type_ = type;
  }

  // True when `obj` is exactly of the class and a lookup of each of names[i...] on it finds
  // the original. Runs no Python code and leaves no error set.
  template <std::same_as<std::size_t>... I>
  bool unchanged(PyObject* obj, I... i) {
    return Py_TYPE(obj) == type_ && type_ != nullptr &&
           PyType_GetSlot(type_, Py_tp_getattro) ==
               reinterpret_cast<void*>(PyObject_GenericGetAttr) &&
           (holds(i) && ...);
  }

 private:
  bool holds(std::size_t i) {
    PyObject* value = entries_[i].peek(dict_);
    if (value == nullptr) {
      try {
        value = entries_[i].find(dict_, names_[i]).get();  // borrowed: the dict holds it
      } catch (const PyErrorSet&) {
        PyErr_Clear();  // a lookup that failed confirms nothing
        return false;
      }
    }
    return value == originals_[i];
  }

  PyTypeObject* type_ = nullptr;  // null: not confirmed, every answer is false
  PyObject* dict_ = nullptr;
  std::array<PyObject*, N> names_{};
  std::array<PyObject*, N> originals_{};
  std::array<DictEntry, N> entries_{};
};

}  // namespace morva
