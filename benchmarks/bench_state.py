"""State against the persistent maps people reach for: update, memory kept per retained
version, full zone reads and the meta log."""

import time
from collections import deque

import immutables
import pyrsistent
import rpds

from morva_core import State
from run import Quantity
from scaling import memory_in_child

N = 100_000
_keys = [f"key{i}" for i in range(N)]
_data = {k: i for i, k in enumerate(_keys)}
_state = State(data=_data)
_imap = immutables.Map(_data)
_pmap = pyrsistent.pmap(_data)
_rmap = rpds.HashTrieMap(_data)

_small = {k: _data[k] for k in _keys[:10_000]}
_state_10k = State(data=_small)
_imap_10k = immutables.Map(_small)

_log_state = State()
_log_deque = deque(maxlen=1000)

_UPDATE = "_state.update(data={'key500': 1})"
# The update row's floor: the one-key dict its statement builds and frees, beside the reference.
_FLOOR_ROW = ("floor: {k: v} built + immutables.Map.set vs immutables.Map.set",
              "_d = {'key500': 1}\n_imap.set('key500', 1)", "_imap.set('key500', 1)", None)


def _bytes_per_version():
    """Bytes the allocator keeps per one-key version, every library counted by the C allocator
    (see scaling.py: tracemalloc would miss nodes allocated outside Python's allocator). The
    child measures all libraries at once; the rows read its one result."""
    if not _memory:
        _memory.update(memory_in_child(N))
    return _memory


_memory = {}


def _kept(name):
    return Quantity(lambda: _bytes_per_version()[name], "B")


ROWS = [
    ("State.update(data={k: v}), 100k keys vs immutables.Map.set", _UPDATE,
     "_imap.set('key500', 1)", 1.0),
    _FLOOR_ROW,
    ("State.update(data={k: v}), 100k keys vs pyrsistent pmap.set", _UPDATE,
     "_pmap.set('key500', 1)", 1.0),
    ("State.update(data={k: v}), 100k keys vs rpds insert", _UPDATE,
     "_rmap.insert('key500', 1)", None),
    ("State.update(data={k: v}), 100k keys vs dict copy + set", _UPDATE,
     "d = _data.copy(); d['key500'] = 1", None),
    ("bytes kept per one-key version, 100k keys vs immutables",
     _kept("morva_core State"), _kept("immutables"), 1.5),
    ("bytes kept per one-key version, 100k keys vs rpds",
     _kept("morva_core State"), _kept("rpds"), 1.0),
    ("state.data, 10k keys vs dict(immutables.Map)", "_state_10k.data",
     "dict(_imap_10k)", 1.3),
    ("state.data, 10k keys vs dict(d)", "_state_10k.data", "dict(_small)", None),
    ("State.log_meta vs deque(maxlen=1000).append((k, m, t))",
     "_log_state.log_meta('evt', 'something happened')",
     "_log_deque.append(('evt', 'something happened', time.time()))", 1.5),
]

INSTR_ROWS = [
    ("State.update(data={k: v}), 100k keys vs immutables.Map.set", _UPDATE,
     "_imap.set('key500', 1)", 1.0),
    _FLOOR_ROW,
]
