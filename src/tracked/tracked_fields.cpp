// Shared construction of the tracked proxies.
#include "tracked/tracked_fields.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "engine/transaction.hpp"

namespace morva {

PyObject* new_tracked(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                      const Signature<3>& sig, PyObject* (*as_container)(PyObject*)) {
  auto a = parse(sig, args, kwargs);
  PyObject* data = a.convert(0, as_container);
  PyObject* tx =
      a.convert(1, [](PyObject* v) { return as_instance(v, transaction_type(), "Transaction"); });
  PyObject* path = a.convert(2, as_str);
  return create<TrackedFields>(type, Ref::borrow(data), Ref::borrow(tx), Ref::borrow(path))
      .release();
}

}  // namespace morva
