// Debug lines of the workflow engine: "[FLUX-DEBUG] " + text + newline, written whole to file
// descriptor 2 (not through sys.stderr, so they appear even when Python's stream is replaced).
#pragma once

#include <initializer_list>
#include <string_view>

namespace morva::fsm {

// Writes one line, the parts joined, with a single write() call (repeated only for a partial
// write or EINTR). Called with the GIL held; releases it around the write so a blocked stderr
// pipe cannot stall other Python threads. Never fails: a line that cannot be written, or not
// even built for want of memory, is left out, as debug output never fails a workflow. (Not
// noexcept: taking the GIL back can unwind a thread the interpreter ends at exit.)
void debug_line(std::initializer_list<std::string_view> parts);

}  // namespace morva::fsm
