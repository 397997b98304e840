// Signature-driven argument parsing: one parser for every method and constructor, producing
// the host-visible TypeErrors (missing / too many / unexpected keyword / multiple values) and
// wrapping conversion TypeErrors as "argument 'x': ..." with the original as __cause__.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "binding/object.hpp"

namespace morva {

// A declared signature: the full name used in messages ("State.update()", "State.__new__()"),
// the parameter names in order, and how many leading parameters are required.
//
// Every Signature is a function-local `static const`: it interns its names on first keyword use
// and keeps them for the life of the process, so one built per call would leak a reference per
// name on every keyword call. It cannot be copied, so a copy cannot start its own cache either.
template <std::size_t N>
struct Signature {
  constexpr Signature(const char* full_name, std::array<const char*, N> names,
                      std::size_t required) noexcept
      : full_name(full_name), names(names), required(required) {}
  Signature(const Signature&) = delete;
  Signature& operator=(const Signature&) = delete;

  const char* full_name;
  std::array<const char*, N> names;
  std::size_t required;
  // The names as interned str, made on first keyword use (under the GIL, kept for the
  // process): keyword names at call sites are interned too, so matching is a pointer compare.
  mutable std::array<PyObject*, N> interned{};
};

namespace detail {
struct SigView {
  const char* full_name;
  const char* const* names;
  std::size_t count;
  std::size_t required;
  PyObject** interned;
};
// Fills out[0..count) with borrowed references (nullptr where not given) or throws.
void parse_fastcall(const SigView& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
void parse_tuple(const SigView& sig, PyObject* args, PyObject* kwargs, PyObject** out);
}  // namespace detail

// Re-raises the current error for parameter `name`: a TypeError becomes
// TypeError("argument 'name': <message>") whose __cause__ is the original; other errors pass.
[[noreturn]] void rethrow_for_argument(const char* name);

// Runs a conversion for one parameter, applying the wrapping rule above on failure.
template <typename F>
auto convert_arg(const char* name, PyObject* value, F&& conv) -> decltype(conv(value)) {
  try {
    return conv(value);
  } catch (const PyErrorSet&) {
    rethrow_for_argument(name);
  }
}

// The parsed arguments of one call: borrowed references that live as long as the call.
template <std::size_t N>
class Args {
 public:
  Args(const Signature<N>& sig) : sig_(sig) {}  // NOLINT: filled by parse()

  // The argument, or nullptr when it was not passed.
  PyObject* operator[](std::size_t i) const { return values_[i]; }
  // The argument, or None when it was not passed.
  PyObject* or_none(std::size_t i) const { return values_[i] ? values_[i] : Py_None; }
  // True when passed and not None.
  bool present(std::size_t i) const { return values_[i] != nullptr && values_[i] != Py_None; }
  const char* name(std::size_t i) const { return sig_.names[i]; }

  // Converts argument i (which must have been passed) with `conv`.
  template <typename F>
  auto convert(std::size_t i, F&& conv) const -> std::invoke_result_t<F, PyObject*> {
    return convert_arg(sig_.names[i], values_[i], std::forward<F>(conv));
  }
  // Converts argument i when passed, else returns `fallback`.
  template <typename F, typename T>
  auto convert_or(std::size_t i, F&& conv, T fallback) const -> std::invoke_result_t<F, PyObject*> {
    if (values_[i] == nullptr) return fallback;
    return convert_arg(sig_.names[i], values_[i], std::forward<F>(conv));
  }

  PyObject** data() { return values_.data(); }

 private:
  const Signature<N>& sig_;
  std::array<PyObject*, N> values_{};
};

template <std::size_t N>
detail::SigView view(const Signature<N>& sig) {
  return detail::SigView{sig.full_name, sig.names.data(), N, sig.required, sig.interned.data()};
}

// Vectorcall-style methods (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
Args<N> parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
  Args<N> out(sig);
  detail::parse_fastcall(view(sig), args, nargs, kwnames, out.data());
  return out;
}

// Constructors (tp_new receives a tuple and a dict).
template <std::size_t N>
Args<N> parse(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  Args<N> out(sig);
  detail::parse_tuple(view(sig), args, kwargs, out.data());
  return out;
}

}  // namespace morva
