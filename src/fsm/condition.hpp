// Workflow conditions: a Python expression evaluated against the context dict with a short
// list of builtins and nothing else by name.
#pragma once

#include <string>

#include "binding/object.hpp"

namespace morva::fsm {

// Evaluates `condition` and returns the truth of its value; raises (PyErrorSet) whatever the
// compile or the evaluation raised, or ValueError for an embedded NUL. The builtins dict and
// the namespace are rebuilt from `ctx` at every call. `code_cache` (may be null) keeps the
// compiled code of this exact text between calls: compiling is a pure function of the text, so
// only successful compiles are kept and a failing text fails the same way every time.
bool evaluate_condition(const std::string& condition, PyObject* ctx, bool debug,
                        Ref* code_cache);

// `import name` for a module that is always loaded and initialised once it is in sys.modules
// (builtins, asyncio.coroutines): the sys.modules entry when there is one, else a regular
// import (which also raises for a None entry).
Ref loaded_module(PyObject* name);
// getattr(module, name) for a name that ModuleType does not define itself (not a dunder),
// with a direct dict lookup for plain module objects.
Ref module_attr(PyObject* module, PyObject* name);

// module_attr for a module that is normally the same object from call to call: the module's
// dict (fixed for the module's life) is fetched once and reused while the module is.
class ModuleLookup {
 public:
  Ref get(PyObject* module, PyObject* name);
  // The same, but an AttributeError becomes an empty result.
  Ref find(PyObject* module, PyObject* name);

 private:
  Ref module_;               // held, so the cached dict cannot outlive it
  PyObject* dict_ = nullptr;  // borrowed from module_
};

}  // namespace morva::fsm
