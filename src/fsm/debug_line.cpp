// Whole-line writes of the engine's debug output to file descriptor 2.
#include "fsm/debug_line.hpp"

#include <unistd.h>

#include <cerrno>
#include <new>

#include "binding/object.hpp"
#include "binding/stack_text.hpp"

namespace morva::fsm {

void debug_line(std::initializer_list<std::string_view> parts) {
  StackText<256> line;
  try {
    line << "[FLUX-DEBUG] ";
    for (std::string_view part : parts) line << part;
    line << "\n";
  } catch (const std::bad_alloc&) {
    return;
  }
  AllowThreads unlocked;
  const char* data = line.view().data();
  std::size_t left = line.view().size();
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
