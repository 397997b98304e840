// Whole-line writes of the engine's debug output to file descriptor 2.
#include "fsm/debug_line.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "binding/object.hpp"

namespace morva::fsm {

void debug_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 14);
  line += "[FLUX-DEBUG] ";
  line += text;
  line += '\n';
  AllowThreads unlocked;
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(2, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace morva::fsm
