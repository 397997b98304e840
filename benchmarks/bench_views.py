"""Read-only views and the context's forwarding against the host's own equivalents: item and
attribute reads of a FrozenDict against a MappingProxyType, a ProcessContext attribute
forwarded to its state against the state's own attribute."""

import types

from morva_core import FrozenDict, ProcessContext, State

_data = {f"k{i}": i for i in range(1000)}
_data["name"] = "x"
_fd = FrozenDict(_data)
_proxy = types.MappingProxyType(_data)
_state = State(data={"a": 1})
_ctx = ProcessContext(_state, {})

ROWS = [
    ("FrozenDict item read vs MappingProxyType item read", "_fd['k500']", "_proxy['k500']", 1.2),
    ("fd.name (key fallback) vs MappingProxyType(d)['name']", "_fd.name", "_proxy['name']", 2.0),
    ("ctx.version (forwarded) vs state.version", "_ctx.version", "_state.version", 2.0),
]

INSTR_ROWS = [
    ("fd.name (key fallback) vs MappingProxyType(d)['name']", "_fd.name", "_proxy['name']", 2.0),
    ("ctx.version (forwarded) vs state.version", "_ctx.version", "_state.version", 2.0),
]
