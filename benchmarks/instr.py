"""Instructions per operation, ours against the reference, counted by callgrind.

Wall time on a shared machine moves by tens of per cent; the number of instructions the same
binary executes for the same input does not. Each benchmarks/bench_*.py may declare
`INSTR_ROWS`: a list of (name, candidate, reference, target[, number]) where candidate and
reference are statements (run with timeit in the module's globals) or zero-argument callables,
target is the highest acceptable ratio of instruction counts (or None), and number (default
200) is how many runs one measurement takes.

One child interpreter per module runs under valgrind. Around each measured loop it calls two
libc functions that the interpreter itself never calls: callgrind zeroes its counters on entry
to the first and writes a dump on entry to the second. Every side of every row is measured
with `number` and with 2 * `number` runs; the difference, divided by `number`, is the cost of
one run with the timer's own set-up and the marker calls cancelled out.

    python benchmarks/instr.py [bench_state ...] [--no-fail]
"""

import argparse
import ctypes
import importlib
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import timeit

HERE = pathlib.Path(__file__).parent
ZERO_MARKER, DUMP_MARKER = "seed48", "lcong48"  # the dump names carry a "_r" suffix: match both
DEFAULT_NUMBER = 200


def _timer(op, namespace):
    if callable(op):
        return timeit.Timer(op).timeit
    return timeit.Timer(op, globals=namespace).timeit


def child(module_name, order_path):
    """Runs inside valgrind: measures every row of one module, in a fixed order."""
    sys.path.insert(0, str(HERE))
    module = importlib.import_module(module_name)
    libc = ctypes.CDLL("libc.so.6")
    state = (ctypes.c_ushort * 7)()
    zero, dump = getattr(libc, ZERO_MARKER), getattr(libc, DUMP_MARKER)
    rows, order = [], []
    for row in module.INSTR_ROWS:
        name, candidate, reference = row[:3]
        number = row[4] if len(row) > 4 else DEFAULT_NUMBER
        rows.append([name, row[3]])
        for side, op in (("ours", candidate), ("reference", reference)):
            run = _timer(op, vars(module))
            run(number)  # warm caches, specialisations and free lists first
            for n in (number, 2 * number):
                zero(state)
                run(n)
                dump(state)
                order.append([name, side, n])
    pathlib.Path(order_path).write_text(json.dumps({"rows": rows, "order": order}))


def _dump_total(path):
    match = re.search(r"^summary:\s*(\d+)", pathlib.Path(path).read_text(), re.M)
    return int(match.group(1))


def measure_module(module_name, workdir):
    """[(name, target, ours, reference)]: instructions per run for every row of one module."""
    out = os.path.join(workdir, module_name)
    order_path = out + ".order.json"
    command = ["valgrind", "--tool=callgrind", f"--zero-before={ZERO_MARKER}*",
               f"--dump-before={DUMP_MARKER}*", "--dump-instr=no", "--compress-strings=no",
               f"--callgrind-out-file={out}", sys.executable, __file__, "--child", module_name,
               order_path]
    # A fixed str hash seed: the shape of every hash table and trie depends on it.
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    written = json.loads(pathlib.Path(order_path).read_text())
    counts = {}
    for index, (name, side, n) in enumerate(written["order"], start=1):
        counts.setdefault(name, {}).setdefault(side, {})[n] = _dump_total(f"{out}.{index}")
    def per_run(by_n):
        small, large = sorted(by_n)
        return (by_n[large] - by_n[small]) / (large - small)

    return [(name, target, per_run(counts[name]["ours"]), per_run(counts[name]["reference"]))
            for name, target in written["rows"]]


def instr_modules(selected):
    for path in sorted(HERE.glob("bench_*.py")):
        if selected and path.stem not in selected:
            continue
        if "INSTR_ROWS" in path.read_text():
            yield path.stem


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("modules", nargs="*", help="bench_* module names (default: all)")
    parser.add_argument("--no-fail", action="store_true")
    parser.add_argument("--child", nargs=2, metavar=("MODULE", "ORDER_FILE"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(*args.child)
    results, missed = [], []
    print(f"{'operation (instructions per run)':62} {'ours':>10} {'reference':>10} "
          f"{'ratio':>7} {'target':>7}")
    with tempfile.TemporaryDirectory(prefix="morva-instr-") as workdir:
        for module_name in instr_modules(args.modules):
            for name, target, ours, ref in measure_module(module_name, workdir):
                ratio = ours / ref
                ok = target is None or ratio <= target
                if not ok:
                    missed.append(name)
                tgt = "-" if target is None else f"{target:.2f}"
                print(f"{name:62} {ours:>10.0f} {ref:>10.0f} {ratio:>7.2f} {tgt:>7}"
                      f"{'' if ok else '  MISSED'}", flush=True)
                results.append({"module": module_name, "name": name, "ours_instr": ours,
                                "reference_instr": ref, "ratio": ratio, "target": target})
    print(json.dumps({"instructions": results, "missed": missed}))
    return 1 if missed and not args.no_fail else 0


if __name__ == "__main__":
    sys.exit(main())
