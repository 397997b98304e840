"""Workflow execution against the plain Python it replaces.

Each candidate runs a whole workflow of 1000 steps (or 1000 loop turns); each reference does the
same 1000 calls in a Python loop, so the ratio is per step / per turn.
"""

import builtins

from morva_core import WorkflowEngine

TURNS = 1000

# 1000 plain process steps with a no-op executor.
_names = [f"p{i}" for i in range(TURNS)]
_flat = WorkflowEngine("steps:\n" + "".join(f"  - {n}\n" for n in _names))


def _noop(name):
    pass


# A while loop whose executor increments the counter its condition reads.
_counter = {"n": 0}
_ctx = {"c": _counter}
_condition = f'c["n"] < {TURNS}'
_loop = WorkflowEngine(f"steps:\n  - flux: while\n    condition: '{_condition}'\n    do: [inc]\n")
_code = compile(_condition, "<string>", "eval")
_bare_ns = {"c": _counter}


def _inc(name):
    _counter["n"] += 1


def _restricted_namespace(ctx):
    # What every evaluation of a condition must see: the twelve restricted builtins, fetched
    # afresh, and the context's entries, in a new dict each time.
    ns = {"__builtins__": {
        "len": builtins.len, "int": builtins.int, "float": builtins.float, "str": builtins.str,
        "bool": builtins.bool, "abs": builtins.abs, "min": builtins.min, "max": builtins.max,
        "sum": builtins.sum, "True": True, "False": False, "None": None}}
    ns.update(ctx)
    return ns


_WHILE = "_counter['n'] = 0\n_loop.execute(_ctx, _inc)"
_EVAL_REBUILT = ("_counter['n'] = 0\n"
                 "while True:\n"
                 "    _ns = _restricted_namespace(_ctx)\n"
                 "    if not eval(_code, _ns, _ns):\n"
                 "        break\n"
                 "    _inc('inc')")
_EVAL_BARE = "_counter['n'] = 0\nwhile eval(_code, _bare_ns):\n    _inc('inc')"

# What execute does for each step, written in Python: call the executor, keep the name.
_PYTHON_STEPS = "_done = []\nfor _n in _names:\n    _noop(_n)\n    _done.append(_n)"

# What C code pays to call the executor once per name, and nothing else: map() calls it from C
# and list() collects the results. The execute row's floor, beside its reference.
_C_CALLS = "list(map(_noop, _names))"

ROWS = [
    ("execute 1000 process steps vs Python loop calling the executor, collecting names",
     "_flat.execute({}, _noop)", _PYTHON_STEPS, 1.0),
    ("floor: list(map(executor, names)), C calling the executor, vs the same Python loop",
     _C_CALLS, _PYTHON_STEPS, None),
    ("while turn vs eval(precompiled, namespace rebuilt) + executor",
     _WHILE, _EVAL_REBUILT, 1.5),
    ("while turn vs eval(precompiled, one reused dict) + executor",
     _WHILE, _EVAL_BARE, None),
]

# The same reference as the timed row: execute returns the list of executed names, so the loop
# it is measured against builds that list too.
INSTR_ROWS = [
    ("execute 1000 process steps vs Python loop, executor + names",
     "_flat.execute({}, _noop)", _PYTHON_STEPS, 1.0, 5),
    ("floor: list(map(executor, names)) vs Python loop", _C_CALLS, _PYTHON_STEPS, None, 5),
]
