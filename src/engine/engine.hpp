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
// state with the staged `data`, `heavy` and `signals` (taken by the transaction when the commit
// starts), the schema check, `commit_state`, then the move of the records in the message list
// of `tx` (read when the move happens: a collector made during the commit adds to the list read
// then) to the engine's queue. Raises without moving anything when a step fails. The protocol
// is written at the top of state_commits.cpp. An empty staging reference stands for a zone
// that nothing was staged in yet: an empty container is made for it only when the commit has
// to hand it to Python code.
void commit_staged(PyObject* engine, Ref data, Ref heavy, Ref signals, PyObject* tx);

}  // namespace morva
