"""Read-modify-write without lost updates.

Eight threads each take one lamp from a stock of 20. A transaction commit applies its staged
values over whatever state is current when it commits and compares no versions, so a value
computed from an older state silently replaces what other threads committed since. Two safe
ways, each with a retry loop:

1. compare_and_swap: it installs only over the version the new value was computed from and
   raises ContextError otherwise. It runs no schema, so the caller validates first.
2. A transaction whose engine checks the version inside the commit: the commit reads
   `engine.state` inside the engine's commit gate, before it builds the next version, so an
   engine subclass whose `state` property compares versions refuses a stale commit before any
   signal, message or meta-log entry goes out. The schema check, the write time-out and the
   outbox all stay.
"""

import threading
from contextlib import contextmanager

from pydantic import BaseModel, NonNegativeInt

from morva_core import ContextError, MorvaEngine, OutboxMsg

THREADS = 8
STOCK = 20


class Shop(BaseModel):
    stock: dict[str, NonNegativeInt]


def lamps(engine):
    return engine.state.data["stock"]["lamp"]


def race(engine, take):
    """Runs `take(engine, sync)` on THREADS threads; `sync()` holds every thread back until
    all have read the state once, so each first attempt overlaps with all the others."""
    barrier = threading.Barrier(THREADS)

    def worker():
        first = True

        def sync():
            nonlocal first
            if first:
                first = False
                barrier.wait()

        take(engine, sync)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def new_engine(engine_type=MorvaEngine):
    engine = engine_type()
    engine.set_schema(Shop)
    with engine.transaction() as tx:
        tx.update(data={"stock": {"lamp": STOCK}})
    return engine


# What goes wrong: every thread reads 20 and commits 19; no error is raised anywhere.
def take_blindly(engine, sync):
    left = lamps(engine)
    sync()
    with engine.transaction() as tx:
        tx.update(data={"stock": {"lamp": left - 1}})


# 1. compare_and_swap in a retry loop.
def take_with_compare_and_swap(engine, sync):
    while True:
        seen = engine.state
        new_data = {"stock": {"lamp": seen.data["stock"]["lamp"] - 1}}
        sync()
        Shop.model_validate(new_data)  # compare_and_swap does not run the engine's schema
        try:
            engine.compare_and_swap(seen.version, data=new_data)
            return
        except ContextError:
            continue  # another thread installed a version first: read it and try again


# 2. A transaction with a version check made inside the commit.
class VersionCheckedEngine(MorvaEngine):
    def __init__(self):
        super().__init__()
        self._expected = threading.local()

    @property
    def state(self):
        current = super().state
        expected = getattr(self._expected, "version", None)
        if expected is not None and current.version != expected:
            raise ContextError(f"Stale transaction: read version {expected}, "
                               f"found {current.version}")
        return current

    @contextmanager
    def transaction_from(self, version, **options):
        """A transaction that commits only while the current version is still `version`."""
        self._expected.version = version
        try:
            with self.transaction(**options) as tx:
                yield tx
        finally:
            self._expected.version = None


def take_in_checked_transaction(engine, sync):
    while True:
        seen = engine.state
        left = seen.data["stock"]["lamp"]
        sync()
        try:
            with engine.transaction_from(seen.version) as tx:
                tx.update(data={"stock": {"lamp": left - 1}}, signal={"stock": f"lamp:{left - 1}"})
                tx.outbox.add(OutboxMsg("stock.taken", {"item": "lamp", "left": left - 1}))
            return
        except ContextError:
            continue  # nothing was installed, broadcast or queued: read again and retry


if __name__ == "__main__":
    engine = new_engine()
    race(engine, take_blindly)
    print("blind transactions:", lamps(engine), "left")
    assert lamps(engine) == STOCK - 1  # seven of the eight decrements were lost

    engine = new_engine()
    race(engine, take_with_compare_and_swap)
    print("compare_and_swap:", lamps(engine), "left")
    assert lamps(engine) == STOCK - THREADS

    engine = new_engine(VersionCheckedEngine)
    receiver = engine.state.signal.subscribe()
    delivered = []
    engine.attach_worker(delivered.append)
    race(engine, take_in_checked_transaction)
    engine.process_outbox()
    signals = [receiver.recv() for _ in range(THREADS)]
    print("checked transactions:", lamps(engine), "left;", len(delivered), "messages")
    assert lamps(engine) == STOCK - THREADS
    assert [m.payload["left"] for m in delivered] == list(range(STOCK - 1, STOCK - THREADS - 1, -1))
    # A refused commit broadcast nothing: the eight signals are those of the eight installs.
    assert signals == [f"stock:lamp:{n}" for n in range(STOCK - 1, STOCK - THREADS - 1, -1)]
