"""Benchmark runner: ratio tables of morva_core operations against reference implementations.

Each module benchmarks/bench_*.py defines `ROWS`: a list of (name, candidate, reference,
target) tuples. Candidate and reference are either statements (str, timed with timeit in the
module's globals, so no Python call overhead is added around them) or zero-argument
callables; target is the highest acceptable ratio (candidate time / reference time), or None. The
runner times candidate and reference interleaved, takes medians, prints a table and one JSON
line, and exits non-zero when a ratio misses its target (unless --no-fail is given).

A row may compare a quantity other than time: candidate and reference are then objects with a
`unit` (str) and a `measure()` method returning a number (for example bytes kept per retained
version); the runner takes the median of a few interleaved measurements of each.
"""

import argparse
import importlib
import json
import pathlib
import statistics
import sys
import time
import timeit

HERE = pathlib.Path(__file__).parent


def make_timer(op, namespace):
    if isinstance(op, str):
        return timeit.Timer(op, globals=namespace).timeit
    def run(number):
        start = time.perf_counter()
        for _ in range(number):
            op()
        return time.perf_counter() - start
    return run


def time_call(timer, number):
    return timer(number) / number


def calibrate(fn, budget=0.02):
    number = 1
    while True:
        if time_call(fn, number) * number >= budget:
            return number
        number *= 2


def measure(candidate, reference, repeats, namespace):
    candidate = make_timer(candidate, namespace)
    reference = make_timer(reference, namespace)
    # Each side gets its own loop count: one common count sized for the faster side would run
    # a slow reference (a 100k-key dict copy) for minutes.
    # One untimed run each first: a first call may import a module or fill a cache, and a
    # calibration that saw it would settle on far too few runs per timing.
    candidate(1)
    reference(1)
    n_cand, n_ref = calibrate(candidate), calibrate(reference)
    cand, ref = [], []
    for _ in range(repeats):  # interleaved so drift affects both sides alike
        cand.append(time_call(candidate, n_cand))
        ref.append(time_call(reference, n_ref))
    return statistics.median(cand), statistics.median(ref)


class Quantity:
    """A non-time measurement for a row: `fn()` returns a number in `unit`."""

    def __init__(self, fn, unit):
        self.fn = fn
        self.unit = unit

    def measure(self):
        return self.fn()


def measure_quantity(candidate, reference, repeats=3):
    cand, ref = [], []
    for _ in range(repeats):
        cand.append(candidate.measure())
        ref.append(reference.measure())
    return statistics.median(cand), statistics.median(ref)


def load_rows(selected):
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        if selected and path.stem not in selected:
            continue
        sys.path.insert(0, str(HERE))
        module = importlib.import_module(path.stem)
        rows.extend((path.stem, vars(module), *row) for row in module.ROWS)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("modules", nargs="*", help="bench_* module names to run (default: all)")
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--no-fail", action="store_true")
    args = parser.parse_args()
    results, missed = [], []
    print(f"{'operation':58} {'ours':>10} {'reference':>10} {'ratio':>7} {'target':>7}")
    for module, namespace, name, candidate, reference, target in load_rows(args.modules):
        if hasattr(candidate, "measure"):
            unit, scale = candidate.unit, 1
            ours, ref = measure_quantity(candidate, reference)
        else:
            unit, scale = "ns", 1e9
            ours, ref = measure(candidate, reference, args.repeats, namespace)
        ratio = ours / ref
        ok = target is None or ratio <= target
        if not ok:
            missed.append(name)
        mark = "" if ok else "  MISSED"
        tgt = "-" if target is None else f"{target:.2f}"
        print(f"{name:58} {ours * scale:>8.0f}{unit:<2} {ref * scale:>8.0f}{unit:<2} "
              f"{ratio:>7.2f} {tgt:>7}{mark}")
        row = {"module": module, "name": name, "ratio": ratio, "target": target}
        if unit == "ns":
            row.update(ours_ns=ours * scale, reference_ns=ref * scale)
        else:
            row.update(unit=unit, ours=ours, reference=ref)
        results.append(row)
    print(json.dumps({"benchmarks": results, "missed": missed}))
    return 1 if missed and not args.no_fail else 0


if __name__ == "__main__":
    sys.exit(main())
