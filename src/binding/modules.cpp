// Run-time imports of host modules.
#include "binding/modules.hpp"

namespace morva {

Ref import_module(PyObject* name) {
  Ref module = Ref::steal(PyImport_GetModule(name));
  if (module) return module;
  if (PyErr_Occurred()) throw PyErrorSet{};
  return Ref::checked(PyImport_Import(name));
}

}  // namespace morva
