// The declared contract of a guard: readable and writable names, and the one check every guarded
// access passes through. Pure C++ over UTF-8 text; no Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace morva {

// True when the declared name `declared` permits the access path `path`: the path is the name,
// a dotted ancestor of it, or lies below it (after "." or "[").
bool declared_permits(std::string_view declared, std::string_view path) noexcept;

// Immutable once built, so nested guards share one instance instead of copying the lists.
// All names live in one buffer: checking a path against any number of declared names
// allocates nothing. Small contracts are scanned; larger ones also get hash indexes so a check
// costs a few lookups whatever the number of names.
class Contract {
 public:
  class Builder {
   public:
    void add_input(std::string_view name);
    void add_output(std::string_view name);
    std::shared_ptr<const Contract> build() &&;

   private:
    struct Span {
      std::size_t offset;
      std::size_t size;
    };
    std::string text_;
    std::vector<Span> inputs_;
    std::vector<Span> outputs_;
  };

  // Reads may use inputs then outputs; writes only outputs. The first permitting name ends
  // the search.
  bool permits(std::string_view path, bool write) const noexcept;

  std::size_t input_count() const noexcept { return input_count_; }
  std::string_view input(std::size_t i) const noexcept { return names_[i]; }
  std::size_t output_count() const noexcept { return names_.size() - input_count_; }
  std::string_view output(std::size_t i) const noexcept { return names_[input_count_ + i]; }

  // Index of the first input in a control zone (Signal or Meta), or npos.
  std::size_t first_control_zone_input() const noexcept;
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  // Above this many candidate names a check goes through the index instead of the scan.
  static constexpr std::size_t kIndexFrom = 9;

 private:
  // The four rules as set lookups: the path is a declared name or a dotted ancestor of one
  // (`exact_or_ancestor`), or the path cut before one of its "." / "[" is a declared name.
  struct Index {
    std::unordered_set<std::string_view> names;
    std::unordered_set<std::string_view> exact_or_ancestor;
    bool permits(std::string_view path) const noexcept;
  };
  static std::unique_ptr<Index> make_index(const std::string_view* first,
                                           const std::string_view* last);

  Contract() = default;
  std::string text_;                    // every name, back to back
  std::vector<std::string_view> names_;  // inputs, then outputs; views into text_
  std::size_t input_count_ = 0;
  std::unique_ptr<Index> read_index_;   // over inputs and outputs, when large enough
  std::unique_ptr<Index> write_index_;  // over outputs, when large enough
};

}  // namespace morva
