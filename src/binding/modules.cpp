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
    Ref module = dict_get(modules, name);
    if (module && module.get() != Py_None) return module;
  }
  // The real import also raises the right error for a None entry.
  return Ref::checked(PyImport_Import(name));
}

// For a plain module object, getattr finds any name that ModuleType itself does not define in
// the module dict, so that lookup is made directly; on a miss, or for any other object, the
// ordinary lookup gives the exact result and error.
Ref module_attr(PyObject* module, PyObject* name) {
  if (PyModule_CheckExact(module)) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed from the module, which is held
    if (dict != nullptr) {
      if (Ref value = dict_get(dict, name)) return value;
    }
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
  return dict_get(dict_, name);
}

Ref ModuleLookup::get(PyObject* module, PyObject* name) {
  Ref found = find(module, name);
  // A miss goes through the ordinary lookup: the module's own __getattr__, or the exact error.
  return found ? std::move(found) : module_attr(module, name);
}

}  // namespace morva
