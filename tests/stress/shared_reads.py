"""Readers and writers of the same objects at once (with the GIL off, truly in parallel): two
threads commit to one engine while two read its state, its zones and a guard over a shared
target; every reader sees versions that only grow and zones that match their version, and two
threads staging into one transaction lose none of each other's keys."""

import sys
import threading
from types import SimpleNamespace

from morva_core import ContextGuard, MorvaEngine, State

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
engine = MorvaEngine()
target = SimpleNamespace(shared={"n": 1}, out=0)
shared_guard = ContextGuard(target, ["shared"], ["out"])
stop = threading.Event()
failures = []


def writer(t):
    for i in range(ROUNDS):
        while True:
            seen = engine.state
            try:  # each version's data names the version it was made for
                engine.compare_and_swap(seen.version, data={"v": seen.version + 1, f"w{t}": i})
                break
            except Exception as exc:
                assert "CAS Version Mismatch" in str(exc), exc
        shared_guard.out = i  # guarded writes from both writers


def reader(t):
    own_guard = ContextGuard(target, ["shared"], [])
    last = 0
    while not stop.is_set():
        state = engine.state
        data = state.data
        if state.version < last or data.get("v", 1) != state.version:
            failures.append((t, last, state.version, data.to_dict()))
        last = state.version
        if shared_guard.shared["n"] != 1 or own_guard.shared["n"] != 1:
            failures.append((t, "guard"))


def stagers():
    tx = engine.transaction()

    def stage(t):
        for i in range(ROUNDS // 4):
            tx.update(data={f"s{t}.{i}": i})

    threads = [threading.Thread(target=stage, args=(t,)) for t in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    with tx:
        pass
    keys = set(engine.state.data.keys())
    missing = [f"s{t}.{i}" for t in range(2) for i in range(ROUNDS // 4) if f"s{t}.{i}" not in keys]
    assert not missing, missing[:5]


readers = [threading.Thread(target=reader, args=(t,)) for t in range(2)]
writers = [threading.Thread(target=writer, args=(t,)) for t in range(2)]
for th in readers + writers:
    th.start()
for th in writers:
    th.join()
stop.set()
for th in readers:
    th.join()
assert not failures, failures[:5]
assert engine.state.version == 2 * ROUNDS + 1, engine.state.version
assert target.out == ROUNDS - 1
stagers()
assert State(data={"a": 1}).update(data={"b": 2}).data.to_dict() == {"a": 1, "b": 2}
print("ok")
