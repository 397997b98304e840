// copy.deepcopy through the host's copy module, and its memo.
#include "binding/deep_copy.hpp"

#include "binding/modules.hpp"
#include "binding/stack_guard.hpp"

namespace morva {

Ref deep_copy(PyObject* value, PyObject* memo) {
  static InternedStr copy_name{"copy"};
  static InternedStr deepcopy_name{"deepcopy"};
  Ref module = import_module(copy_name.get());
  return Ref::checked(
      PyObject_CallMethodObjArgs(module.get(), deepcopy_name.get(), value, memo, nullptr));
}

namespace {

// What the memo holds for `original` (keyed by its id), or an empty reference; a memo that is
// no dict (a caller's own) is not looked into.
Ref memo_entry(PyObject* memo, PyObject* original) {
  if (!PyDict_Check(memo)) return Ref{};
  Ref id = Ref::checked(PyLong_FromVoidPtr(original));
  return dict_get(memo, id.get());
}

}  // namespace

Ref deep_copy_view(PyObject* view, PyObject* wrapped, PyObject* memo,
                   PyObject* (*convert)(PyObject*), Ref (*make)(Ref)) {
  // Nested views copy through the host's deepcopy once per level.
  check_stack("while copying a read-only view");
  Ref copied = deep_copy(wrapped, memo);
  if (Ref same = memo_entry(memo, view)) return same;
  return make(Ref::borrow(convert(copied.get())));
}

}  // namespace morva
