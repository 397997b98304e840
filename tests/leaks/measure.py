"""Runs operations many times after a warm-up and reports, per operation, the growth of the
process's resident memory and of the reference counts of the objects the operation touches.

Usage: measure.py GROUP CALLS   (prints one JSON object: {op: [rss_growth_bytes, ref_growth]})
"""

import gc
import json
import os
import sys
import warnings

import ops

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def refcounts(objects):
    return sum(sys.getrefcount(o) for o in objects)


def measure(fn, watched, calls):
    for _ in range(max(calls // 4, 1000)):  # warm-up: caches, free lists, arenas
        fn()
    gc.collect()
    before_rss, before_refs = rss(), refcounts(watched)
    for _ in range(calls):
        fn()
    gc.collect()
    return rss() - before_rss, refcounts(watched) - before_refs


def main():
    group, calls = sys.argv[1], int(sys.argv[2])
    warnings.simplefilter("ignore")
    results = {}
    for name, (fn, watched) in ops.GROUPS[group]().items():
        results[name] = measure(fn, watched, calls)
    print(json.dumps(results))


if __name__ == "__main__":
    main()
