// Importing host modules at run time.
#pragma once

#include "binding/object.hpp"

namespace morva {

// `import name`: the module from sys.modules when it is there (and fully initialised), else a
// real import.
Ref import_module(PyObject* name);

}  // namespace morva
