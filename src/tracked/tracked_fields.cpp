// Shared construction of the tracked proxies.
#include "tracked/tracked_fields.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "engine/transaction.hpp"

namespace morva {

template <typename Sig>
PyObject* new_tracked(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                      PyObject* (*as_container)(PyObject*)) {
  auto a = parse<Sig>(args, kwargs);
  PyObject* data = a.template convert<"data">(as_container);
  PyObject* tx =
      a.template convert<"tx">([](PyObject* v) {
        return as_instance(v, transaction_type(), "Transaction");
      });
  PyObject* path = a.template convert<"path">(as_str);
  return create<TrackedFields>(type, Ref::borrow(data), Ref::borrow(tx), Ref::borrow(path))
      .release();
}

template PyObject* new_tracked<TrackedDictNew>(PyTypeObject*, PyObject*, PyObject*,
                                               PyObject* (*)(PyObject*));
template PyObject* new_tracked<TrackedListNew>(PyTypeObject*, PyObject*, PyObject*,
                                               PyObject* (*)(PyObject*));

}  // namespace morva
