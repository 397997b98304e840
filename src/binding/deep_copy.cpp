// copy.deepcopy through the host's copy module, and its memo.
#include "binding/deep_copy.hpp"

#include "binding/modules.hpp"

namespace morva {

Ref deep_copy(PyObject* value, PyObject* memo) {
  static InternedStr copy_name{"copy"};
  static InternedStr deepcopy_name{"deepcopy"};
  Ref module = import_module(copy_name.get());
  return Ref::checked(
      PyObject_CallMethodObjArgs(module.get(), deepcopy_name.get(), value, memo, nullptr));
}

Ref memo_entry(PyObject* memo, PyObject* original) {
  if (memo == nullptr || !PyDict_Check(memo)) return Ref{};
  // The memo is keyed by id(original).
  Ref id = Ref::checked(PyLong_FromVoidPtr(original));
  PyObject* found = PyDict_GetItemWithError(memo, id.get());
  if (found == nullptr && PyErr_Occurred()) throw PyErrorSet{};
  return Ref::borrow(found);
}

}  // namespace morva
