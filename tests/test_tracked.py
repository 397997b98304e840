"""TrackedDict and TrackedList: plain reads, report-then-write through the transaction hook."""

import types

import pytest

import morva_core
from morva_core import ContextGuard, Transaction
from conftest import hidden, raises_exact, unraisable_hook


TrackedDict, TrackedList = hidden("TrackedDict"), hidden("TrackedList")


def test_tracked_dict():
    inner = {"x": 1}
    data = {"inner": inner}
    td = TrackedDict(data, Transaction(), "ctx.d")
    assert td["inner"] is inner  # reads are not wrapped
    with raises_exact(KeyError, "Key not found"):
        td["zz"]
    with raises_exact(KeyError, "Key not found"):  # no __missing__ hook
        TrackedDict(type("D", (dict,), {"__missing__": lambda s, k: 0})(), Transaction(), "p")["a"]
    td["inner"] = 2
    td[1] = "int key"
    del td["inner"]
    assert data == {1: "int key"}
    with pytest.raises(KeyError):
        del td["inner"]
    with pytest.raises(TypeError, match="unhashable"):
        td[[1]] = 1
    for name in ("data", "tx", "path", "_data", "_target"):
        assert not hasattr(td, name)
    assert not hasattr(morva_core, "TrackedDict")


def test_tracked_dict_store_survives_an_unprintable_key():
    class Key:
        def __str__(self):
            raise ValueError("no text")

    data, key = {}, Key()
    with unraisable_hook() as seen:
        TrackedDict(data, Transaction(), "p")[key] = 1
    assert data == {key: 1} and len(seen) == 1


def test_tracked_list():
    inner = [1]
    data = [inner, 2]
    tl = TrackedList(data, Transaction(), "p")
    assert tl[0] is inner and list(tl) == [inner, 2]
    for bad in (-1, 2):
        with pytest.raises(IndexError):
            tl[bad]
        with pytest.raises(IndexError):  # reported first, then refused by the list
            tl[bad] = 9
    tl[1] = 5
    assert tl.append(3) is None
    with raises_exact(NotImplementedError, "can't delete item"):
        del tl[0]
    assert data == [inner, 5, 3]
    with pytest.raises(TypeError, match="^argument 'index': "):
        tl["0"]


def test_a_write_whose_report_is_refused_leaves_the_container_unchanged():
    # A guarded read holds its transaction exclusively while the shadow copy's __deepcopy__ runs:
    # every report to the hook is refused then, and the write it announced must not happen.
    tx = Transaction()
    d, lst = {"a": 1}, [1]
    td, tl = TrackedDict(d, tx, "d"), TrackedList(lst, tx, "l")
    writes = [lambda: td.__setitem__("a", 2), lambda: td.__setitem__("new", 3),
              lambda: tl.__setitem__(0, 9), lambda: tl.append(4)]
    refused = []

    class Hook:
        def __deepcopy__(self, memo):
            for write in writes:
                try:
                    write()
                except RuntimeError as e:
                    refused.append(str(e))
            return Hook()

    ContextGuard(types.SimpleNamespace(h=Hook()), ["h"], [], tx=tx).h
    assert refused == ["Already mutably borrowed"] * len(writes)
    assert d == {"a": 1} and lst == [1]


def test_constructor_checks():
    tx = Transaction()
    with raises_exact(TypeError, "argument 'data': 'list' object cannot be converted to 'PyDict'"):
        TrackedDict([], tx, "p")
    with raises_exact(TypeError, "argument 'tx': 'int' object cannot be converted to 'Transaction'"):
        TrackedList([], 1, "p")
    with raises_exact(TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"):
        TrackedDict({}, tx, 1)
    assert TrackedDict.__doc__ == "Transaction-Tracked Dictionary"
    assert TrackedList.__doc__ == "Transaction-Tracked List"
