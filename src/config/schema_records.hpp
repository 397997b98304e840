// The schema records (RootConfig, ContextConfig, FieldSpec) and their strict reading from a
// YAML value tree. Pure C++.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "yaml/document.hpp"

namespace morva::config {

struct FieldSpec {
  std::string type = "string";
  bool required = true;
  std::optional<std::string> default_value;
};

using Zone = std::map<std::string, FieldSpec>;

struct ContextConfig {
  Zone global;
  Zone domain;
};

struct RootConfig {
  std::optional<ContextConfig> context;
};

// Reads the whole tree as a RootConfig, stopping at the first problem in document order:
// unknown or repeated keys, values of the wrong kind. Throws yaml::Error with the problem's
// description and the position of the offending key or value.
RootConfig read_root_config(const yaml::Node& root);

}  // namespace morva::config
