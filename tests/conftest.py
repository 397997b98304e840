"""Shared fixtures: the module under test and helpers for exact error checks."""

import os
import sys
from contextlib import contextmanager

import pytest

import morva_core

if os.environ.get("MORVA_MODULE_DIR"):
    # The sanitizer run must exercise the instrumented build, not the installed one.
    expected = os.path.realpath(os.environ["MORVA_MODULE_DIR"])
    assert os.path.dirname(os.path.realpath(morva_core.__file__)) == expected, morva_core.__file__


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
