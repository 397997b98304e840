"""Read-only views against the host's own read-only mapping proxy."""

import types

from morva_core import FrozenDict

_data = {f"k{i}": i for i in range(1000)}
_fd = FrozenDict(_data)
_proxy = types.MappingProxyType(_data)


ROWS = [
    ("FrozenDict item read vs MappingProxyType item read", "_fd['k500']", "_proxy['k500']", 1.2),
]
