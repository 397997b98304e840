// Condition evaluation: restricted builtins and namespace, expression-mode compile with the
// file name "<string>", evaluation, truth test and the two debug lines.
#include "fsm/condition.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "binding/check.hpp"
#include "binding/modules.hpp"
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
  Ref module = loaded_module(kBuiltinsModule.get());
#ifdef Py_GIL_DISABLED
  // Threads evaluate at once: no shared template, the dict is built as the template would be.
  Ref dict = Ref::checked(PyDict_New());
  for (InternedStr& name : kBuiltinNames) {
    Ref value = module_attr(module.get(), name.get());
    check(PyDict_SetItem(dict.get(), name.get(), value.get()));
  }
  check(PyDict_SetItem(dict.get(), kTrue.get(), Py_True));
  check(PyDict_SetItem(dict.get(), kFalse.get(), Py_False));
  check(PyDict_SetItem(dict.get(), kNone.get(), Py_None));
  return dict;
#else
  // Process-wide and never destroyed: a static destructor would run after the interpreter.
  static BuiltinsTemplate& tmpl = *new BuiltinsTemplate;
  return tmpl.fresh_copy(module.get());
#endif
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

// Compiles `source` (UTF-8 bytes) with every warning recorded instead of shown: the code when
// the compile succeeded without a single warning, True when it warned, None when it failed.
// Recording replaces the process-wide filters for the moment of the compile only, and only the
// first time a text is compiled.
constexpr const char* kProbeSource = R"(
def probe(source, compile=compile):
    import warnings
    with warnings.catch_warnings(record=True) as log:
        warnings.simplefilter("always")
        try:
            code = compile(source, "<string>", "eval", dont_inherit=True)
        except Exception:
            return None
    return True if log else code
)";

PyObject* warning_probe() {
  // Process-wide and never released, like the interned strings. No static-initialisation guard:
  // building it runs Python code, which may let another thread in to build it too (the first
  // one made is kept).
  static OnceCell<PyObject> probe;
  if (PyObject* made = probe.get()) return made;
  Ref code = Ref::checked(Py_CompileString(kProbeSource, "<morva_core>", Py_file_input));
  Ref globals = Ref::checked(PyDict_New());
  Ref builtins = loaded_module(kBuiltinsModule.get());
  check(PyDict_SetItem(globals.get(), kBuiltinsKey.get(), builtins.get()));
  Ref ran = Ref::checked(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  PyObject* made = PyDict_GetItemString(globals.get(), "probe");  // borrowed: a private dict
  MORVA_CHECK(made != nullptr);
  return probe.publish(Py_NewRef(made), [](PyObject* lost) { Py_DECREF(lost); });
}

// The code for a cached condition: from the cache, or compiled now and kept when its compile
// issues no warning. A text that warns or fails is compiled under the caller's filters, so its
// warnings (or the SyntaxError a filter turns them into) come at every evaluation.
Ref cached_code(const std::string& condition, OnceCell<PyObject>& cache) {
  auto drop = [](PyObject* lost) { Py_DECREF(lost); };
  PyObject* known = cache.get();
  if (known != nullptr && known != Py_None) return Ref::borrow(known);  // the cache keeps it
  if (known == nullptr && std::memchr(condition.data(), '\0', condition.size()) == nullptr) {
    Ref source = Ref::checked(
        PyBytes_FromStringAndSize(condition.data(), static_cast<Py_ssize_t>(condition.size())));
    Ref probed = Ref::checked(PyObject_CallFunctionObjArgs(warning_probe(), source.get(), nullptr));
    if (probed.get() == Py_True) {
      cache.publish(Py_NewRef(Py_None), drop);
    } else if (probed.get() != Py_None) {
      cache.publish(probed.new_ref(), drop);
      return probed;
    }
  }
  return compile_condition(condition);
}

}  // namespace

bool evaluate_condition(const std::string& condition, PyObject* ctx, bool debug,
                        OnceCell<PyObject>* code_cache) {
  Ref ns = namespace_for(ctx);
  if (debug) debug_line({"Evaluating condition: '", condition, "'"});
  Ref code = code_cache ? cached_code(condition, *code_cache) : compile_condition(condition);
  Ref value = Ref::checked(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
  bool truth = check(PyObject_IsTrue(value.get())) != 0;
  if (debug) debug_line({truth ? "Condition result: true" : "Condition result: false"});
  return truth;
}

}  // namespace morva::fsm
