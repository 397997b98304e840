"""Staging a guard's writes under a transaction.

A ContextGuard with a transaction hands out copies: containers as FrozenDict/FrozenList
(read-only names) or TrackedDict/TrackedList (writable names) over the transaction's shadow
copies. Writes into those copies stay in the copies: they reach neither the guarded object
nor the engine. A write to a declared output name itself (`guard.total = ...`) reaches the
guarded object, but not the engine either: the transaction commits only what was staged with
`tx.update`. So:

- the process assigns each new value to its declared output name, as a whole;
- the caller stages exactly the declared outputs, read back from the guarded object, in the
  same transaction.

The guarded object below is a fresh namespace over the current data zone: the process sees
the state's values (as copies, through the guard) and its writes land on the namespace.
"""

from types import SimpleNamespace

from pydantic import BaseModel

from morva_core import ContextGuard, MorvaEngine


class Shop(BaseModel):
    order: dict[str, int]
    stock: dict[str, int]
    total: int


def run_process(engine, process, inputs, outputs):
    """Runs `process(guard)` in one transaction and commits what it wrote to `outputs`."""
    target = SimpleNamespace(**engine.state.data.to_dict())
    with engine.transaction() as tx:
        guard = ContextGuard(target, inputs, outputs, tx=tx, strict_mode=True)
        process(guard)
        tx.update(data={name: getattr(target, name) for name in outputs})


def reserve(guard):
    qty = guard.order["qty"]  # a FrozenDict over a copy: read-only
    stock = guard.stock  # a TrackedDict over a copy: writes stay in the copy
    guard.stock = {"lamp": stock["lamp"] - qty}  # the whole new value, to the output name
    guard.total = qty * 60


def reserve_in_place(guard):
    guard.stock["lamp"] -= guard.order["qty"]  # changes only the transaction's copy


if __name__ == "__main__":
    engine = MorvaEngine()
    engine.set_schema(Shop)
    with engine.transaction() as tx:
        tx.update(data={"order": {"qty": 2}, "stock": {"lamp": 5}, "total": 0})

    run_process(engine, reserve_in_place, inputs=["order"], outputs=["stock"])
    assert engine.state.data["stock"] == {"lamp": 5}  # the in-place write went nowhere

    run_process(engine, reserve, inputs=["order"], outputs=["stock", "total"])
    data = engine.state.data
    print("committed:", data["stock"], data["total"], "at version", engine.state.version)
    assert (data["stock"], data["total"]) == ({"lamp": 3}, 120)
