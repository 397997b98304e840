// OutboxCollector: appends copies of OutboxMsg records to its transaction's message list. It
// keeps the list (not the transaction) alive, so a collector may outlive its transaction.
#include "engine/outbox_collector.hpp"

#include "binding/args.hpp"
#include "binding/type.hpp"
#include "structures/outbox_msg.hpp"

namespace morva {
namespace {

struct CollectorFields {
  SharedMessageList list;
};

using OutboxCollectorAdd = Signature<"OutboxCollector.add", "msg">;

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<OutboxCollectorAdd>(args, nargs, kwnames);
  fields<CollectorFields>(self).list->append(a.convert<"msg">(outbox_msg_record));
  Py_RETURN_NONE;
}

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<add, OutboxCollectorAdd>(),
      end_methods(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.OutboxCollector",
      .basicsize = sizeof(Box<CollectorFields>),
      .slots = {
          doc_slot("Helper to collect outbox messages in Transaction"),
          no_constructor_slot(),
          dealloc_slot<CollectorFields, FieldRelease::kCollect>(),
          raw_slot(Py_tp_methods, methods),
      },
  });
}

}  // namespace

PyTypeObject* outbox_collector_type() {
  return cached_type<build>();
}

Ref make_outbox_collector(SharedMessageList list) {
  return create<CollectorFields>(outbox_collector_type(), std::move(list));
}

}  // namespace morva
