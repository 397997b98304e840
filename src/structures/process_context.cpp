// ProcessContext: fixed fields, forgiving domain/global reads, and attribute forwarding to the
// state for every name the context does not have itself.
#include "structures/process_context.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/type.hpp"
#include "structures/outbox.hpp"
#include "structures/state.hpp"

namespace morva {
namespace {

struct ContextFields {
  Ref state;  // a State (or subclass)
  Ref local;  // a dict (or subclass), the caller's own
  SharedMessageList outbox;
};

ContextFields& context_of(PyObject* self) { return fields<ContextFields>(self); }

using ProcessContextNew = Signature<"ProcessContext.__new__", "state", "local">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<ProcessContextNew>(args, kwargs);
  PyObject* state =
      a.convert<"state">([](PyObject* v) { return as_instance(v, state_type(), "State"); });
  PyObject* local = a.convert<"local">(as_dict);
  return create<ContextFields>(type, Ref::borrow(state), Ref::borrow(local),
                               std::make_shared<MessageList>())
      .release();
}

PyObject* get_state(PyObject* self, void*) { return context_of(self).state.new_ref(); }
PyObject* get_local(PyObject* self, void*) { return context_of(self).local.new_ref(); }
PyObject* get_outbox(PyObject* self, void*) { return make_outbox(context_of(self).outbox).release(); }

// state.data[key] with every lookup error forgiven (None); only the `data` read itself may fail.
PyObject* section(PyObject* self, PyObject* key) {
  static InternedStr data_name{"data"};
  Ref data = Ref::checked(PyObject_GetAttr(context_of(self).state.get(), data_name.get()));
  PyObject* value = PyObject_GetItem(data.get(), key);
  if (value == nullptr) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return value;
}

PyObject* get_domain_ctx(PyObject* self, void*) {
  static InternedStr key{"domain"};
  return section(self, key.get());
}
PyObject* get_global_ctx(PyObject* self, void*) {
  static InternedStr key{"global"};
  return section(self, key.get());
}

// The context's own attributes first; any other name is read from the state, and a failure
// there is reported as the context's missing attribute. A name the normal lookup cannot find is
// forwarded at once, without raising and catching its AttributeError. The state is asked for
// the exact str of the name's text, the text the message reports.
PyObject* getattro(PyObject* self, PyObject* name) {
  static LookupNames own_names;
  if (own_names.may_find(Py_TYPE(self), name)) {
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found != nullptr || !clear_if_attribute_error()) return check(found);
  }
  Ref text = exact_str(name);
  PyObject* forwarded = PyObject_GetAttr(context_of(self).state.get(), text.get());
  if (forwarded != nullptr) return forwarded;
  PyErr_Clear();
  raise_format(PyExc_AttributeError, "'ProcessContext' object has no attribute '%U'",
               text.get());
}

PyTypeObject* build() {
  static PyGetSetDef props[] = {
      getter<get_state>("state"),
      getter<get_local>("local"),
      getter<get_outbox>("outbox"),
      getter<get_domain_ctx>("domain_ctx"),
      getter<get_global_ctx>("global_ctx"),
      end_getset(),
  };
  // Immutable: the forwarding relies on a fixed set of the context's own names.
  return build_type(
      TypeSpec{
          .name = "morva_core.ProcessContext",
          .basicsize = sizeof(Box<ContextFields>),
          .slots = {
              doc_slot<ProcessContextNew, "Ephemeral Context passed to Process">(),
              slot<new_>(Py_tp_new),
              dealloc_slot<ContextFields, FieldRelease::kCollect>(),
              slot<getattro>(Py_tp_getattro),
              raw_slot(Py_tp_getset, props),
          },
      });
}

}  // namespace

PyTypeObject* process_context_type() {
  return cached_type<build>();
}

Ref make_process_context(PyObject* state) {
  Ref local = Ref::checked(PyDict_New());
  return create<ContextFields>(process_context_type(), Ref::borrow(state), std::move(local),
                               std::make_shared<MessageList>());
}

}  // namespace morva
