// MorvaEngine: the holder of the current State, its message queue and its policy references.
// Its fields are private to the engine's own files; the transaction commits through
// commit_staged.
#pragma once

#include "binding/object.hpp"
#include "structures/message_list.hpp"

namespace morva {

PyTypeObject* engine_type();
// A new engine exactly as MorvaEngine() builds it.
Ref make_engine();

// A transaction's commit into `engine` (a MorvaEngine or subclass): `update` of the current
// state with the staged `data`, `heavy` and `signals`, the schema check, `commit_state`, then
// the move of the records in `outbox` (read when the move happens; may be empty) to the
// engine's queue. Raises without moving anything when a step fails. The protocol is written
// at the top of state_commits.cpp. An empty staging reference stands for a container that
// nothing was staged in yet: it is made (an empty dict, dict, list) and kept in the reference
// when the commit has to hand it to Python code, and left empty otherwise.
void commit_staged(PyObject* engine, Ref& data, Ref& heavy, Ref& signals,
                   const SharedMessageList& outbox);

// A staged container that may not exist yet: made (an empty dict, or list) and kept in
// `staged` on first need. Returns it, borrowed.
enum class Staged { kDict, kList };
PyObject* staged_container(Ref& staged, Staged kind);

}  // namespace morva
