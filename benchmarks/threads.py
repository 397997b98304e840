"""Thread scaling on a free-threaded interpreter (`make bench-ft`), all in one process.

Readers: the same total number of reads of one shared State done by 2 threads against 1 thread,
as a throughput ratio (2.0 is perfect on two cores). Each row has a host twin, the same loop
over the interpreter's own objects (an attribute, a dict), which shows what the interpreter
itself lets scale: the reference counts of objects that several threads load are written by
each of them.

Writers: compare_and_swap on one engine from 2 threads against 1, the same total number of
successful swaps, as a throughput ratio (at least 1.0: a second writer must not slow the total
down), and a check that the counter the swaps increment lost no update.

Prints a table and one JSON line, as benchmarks/run.py does; exits non-zero when a ratio
misses its target (unless --no-fail is given) or an update was lost.
"""

import argparse
import json
import statistics
import sys
import sysconfig
import threading
import time
import types

from morva_core import ContextError, ContextGuard, MorvaEngine, State

KEYS = [sys.intern(f"key{i}") for i in range(64)]  # interned: the interpreter never counts them
READ_TARGET = 1.8
CAS_TARGET = 1.0


class Target:
    pass


def shared_objects():
    """One of each object the readers share, built once by the main thread."""
    state = State(data={k: i for i, k in enumerate(KEYS)})
    target = Target()
    target.value = 1
    host = {"state": types.SimpleNamespace(version=state.version),
            "dict": {k: i for i, k in enumerate(KEYS)}}
    return state, target, host


# Each reader takes what it reads once, in its own thread, then reads it `rounds` x len(KEYS)
# times. The loops are alike, so a row and its host twin differ only in the read itself.
def read_version(state, target, host, rounds):
    s = state
    for _ in range(rounds * len(KEYS)):
        s.version


def read_items(state, target, host, rounds):
    fd = state.data
    for _ in range(rounds):
        for k in KEYS:
            fd[k]


def read_get(state, target, host, rounds):
    get = state.data.get
    for _ in range(rounds):
        for k in KEYS:
            get(k)


def read_guard(state, target, host, rounds):
    guard = ContextGuard(target, ["value"], [])  # one guard per thread over the shared target
    for _ in range(rounds * len(KEYS)):
        guard.value


def host_version(state, target, host, rounds):
    s = host["state"]
    for _ in range(rounds * len(KEYS)):
        s.version


def host_items(state, target, host, rounds):
    d = host["dict"]
    for _ in range(rounds):
        for k in KEYS:
            d[k]


def host_get(state, target, host, rounds):
    get = host["dict"].get
    for _ in range(rounds):
        for k in KEYS:
            get(k)


def host_attribute(state, target, host, rounds):
    t = target
    for _ in range(rounds * len(KEYS)):
        t.value


READERS = [
    ("state.version", read_version, host_version),
    ("state.data[key], the FrozenDict taken once", read_items, host_items),
    ("FrozenDict.get(key)", read_get, host_get),
    ("guard.name, declared (one guard per thread)", read_guard, host_attribute),
]


def run_threads(works):
    """Seconds from the moment one thread per work is released, all together, until the last
    one ends."""
    start = threading.Barrier(len(works) + 1)

    def body(work):
        start.wait()
        work()

    workers = [threading.Thread(target=body, args=(work,)) for work in works]
    for w in workers:
        w.start()
    start.wait()
    t0 = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - t0


def scaling(make_works, repeats):
    """Median throughput ratio, 2 threads over 1, of the same total work (interleaved), and the
    median time of the single thread."""
    ratios, ones = [], []
    for _ in range(repeats):
        ones.append(run_threads(make_works(1)))
        ratios.append(ones[-1] / run_threads(make_works(2)))
    return statistics.median(ratios), statistics.median(ones)


def reader_rows(total_reads, repeats):
    state, target, host = shared_objects()
    rounds = total_reads // len(KEYS)
    rows = []
    for name, ours, reference in READERS:
        def works(fn):
            return lambda threads: [lambda: fn(state, target, host, rounds // threads)] * threads

        ratio, seconds = scaling(works(ours), repeats)
        host_ratio, _ = scaling(works(reference), repeats)
        rows.append({"name": f"2 readers vs 1: {name}", "ratio": ratio, "host_ratio": host_ratio,
                     "ops_per_s_1": rounds * len(KEYS) / seconds, "target": READ_TARGET})
    return rows


def cas_run(threads, swaps):
    """`swaps` successful increments of one counter split over `threads` writers, each retrying
    on a version mismatch. Returns seconds, retries, and whether the counter and the version
    account for every swap."""
    engine = MorvaEngine()
    engine.commit_state(State(data={"n": 0, **{k: 0 for k in KEYS[:9]}}))
    first = engine.state.version
    retries = [0] * threads

    def writer(index, count):
        def work():
            done = 0
            while done < count:
                s = engine.state
                try:
                    engine.compare_and_swap(s.version, {"n": s.data["n"] + 1})
                    done += 1
                except ContextError:
                    retries[index] += 1
        return work

    seconds = run_threads([writer(i, swaps // threads) for i in range(threads)])
    final = engine.state
    exact = final.data["n"] == swaps and final.version == first + swaps
    return seconds, sum(retries), exact


def host_swap_run(threads, swaps):
    """The host twin of cas_run: a version-checked increment of a dict under a threading.Lock."""
    lock, box = threading.Lock(), {"n": 0, "version": 1}

    def writer(count):
        def work():
            done = 0
            while done < count:
                seen = box["version"]
                with lock:
                    if box["version"] == seen:
                        box["n"] += 1
                        box["version"] = seen + 1
                        done += 1
        return work

    return run_threads([writer(swaps // threads) for _ in range(threads)])


def writer_row(swaps, repeats):
    ratios, host_ratios, ones, retries, exact = [], [], [], 0, True
    for _ in range(repeats):
        one, _, ok1 = cas_run(1, swaps)
        two, lost_races, ok2 = cas_run(2, swaps)
        ones.append(one)
        ratios.append(one / two)
        host_ratios.append(host_swap_run(1, swaps) / host_swap_run(2, swaps))
        retries += lost_races
        exact = exact and ok1 and ok2
    return {"name": "2 writers vs 1: compare_and_swap, one engine",
            "ratio": statistics.median(ratios), "host_ratio": statistics.median(host_ratios),
            "ops_per_s_1": swaps / statistics.median(ones), "target": CAS_TARGET,
            "retries_per_run": retries / repeats, "no_update_lost": exact}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reads", type=int, default=2_000_000, help="total reads per timing")
    parser.add_argument("--swaps", type=int, default=50_000, help="total swaps per timing")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--no-fail", action="store_true")
    args = parser.parse_args()
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"{sys.implementation.name} {sys.version.split()[0]}, free-threaded build: {free_threaded}, "
          f"GIL enabled: {gil}")
    if gil:
        print("(with the GIL on, two threads cannot run Python code at once: expect ratios near 1)")
    rows = reader_rows(args.reads, args.repeats) + [writer_row(args.swaps, args.repeats)]
    print(f"{'operation':58} {'1 thread':>12} {'ratio':>7} {'host':>7} {'target':>7}")
    missed = []
    for row in rows:
        ok = row["ratio"] >= row["target"] and row.get("no_update_lost", True)
        if not ok:
            missed.append(row["name"])
        host = "-" if row["host_ratio"] is None else f"{row['host_ratio']:.2f}"
        lost = "" if row.get("no_update_lost", True) else "  UPDATE LOST"
        print(f"{row['name']:58} {row['ops_per_s_1'] / 1e6:>8.2f}M/s {row['ratio']:>7.2f} {host:>7} "
              f"{row['target']:>7.2f}{'' if ok else '  MISSED'}{lost}")
    print(json.dumps({"threads": rows, "free_threaded": free_threaded, "gil_enabled": gil,
                      "missed": missed}))
    lost_any = not all(row.get("no_update_lost", True) for row in rows)
    return 1 if lost_any or (missed and not args.no_fail) else 0


if __name__ == "__main__":
    sys.exit(main())
