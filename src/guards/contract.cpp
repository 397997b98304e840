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
  const std::string_view* begin = contract->names_.data();
  const std::string_view* end = begin + contract->names_.size();
  if (contract->names_.size() >= kIndexFrom) contract->read_index_ = make_index(begin, end);
  if (outputs_.size() >= kIndexFrom) {
    contract->write_index_ = make_index(begin + inputs_.size(), end);
  }
  return contract;
}

std::unique_ptr<Contract::Index> Contract::make_index(const std::string_view* first,
                                                      const std::string_view* last) {
  auto index = std::make_unique<Index>();
  for (const std::string_view* d = first; d != last; ++d) {
    index->names.insert(*d);
    index->exact_or_ancestor.insert(*d);
    for (std::size_t i = 0; i < d->size(); ++i) {
      if ((*d)[i] == '.') index->exact_or_ancestor.insert(d->substr(0, i));
    }
  }
  return index;
}

bool Contract::Index::permits(std::string_view path) const noexcept {
  if (exact_or_ancestor.count(path) != 0) return true;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if ((c == '.' || c == '[') && names.count(path.substr(0, i)) != 0) return true;
  }
  return false;
}

bool Contract::permits(std::string_view path, bool write) const noexcept {
  const Index* index = write ? write_index_.get() : read_index_.get();
  if (index != nullptr) return index->permits(path);
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
