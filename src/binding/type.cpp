// Heap type construction and the shared slot helpers.
#include "binding/type.hpp"

#include "binding/convert.hpp"

namespace morva {

PyTypeObject* build_type(TypeSpec type_def) {
  type_def.slots.push_back(PyType_Slot{0, nullptr});
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (type_def.subclassable) flags |= Py_TPFLAGS_BASETYPE;
  if (type_def.immutable) flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Spec py_spec{type_def.name, type_def.basicsize, 0, flags, type_def.slots.data()};
  PyObject* type = PyType_FromSpec(&py_spec);
  if (type == nullptr) throw PyErrorSet{};
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  std::string name = type_name(type);
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name.c_str());
  return nullptr;
}

void refuse_attribute_delete() { raise(PyExc_AttributeError, "can't delete attribute"); }

void refuse_item_delete() { raise(PyExc_NotImplementedError, "can't delete item"); }

}  // namespace morva
