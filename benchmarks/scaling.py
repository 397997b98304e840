"""How cost grows with the size of the state: one-key update, bytes kept per retained version and
a full read into a dict, for State and the persistent maps people reach for, at 10^2 ... 10^6
keys. Writes a log-log plot (scaling.png) and a Markdown table (scaling.md) beside this file.

Memory is counted by the C allocator, in a child interpreter run with PYTHONMALLOC=malloc: then
every byte any of the libraries keeps (Python objects, C++ trie nodes, Rust nodes) comes from
the one allocator that mallinfo2() reports on, each counted once. tracemalloc would see only the
allocations made through Python's own allocator and miss the nodes of a library that allocates
elsewhere.

    python benchmarks/scaling.py [--sizes 100 1000 ...] [--out DIR]
    python benchmarks/scaling.py --memory N     (child: JSON of bytes per version at N keys)
"""

import argparse
import ctypes
import gc
import json
import os
import pathlib
import statistics
import subprocess
import sys
import timeit

import immutables
import pyrsistent
import rpds

from morva_core import State

HERE = pathlib.Path(__file__).parent
SIZES = [10**2, 10**3, 10**4, 10**5, 10**6]
VERSIONS = 2000  # one-key versions retained per memory measurement
WARM_VERSIONS = 200  # retained before the measurement starts (see bytes_per_version)


def _keys(n):
    return [f"key{i}" for i in range(n)]


# name -> (build from a dict, one-key update, full read into a dict)
LIBRARIES = {
    "morva_core State": (lambda d: State(data=d), lambda s, k, v: s.update(data={k: v}),
                         lambda s: s.data),
    "immutables": (immutables.Map, lambda m, k, v: m.set(k, v), dict),
    "pyrsistent": (pyrsistent.pmap, lambda m, k, v: m.set(k, v), dict),
    "rpds": (rpds.HashTrieMap, lambda m, k, v: m.insert(k, v), dict),
}


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _allocated_bytes():
    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def bytes_per_version(n, versions=VERSIONS):
    """Child side: bytes the allocator keeps per retained one-key version, for every library."""
    keys = _keys(n)
    data = dict(zip(keys, range(n)))
    changed = keys[::max(1, n // versions)][:versions]
    # New values, made beforehand (their own memory is not the map's cost), none equal to the
    # value they replace: a map may hand back itself for an unchanged value.
    values = list(range(n, n + len(changed)))
    # The cyclic collector is off: with millions of tracked nodes (pyrsistent's) every automatic
    # collection walks them all and a 10^6-key build takes hours. Collections that matter here
    # are the explicit ones.
    gc.disable()
    result = {}
    for name, (build, update, _) in LIBRARIES.items():
        start = build(data)
        if isinstance(start, State):
            for _ in range(1000):  # fill the meta log's ring: later entries reuse its slots
                start.update()
        # A retained warm-up chain first: an allocator that keeps freed nodes for reuse (State's
        # trie keeps a few of each size) has handed them out by then, so the measured chain pays
        # for every node it keeps instead of reusing memory counted before it began.
        warm = [start]
        for key in changed[:WARM_VERSIONS]:
            warm.append(update(warm[-1], key, -1))
        start = warm[-1]
        chain = [start] + [None] * len(changed)
        gc.collect()
        before = _allocated_bytes()
        for i, key in enumerate(changed):
            chain[i + 1] = update(chain[i], key, values[i])
        result[name] = (_allocated_bytes() - before) / len(changed)
        del chain, start, warm
        gc.collect()
    return result


def memory_in_child(n):
    env = dict(os.environ, PYTHONMALLOC="malloc")
    out = subprocess.run([sys.executable, __file__, "--memory", str(n)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def _per_call(fn, repeats=5):
    timer = timeit.Timer(fn)
    number = max(1, int(0.02 / max(timer.timeit(1), 1e-9)))
    return statistics.median(timer.timeit(number) / number for _ in range(repeats))


def measure(n):
    keys = _keys(n)
    data = dict(zip(keys, range(n)))
    key, value = keys[n // 2], object()  # a value the map does not hold yet
    row = {"update_ns": {}, "read_ns": {}}
    for name, (build, update, read) in LIBRARIES.items():
        gc.disable()  # as in bytes_per_version: automatic collections would dominate the build
        m = build(data)
        gc.enable()
        row["update_ns"][name] = _per_call(lambda: update(m, key, value)) * 1e9
        row["read_ns"][name] = _per_call(lambda: read(m), repeats=3) * 1e9
    row["bytes_per_version"] = memory_in_child(n)
    return row


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [("update_ns", "one-key update (ns)"), ("bytes_per_version", "bytes per version"),
              ("read_ns", "full read into a dict (ns)")]
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.5))
    sizes = sorted(results)
    for ax, (field, title) in zip(axes, panels):
        for name in LIBRARIES:
            ax.plot(sizes, [results[n][field][name] for n in sizes], marker="o", label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("keys in the state")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
    axes[0].legend()
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def table(results):
    names = list(LIBRARIES)
    lines = ["| keys | measure | " + " | ".join(names) + " |",
             "|---:|---|" + "---:|" * len(names)]
    units = {"update_ns": ("one-key update", "ns"), "bytes_per_version": ("bytes per version", "B"),
             "read_ns": ("full read", "ns")}
    for n in sorted(results):
        for field, (label, unit) in units.items():
            cells = " | ".join(f"{results[n][field][name]:,.0f} {unit}" for name in names)
            lines.append(f"| {n:,} | {label} | {cells} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="*", default=SIZES)
    parser.add_argument("--out", type=pathlib.Path, default=HERE)
    parser.add_argument("--memory", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        print(json.dumps(bytes_per_version(args.memory)))
        return 0
    # Kept after every size, so a run for some sizes adds to (or replaces) those of earlier runs.
    saved = args.out / "scaling.json"
    results = {int(n): row for n, row in json.loads(saved.read_text()).items()} \
        if saved.exists() else {}
    for n in args.sizes:
        results[n] = measure(n)
        saved.write_text(json.dumps(results, indent=1))
        print(f"{n:>9,} keys: " + json.dumps(results[n]), flush=True)
    (args.out / "scaling.md").write_text(table(results))
    plot(results, args.out / "scaling.png")
    print(table(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
