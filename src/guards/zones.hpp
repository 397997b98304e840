// Zones of context names (decided by prefix alone) and the dotted / bracketed access paths
// that the guard checks. Pure C++ over UTF-8 text; no Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/stack_text.hpp"

namespace morva {

enum class Zone { Data, Signal, Meta, Heavy };

// The zone of one attribute or key name (never of a whole path). Byte comparison at the start
// of the name, case-sensitive; a name equal to a prefix belongs to that prefix's zone.
constexpr Zone zone_of(std::string_view name) noexcept {
  if (name.starts_with("sig_") || name.starts_with("cmd_")) return Zone::Signal;
  if (name.starts_with("meta_")) return Zone::Meta;
  if (name.starts_with("heavy_")) return Zone::Heavy;
  return Zone::Data;
}

// The word shown in messages.
constexpr const char* zone_name(Zone zone) noexcept {
  switch (zone) {
    case Zone::Signal: return "Signal";
    case Zone::Meta: return "Meta";
    case Zone::Heavy: return "Heavy";
    case Zone::Data: break;
  }
  return "Data";
}

// Signal and Meta hold the framework's control traffic: a strict guard may not declare them
// as inputs.
constexpr bool is_control_zone(Zone zone) noexcept {
  return zone == Zone::Signal || zone == Zone::Meta;
}

// The text of one access path: the usual short paths stay on the stack, so a guarded read
// allocates nothing.
using PathText = StackText<112>;

// `name` when the prefix is empty, else prefix + "." + name. Attribute names, string keys and
// the text of other keys are joined this way.
inline void build_name_path(PathText& out, std::string_view prefix, std::string_view name) {
  if (!prefix.empty()) {
    out.append(prefix);
    out.append(".");
  }
  out.append(name);
}

// prefix + "[" + decimal + "]", also for an empty prefix (item 3 of a root guard is "[3]").
inline void build_index_path(PathText& out, std::string_view prefix, int64_t index) {
  out << prefix << "[" << index << "]";
}

}  // namespace morva
