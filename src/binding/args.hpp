// Signature-driven argument parsing: one parser for every method and constructor, producing
// the host-visible TypeErrors (missing / too many / unexpected keyword / multiple values) and
// wrapping conversion TypeErrors as "argument 'x': ..." with the original as __cause__.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>

#include "binding/object.hpp"

namespace morva {

// A compile-time text: a parameter as written in the text signature ("data", "version=1"), or
// a parameter name at a call site (a.convert<"version">(...)).
template <std::size_t L>
struct FixedText {
  char text[L]{};
  constexpr FixedText(const char (&s)[L]) { std::copy_n(s, L, text); }  // NOLINT: implicit
  // Plain loops rather than string_view::find and ==: the sanitizer build instruments their
  // pointer tests, which then stop being constant expressions.
  constexpr std::string_view view() const { return {text, L - 1}; }
  constexpr bool equals(std::string_view other) const {
    if (other.size() != L - 1) return false;
    for (std::size_t i = 0; i < L - 1; ++i) {
      if (text[i] != other[i]) return false;
    }
    return true;
  }
  // For a parameter: the name before "=", and the default after it ("" when required).
  constexpr std::size_t name_length() const {
    std::size_t n = 0;
    while (n < L - 1 && text[n] != '=') ++n;
    return n;
  }
  constexpr std::string_view name() const { return {text, name_length()}; }
  constexpr bool has_default() const { return name_length() < L - 1; }
  constexpr std::string_view default_text() const {
    return has_default() ? std::string_view{text + name_length() + 1, L - 2 - name_length()}
                         : std::string_view{};
  }
};

namespace detail {
// The name of parameter P as a NUL-terminated string with static storage.
template <FixedText P>
struct ParamName {
  static constexpr auto value = [] {
    std::array<char, P.name().size() + 1> out{};
    std::copy_n(P.name().data(), P.name().size(), out.data());
    return out;
  }();
};
}  // namespace detail

// A declared signature: the parameters as the text signature writes them, in order, required
// ones first ("key", "default=None"), and the full name used in messages ("State.update()",
// "State.__new__()"). Arguments are read by name, checked when compiling:
//   static const Signature<"data=None", "version=1"> sig{"State.__new__()"};
//   auto a = parse(sig, args, kwargs);
//   uint64_t version = a.convert_or<"version">(to_u64);  // 1 when not passed
//
// Every Signature is a function-local `static const`: it interns its names on first keyword use
// and keeps them for the life of the process, so one built per call would leak a reference per
// name on every keyword call. It cannot be copied, so a copy cannot start its own cache either.
template <FixedText... P>
struct Signature {
  static constexpr std::size_t kCount = sizeof...(P);
  static constexpr std::array<bool, kCount> kOptional{P.has_default()...};
  static constexpr std::size_t kRequired = [] {
    std::size_t n = 0;
    while (n < kCount && !kOptional[n]) ++n;
    return n;
  }();
  static_assert([] {
    for (std::size_t i = kRequired; i < kCount; ++i) {
      if (!kOptional[i]) return false;
    }
    return true;
  }(), "required parameters come before the ones with defaults");

  explicit constexpr Signature(const char* full_name) noexcept : full_name(full_name) {}
  Signature(const Signature&) = delete;
  Signature& operator=(const Signature&) = delete;

  // The index of parameter `Name`; naming a parameter the signature lacks does not compile.
  template <FixedText Name>
  static constexpr std::size_t index_of() {
    constexpr std::size_t i = [] {
      constexpr std::array<std::string_view, kCount> names{P.name()...};
      std::size_t at = 0;
      while (at < kCount && !Name.equals(names[at])) ++at;
      return at;
    }();
    static_assert(i < kCount, "no parameter of that name in this signature");
    return i;
  }
  // The default written in the declaration, for parameters whose fallback is that text.
  template <FixedText Name>
  static constexpr std::string_view default_of() {
    constexpr std::array<std::string_view, kCount> defaults{P.default_text()...};
    return defaults[index_of<Name>()];
  }

  const char* full_name;
  static constexpr std::array<const char*, kCount> names{detail::ParamName<P>::value.data()...};
  // The names as interned str, made on first keyword use (under the GIL, kept for the
  // process): keyword names at call sites are interned too, so matching is a pointer compare.
  mutable std::array<PyObject*, kCount> interned{};
};

namespace detail {
struct SigView {
  const char* full_name;
  const char* const* names;
  std::size_t count;
  std::size_t required;
  PyObject** interned;
};
// Fills out[0..count) with borrowed references (nullptr where not given) or throws. Runs no
// Python code, so what it finds cannot change before the caller takes its references.
void parse_fastcall(const SigView& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
void parse_tuple(const SigView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// The value a declared default text stands for ("5000", "True"), evaluated when compiling.
template <typename T>
constexpr T default_value(std::string_view text) {
  if constexpr (std::is_same_v<T, bool>) {
    if (FixedText("True").equals(text)) return true;
    if (!FixedText("False").equals(text)) throw "the declared default is not True or False";
    return false;
  } else {
    static_assert(std::is_unsigned_v<T>, "only unsigned and bool defaults are read from the text");
    if (text.empty()) throw "the parameter has no declared default";
    T value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') throw "the declared default is not an unsigned integer";
      value = static_cast<T>(value * 10 + static_cast<T>(c - '0'));
    }
    return value;
  }
}
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

// The parsed arguments of one call, read by name. Each holds a strong reference for as long as
// the Args lives (the whole call): a conversion may run Python code (an __index__, an
// iterator), and that code can reach the dict or array the arguments came from (a caller that
// hands its own keyword dict down) and empty it while the call still has other arguments to
// read. Only the arguments actually passed are counted, so a call pays one increment and one
// decrement per argument.
template <typename Sig>
class Args {
 public:
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  // The argument, or nullptr when it was not passed.
  template <FixedText Name>
  PyObject* get() const {
    return values_[Sig::template index_of<Name>()].get();
  }
  // The argument, or None when it was not passed.
  template <FixedText Name>
  PyObject* or_none() const {
    PyObject* value = get<Name>();
    return value ? value : Py_None;
  }
  // True when passed and not None.
  template <FixedText Name>
  bool present() const {
    PyObject* value = get<Name>();
    return value != nullptr && value != Py_None;
  }

  // Converts the argument (which must have been passed) with `conv`.
  template <FixedText Name, typename F>
  auto convert(F&& conv) const -> std::invoke_result_t<F, PyObject*> {
    return convert_arg(Sig::names[Sig::template index_of<Name>()], get<Name>(),
                       std::forward<F>(conv));
  }
  // Converts the argument when passed, else returns `fallback`.
  template <FixedText Name, typename F, typename T>
  auto convert_or(F&& conv, T fallback) const -> std::invoke_result_t<F, PyObject*> {
    if (get<Name>() == nullptr) return fallback;
    return convert<Name>(std::forward<F>(conv));
  }
  // Converts the argument when passed, else gives the default the declaration writes out.
  template <FixedText Name, typename F>
  auto convert_or(F&& conv) const -> std::invoke_result_t<F, PyObject*> {
    using T = std::invoke_result_t<F, PyObject*>;
    constexpr T fallback = detail::default_value<T>(Sig::template default_of<Name>());
    return convert_or<Name>(std::forward<F>(conv), fallback);
  }

 private:
  template <typename S>
  friend Args<S> parse(const S&, PyObject* const*, Py_ssize_t, PyObject*);
  template <typename S>
  friend Args<S> parse(const S&, PyObject*, PyObject*);

  // Takes a reference to each borrowed argument the parser found.
  explicit Args(const std::array<PyObject*, Sig::kCount>& found) noexcept {
    for (std::size_t i = 0; i < Sig::kCount; ++i) values_[i] = Ref::borrow(found[i]);
  }

  std::array<Ref, Sig::kCount> values_;
};

template <typename Sig>
detail::SigView view(const Sig& sig) {
  return detail::SigView{sig.full_name, Sig::names.data(), Sig::kCount, Sig::kRequired,
                         sig.interned.data()};
}

// Vectorcall-style methods (METH_FASTCALL | METH_KEYWORDS).
template <typename Sig>
Args<Sig> parse(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, Sig::kCount> found{};
  detail::parse_fastcall(view(sig), args, nargs, kwnames, found.data());
  return Args<Sig>(found);
}

// Constructors (tp_new receives a tuple and a dict).
template <typename Sig>
Args<Sig> parse(const Sig& sig, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, Sig::kCount> found{};
  detail::parse_tuple(view(sig), args, kwargs, found.data());
  return Args<Sig>(found);
}

}  // namespace morva
