// Owning references, the "a Python error is set" C++ exception, checked C-API helpers,
// the boundary wrapper every slot and method goes through, and the GIL release guard.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "binding/release.hpp"
#include "binding/stack_guard.hpp"
#include "binding/threads.hpp"

namespace morva {

// Thrown when a C-API call failed and the interpreter's error indicator is set.
// It never crosses into CPython: the boundary wrapper turns it back into NULL / -1.
struct PyErrorSet {};

// Thrown for a broken internal invariant; the boundary raises it as PanicException.
struct Panic : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Move-only owning handle to a Python object. Dropping a reference may run a finalizer, and
// a finalizer may end the thread at interpreter exit by unwinding it; so the destructor,
// reset() and move assignment are not noexcept, and they release through release_owned()
// (collected inside a deallocation, left alone on a thread being unwound at exit).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Ref() noexcept(false) {
    if (p_ != nullptr) release_owned(p_);
  }

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed object (may be null). A new reference handed straight
  // to the interpreter (a slot's result, a stealing call) is spelled Py_NewRef(p) instead:
  // the headers make it an inline increment, so it costs what Py_INCREF does.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes over the result of a C-API call that returns a new reference or NULL with an error.
  static Ref checked(PyObject* p) {
    if (p == nullptr) throw PyErrorSet{};
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // A new reference for the caller, keeping ours.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }
  void reset(PyObject* stolen = nullptr) {
    PyObject* old = p_;
    p_ = stolen;
    if (old != nullptr) release_owned(old);
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A fixed number of owned references, each filled at most once by whichever thread gets there
// first (a per-object cache: a workflow's compiled conditions), released with their owner.
class OnceRefs {
 public:
  explicit OnceRefs(std::size_t count)
      : cells_(count > 0 ? new OnceCell<PyObject>[count] : nullptr), count_(count) {}
  OnceRefs(const OnceRefs&) = delete;
  OnceRefs& operator=(const OnceRefs&) = delete;
  ~OnceRefs() noexcept(false) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (PyObject* p = cells_[i].get()) release_owned(p);
    }
  }
  OnceCell<PyObject>& operator[](std::size_t i) noexcept { return cells_[i]; }

 private:
  std::unique_ptr<OnceCell<PyObject>[]> cells_;
  std::size_t count_;
};

// Checked helpers: a failed C-API call becomes a throw of PyErrorSet.
inline PyObject* check(PyObject* p) {
  if (p == nullptr) throw PyErrorSet{};
  return p;
}
inline int check(int rc) {
  if (rc < 0) throw PyErrorSet{};
  return rc;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
  if (n < 0) throw PyErrorSet{};
  return n;
}

// Sets a Python error and returns null, without throwing: for errors that are ordinary flow in
// a caller's loop (a missing key under try/except, a version mismatch in a retry loop), where a
// C++ throw would cost the unwinder about 20,000 instructions, many times the call itself. The
// caller returns the null straight to the interpreter, through its scopes' destructors.
inline PyObject* set_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return nullptr;
}

// Sets a Python error and throws.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Sets `type` with a message built by PyUnicode_FromFormat (so %U and %R take objects) and throws.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// Raises an exception instance or type with a str object as argument.
[[noreturn]] void raise_object(PyObject* type, PyObject* value);

// Takes the current error out of the indicator as one normalised exception object with its
// traceback attached; the indicator is left clear.
Ref take_exception();
// Raises `type(message)` with `cause` as its __cause__ and __context__, as `raise X from Y`
// inside Y's handler would.
[[noreturn]] void raise_from(PyObject* type, PyObject* message, Ref cause);

// The process-wide PanicException type (a direct subclass of BaseException), made on first use.
PyObject* panic_exception();

// Boundary: every function handed to the interpreter is wrapped so that C++ exceptions
// end here and become the C-API error convention of its return type.
template <typename R>
inline R error_result() noexcept {
  if constexpr (std::is_void_v<R>) {
    return;
  } else if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

// Not noexcept: setting the error drops any error already set, whose finalizer may run.
void set_panic(const char* what);

template <auto F>
struct Boundary;

// Not noexcept, and the thread-exit unwinding is let through: a thread that takes the GIL
// back while the interpreter is finalizing is ended by the host with pthread_exit, whose
// forced unwinding must pass through our frames (swallowing it, or meeting a noexcept frame,
// aborts the process). That unwinding carries no C++ object, so its handler binds a null
// reference (never used); the null check is switched off for this shell alone.
#if defined(__GNUC__)
#define MORVA_BOUNDARY_ATTRIBUTES __attribute__((no_sanitize("null")))
#else
#define MORVA_BOUNDARY_ATTRIBUTES
#endif
template <typename R, typename... A, R (*F)(A...)>
struct Boundary<F> {
  MORVA_BOUNDARY_ATTRIBUTES static R call(A... a) {
    try {
      return F(a...);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const PyErrorSet&) {
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const StackExhausted& e) {
      set_stack_error(e);
    } catch (const std::exception& e) {
      set_panic(e.what());
    } catch (...) {
      set_panic("unknown internal fault");
    }
    return error_result<R>();
  }
};

// F behind the error boundary: the function pointer a slot or method table holds.
template <auto F>
inline constexpr auto error_boundary = &Boundary<F>::call;

// Releases the GIL for its scope. Nothing inside may touch Python objects. Taking the GIL
// back may end the thread during interpreter finalization (see Boundary), hence the
// destructor is allowed to unwind; and so no exception may leave the scope (the destructor
// would then start that unwinding during another one: terminate). Catch inside, rethrow after.
class AllowThreads {
 public:
  AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
  ~AllowThreads() noexcept(false) { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// Saves the current Python error (if any) and restores it on scope exit. On a thread being
// unwound at interpreter exit the error is left alone: that thread may not use the C API.
class SavedError {
 public:
  SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
  // Restoring drops any error set meanwhile, whose finalizer may unwind the thread at exit.
  ~SavedError() noexcept(false) {
    if (python_usable()) PyErr_Restore(type_, value_, tb_);
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

 private:
  PyObject* type_;
  PyObject* value_;
  PyObject* tb_;
};

// An interned str built on first use and kept for the life of the process, for attribute
// names on hot paths. Meant as a function-local static: the constructor is constexpr, so the
// static needs no guard; threads that meet it first at the same time intern the same text,
// and one reference is kept.
class InternedStr {
 public:
  explicit constexpr InternedStr(const char* text) noexcept : text_(text) {}
  PyObject* get() {
    return obj_.get_or_make([this] { return check(PyUnicode_InternFromString(text_)); },
                            [](PyObject* lost) { Py_DECREF(lost); });
  }

 private:
  const char* text_;
  OnceCell<PyObject> obj_;
};

// Lookups in containers that other threads may change (threads.hpp). The result is a new
// reference in both builds: free-threaded, another thread may replace or remove the entry at
// any moment, and a borrowed value could be freed under the caller.
// The value under `key` in `dict` (a dict), or null without an error when there is none.
inline Ref dict_get(PyObject* dict, PyObject* key) {
#ifdef Py_GIL_DISABLED
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key, &value) < 0) throw PyErrorSet{};
  return Ref::steal(value);
#else
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) throw PyErrorSet{};
  return Ref::borrow(value);
#endif
}
// The item at `index` of `list` (a list); IndexError when out of range.
inline Ref list_get(PyObject* list, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
  return Ref::checked(PyList_GetItemRef(list, index));
#else
  return Ref::borrow(check(PyList_GetItem(list, index)));
#endif
}
// The same as a new reference, or null with IndexError set, without throwing: an index past the
// end is how iteration by position ends (`for x in view`), once per loop (see set_error).
inline PyObject* list_item_or_null(PyObject* list, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
  return PyList_GetItemRef(list, index);
#else
  return Py_XNewRef(PyList_GetItem(list, index));
#endif
}

// Error filters for failures that are normal flow: each clears the error indicator when the
// current error is an instance of the named type and says so; any other error (an interrupt
// such as KeyboardInterrupt or SystemExit above all) stays set for the caller to throw.
// None is noexcept: clearing drops the exception, whose finalizers (of the exception, its
// arguments, its traceback's frames) may release the GIL and so end the thread at exit by
// unwinding it, which a noexcept frame turns into std::terminate.
bool clear_if(PyObject* type);
inline bool clear_if_attribute_error() { return clear_if(PyExc_AttributeError); }
// Any ordinary Exception, for lookups whose failure is dropped by design; but not
// RecursionError or MemoryError: running out of stack or memory must reach the caller, or a
// dropped failure lets the work go on (and fail again) at every level of a deep chain.
bool clear_if_exception();
// The test clear_if_exception() makes, without clearing: an error is set and is such an
// ordinary Exception.
bool ordinary_exception_set();

// `obj.name`, or null (error cleared) when the read fails with an ordinary Exception.
Ref optional_attribute(PyObject* obj, PyObject* name);

}  // namespace morva
