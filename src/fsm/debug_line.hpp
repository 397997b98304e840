// Debug lines of the workflow engine: "[FLUX-DEBUG] " + text + newline, written whole to file
// descriptor 2 (not through sys.stderr, so they appear even when Python's stream is replaced).
#pragma once

#include <string_view>

namespace morva::fsm {

// Writes one line with a single write() call (repeated only for a partial write or EINTR).
// Called with the GIL held; releases it around the write so a blocked stderr pipe cannot stall
// other Python threads. Write failures are ignored: debug output never fails a workflow.
void debug_line(std::string_view text);

}  // namespace morva::fsm
