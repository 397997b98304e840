"""Order service: a small application built only on morva_core's public API.

Three orders go through one YAML workflow. Every process runs behind a ContextGuard over its
own workspace and stages its results in a Transaction that a pydantic model validates before
the commit; committed outbox messages are delivered by a worker, signals are printed by a
receiver thread, the payment step is asynchronous and flaky, and an AuditSystem escalates its
failures. The run ends with a summary. Two runs print the same lines (apart from the times).
"""

from __future__ import annotations

import asyncio
import copy
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable

from pydantic import BaseModel, Field

from morva_core import (
    AuditBlockError,
    AuditLevel,
    AuditRecipe,
    AuditSystem,
    AuditWarning,
    ConfigLoader,
    ContextGuard,
    FSMState,
    MorvaEngine,
    OutboxMsg,
    ProcessContext,
    SchemaViolationError,
    WorkflowEngine,
)

# --- the shop's schema, checked by ConfigLoader and enforced by pydantic ---------------------

SCHEMA_TEXT = """
context:
  domain:
    orders: {type: dict}
    stock: {type: dict}
  global:
    currency: {type: str, required: false, default: EUR}
"""


class Order(BaseModel):
    item: str
    qty: int = Field(gt=0)
    status: str
    total: float = Field(ge=0)


class Domain(BaseModel):
    orders: dict[str, Order]
    stock: dict[str, int]

    def model_post_init(self, _context: Any) -> None:
        short = [item for item, left in self.stock.items() if left < 0]
        if short:
            raise ValueError(f"stock would go negative for {', '.join(short)}")


class ShopData(BaseModel):
    """What every commit must satisfy: the engine calls ShopData.model_validate(data)."""

    domain: Domain
    currency: str = "EUR"


WORKFLOW = """
steps:
  - check_order
  - flux: while
    condition: "job['reserved'] < job['qty']"
    do:
      - reserve_unit
  - flux: if
    condition: "job['total'] >= 100"
    then: [apply_discount]
    else: [standard_price]
  - flux: run
    steps:
      - flux: while
        condition: "not job['paid']"
        do: [charge_payment]
      - ship_order
"""

PRICES = {"lamp": 60.0, "desk": 240.0, "chair": 45.0}


def say(line: str) -> None:
    """One whole line per event, also when the signal thread prints at the same moment."""
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def local_time(timestamp: float) -> str:
    return time.strftime("%H:%M:%S", time.localtime(timestamp)) + f".{int(timestamp % 1 * 1000):03d}"


class SignalPrinter:
    """Prints the signals a receiver thread gets. The service waits for each commit's signal
    to be printed before it goes on, so the lines come in the same order on every run."""

    def __init__(self) -> None:
        self.printed = 0
        self.changed = threading.Condition()

    def listen(self, receiver: Any) -> None:
        while True:
            try:
                message = receiver.recv()
            except StopAsyncIteration:
                return
            if message == "service:stopped":
                return
            say(f"[signal]  {message}")
            with self.changed:
                self.printed += 1
                self.changed.notify_all()

    def wait_for(self, count: int) -> None:
        with self.changed:
            self.changed.wait_for(lambda: self.printed >= count, timeout=10)


# --- processes: each sees only its workspace, through a guard with a declared contract --------

@dataclass
class Process:
    inputs: list[str]
    outputs: list[str]
    run: Callable[..., Any]
    asynchronous: bool = False


class Workspace:
    """A process's view of one order: read from the committed state, written through its guard."""

    def __init__(self, ctx: ProcessContext, order_id: str, job: dict[str, Any]) -> None:
        domain = ctx.domain_ctx
        self.order_id = order_id
        self.order = domain["orders"][order_id]
        self.stock = domain["stock"]
        for key, value in job.items():
            setattr(self, key, value)


def check_order(ws: ContextGuard) -> None:
    order = ws.order
    ws.total = PRICES[order["item"]] * order["qty"]


def reserve_unit(ws: ContextGuard) -> None:
    ws.reserved = ws.reserved + 1


def apply_discount(ws: ContextGuard) -> None:
    ws.total = round(ws.total * 0.9, 2)


def standard_price(ws: ContextGuard) -> None:
    ws.total = ws.total


class PaymentGateway:
    """Declines the first attempt of every order and every attempt for desks."""

    def __init__(self) -> None:
        self.attempts: dict[str, int] = {}

    async def charge(self, order_id: str, item: str, amount: float) -> bool:
        await asyncio.sleep(0.01)  # the network round trip
        self.attempts[order_id] = self.attempts.get(order_id, 0) + 1
        return item != "desk" and self.attempts[order_id] > 1


GATEWAY = PaymentGateway()


async def charge_payment(ws: ContextGuard) -> None:
    ws.paid = await GATEWAY.charge(ws.order_id, ws.order["item"], ws.total)


def ship_order(ws: ContextGuard) -> None:
    ws.shipped = True


PROCESSES = {
    "check_order": Process(["order"], ["total"], check_order),
    "reserve_unit": Process(["order", "stock"], ["reserved"], reserve_unit),
    "apply_discount": Process([], ["total"], apply_discount),
    "standard_price": Process([], ["total"], standard_price),
    "charge_payment": Process(["order", "order_id"], ["paid", "total"], charge_payment, True),
    "ship_order": Process(["order"], ["shipped"], ship_order),
}


# --- the service ------------------------------------------------------------------------------

@dataclass
class Outcome:
    order_id: str
    result: str
    names: list[str] = field(default_factory=list)


class OrderService:
    def __init__(self, signals: SignalPrinter) -> None:
        self.signals = signals
        self.published = 0  # signals staged by commits so far, including rejected ones
        self.last_signal = ""
        self.engine = MorvaEngine()
        self.engine.set_schema(ShopData)
        self.audit = AuditSystem(AuditRecipe(level=AuditLevel.Block, threshold_max=2,
                                             threshold_min=1), capacity=50)
        self.engine.set_audit_system(self.audit)
        self.delivered: list[OutboxMsg] = []
        self.engine.attach_worker(self.deliver)
        self.current = ""
        self.commits = 0

    # messages and transitions -----------------------------------------------------------------
    def deliver(self, msg: OutboxMsg) -> None:
        self.delivered.append(msg)
        say(f"[outbox]  delivered {msg.topic} {msg.payload}")

    def on_transition(self, old: FSMState, new: FSMState) -> None:
        say(f"[fsm]     {self.current}: {repr(old).split('.')[1]} -> {repr(new).split('.')[1]}")

    # one process run: guard, transaction, schema, outbox -----------------------------------
    def stock_up(self, stock: dict[str, int], orders: dict[str, dict[str, Any]]) -> None:
        with self.engine.transaction() as tx:
            tx.update(data={"domain": {"orders": orders, "stock": stock}, "currency": "EUR"})
        self.commits += 1

    def commit(self, order_id: str, name: str, ws: Workspace, job: dict[str, Any],
               tx: Any) -> None:
        for key in PROCESSES[name].outputs:
            job[key] = getattr(ws, key)
        domain = copy.deepcopy(self.engine.state.domain.to_dict())
        order = domain["orders"][order_id]
        order["total"] = job["total"]
        if name == "reserve_unit":
            domain["stock"][order["item"]] -= 1
        status = {"reserve_unit": "reserved", "charge_payment": "paid" if job["paid"] else
                  "payment-declined", "ship_order": "shipped"}.get(name, order["status"])
        order["status"] = status
        tx.update(data={"domain": domain}, signal={"order": f"{order_id}:{status}"})
        self.published += 1
        self.last_signal = f"order:{order_id}:{status}"
        if name == "ship_order":
            tx.outbox.add(OutboxMsg("shipping.requested", {"order": order_id,
                                                           "item": order["item"]}))
        outputs = {k: job[k] for k in PROCESSES[name].outputs}
        say(f"[process] {order_id} {name}: {outputs}")

    def run_sync(self, order_id: str, name: str, job: dict[str, Any]) -> None:
        process = PROCESSES[name]
        ws = Workspace(ProcessContext(self.engine.state, job), order_id, job)
        try:
            with self.engine.transaction() as tx:
                process.run(ContextGuard(ws, process.inputs, process.outputs, tx=tx,
                                         strict_mode=True))
                self.commit(order_id, name, ws, job, tx)
        finally:
            self.signals.wait_for(self.published)
        self.commits += 1
        self.audit.log_success(name)

    async def run_async(self, order_id: str, name: str, job: dict[str, Any],
                        ctx: ProcessContext) -> None:
        process = PROCESSES[name]
        ws = Workspace(ctx, order_id, job)
        try:
            with self.engine.transaction(write_timeout_ms=2000) as tx:
                await process.run(ContextGuard(ws, process.inputs, process.outputs, tx=tx,
                                               strict_mode=True))
                self.commit(order_id, name, ws, job, tx)
        finally:
            self.signals.wait_for(self.published)
        self.commits += 1
        key = f"{name}:{order_id}"
        if job["paid"]:
            self.audit.log_success(key)
        else:
            self.audit.log_fail(key)  # escalates: warnings first, then AuditBlockError

    def executor_for(self, order_id: str, job: dict[str, Any]) -> Callable[[str], Any]:
        def executor(name: str) -> Any:
            if PROCESSES[name].asynchronous:
                async def process(ctx: ProcessContext) -> None:
                    await self.run_async(order_id, name, job, ctx)

                # A coroutine over a context built on the state current right now; the
                # workflow runs it on the event loop while its own thread waits.
                return self.engine.execute_process_async(name, process)
            self.run_sync(order_id, name, job)
            return None
        return executor

    async def process_order(self, order_id: str, qty: int) -> Outcome:
        self.current = order_id
        # One workflow engine per order: its state machine starts at Pending for each order.
        workflow = WorkflowEngine(WORKFLOW, max_ops=200)
        workflow.add_state_observer(self.on_transition)
        job = {"qty": qty, "reserved": 0, "total": 0.0, "paid": False, "shipped": False}
        try:
            names = await workflow.execute_async({"job": job}, self.executor_for(order_id, job))
        except AuditBlockError as exc:
            return Outcome(order_id, f"blocked ({exc})")
        except SchemaViolationError as exc:
            # Signals go out when the new version is built, before the schema check.
            say(f"[signal]  {self.last_signal} above was broadcast although the schema then "
                "rejected its commit")
            # The pydantic error is kept as the cause; its first message says what failed.
            reason = exc.__cause__.errors()[0]["msg"] if exc.__cause__ else str(exc)
            return Outcome(order_id, f"rejected ({reason})")
        finally:
            self.engine.process_outbox()
        return Outcome(order_id, "shipped", names)


def show_guard_refusal(service: OrderService) -> None:
    ws = Workspace(ProcessContext(service.engine.state, {}), "A-1", {})
    guard = ContextGuard(ws, ["order"], [], strict_mode=True)
    for attempt in (lambda: guard.stock, lambda: setattr(guard, "order", {})):
        try:
            attempt()
        except PermissionError as exc:
            say(f"[guard]   refused: {exc}")


async def main() -> None:
    ConfigLoader.load_from_string(SCHEMA_TEXT)
    say("[schema]  context schema is valid")
    try:
        ConfigLoader.load_from_string(SCHEMA_TEXT.replace("required: false", "required: no"))
    except SchemaViolationError as exc:
        say(f"[schema]  a typo is caught: {exc}")

    signals = SignalPrinter()
    service = OrderService(signals)
    hub = service.engine.state.signal
    listener = threading.Thread(target=signals.listen, args=(hub.subscribe(),))
    listener.start()

    orders = {
        "A-1": {"item": "lamp", "qty": 2, "status": "new", "total": 0.0},
        "C-3": {"item": "chair", "qty": 4, "status": "new", "total": 0.0},
        "B-7": {"item": "desk", "qty": 1, "status": "new", "total": 0.0},
    }
    service.stock_up({"lamp": 5, "desk": 2, "chair": 3}, orders)
    show_guard_refusal(service)

    def on_warning(message: Any, category: type, *args: Any, **kwargs: Any) -> None:
        say(f"[audit]   {category.__name__}: {message}")

    outcomes = []
    with warnings.catch_warnings():
        warnings.simplefilter("always", AuditWarning)
        warnings.showwarning = on_warning
        for order_id, order in orders.items():
            outcome = await service.process_order(order_id, order["qty"])
            say(f"[order]   {order_id}: {outcome.result}")
            outcomes.append(outcome)

    hub.publish("service:stopped")
    listener.join(timeout=10)

    state = service.engine.state
    say("== summary ==")
    say(f"versions committed: {service.commits} (state version {state.version})")
    say(f"messages delivered: {len(service.delivered)}")
    say("orders: " + ", ".join(f"{o.order_id} {o.result.split(' ')[0]}" for o in outcomes))
    say(f"stock left: {state.domain['stock']}")
    say("audit log tail:")
    for entry in service.audit.get_logs()[-4:]:
        say(f"  {local_time(entry.timestamp)} {entry.key}: {entry.message}")
    say("meta log tail:")
    for entry in state.get_meta_logs()[-3:]:
        say(f"  {local_time(entry.timestamp)} {entry.key}: {entry.message}")


if __name__ == "__main__":
    asyncio.run(main())
