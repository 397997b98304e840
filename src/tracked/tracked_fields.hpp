// The fields both tracked proxies hold, and their shared constructor argument checks.
#pragma once

#include "binding/args.hpp"
#include "binding/object.hpp"

namespace morva {

struct TrackedFields {
  Ref data;  // the wrapped dict or list (subclasses accepted), written in place
  Ref tx;    // the Transaction whose write-log hook hears of every logged write
  Ref path;  // str, passed unchanged with every logged write
};

// The constructor's parameters; each proxy declares its own static Signature of this type.
using TrackedSignature = Signature<"data", "tx", "path">;

// Parses (data, tx, path) with `sig`, checking data with `as_container`, and builds the proxy.
PyObject* new_tracked(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                      const TrackedSignature& sig, PyObject* (*as_container)(PyObject*));

}  // namespace morva
