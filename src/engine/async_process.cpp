// execute_process_async: a coroutine function is called and its coroutine returned; anything
// else is handed to asyncio.to_thread. The context is built over the state current at the
// call, so a commit made before the awaitable runs is not seen by the process. A launch holds
// the engine's commit gate while it runs, so it waits for a commit in progress on another
// thread and a commit in another thread waits for it.
#include "engine/async_process.hpp"

#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/convert.hpp"
#include "binding/modules.hpp"
#include "binding/stack_guard.hpp"
#include "engine/engine_fields.hpp"
#include "structures/process_context.hpp"

namespace morva {

PyObject* execute_process_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static InternedStr inspect_name{"inspect"};
  static InternedStr is_coroutine_name{"iscoroutinefunction"};
  static InternedStr asyncio_name{"asyncio"};
  static InternedStr to_thread_name{"to_thread"};
  auto a = parse<MorvaEngineExecuteProcessAsync>(args, nargs, kwnames);
  check_stack("in execute_process_async");
  MorvaEngineFields& f = engine_fields(self);
  // The shared access is held while Python code runs (inspect, the coroutine function,
  // to_thread), so the gate is taken first: see the lock order in state_commits.cpp.
  CommitGate::Hold gate(f.gate);
  BorrowFlag::Shared access(f.access);
  a.convert<"name">(as_str);
  PyObject* func = a.get<"func">();
  Ref inspect = import_module(inspect_name.get());
  Ref verdict = Ref::checked(
      PyObject_CallMethodObjArgs(inspect.get(), is_coroutine_name.get(), func, nullptr));
  bool is_coroutine = check(PyObject_IsTrue(verdict.get())) != 0;
  Ref context = make_process_context(f.state.get());
  if (is_coroutine) return check(PyObject_CallFunctionObjArgs(func, context.get(), nullptr));
  Ref asyncio = import_module(asyncio_name.get());
  return check(PyObject_CallMethodObjArgs(asyncio.get(), to_thread_name.get(), func,
                                          context.get(), nullptr));
}

}  // namespace morva
