"""Shared fixtures: the module under test and helpers for exact error checks."""

import functools
import os
import re
import subprocess
import sys
import sysconfig
from contextlib import contextmanager

import pytest

import morva_core

if os.environ.get("MORVA_MODULE_DIR"):
    # The sanitizer run must exercise the instrumented build, not the installed one.
    expected = os.path.realpath(os.environ["MORVA_MODULE_DIR"])
    assert os.path.dirname(os.path.realpath(morva_core.__file__)) == expected, morva_core.__file__

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture
def mc():
    return morva_core


def hidden(name):
    """One of the classes Python meets only as returned values (Outbox, FrozenList, ...)."""
    import gc

    for obj in gc.get_objects():
        if isinstance(obj, type) and obj.__module__ == "morva_core" and obj.__name__ == name:
            return obj
    raise LookupError(name)


HIDDEN = ("Outbox", "FrozenList", "TrackedDict", "TrackedList")


@functools.cache
def reserved_at_start():
    """Address space a fresh interpreter holds before it runs any code: about 14 MB with a GIL,
    about 1.1 GB on a free-threaded build (mimalloc reserves its arenas up front)."""
    code = "import re; print(re.search(r'VmSize:\\s+(\\d+) kB', open('/proc/self/status').read())[1])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    return int(out.stdout) * 1024


def address_cap(limit):
    """An RLIMIT_AS value that leaves a child `limit` bytes beyond what its interpreter reserves."""
    return limit + reserved_at_start()


@contextmanager
def raises_exact(exc_type, message):
    """Expect `exc_type` (exactly that class) whose str() is exactly `message`."""
    with pytest.raises(exc_type) as info:
        yield info
    assert type(info.value) is exc_type, type(info.value)
    text = info.value.args[0] if exc_type is KeyError else str(info.value)
    assert text == message


@contextmanager
def unraisable_hook():
    """Collects what the interpreter reports through sys.unraisablehook."""
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = old
