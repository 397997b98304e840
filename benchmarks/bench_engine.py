"""Commit overhead: a one-key transaction against the bare State.update it performs (on a
100k-key state, the state size of the State.update benchmark), and a one-key compare-and-swap
on a small state against the same bare update."""

import itertools
import threading

from morva_core import MorvaEngine, State

_payload = {"k": 1}
_state = State(data={f"k{i}": i for i in range(100_000)})
_small = State(data={f"k{i}": i for i in range(10)})

_new_lock = threading.Lock

_tx_engine = MorvaEngine()
_tx_engine.commit_state(_state)

_cas_engine = MorvaEngine()
_cas_engine.commit_state(_small)
# compare_and_swap needs the current version on every call; a counter supplies it. The
# reference calls a counter of its own, so the row compares the swap with the update alone.
_cas_version = itertools.count(_small.version).__next__
_ref_counter = itertools.count().__next__

_tx_stmt = """
with _tx_engine.transaction() as tx:
    tx.update(data=_payload)
"""

# The transaction row's floor, made of the host's own parts: a `with` block over a context
# manager created for it (a threading.Lock), one copy of the staged dict, and the same update.
_floor_stmt = """
with _new_lock():
    _payload.copy()
_state.update(_payload)
"""
_FLOOR_ROW = ("floor: with threading.Lock() + dict copy + State.update vs State.update",
              _floor_stmt, "_state.update(_payload)", None)

ROWS = [
    ("transaction commit, one key vs State.update", _tx_stmt, "_state.update(_payload)", 2.0),
    _FLOOR_ROW,
    ("compare_and_swap, one key, small state vs State.update",
     "_cas_engine.compare_and_swap(_cas_version(), _payload)",
     "_ref_counter(); _small.update(_payload)", 1.2),
]

INSTR_ROWS = [
    ("transaction commit, one key vs State.update", _tx_stmt, "_state.update(_payload)", 2.0),
    _FLOOR_ROW,
    # The same small state on both sides, as in ROWS (a 100k-key reference would make the
    # update it compares against several times dearer than the one the swap performs).
    ("compare_and_swap, one key, small state vs State.update",
     "_cas_engine.compare_and_swap(_cas_version(), _payload)",
     "_ref_counter(); _small.update(_payload)", 1.2),
]
