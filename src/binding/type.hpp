// Building heap types from a table (final or subclassable, doc with text signature, no
// constructor), the instance box with in-place C++ fields, and the shared slot helpers:
// deletion refusals, the sequence fallback and method-table entries.
//
// Layout. An instance is a Box<Fields>: the object header, then the class's C++ fields
// constructed in place by create() and destroyed by dealloc_box. No payload lives in a separate
// allocation, so reading a field is one offset from `self`, and a type's basicsize is
// sizeof(Box<Fields>). The one instance dict (ContextGuard's) is a pointer placed after the
// fields and named by tp_dictoffset. A subclass made in Python allocates its larger size through
// the same tp_alloc, with the Box at the front unchanged and its own __dict__ after it.
//
// Type caches. Each type is built once per process, on first request, by cached_type<build>()
// (in practice all of them at initialisation), and never released: the module and every instance hold it, and no moment
// comes at which none of them is left. The same holds for the exception
// types and the interned names; they are the only process-wide mutable state.
//
// No cyclic GC. No type sets Py_TPFLAGS_HAVE_GC, so a reference cycle that runs through the
// fields of an instance (a State whose data holds a dict that holds the State, an engine whose
// observer holds the engine) is never reclaimed: this is intended. Joining the collector needs
// a tp_traverse that visits every reference a class holds, those inside the C++ fields
// included (persistent map entries, queued messages, callbacks), and a tp_clear that breaks a
// cycle without leaving a field half-destroyed. Never set the flag without both: a traversal
// that misses a reference lets the collector free objects that are still in use. (A Python
// subclass's own __dict__ is traversed by CPython; the Box stays invisible to the collector.)
#pragma once

#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/object.hpp"
#include "binding/threads.hpp"

namespace morva {

// Built with designated initializers; a class is final unless it says `.subclassable = true`.
struct TypeSpec {
  const char* name;                // "morva_core.State"
  int basicsize;                   // sizeof the instance struct
  bool subclassable = false;       // Py_TPFLAGS_BASETYPE
  std::vector<PyType_Slot> slots;  // without the terminating {0, nullptr}
};

// Builds a heap type (throws on failure). The caller caches the result for the process.
//
// Every type is immutable (Py_TPFLAGS_IMMUTABLETYPE), as the interpreter's own types are: no
// attribute of the class, its slots included, can be set or deleted from Python. That is what
// keeps every instance whole. A class whose __new__ could be replaced would let
// `object.__new__(cls)` hand out a box whose C++ fields were never constructed; a class whose
// methods could be patched would let one caller change a shared enumeration or the code another
// caller's commit runs. So an exact instance of one of our classes always runs our own code,
// and the engine may call it directly. A Python subclass of a subclassable class is an
// ordinary mutable class: its own overrides are found by attribute lookup, and `object.__new__`
// refuses it because its first native base has a __new__ of its own.
PyTypeObject* build_type(TypeSpec type_def);

// Puts `value` into the class dictionary of a type built above, while the type is being built:
// the only way an attribute that is not a method or property (an enumeration's members) gets
// in, since the type refuses setattr from its first moment. Not for a type already in use.
void set_class_constant(PyTypeObject* type, const char* name, PyObject* value);

// The type built by `Build`, made on first request and kept for the life of the process. Every
// type is built by the module's initialisation, before any other thread can reach the module;
// the cell only makes that publication explicit (a later request is one acquire load).
// Each class's type getter is `return cached_type<build>();`.
template <PyTypeObject* (*Build)()>
PyTypeObject* cached_type() {
  static OnceCell<PyTypeObject> type;
  return type.get_or_make(Build, [](PyTypeObject* lost) {
    Py_DECREF(reinterpret_cast<PyObject*>(lost));
  });
}

// A Python object whose C++ fields live in place after the header. The fields are constructed
// by create() and destroyed by dealloc_box; a type's basicsize is sizeof(Box<Fields>).
template <typename Fields>
struct Box {
  PyObject_HEAD
  Fields v;
};

template <typename Fields>
inline Fields& fields(PyObject* self) {
  return reinterpret_cast<Box<Fields>*>(self)->v;
}

// Frees the memory of an instance and drops its reference to the type.
inline void free_raw_instance(PyObject* raw) {
  PyTypeObject* type = Py_TYPE(raw);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(raw);
  release_owned(reinterpret_cast<PyObject*>(type));
}

// Allocates an instance of `type` (a subclass allocates its larger size) and constructs the
// fields in place. If the field constructor throws, the raw memory is released.
template <typename Fields, typename... A>
Ref create(PyTypeObject* type, A&&... args) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* raw = alloc(type, 0);
  if (raw == nullptr) throw PyErrorSet{};
  try {
    new (&reinterpret_cast<Box<Fields>*>(raw)->v) Fields(std::forward<A>(args)...);
  } catch (...) {
    free_raw_instance(raw);
    throw;
  }
  return Ref::steal(raw);
}

// Destroys the fields of a Box<Fields>, frees the memory and drops the type's reference.
template <typename Fields>
void destroy_box(PyObject* self) {
  reinterpret_cast<Box<Fields>*>(self)->v.~Fields();
  free_raw_instance(self);
}

// tp_dealloc for a Box<Fields>: bounded, so any chain of instances is freed on any stack (see
// release.hpp for when fields must be kCollect).
template <typename Fields, FieldRelease kHow = FieldRelease::kDirect>
void dealloc_box(PyObject* self) {
  deferred_dealloc<destroy_box<Fields>, kHow>(self);
}

// tp_new for classes without a constructor: TypeError "No constructor defined for {name}".
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Deletion refusals.
[[noreturn]] void refuse_attribute_delete();  // AttributeError "can't delete attribute"
[[noreturn]] void refuse_item_delete();       // NotImplementedError "can't delete item"

// The attribute names that the normal lookup (PyObject_GenericGetAttr) can find on instances of
// a final, immutable type without an instance dictionary: the keys of every class dictionary
// along the type's MRO. Such a type's MRO and class dictionaries cannot change once it is built,
// so a name outside this set is an AttributeError without running the lookup, and a getattro
// with a fallback can go straight to it instead of raising and catching that error. Only an
// exact str is classified: a str subclass may hash and compare as another name, so for it the
// answer is always "maybe" and the caller runs the normal lookup. Built on first use and kept
// for the process, like the type itself.
class LookupNames {
 public:
  // False only when `name` is an exact str the normal lookup on `type` cannot find.
  bool may_find(PyTypeObject* type, PyObject* name);

 private:
  OnceCell<PyObject> names_;  // a set of str, owned for the life of the process
};

// Slot table entries.
template <auto F>
PyType_Slot slot(int id) {
  return PyType_Slot{id, reinterpret_cast<void*>(error_boundary<F>)};
}
inline PyType_Slot raw_slot(int id, void* fn) { return PyType_Slot{id, fn}; }

template <typename Fields, FieldRelease kHow = FieldRelease::kDirect>
PyType_Slot dealloc_slot() {
  return PyType_Slot{Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_box<Fields, kHow>)};
}
inline PyType_Slot doc_slot(const char* doc) {
  return PyType_Slot{Py_tp_doc, const_cast<char*>(doc)};
}
// The class docstring of a constructor declared by `Sig`: "State(data=None)\n--\n\n" and `Doc`.
template <typename Sig, FixedText Doc = "">
PyType_Slot doc_slot() {
  static_assert(Sig::kConstructor, "a class docstring takes the signature of its __new__");
  return doc_slot(kDocText<Sig, false, Doc>.c_str());
}
inline PyType_Slot no_constructor_slot() {
  return PyType_Slot{Py_tp_new, reinterpret_cast<void*>(&no_constructor_new)};
}

// Sequence fallback: the host's integer index is turned into an int object and handed to the
// mapping slot, so iteration and `in` run the host's index protocol over item lookup.
template <PyObject* (*Get)(PyObject*, PyObject*)>
PyObject* sequence_item(PyObject* self, Py_ssize_t index) {
  PyObject* key = PyLong_FromSsize_t(index);
  if (key == nullptr) return nullptr;
  PyObject* result = Boundary<Get>::call(self, key);
  Py_DECREF(key);
  return result;
}
template <int (*Set)(PyObject*, PyObject*, PyObject*)>
int sequence_ass_item(PyObject* self, Py_ssize_t index, PyObject* value) {
  PyObject* key = PyLong_FromSsize_t(index);
  if (key == nullptr) return -1;
  int result = Boundary<Set>::call(self, key, value);
  Py_DECREF(key);
  return result;
}
template <PyObject* (*Get)(PyObject*, PyObject*)>
std::vector<PyType_Slot> item_read_slots() {
  return {slot<Get>(Py_mp_subscript),
          raw_slot(Py_sq_item, reinterpret_cast<void*>(&sequence_item<Get>))};
}
template <int (*Set)(PyObject*, PyObject*, PyObject*)>
std::vector<PyType_Slot> item_write_slots() {
  return {slot<Set>(Py_mp_ass_subscript),
          raw_slot(Py_sq_ass_item, reinterpret_cast<void*>(&sequence_ass_item<Set>))};
}

// One attribute answered before the type's lookup, free-threaded only: for an instance of
// exactly `Type()` (an immutable class without instance dictionaries, so the lookup could only
// find the property), the name `Name` (the interned string itself) goes straight to the
// property's getter `Get`. Any other name, another str object of the same text, or a subclass
// takes the generic lookup. On 3.13t this makes a read of state.version or engine.state about
// 40% faster on one thread (36.7 against 25.9 million reads a second). Where the GIL is, the
// group is empty: the interpreter specializes method calls (state.update) only for types with
// the generic lookup, and a transaction commit cost 12% more instructions without that.
template <FixedText Name, PyObject* (*Get)(PyObject*, void*), PyTypeObject* (*Type)()>
PyObject* getattro_answering(PyObject* self, PyObject* name) {
  static InternedStr answered{Name.text};
  if (name == answered.get() && Py_TYPE(self) == Type()) return Get(self, nullptr);
  return check(PyObject_GenericGetAttr(self, name));
}
template <FixedText Name, PyObject* (*Get)(PyObject*, void*), PyTypeObject* (*Type)()>
std::vector<PyType_Slot> attribute_first_slots() {
  if constexpr (kFreeThreaded) return {slot<getattro_answering<Name, Get, Type>>(Py_tp_getattro)};
  return {};
}

// A class's own slots followed by shared groups (the item access pairs above), for TypeSpec.
template <typename... Groups>
std::vector<PyType_Slot> join_slots(std::vector<PyType_Slot> own, const Groups&... groups) {
  (own.insert(own.end(), groups.begin(), groups.end()), ...);
  return own;
}

// Method table entries: the Python name and the docstring's text signature come from the
// callable's Signature (the one its parser reads), followed by `Doc`. Methods with parameters
// take (self, args, nargs, kwnames); a method without any takes (self, nullptr) and is named
// here, its text signature being "name($self)".
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsMethod = PyObject* (*)(PyObject*, PyObject*);

template <FastMethod F, int kFlags, typename Sig, bool kSelf, FixedText Doc>
PyMethodDef fast_method_def() {
  static_assert(!Sig::kConstructor, "a constructor's signature goes in the class docstring");
  return PyMethodDef{Sig::kShownNameText.c_str(),
                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(error_boundary<F>)),
                     METH_FASTCALL | METH_KEYWORDS | kFlags, kDocText<Sig, kSelf, Doc>.c_str()};
}
template <FastMethod F, typename Sig, FixedText Doc = "">
PyMethodDef method() {
  return fast_method_def<F, 0, Sig, true, Doc>();
}
template <FastMethod F, typename Sig, FixedText Doc = "">
PyMethodDef static_method() {
  return fast_method_def<F, METH_STATIC, Sig, false, Doc>();
}
template <NoArgsMethod F, FixedText Name, FixedText Doc = "">
PyMethodDef method_noargs() {
  return PyMethodDef{Name.text, error_boundary<F>, METH_NOARGS,
                     kDocText<Signature<Name>, true, Doc>.c_str()};
}
inline PyMethodDef end_methods() { return PyMethodDef{nullptr, nullptr, 0, nullptr}; }

// Properties. A setter slot refuses deletion before calling the setter.
using Getter = PyObject* (*)(PyObject*, void*);
using Setter = int (*)(PyObject*, PyObject*, void*);

template <Setter S>
int setter_refusing_delete(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  return Boundary<S>::call(self, value, closure);
}

template <Getter G>
PyGetSetDef getter(const char* name, const char* doc = nullptr) {
  return PyGetSetDef{name, error_boundary<G>, nullptr, doc, nullptr};
}
template <Getter G, Setter S>
PyGetSetDef getset(const char* name, const char* doc = nullptr) {
  return PyGetSetDef{name, error_boundary<G>, &setter_refusing_delete<S>, doc, nullptr};
}
inline PyGetSetDef end_getset() { return PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}; }

}  // namespace morva
