// Finding host modules and their attributes at run time.
//
// Which to use:
// - import_module: an occasional import where the module may still be initialising in another
//   thread and must be waited for (it checks `__spec__._initializing`, which is slow: it raises
//   and clears an AttributeError for most modules).
// - loaded_module: a module looked up on a hot path (every step, every condition). It takes the
//   sys.modules entry as it is and falls back to a real import only when there is none.
//   Callers that may meet a half-initialised module look the attribute up with
//   ModuleLookup::find and do a full import on a miss.
// - module_attr / ModuleLookup: getattr(module, name) for a name that ModuleType does not
//   define itself; ModuleLookup also keeps the module's dict while the module stays the same.
#pragma once

#include "binding/object.hpp"

namespace morva {

Ref import_module(PyObject* name);

Ref loaded_module(PyObject* name);

Ref module_attr(PyObject* module, PyObject* name);

class ModuleLookup {
 public:
  Ref get(PyObject* module, PyObject* name);
  // The same, but an AttributeError (or a plain miss) becomes an empty result.
  Ref find(PyObject* module, PyObject* name);

 private:
  Ref module_;                // held, so the cached dict cannot outlive it
  PyObject* dict_ = nullptr;  // borrowed from module_
};

}  // namespace morva
