// Workflow conditions: a Python expression evaluated against the context dict with a short
// list of builtins and nothing else by name.
#pragma once

#include <string>

#include "binding/object.hpp"

namespace morva::fsm {

// Evaluates `condition` and returns the truth of its value; raises (PyErrorSet) whatever the
// compile or the evaluation raised, or ValueError for an embedded NUL. The builtins dict and
// the namespace are rebuilt from `ctx` at every call. `code_cache` (may be null) keeps the
// compiled code of this exact text between calls. Compiling is a pure function of the text
// except for the warnings it issues, which the caller's filters decide at each evaluation: so
// only code whose compile issues no warning at all is kept (the cache then holds the code);
// for a text that warns the cache holds None and the text is compiled afresh every time.
// Threads that compile the same text at once each keep using their own code; the first one
// published stays in the cache.
bool evaluate_condition(const std::string& condition, PyObject* ctx, bool debug,
                        OnceCell<PyObject>* code_cache);

}  // namespace morva::fsm
