"""Shared driver for the fuzz harnesses: seeds a corpus, runs atheris for a bounded number of
executions, and fails on any exception outside the harness's documented types (a crash fails
by exit status)."""

import os
import re
import sys
import tempfile
import zlib

import atheris

# The module is native code that libFuzzer cannot see, so outcomes are fed back as Python
# coverage instead: each distinct outcome text (digits removed, so positions and counts do not
# count as new) lands in one of many separately instrumented functions, and an input that
# reaches a new one is kept in the corpus.
_BUCKETS = 512
_branches = []
for _i in range(_BUCKETS):
    _namespace = {}
    exec(f"def _branch_{_i}():\n    return {_i}\n", _namespace)
    _branches.append(atheris.instrument_func(_namespace[f"_branch_{_i}"]))


def feedback(outcome: str) -> None:
    key = re.sub(r"[0-9]+", "#", outcome)[:200]
    _branches[zlib.crc32(key.encode("utf-8", "surrogateescape")) % _BUCKETS]()


def text_of(data: bytes) -> str:
    # Lone surrogates included: they reach the module exactly as a caller could pass them.
    return data.decode("utf-8", "surrogateescape")


def run(test_one_input, seeds):
    corpus = tempfile.mkdtemp(prefix="morva-fuzz-")
    for i, seed in enumerate(seeds):
        with open(os.path.join(corpus, f"seed{i}"), "wb") as f:
            f.write(seed if isinstance(seed, bytes) else seed.encode())
    args = [sys.argv[0], *sys.argv[1:], corpus]
    atheris.Setup(args, test_one_input)
    atheris.Fuzz()
