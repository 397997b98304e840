// Condition evaluation: restricted builtins and namespace, expression-mode compile with the
// file name "<string>", evaluation, truth test and the two debug lines.
#include "fsm/condition.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "fsm/debug_line.hpp"

namespace morva::fsm {
namespace {

InternedStr kBuiltinNames[] = {InternedStr("len"), InternedStr("int"), InternedStr("float"),
                            InternedStr("str"),  InternedStr("bool"), InternedStr("abs"),
                            InternedStr("min"),  InternedStr("max"),  InternedStr("sum")};
constexpr std::size_t kBuiltinCount = std::size(kBuiltinNames);
InternedStr kBuiltinsModule{"builtins"};
InternedStr kBuiltinsKey{"__builtins__"};
InternedStr kTrue{"True"};
InternedStr kFalse{"False"};
InternedStr kNone{"None"};

// The twelve keys in their order with the values of the last evaluation: a private dict, never
// handed out. When every builtin is still the object it holds, which is nearly always, a copy
// of it is exactly the dict that inserting the twelve entries afresh would give.
class BuiltinsTemplate {
 public:
  BuiltinsTemplate() : dict_(Ref::checked(PyDict_New())) {
    for (InternedStr& name : kBuiltinNames) check(PyDict_SetItem(dict_.get(), name.get(), Py_None));
    check(PyDict_SetItem(dict_.get(), kTrue.get(), Py_True));
    check(PyDict_SetItem(dict_.get(), kFalse.get(), Py_False));
    check(PyDict_SetItem(dict_.get(), kNone.get(), Py_None));
    std::fill(std::begin(held_), std::end(held_), Py_None);
  }

  Ref fresh_copy(PyObject* module) {
    // Replaced values are released only after the template is consistent again: releasing one
    // may run a finaliser, which may evaluate a condition and so come back here.
    std::vector<Ref> replaced;
    for (std::size_t i = 0; i < kBuiltinCount; ++i) {
      Ref value = lookup_.get(module, kBuiltinNames[i].get());
      if (value.get() == held_[i]) continue;
      replaced.push_back(Ref::borrow(held_[i]));
      check(PyDict_SetItem(dict_.get(), kBuiltinNames[i].get(), value.get()));
      held_[i] = value.get();
    }
    Ref copy = Ref::checked(PyDict_Copy(dict_.get()));
    // Not from the vector's noexcept destructor: a finalizer may unwind the thread at exit.
    if (!replaced.empty()) release_collected([&] { std::vector<Ref>().swap(replaced); });
    return copy;
  }

 private:
  Ref dict_;
  PyObject* held_[kBuiltinCount];  // borrowed from dict_
  ModuleLookup lookup_;
};

// The twelve names an expression may use, in their fixed order, fetched afresh every time so a
// patched builtin is seen at the next evaluation.
Ref restricted_builtins() {
  // Process-wide and never destroyed: a static destructor would run after the interpreter.
  static BuiltinsTemplate& tmpl = *new BuiltinsTemplate;
  Ref module = loaded_module(kBuiltinsModule.get());
  return tmpl.fresh_copy(module.get());
}

// `__builtins__` first, then the context's entries in its order (a context key
// `__builtins__` replaces the restricted dict in place).
Ref namespace_for(PyObject* ctx) {
  Ref builtins = restricted_builtins();
  Ref ns = Ref::checked(PyDict_New());
  check(PyDict_SetItem(ns.get(), kBuiltinsKey.get(), builtins.get()));
  check(PyDict_Update(ns.get(), ctx));
  return ns;
}

Ref compile_condition(const std::string& condition) {
  const void* nul = std::memchr(condition.data(), '\0', condition.size());
  if (nul != nullptr) {
    auto position = static_cast<const char*>(nul) - condition.data();
    raise(PyExc_ValueError,
          "nul byte found in provided data at position: " + std::to_string(position));
  }
  return Ref::checked(Py_CompileString(condition.c_str(), "<string>", Py_eval_input));
}

}  // namespace

// PyImport_GetModule would also check that the module is not half-initialised, which raises
// and clears an AttributeError for every module without `__spec__._initializing`: far too
// slow for a lookup made at every condition and every process step.
Ref loaded_module(PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (PyDict_Check(modules)) {
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (module != nullptr && module != Py_None) return Ref::borrow(module);
    if (module == nullptr && PyErr_Occurred()) throw PyErrorSet{};
  }
  return Ref::checked(PyImport_Import(name));
}

// For a plain module object, getattr finds any name that ModuleType itself does not define in
// the module dict, so that lookup is made directly; on a miss, or for any other object, the
// ordinary lookup gives the exact result and error.
Ref module_attr(PyObject* module, PyObject* name) {
  if (PyModule_CheckExact(module)) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* value = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) throw PyErrorSet{};
  }
  return Ref::checked(PyObject_GetAttr(module, name));
}

Ref ModuleLookup::find(PyObject* module, PyObject* name) {
  if (module != module_.get()) {
    if (!PyModule_CheckExact(module)) {
      PyObject* value = PyObject_GetAttr(module, name);
      if (value == nullptr && !clear_if_attribute_error()) throw PyErrorSet{};
      return Ref::steal(value);
    }
    dict_ = PyModule_GetDict(module);
    module_ = Ref::borrow(module);
  }
  PyObject* value = PyDict_GetItemWithError(dict_, name);
  if (value == nullptr && PyErr_Occurred()) throw PyErrorSet{};
  return Ref::borrow(value);
}

Ref ModuleLookup::get(PyObject* module, PyObject* name) {
  Ref found = find(module, name);
  // A miss goes through the ordinary lookup: the module's own __getattr__, or the exact error.
  return found ? std::move(found) : module_attr(module, name);
}

bool evaluate_condition(const std::string& condition, PyObject* ctx, bool debug,
                        Ref* code_cache) {
  Ref ns = namespace_for(ctx);
  if (debug) debug_line("Evaluating condition: '" + condition + "'");
  Ref code;
  if (code_cache != nullptr && *code_cache) {
    code = Ref::borrow(code_cache->get());  // our own reference: another thread may refill it
  } else {
    code = compile_condition(condition);
    if (code_cache != nullptr) *code_cache = Ref::borrow(code.get());
  }
  Ref value = Ref::checked(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
  bool truth = check(PyObject_IsTrue(value.get())) != 0;
  if (debug) debug_line(truth ? "Condition result: true" : "Condition result: false");
  return truth;
}

}  // namespace morva::fsm
