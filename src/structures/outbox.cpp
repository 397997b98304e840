// Outbox: appends copies of OutboxMsg records to a shared list and lists them as new objects.
#include "structures/outbox.hpp"

#include "binding/args.hpp"
#include "binding/type.hpp"
#include "structures/outbox_msg.hpp"

namespace morva {
namespace {

struct OutboxFields {
  SharedMessageList list;
};

MessageList& list_of(PyObject* self) { return *fields<OutboxFields>(self).list; }

using OutboxNew = Signature<"Outbox.__new__">;
using OutboxAdd = Signature<"Outbox.add", "msg">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  parse<OutboxNew>(args, kwargs);
  return create<OutboxFields>(type, std::make_shared<MessageList>()).release();
}

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<OutboxAdd>(args, nargs, kwnames);
  list_of(self).append(a.convert<"msg">(outbox_msg_record));
  Py_RETURN_NONE;
}

PyObject* get_messages(PyObject* self, void*) { return outbox_messages(list_of(self)).release(); }

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<add, OutboxAdd>(),
      end_methods(),
  };
  static PyGetSetDef props[] = {
      getter<get_messages>("messages"),
      end_getset(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.Outbox",
      .basicsize = sizeof(Box<OutboxFields>),
      .slots = {
          doc_slot<OutboxNew>(),
          slot<new_>(Py_tp_new),
          dealloc_slot<OutboxFields, FieldRelease::kCollect>(),
          raw_slot(Py_tp_methods, methods),
          raw_slot(Py_tp_getset, props),
      },
  });
}

}  // namespace

PyTypeObject* outbox_type() {
  return cached_type<build>();
}

Ref make_outbox(SharedMessageList list) {
  return create<OutboxFields>(outbox_type(), std::move(list));
}

Ref outbox_messages(const MessageList& list) {
  MessageBatch records = list.snapshot();
  Ref out = Ref::checked(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (std::size_t i = 0; i < records.size(); ++i) {
    Ref msg = make_outbox_msg(std::move(records[i]));
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), msg.release());
  }
  return out;
}

}  // namespace morva
