// Shared construction of the tracked proxies.
#include "tracked/tracked_fields.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "engine/transaction.hpp"

namespace morva {

PyObject* new_tracked(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                      const TrackedSignature& sig, PyObject* (*as_container)(PyObject*)) {
  auto a = parse(sig, args, kwargs);
  PyObject* data = a.convert<"data">(as_container);
  PyObject* tx =
      a.convert<"tx">([](PyObject* v) {
        return as_instance(v, transaction_type(), "Transaction");
      });
  PyObject* path = a.convert<"path">(as_str);
  return create<TrackedFields>(type, Ref::borrow(data), Ref::borrow(tx), Ref::borrow(path))
      .release();
}

}  // namespace morva
