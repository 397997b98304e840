// Signature-driven argument parsing: one declaration per callable gives the parser its names and
// defaults, the TypeErrors their callable name and the docstring its text signature; one parser
// for every method and constructor produces the host-visible TypeErrors (missing / too many /
// unexpected keyword / multiple values) and wraps conversion TypeErrors as "argument 'x': ..."
// with the original as __cause__.
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
  constexpr std::size_t size() const { return L - 1; }
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

// A NUL-terminated text assembled when compiling, in a buffer of at least its length: the
// unused tail stays NUL.
template <std::size_t N>
struct TextBuffer {
  std::array<char, N + 1> text{};
  std::size_t size = 0;
  constexpr void append(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) text[size++] = s[i];
  }
  constexpr const char* c_str() const { return text.data(); }
};

// Where the last part of a dotted name starts ("State.update" -> 6).
constexpr std::size_t last_part_start(std::string_view dotted) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < dotted.size(); ++i) {
    if (dotted[i] == '.') start = i + 1;
  }
  return start;
}

// What the parser needs of a signature, for the out-of-line part shared by all of them.
struct SigView {
  const char* full_name;
  const char* const* names;
  std::size_t count;
  std::size_t required;
  PyObject** interned;
};
}  // namespace detail

// A declared callable: its dotted name ("State.update"; "State.__new__" for a constructor) and
// its parameters as the text signature writes them, in order, required ones first ("key",
// "default=None"). Declared once, with `using`, beside the code that parses with it:
//   using StateNew = Signature<"State.__new__", "data=None", "version=1">;
//   auto a = parse<StateNew>(args, kwargs);
//   uint64_t version = a.convert_or<"version">(to_u64);  // 1 when not passed
// and named again in the type's table, which takes the callable's Python name and its
// docstring's text signature ("State(data=None, version=1)\n--\n\n") from it (type.hpp).
//
// A Signature is a type, never an object. The interned names it caches are one static array per
// declaration, made on first keyword use and kept for the life of the process; a cache per
// object would let a signature built on the stack leak a reference per name on every keyword
// call.
template <FixedText Name, FixedText... P>
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

  // "State.update()": the callable as the TypeErrors name it.
  static constexpr auto kFullName = [] {
    detail::TextBuffer<Name.size() + 2> out;
    out.append(Name.view());
    out.append("()");
    return out;
  }();
  // A constructor's text signature is the class's ("State(...)"), without $self.
  static constexpr bool kConstructor =
      FixedText("__new__").equals(Name.view().substr(detail::last_part_start(Name.view())));
  // The Python name of a method ("update"), or the class name of a constructor ("State").
  static constexpr std::string_view kShownName =
      kConstructor ? Name.view().substr(0, detail::last_part_start(Name.view()) - 1)
                   : Name.view().substr(detail::last_part_start(Name.view()));
  static constexpr auto kShownNameText = [] {
    detail::TextBuffer<kShownName.size()> out;
    out.append(kShownName);
    return out;
  }();
  // The parameters as written, and the length of their text joined by ", ".
  static constexpr std::array<std::string_view, kCount> kParams{P.view()...};
  static constexpr std::size_t kParamsLength = (std::size_t{0} + ... + (P.size() + 2));

  // The index of parameter `Param`; naming a parameter the signature lacks does not compile.
  template <FixedText Param>
  static constexpr std::size_t index_of() {
    constexpr std::size_t i = [] {
      constexpr std::array<std::string_view, kCount> names{P.name()...};
      std::size_t at = 0;
      while (at < kCount && !Param.equals(names[at])) ++at;
      return at;
    }();
    static_assert(i < kCount, "no parameter of that name in this signature");
    return i;
  }
  // The default written in the declaration, for parameters whose fallback is that text.
  template <FixedText Param>
  static constexpr std::string_view default_of() {
    constexpr std::array<std::string_view, kCount> defaults{P.default_text()...};
    return defaults[index_of<Param>()];
  }

  static constexpr std::array<const char*, kCount> names{detail::ParamName<P>::value.data()...};
  // The names as interned str, made on first keyword use and kept for the process (published
  // atomically: args.cpp): keyword names at call sites are interned too, so matching is a
  // pointer compare.
  static inline std::array<PyObject*, kCount> interned{};
  static constexpr detail::SigView kView{kFullName.c_str(), names.data(), kCount, kRequired,
                                         interned.data()};
};

// The docstring of a callable declared by `Sig`: its text signature, "name($self, a, b=None)"
// for a method (`kSelf`) or "name(a, b=None)" for a constructor or static method, then
// "\n--\n\n" and `Doc`. Built when compiling; CPython reads the text signature from the head.
template <typename Sig, bool kSelf, FixedText Doc>
inline constexpr auto kDocText = [] {
  detail::TextBuffer<Sig::kShownName.size() + Sig::kParamsLength + 16 + Doc.size()> out;
  out.append(Sig::kShownName);
  out.append("(");
  if (kSelf) out.append("$self");
  for (std::size_t i = 0; i < Sig::kCount; ++i) {
    if (kSelf || i > 0) out.append(", ");
    out.append(Sig::kParams[i]);
  }
  out.append(")\n--\n\n");
  out.append(Doc.view());
  return out;
}();

namespace detail {
// Fills out[0..count) with borrowed pointers (nullptr where not given) or throws. Runs no
// Python code, so what it finds is still there when a constructor's Args takes its references.
void parse_fastcall(const SigView& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
// The same for a tuple and a dict; returns the number of positional arguments.
Py_ssize_t parse_tuple(const SigView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

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

// The parsed arguments of one call, read by name; each stays valid for as long as the Args
// lives (the whole call), although a conversion may run Python code (an __index__, an iterator)
// that reaches where the arguments came from.
//  - Positional arguments are borrowed: a vectorcall's sit in the caller's array (the
//    interpreter's value stack, the items of a tuple it holds), a constructor's in a tuple the
//    caller holds, and CPython's own fast-call functions read them on the same terms.
//  - Keyword values are held by a strong reference each. A constructor (tp_new) gets the
//    caller's own keyword dict, and a vectorcall's keyword values may be borrowed from one:
//    operator.methodcaller (3.13) passes the values of the dict it keeps. Python code can reach
//    that dict and empty it while the call still has other arguments to read.
// The positional-only call, the common one, takes no reference at all.
template <typename Sig, bool kFromDict>
class Args {
 public:
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  // Releasing a reference may run a finalizer, which may unwind the thread at exit: see Ref.
  ~Args() noexcept(false) {
    for (std::size_t i = kept_from_; i < Sig::kCount; ++i) {
      if (values_[i] != nullptr) release_owned(values_[i]);
    }
  }

  // The argument, or nullptr when it was not passed.
  template <FixedText Name>
  PyObject* get() const {
    return values_[Sig::template index_of<Name>()];
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
  friend Args<S, false> parse(PyObject* const*, Py_ssize_t, PyObject*);
  template <typename S>
  friend Args<S, true> parse(PyObject*, PyObject*);

  // A vectorcall. Every slot is written: the positional arguments, then nullptr or a keyword
  // value. The common call (positional only, as many as the signature allows) is parsed here;
  // anything else goes to the parser, which also produces the errors.
  Args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(Sig::kRequired) &&
        nargs <= static_cast<Py_ssize_t>(Sig::kCount)) {
      for (std::size_t i = 0; i < Sig::kCount; ++i) {
        values_[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
      }
    } else {
      detail::parse_fastcall(Sig::kView, args, nargs, kwnames, values_.data());
      keep_from(kwnames == nullptr ? Sig::kCount : static_cast<std::size_t>(nargs));
    }
  }
  // A tuple and a dict: the values after the positional ones came from the dict.
  Args(PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = detail::parse_tuple(Sig::kView, args, kwargs, values_.data());
    keep_from(kwargs == nullptr ? Sig::kCount : static_cast<std::size_t>(nargs));
  }
  // Takes a reference to each value from `first` on: the ones a keyword supplied (parsing
  // runs no Python code, so they are all still there).
  void keep_from(std::size_t first) {
    kept_from_ = first;
    for (std::size_t i = first; i < Sig::kCount; ++i) Py_XINCREF(values_[i]);
  }

  // nullptr where not passed; from kept_from_ on (keyword values) each one is a reference of
  // ours, the rest are borrowed.
  std::array<PyObject*, Sig::kCount> values_;
  std::size_t kept_from_ = Sig::kCount;
};

// Vectorcall-style methods (METH_FASTCALL | METH_KEYWORDS).
template <typename Sig>
Args<Sig, false> parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Args<Sig, false>(args, nargs, kwnames);
}

// Constructors (tp_new receives a tuple and a dict).
template <typename Sig>
Args<Sig, true> parse(PyObject* args, PyObject* kwargs) {
  return Args<Sig, true>(args, kwargs);
}

}  // namespace morva
