// FrozenDict: item and attribute reads go straight to the wrapped dict; writes are refused.
#include "structures/frozen_dict.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/deep_copy.hpp"
#include "binding/stack_guard.hpp"
#include "binding/text.hpp"
#include "binding/type.hpp"
#include "errors/exceptions.hpp"

namespace morva {
namespace {

struct FrozenDictFields {
  Ref data;  // a dict (or dict subclass)
};

PyObject* data_of(PyObject* self) { return fields<FrozenDictFields>(self).data.get(); }

using FrozenDictNew = Signature<"FrozenDict.__new__", "data">;
using FrozenDictGet = Signature<"FrozenDict.get", "key", "default=None">;
using FrozenDictDeepcopy = Signature<"FrozenDict.__deepcopy__", "memo">;

PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = parse<FrozenDictNew>(args, kwargs);
  PyObject* dict = a.convert<"data">(as_dict);
  return create<FrozenDictFields>(type, Ref::borrow(dict)).release();
}

// Present: the stored value itself; absent: KeyError "Key not found" (not thrown: a miss is
// ordinary flow under try/except); lookup errors propagate.
PyObject* getitem(PyObject* self, PyObject* key) {
  Ref value = dict_get(data_of(self), key);
  if (!value) return set_error(PyExc_KeyError, "Key not found");
  return value.release();
}

int setitem(PyObject*, PyObject*, PyObject* value) {
  if (value == nullptr) refuse_item_delete();
  raise(context_error(), "Context is Immutable. Use .update()");
}

// Normal lookup first (methods, standard attributes); on AttributeError the name is a key. A
// name the normal lookup cannot find goes to the key at once: raising and catching that
// AttributeError would cost ten times the dict lookup.
PyObject* getattro(PyObject* self, PyObject* name) {
  static LookupNames own_names;
  if (!own_names.may_find(Py_TYPE(self), name)) return getitem(self, name);
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !clear_if_attribute_error()) return check(found);
  return getitem(self, name);
}

PyObject* str(PyObject* self) {
  // The dict's text may hold this view's text again, as deep as the data nests.
  check_stack("while getting the text of a FrozenDict");
  Ref inner = text_of(data_of(self));
  return check(PyUnicode_FromFormat("FrozenDict(%U)", inner.get()));
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<FrozenDictGet>(args, nargs, kwnames);
  Ref value = dict_get(data_of(self), a.get<"key">());
  return value ? value.release() : Py_NewRef(a.or_none<"default">());
}

PyObject* to_dict(PyObject* self, PyObject*) { return Py_NewRef(data_of(self)); }

// copy.copy: another view over the same dict (a view has no state of its own to copy).
PyObject* copy(PyObject* self, PyObject*) {
  return make_frozen_dict(Ref::borrow(data_of(self))).release();
}

// copy.deepcopy: a new view over a deep copy of the dict, made with the caller's memo.
PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = parse<FrozenDictDeepcopy>(args, nargs, kwnames);
  return deep_copy_view(self, data_of(self), a.get<"memo">(), as_dict, make_frozen_dict).release();
}
PyObject* keys(PyObject* self, PyObject*) { return check(PyDict_Keys(data_of(self))); }
PyObject* values(PyObject* self, PyObject*) { return check(PyDict_Values(data_of(self))); }
PyObject* items(PyObject* self, PyObject*) { return check(PyDict_Items(data_of(self))); }

PyTypeObject* build() {
  static PyMethodDef methods[] = {
      method<get, FrozenDictGet>(),
      method_noargs<to_dict, "to_dict">(),
      method_noargs<keys, "keys">(),
      method_noargs<values, "values">(),
      method_noargs<items, "items">(),
      method_noargs<copy, "__copy__", "Another view over the same dict.">(),
      method<deepcopy, FrozenDictDeepcopy, "A new view over a deep copy of the dict.">(),
      end_methods(),
  };
  return build_type(TypeSpec{
      .name = "morva_core.FrozenDict",
      .basicsize = sizeof(Box<FrozenDictFields>),
      .slots = join_slots(
          {
              doc_slot<FrozenDictNew>(),
              slot<new_>(Py_tp_new),
              dealloc_slot<FrozenDictFields>(),
              slot<getattro>(Py_tp_getattro),
              slot<str>(Py_tp_str),
              raw_slot(Py_tp_methods, methods),
          },
          item_read_slots<getitem>(), item_write_slots<setitem>()),
  });
}

}  // namespace

PyTypeObject* frozen_dict_type() {
  return cached_type<build>();
}

Ref make_frozen_dict(Ref dict) {
  return create<FrozenDictFields>(frozen_dict_type(), std::move(dict));
}

}  // namespace morva
