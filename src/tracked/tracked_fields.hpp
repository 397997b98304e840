// The fields both tracked proxies hold, and their shared constructor argument checks.
#pragma once

#include "binding/object.hpp"

namespace morva {

struct TrackedFields {
  Ref data;  // the wrapped dict or list (subclasses accepted), written in place
  Ref tx;    // the Transaction whose write-log hook hears of every logged write
  Ref path;  // str, passed unchanged with every logged write
};

// Parses (data, tx, path) for `full_name` ("TrackedDict.__new__()"), checking data with
// `as_container`, and builds the proxy.
PyObject* new_tracked(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* full_name,
                      PyObject* (*as_container)(PyObject*));

}  // namespace morva
