"""morva_core as a typed application uses it: a small stock-keeping service.

Every class of the module appears here the way application code would use it, and the file
type-checks cleanly with `mypy --strict examples/typed_usage.py` against the module's stubs.
Run it with `python examples/typed_usage.py`: it checks what it does and prints one line.
"""

from __future__ import annotations

import asyncio
import threading
import time
import warnings
from collections.abc import Coroutine
from typing import Any

from pydantic import BaseModel, Field

from morva_core import (
    AuditAbortError,
    AuditBlockError,
    AuditLevel,
    AuditLogEntry,
    AuditRecipe,
    AuditStopError,
    AuditSystem,
    AuditWarning,
    ConfigLoader,
    ContextError,
    ContextGuard,
    FrozenDict,
    FSMState,
    MetaLogEntry,
    MorvaEngine,
    OutboxCollector,
    OutboxMsg,
    ProcessContext,
    SchemaViolationError,
    SignalHub,
    SignalReceiver,
    State,
    Transaction,
    WorkflowEngine,
    WriteTimeoutError,
)

# ---- the application's schema -------------------------------------------------------------

SCHEMA_TEXT = """
context:
  global:
    region: {type: string}
  domain:
    stock: {type: dict}
    express: {type: bool, required: false, default: "false"}
"""


class Domain(BaseModel):
    stock: dict[str, int]
    express: bool = False


class Globals(BaseModel):
    region: str


class AppData(BaseModel):
    """What every committed version's data must look like."""

    domain: Domain
    global_: Globals = Field(alias="global")


def load_schema() -> None:
    ConfigLoader.load_from_string(SCHEMA_TEXT)  # None: the text is a valid schema
    try:
        ConfigLoader.load_from_string("contexts: {}")
    except SchemaViolationError as exc:
        assert str(exc).startswith("Config Error: unknown field `contexts`"), exc
    else:
        raise AssertionError("a misspelt key must be refused")


# ---- state and versions ---------------------------------------------------------------------

def initial_state() -> State:
    return State(data={"domain": {"stock": {"lamp": 3, "desk": 1}}, "global": {"region": "eu"}})


def state_and_versions() -> None:
    first = initial_state()
    second = first.update(data={"domain": {"stock": {"lamp": 2, "desk": 1}}})
    assert (first.version, second.version) == (1, 2)

    domain: FrozenDict = second.domain  # a read-only view over the stored dict
    stock: dict[str, int] = domain["stock"]
    region: str = getattr(second, "global")["region"]
    assert (stock["lamp"], region) == (2, "eu")
    assert first.data.get("missing") is None and first.data.get("missing", 0) == 0
    assert sorted(second.data.keys()) == ["domain", "global"]

    try:
        second.data["domain"] = {}
    except ContextError as exc:
        assert str(exc) == "Context is Immutable. Use .update()"

    second.log_meta("inventory", "lamp reserved")
    entries: list[MetaLogEntry] = first.get_meta_logs()  # one log for the whole lineage
    assert [e.key for e in entries] == ["state_update", "inventory"]
    assert second.restrict_view().version == second.version


# ---- engine: compare-and-swap, transactions with a schema, outbox delivery -----------------

def reserve(engine: MorvaEngine, item: str) -> int:
    """Take one `item` out of stock with an optimistic retry loop; returns the new version."""
    while True:
        seen = engine.state
        stock = dict(seen.domain["stock"])
        stock[item] -= 1
        try:
            engine.compare_and_swap(seen.version, data={"domain": {"stock": stock}})
        except ContextError:
            continue  # someone committed in between: read again
        return engine.state.version


def transactions(engine: MorvaEngine, delivered: list[OutboxMsg]) -> None:
    changes = engine.state.signal.subscribe()
    with engine.transaction(write_timeout_ms=2000) as tx:
        tx.update(data={"domain": {"stock": {"lamp": 0, "desk": 1}, "express": True}},
                  signal={"sold_out": "lamp"})
        collector: OutboxCollector = tx.outbox  # messages that travel with this commit
        collector.add(OutboxMsg("orders", {"item": "lamp", "qty": 1}))
    assert changes.recv() == "sold_out:lamp"
    engine.process_outbox()
    assert [(m.topic, m.payload["item"]) for m in delivered] == [("orders", "lamp")]

    before = engine.state
    try:
        with Transaction(engine) as bad:
            bad.update(data={"domain": {"stock": "none"}})
    except SchemaViolationError as exc:
        assert str(exc).startswith("Schema Violation: ValidationError: "), exc
    assert engine.state is before  # nothing was installed

    try:
        with engine.transaction(write_timeout_ms=0) as slow:
            slow.update(heavy={"report": b"..."})
            time.sleep(0.005)
    except WriteTimeoutError:
        pass
    assert engine.state is before


# ---- guards over a process's context ---------------------------------------------------------

class Order:
    def __init__(self) -> None:
        self.order_id = "o-1"
        self.lines = ["lamp", "desk"]
        self.status = "new"
        self.notes: list[str] = []


def pack(order: Order, tx: Transaction) -> int:
    """A process that may read the order and write its status and notes, nothing else."""
    guard = ContextGuard(order, inputs=["order_id", "lines"], outputs=["status", "notes"], tx=tx)
    lines = guard.lines  # a read-only copy of the list
    notes = guard.notes  # a tracked copy: its writes are reported to the transaction
    notes.append("fragile")
    guard.status = f"packed {len(lines)} ({notes[0]})"
    try:
        guard.order_id = "o-2"
    except PermissionError as exc:
        assert str(exc) == "Illegal Write: 'order_id'"
    else:
        raise AssertionError("order_id is not an output")
    assert guard._target is order and order.status == "packed 2 (fragile)"
    return len(lines)


# ---- processes and workflows -----------------------------------------------------------------

async def price_check(ctx: ProcessContext) -> int:
    ctx.outbox.add(OutboxMsg("prices", ctx.version))
    return len(ctx.outbox.messages)


def stock_report(ctx: ProcessContext) -> str:
    return f"v{ctx.state.version}: {sorted(ctx.state.data['domain']['stock'])}"


WORKFLOW = """
steps:
  - reserve
  - flux: if
    condition: "domain['express']"
    then: [notify]
  - flux: while
    condition: "domain['left'] > 0"
    do: [pack]
  - flux: run
    steps: [ship]
"""


async def notify(name: str) -> None:
    await asyncio.sleep(0)


async def run_async_parts(engine: MorvaEngine, workflow: WorkflowEngine) -> tuple[int, str, list[str]]:
    checked: int = await engine.execute_process_async("price_check", price_check)
    report: str = await engine.execute_process_async("stock_report", stock_report)

    domain: dict[str, Any] = {"express": True, "left": 2}

    def executor(name: str) -> Coroutine[Any, Any, None] | None:
        if name == "notify":
            return notify(name)  # awaited on this loop while the workflow thread waits
        if name == "pack":
            domain["left"] -= 1
        return None

    ran = await workflow.execute_async({"domain": domain}, executor)
    return checked, report, ran


def workflows(engine: MorvaEngine) -> list[str]:
    workflow = WorkflowEngine(WORKFLOW, max_ops=100)
    changes: list[tuple[FSMState, FSMState]] = []
    workflow.add_state_observer(lambda old, new: changes.append((old, new)))

    checked, report, ran = asyncio.run(run_async_parts(engine, workflow))
    assert checked == 1 and report.startswith("v")
    assert ran == ["reserve", "notify", "pack", "pack", "ship"]
    assert workflow.fsm_state == FSMState.Complete
    assert [int(s) for s in workflow.state_history] == [0, 1, 2, 1, 3]
    assert changes[-1] == (FSMState.Running, FSMState.Complete)
    assert workflow.simulate({}) == ["reserve", "ship"]
    return ran


# ---- audit -----------------------------------------------------------------------------------

def audit(engine: MorvaEngine) -> list[AuditLogEntry]:
    recipe = AuditRecipe(level=AuditLevel.Block, threshold_max=2, threshold_min=2)
    system = AuditSystem(recipe, capacity=100)
    engine.set_audit_system(system)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", AuditWarning)
        system.log_fail("payment")
        system.log_fail("payment")
    assert [str(w.message) for w in caught] == ["WARNING: Approaching threshold (2/2)"]
    try:
        system.log_fail("payment")
    except AuditBlockError as exc:
        assert str(exc) == "Audit Blocked: payment exceeded threshold 2"
    system.log_success("payment")
    assert system.get_count("payment") == 0 and system.ring_buffer_len == 5

    for level, error in ((AuditLevel.Stop, AuditStopError), (AuditLevel.Abort, AuditAbortError)):
        try:
            AuditSystem(AuditRecipe(level=level)).log_fail("courier")
        except error:
            continue
        raise AssertionError(f"{level!r} must raise on the first failure")
    counting = AuditSystem(AuditRecipe(level=AuditLevel.Count))
    counting.log_fail("courier")
    assert counting.get_count_all() == 1
    return system.get_logs()


# ---- signals ---------------------------------------------------------------------------------

def signals() -> list[str]:
    hub = SignalHub()
    receiver: SignalReceiver = hub.subscribe()
    heard: list[str] = []

    def listen() -> None:
        while (message := receiver.recv()) != "stop":
            heard.append(message)

    listener = threading.Thread(target=listen)
    listener.start()
    for message in ("lamp:0", "desk:1", "stop"):
        hub.publish(message)
    listener.join(timeout=30)
    assert not listener.is_alive()
    return heard


def main() -> None:
    load_schema()
    state_and_versions()

    engine = MorvaEngine()
    engine.commit_state(initial_state())
    engine.set_schema(AppData)
    engine.set_strict_mode(True)
    delivered: list[OutboxMsg] = []
    engine.attach_worker(delivered.append)

    assert reserve(engine, "lamp") == 2
    transactions(engine, delivered)
    packed = pack(Order(), engine.transaction())
    ran = workflows(engine)
    logs = audit(engine)
    heard = signals()
    print(f"typed usage: version {engine.state.version}, {len(delivered)} delivered, "
          f"{packed} lines packed, {len(ran)} steps run, {len(logs)} audit entries, "
          f"{len(heard)} signals heard")


if __name__ == "__main__":
    main()
