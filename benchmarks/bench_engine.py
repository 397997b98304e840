"""Commit overhead: a one-key transaction and a one-key compare-and-swap against the bare
State.update that each of them performs."""

import itertools

from morva_core import MorvaEngine, State

_payload = {"k": 1}
_state = State(data={f"k{i}": i for i in range(100)})

_tx_engine = MorvaEngine()
_tx_engine.commit_state(_state)

_cas_engine = MorvaEngine()
_cas_engine.commit_state(_state)
# compare_and_swap needs the current version each time; the counter supplies it without a
# property read in the timed statement.
_versions = itertools.count(_state.version)
_next_version = _versions.__next__

_tx_stmt = """
with _tx_engine.transaction() as tx:
    tx.update(data=_payload)
"""

ROWS = [
    ("transaction commit, one key vs State.update", _tx_stmt, "_state.update(_payload)", 3.0),
    ("compare_and_swap, one key vs State.update",
     "_cas_engine.compare_and_swap(_next_version(), _payload)", "_state.update(_payload)", 1.3),
]
