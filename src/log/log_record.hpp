// LogRecord: one (key, message, wall-clock time) entry as the meta log and the audit log hand it
// out. Pure C++; texts are UTF-8 with lone surrogates kept (surrogatepass), so any str survives.
#pragma once

#include <string>

namespace morva {

struct LogRecord {
  std::string key;
  std::string message;
  double timestamp = 0.0;
};

}  // namespace morva
