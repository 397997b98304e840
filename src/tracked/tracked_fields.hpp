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

// The constructors' parameters, the same for both proxies.
using TrackedDictNew = Signature<"TrackedDict.__new__", "data", "tx", "path">;
using TrackedListNew = Signature<"TrackedList.__new__", "data", "tx", "path">;

// Parses (data, tx, path) by `Sig`, checking data with `as_container`, and builds the proxy.
template <typename Sig>
PyObject* new_tracked(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                      PyObject* (*as_container)(PyObject*));

}  // namespace morva
