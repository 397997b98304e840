"""Guarded reads: a declared scalar attribute against plain getattr on the target and against a
minimal pure-Python proxy doing the same check, plus the cost of a large contract and of a
transaction's shadow copy."""

import copy

from morva_core import ContextGuard, Transaction


class Target:
    pass


_target = Target()
_target.value = 42
_target.items = [1, 2, 3]
_target.result = 0


class PyGuard:
    """The same read in pure Python: build the path, check it against inputs + outputs with the
    four permit rules, then read the target."""

    __slots__ = ("_target", "_names", "_prefix")

    def __init__(self, target, inputs, outputs, prefix=""):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_names", list(inputs) + list(outputs))
        object.__setattr__(self, "_prefix", prefix)

    def __getattr__(self, name):
        path = f"{self._prefix}.{name}" if self._prefix else name
        for d in self._names:
            if (path == d or d.startswith(path + ".") or path.startswith(d + ".")
                    or path.startswith(d + "[")):
                return getattr(self._target, name)
        raise PermissionError(f"Illegal Read: '{path}'")


_guard = ContextGuard(_target, ["value", "items"], ["result"])
_pyguard = PyGuard(_target, ["value", "items"], ["result"])
# 50 declared names, the readable one last: every other name is compared first.
_many = [f"section_{i}.field" for i in range(49)] + ["value"]
_guard50 = ContextGuard(_target, _many, [])
_tx_guard = ContextGuard(_target, ["value", "items"], ["result"], tx=Transaction())
_deepcopy = copy.deepcopy

ROWS = [
    ("guarded scalar read vs getattr on the target",
     "getattr(_guard, 'value')", "getattr(_target, 'value')", 3.0),
    ("guarded scalar read vs pure-Python checking proxy", "_guard.value", "_pyguard.value", 0.33),
    ("guarded read (attribute syntax) vs getattr on the target",
     "_guard.value", "getattr(_target, 'value')", 1.2),
    ("guarded read, 50-name contract vs getattr on the target",
     "getattr(_guard50, 'value')", "getattr(_target, 'value')", 3.0),
    # The interpreter specialises `obj.attr` on plain Python objects, which no extension type's
    # attribute hook can match (a hook that only forwards is already ~3x).
    ("guarded read (attribute syntax) vs target attribute", "_guard.value", "_target.value", 4.0),
    ("guarded list read with transaction vs copy.deepcopy",
     "_tx_guard.items", "_deepcopy(_target.items)", None),
    ("guarded attribute write vs setattr on the target",
     "_guard.result = 1", "_target.result = 1", None),
]
