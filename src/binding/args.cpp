// The argument parser behind args.hpp and its exact TypeError messages.
#include "binding/args.hpp"

#include <algorithm>
#include <atomic>
#include <string>

namespace morva::detail {
namespace {

[[noreturn]] void too_many_positional(const SigView& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  std::string msg = sig.full_name;
  if (sig.required != sig.count) {
    msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(sig.count) +
           " positional arguments but " + std::to_string(given) + " " + verb + " given";
  } else {
    msg += " takes " + std::to_string(sig.count) + " positional arguments but " +
           std::to_string(given) + " " + verb + " given";
  }
  raise(PyExc_TypeError, msg);
}

[[noreturn]] void unexpected_keyword(const SigView& sig, PyObject* kw) {
  raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, kw);
}

[[noreturn]] void multiple_values(const SigView& sig, const char* name) {
  raise_format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name, name);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const std::string* names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n > 2) out += ",";
      out += (i + 1 == n) ? " and " : " ";
    }
    out += "'" + names[i] + "'";
  }
  return out;
}

[[noreturn]] void report_missing(const SigView& sig, PyObject* const* out) {
  std::string missing[16];
  std::size_t n = 0;
  for (std::size_t i = 0; i < sig.required && n < 16; ++i) {
    if (out[i] == nullptr) missing[n++] = sig.names[i];
  }
  std::string msg = std::string(sig.full_name) + " missing " + std::to_string(n) +
                    " required positional argument" + (n == 1 ? "" : "s") + ": " +
                    join_names(missing, n);
  raise(PyExc_TypeError, msg);
}

// The common case (nothing missing) is a plain scan: the message is only built on failure.
void check_missing(const SigView& sig, PyObject* const* out) {
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) report_missing(sig, out);
  }
}

// The interned names are shared by every thread that calls the signature's function: each is
// published with one compare-and-swap (a thread that interned it at the same time drops its
// reference), and read with atomic loads; they are only compared, never looked into.
std::atomic_ref<PyObject*> interned_at(const SigView& sig, std::size_t i) {
  return std::atomic_ref<PyObject*>(sig.interned[i]);
}

void intern_names(const SigView& sig) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (interned_at(sig, i).load(std::memory_order_acquire) != nullptr) continue;
    PyObject* name = PyUnicode_InternFromString(sig.names[i]);
    if (name == nullptr) throw PyErrorSet{};
    PyObject* expected = nullptr;
    if (!interned_at(sig, i).compare_exchange_strong(expected, name, std::memory_order_acq_rel)) {
      Py_DECREF(name);
    }
  }
}

// The index of the parameter called `kw`, or sig.count.
std::size_t find_keyword(const SigView& sig, PyObject* kw) {
  if (sig.count > 0 &&
      interned_at(sig, sig.count - 1).load(std::memory_order_acquire) == nullptr) {
    intern_names(sig);
  }
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (interned_at(sig, i).load(std::memory_order_relaxed) == kw) return i;
  }
  // A keyword built at run time (for example through **kwargs) need not be interned.
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(kw, sig.names[i]) == 0) return i;
  }
  return sig.count;
}

// Places one keyword argument, or throws for an unknown name or a duplicate.
void place_keyword(const SigView& sig, PyObject* kw, PyObject* value, Py_ssize_t nargs,
                   PyObject** out) {
  std::size_t i = find_keyword(sig, kw);
  if (i == sig.count) unexpected_keyword(sig, kw);
  if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) multiple_values(sig, sig.names[i]);
  out[i] = value;
}

}  // namespace

void parse_fastcall(const SigView& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  if (nargs > static_cast<Py_ssize_t>(sig.count)) too_many_positional(sig, nargs);
  std::copy_n(args, nargs, out);
  std::fill(out + nargs, out + sig.count, nullptr);
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], nargs, out);
    }
  }
  check_missing(sig, out);
}

Py_ssize_t parse_tuple(const SigView& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  if (nargs > static_cast<Py_ssize_t>(sig.count)) too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  std::fill(out + nargs, out + sig.count, nullptr);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, nargs, out);
  }
  check_missing(sig, out);
  return nargs;
}

}  // namespace morva::detail

namespace morva {

void rethrow_for_argument(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
  Ref cause = take_exception();
  Ref text = Ref::checked(PyObject_Str(cause.get()));
  Ref message = Ref::checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  raise_from(PyExc_TypeError, message.get(), std::move(cause));
}

}  // namespace morva
