// Run-time lookups of host modules and their attributes.
#include "binding/modules.hpp"

namespace morva {

Ref import_module(PyObject* name) {
  Ref module = Ref::steal(PyImport_GetModule(name));
  if (module) return module;
  if (PyErr_Occurred()) throw PyErrorSet{};
  return Ref::checked(PyImport_Import(name));
}

Ref loaded_module(PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (PyDict_Check(modules)) {
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (module != nullptr && module != Py_None) return Ref::borrow(module);
    if (module == nullptr && PyErr_Occurred()) throw PyErrorSet{};
  }
  // The real import also raises the right error for a None entry.
  return Ref::checked(PyImport_Import(name));
}

// For a plain module object, getattr finds any name that ModuleType itself does not define in
// the module dict, so that lookup is made directly; on a miss, or for any other object, the
// ordinary lookup gives the exact result and error.
Ref module_attr(PyObject* module, PyObject* name) {
  if (PyModule_CheckExact(module)) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* value = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) throw PyErrorSet{};
  }
  return Ref::checked(PyObject_GetAttr(module, name));
}

Ref ModuleLookup::find(PyObject* module, PyObject* name) {
  if (module != module_.get()) {
    if (!PyModule_CheckExact(module)) {
      PyObject* value = PyObject_GetAttr(module, name);
      if (value == nullptr && !clear_if_attribute_error()) throw PyErrorSet{};
      return Ref::steal(value);
    }
    dict_ = PyModule_GetDict(module);
    module_ = Ref::borrow(module);
  }
  PyObject* value = PyDict_GetItemWithError(dict_, name);
  if (value == nullptr && PyErr_Occurred()) throw PyErrorSet{};
  return Ref::borrow(value);
}

Ref ModuleLookup::get(PyObject* module, PyObject* name) {
  Ref found = find(module, name);
  // A miss goes through the ordinary lookup: the module's own __getattr__, or the exact error.
  return found ? std::move(found) : module_attr(module, name);
}

}  // namespace morva
