// The four permit rules and the contract's name storage.
#include "guards/contract.hpp"

#include "guards/zones.hpp"

namespace morva {

bool declared_permits(std::string_view declared, std::string_view path) noexcept {
  const std::size_t d = declared.size();
  const std::size_t p = path.size();
  if (d == p) return declared == path;
  if (d > p) {
    // The path is a dotted ancestor of the declared name.
    return declared[p] == '.' && declared.compare(0, p, path) == 0;
  }
  // The path lies below the declared name, as an attribute or as an element.
  const char next = path[d];
  return (next == '.' || next == '[') && path.compare(0, d, declared) == 0;
}

void Contract::Builder::add_input(std::string_view name) {
  inputs_.push_back(Span{text_.size(), name.size()});
  text_.append(name);
}

void Contract::Builder::add_output(std::string_view name) {
  outputs_.push_back(Span{text_.size(), name.size()});
  text_.append(name);
}

std::shared_ptr<const Contract> Contract::Builder::build() && {
  std::shared_ptr<Contract> contract(new Contract());
  contract->text_ = std::move(text_);
  const std::string& text = contract->text_;
  contract->names_.reserve(inputs_.size() + outputs_.size());
  for (const Span& s : inputs_) contract->names_.emplace_back(text.data() + s.offset, s.size);
  for (const Span& s : outputs_) contract->names_.emplace_back(text.data() + s.offset, s.size);
  contract->input_count_ = inputs_.size();
  return contract;
}

bool Contract::permits(std::string_view path, bool write) const noexcept {
  const std::size_t first = write ? input_count_ : 0;
  for (std::size_t i = first; i < names_.size(); ++i) {
    if (declared_permits(names_[i], path)) return true;
  }
  return false;
}

std::size_t Contract::first_control_zone_input() const noexcept {
  for (std::size_t i = 0; i < input_count_; ++i) {
    if (is_control_zone(zone_of(names_[i]))) return i;
  }
  return npos;
}

}  // namespace morva
