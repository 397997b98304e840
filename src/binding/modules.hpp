// Finding host modules and their attributes at run time.
//
// Which to use:
// - import_module: `import name` with its full guarantee: a module that another thread is still
//   initialising is waited for. For lookups made once or rarely (a constructor, the first use
//   of a helper module) and for any module that user code may be importing concurrently.
// - loaded_module: the sys.modules entry as it stands, a real import only on a miss. For hot
//   paths (every condition, every process step), where PyImport_GetModule's check for a
//   half-initialised module costs a raised and cleared AttributeError per call. Use it for
//   modules that are initialised before anyone can see them (builtins, asyncio's own
//   submodules), or pair it with a fallback to import_module when an attribute is missing.
// - module_attr: getattr(module, name) for a name that ModuleType does not define itself (not a
//   dunder), with a direct dict read for plain module objects.
// - ModuleLookup: module_attr for a module that is normally the same object from call to call
//   (the module's dict is fetched once and reused while the module is); `find` is the fallback
//   test for a module that may be half-initialised (a missing attribute is no error).
// Elsewhere, do not call PyImport_Import: it goes through __import__ on every call, even for a
// module that is already loaded.
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
