"""The versioned State: construction, zones and views, update() with its meta entry, merge and
signals, restrict_view, the meta log through State, immutability and reference balance."""

import gc
import inspect
import sys
import tracemalloc

import pytest

from morva_core import ContextError, FrozenDict, SignalHub, State
from conftest import raises_exact, unraisable_hook

IMMUTABLE = "State is Immutable. Use .update() to create a new version."


def drain(receiver, n):
    return [receiver.recv() for _ in range(n)]


def entries(state):
    return [(e.key, e.message) for e in state.get_meta_logs()]


class TestConstruction:
    def test_defaults_and_given_zones(self):
        s = State()
        assert (s.version, str(s.data), s.heavy.to_dict(), s.meta) == (1, "FrozenDict({})", {}, [])
        assert s.domain is None and getattr(s, "global") is None
        payload = [1]
        s = State(data={"a": payload, "b": None}, heavy={"h": 2}, signal=[{"x": 1}], version=7)
        assert s.version == 7 and s.data["a"] is payload and s.heavy.to_dict() == {"h": 2}
        assert s.data.to_dict() == {"a": payload, "b": None} and s.meta == []

    def test_str_subclass_keys_are_stored_as_plain_str(self):
        class Name(str):
            def __hash__(self):
                return 1

        s = State(data={Name("k"): 1})
        assert [type(k) for k in s.data.keys()] == [str]
        assert s.update(data={"k": 2}).data.to_dict() == {"k": 2}

    def test_conversion_errors(self):
        with raises_exact(TypeError, "'list' object cannot be converted to 'PyDict'"):
            State(data=[])
        with raises_exact(TypeError, "'bytes' object cannot be converted to 'PyString'"):
            State(data={"ok": 1}, heavy={b"k": 1})
        with pytest.raises(TypeError) as info:
            State(version="3")
        assert str(info.value).startswith("argument 'version': ")
        assert type(info.value.__cause__) is TypeError
        for kwargs in ({"version": -1}, {"meta_capacity": -1}, {"version": 2**64}):
            with pytest.raises(OverflowError):
                State(**kwargs)
        with pytest.raises(MemoryError):
            State(meta_capacity=2**62)

    def test_signatures_and_docstrings(self):
        assert str(inspect.signature(State)) == (
            "(data=None, heavy=None, signal=None, version=1, meta_capacity=1000)")
        assert State.__doc__ == "Morva v3 Immutable State"
        s = State()
        assert str(inspect.signature(s.update)) == "(data=None, heavy=None, signal=None)"
        assert str(inspect.signature(s.log_meta)) == "(key, message)"
        assert s.log_meta.__doc__ == "Log a system event to the Meta Zone Ring Buffer."
        assert s.get_meta_logs.__doc__ == (
            "Retrieve persistent meta logs (shared across state versions).")
        assert not s.update.__doc__ and not s.restrict_view.__doc__
        with raises_exact(TypeError, "State.update() got an unexpected keyword argument 'meta'"):
            s.update(meta={})
        with pytest.raises(TypeError):
            s.restrict_view(1)


class TestUpdate:
    def test_new_version_leaves_the_old_unchanged_and_logs(self):
        s1 = State()
        s2 = s1.update(data={"a": 1})
        assert (s1.version, s2.version) == (1, 2)
        assert s1.data.to_dict() == {} and s2.data.to_dict() == {"a": 1}
        assert entries(s1)[-1] == entries(s2)[-1] == ("state_update", "State updated to version 2")
        s3 = s2.update()
        assert s3 is not s2 and s3.version == 3 and s3.data.to_dict() == {"a": 1}

    def test_merge_is_one_level_and_none_is_a_value(self):
        shared = []
        s = State(data={"cfg": {"x": 1, "y": 2}, "keep": shared}, heavy={"h": 1})
        n = s.update(data={"cfg": {"x": 9}, "gone": None}, heavy={"i": 2})
        assert n.data.to_dict() == {"cfg": {"x": 9}, "keep": shared, "gone": None}
        assert n.heavy.to_dict() == {"h": 1, "i": 2}
        assert s.data["cfg"] == {"x": 1, "y": 2}
        n.data["keep"].append("x")  # values are the caller's objects, shared by every version
        assert s.data["keep"] == ["x"]

    def test_failed_update_leaves_its_meta_entry(self):
        s = State(data={"a": 1})
        with raises_exact(TypeError, "'list' object cannot be converted to 'PyDict'"):
            s.update(data=[1])
        with raises_exact(TypeError, "'int' object cannot be converted to 'PyString'"):
            s.update(heavy={1: 1})
        with raises_exact(TypeError, "'FrozenDict' object cannot be converted to 'PyDict'"):
            s.update(data=s.data)
        assert entries(s) == [("state_update", "State updated to version 2")] * 3
        assert s.update(data=s.data.to_dict()).data.to_dict() == {"a": 1}

    def test_version_overflow_raises_instead_of_wrapping(self):
        last = 2**64 - 1
        assert State(version=last - 1).update().version == last
        s = State(version=last)
        with raises_exact(OverflowError, "State version 18446744073709551615 is the last one: update() cannot go past it"):
            s.update(data={"a": 1})
        assert s.meta == []  # no version was made, so none is logged

    def test_retained_versions_keep_what_they_held(self):
        versions = [State(data={f"k{i}": i for i in range(500)})]
        for i in range(300):
            versions.append(versions[-1].update(data={f"k{i}": -i, f"new{i}": i}))
        for n, s in enumerate(versions):
            data = s.data.to_dict()
            assert len(data) == 500 + n
            assert all(data[f"new{i}"] == i and data[f"k{i}"] == -i for i in range(n))
            assert all(data[f"k{i}"] == i for i in range(n, 500))

    def test_zone_reads_and_sections(self):
        domain, value = {"x": 1}, object()
        s = State(data={"domain": domain, "global": 3, "v": value})
        d1, d2 = s.data, s.data
        assert isinstance(d1, FrozenDict) and d1.to_dict() is not d2.to_dict() and d1["v"] is value
        assert s.domain.to_dict() is domain and getattr(s, "global") == 3

        class D(dict):
            pass

        sub = D(a=1)
        assert getattr(State(data={"global": sub}), "global").to_dict() is sub
        assert State(data={"domain": None}).domain is None


class TestSignals:
    def test_update_broadcasts_key_and_text(self):
        s = State()
        r = s.signal.subscribe()
        odd = "k\ud800\x00😀"
        s.update(signal={"evt": 5})
        s.update(signal=[{"a": 1}, {"b": "x"}])
        for ignored in ("not a signal", 7, None):
            s.update(signal=ignored)
        s.update(signal={"l": [1, "a"], odd: odd})
        assert drain(r, 5) == ["evt:5", "a:1", "b:x", "l:[1, 'a']", odd + ":" + odd]

    def test_messages_before_a_failure_stay_sent(self):
        class Bad:
            def __str__(self):
                raise ValueError("no text")

        s = State()
        r = s.signal.subscribe()
        with raises_exact(TypeError, "'int' object cannot be converted to 'PyDict'"):
            s.update(signal=[{"a": 1}, 2, {"b": 2}])
        with raises_exact(TypeError, "'int' object cannot be converted to 'PyString'"):
            s.update(signal={"c": 3, 4: 4})
        with unraisable_hook() as seen:
            s.update(signal={"bad": Bad()})
            # Running out of memory or stack, or an interrupt, is no reason to make up a text.
            for exhausted in (MemoryError, RecursionError, KeyboardInterrupt):
                Bad.__str__ = lambda self, e=exhausted: (_ for _ in ()).throw(e)
                with pytest.raises(exhausted):
                    s.update(signal={"lost": Bad()})
        assert drain(r, 3) == ["a:1", "c:3", "bad:<unprintable Bad object>"]
        assert len(seen) == 1 and type(seen[0].exc_value) is ValueError

    def test_a_signal_list_emptied_by_str_is_read_safely(self):
        class Shrink:
            def __str__(self):
                signals.clear()
                return "s"

        signals = [{"s": Shrink()}, {"after": 1}]
        s = State()
        r = s.signal.subscribe()
        s.update(signal=signals)
        assert r.recv() == "s:s" and s.signal.publish("next") == 1 and r.recv() == "next"

    @pytest.mark.timeout(30)
    def test_hubs_of_one_lineage_share_its_channel_until_all_are_gone(self):
        s = State()
        h1, h2 = s.signal, s.signal
        assert isinstance(h1, SignalHub) and h1 is not h2
        r1, r2 = h1.subscribe(), h2.subscribe()
        assert h1.publish("one") == h2.publish("two") == 2
        s2 = s.update(signal={"u": 1})
        del h1, s  # one hub and one version gone: still open
        s2.update(signal={"v": 2})
        assert drain(r1, 4) == drain(r2, 4) == ["one", "two", "u:1", "v:2"]
        del h2, s2
        gc.collect()
        for _ in range(2):
            with raises_exact(StopAsyncIteration, "Channel Closed"):
                r1.recv()

    def test_restrict_view_has_its_own_channel_and_shares_the_log(self):
        s = State(data={"a": 1}, heavy={"h": 2}, version=5)
        view = s.restrict_view()
        assert (view.version, view.data.to_dict(), view.heavy.to_dict()) == (5, {"a": 1}, {"h": 2})
        assert view.meta == []
        from_state, from_view = s.signal.subscribe(), view.signal.subscribe()
        assert view.update(signal={"v": 1}).version == 6
        s.update(signal={"s": 1})
        assert from_view.recv() == "v:1" and from_state.recv() == "s:1"
        view.log_meta("k", "from view")
        assert [m for _, m in entries(s)] == ["State updated to version 6"] * 2 + ["from view"]


class TestMetaLog:
    def test_log_meta_is_shared_by_the_lineage(self):
        s1 = State()
        s2 = s1.update()
        assert s1.log_meta("evt", "hello") is None
        s2.log_meta(key="\udcff", message="m\ud800")
        expected = [("state_update", "State updated to version 2"), ("evt", "hello"),
                    ("\udcff", "m\ud800")]
        assert entries(s1) == entries(s2) == entries(s2.restrict_view()) == expected
        for entry in s1.meta:
            time = repr(entry.timestamp).removesuffix(".0")
            text = f"MetaLogEntry(time={time}, key={entry.key}, msg={entry.message})"
            assert repr(entry) == str(entry) == text and "e" not in time
        assert repr(s1.meta[-1]).endswith("key=\udcff, msg=m\ud800)")

    def test_argument_errors_and_capacity(self):
        s = State(meta_capacity=3)
        with raises_exact(TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"):
            s.log_meta(1, "m")
        with raises_exact(TypeError, "argument 'message': 'NoneType' object cannot be converted to 'PyString'"):
            s.log_meta("k", None)
        for i in range(5):
            s.log_meta(f"k{i}", "m")
        assert [k for k, _ in entries(s)] == ["k2", "k3", "k4"]
        off = State(meta_capacity=0)
        off.update().log_meta("a", "b")
        assert off.get_meta_logs() == []


def test_assignment_and_deletion_are_refused():
    s = State()
    for name in ("version", "data", "undeclared"):
        with raises_exact(ContextError, IMMUTABLE):
            setattr(s, name, 1)
        with raises_exact(AttributeError, "can't delete attribute"):
            delattr(s, name)
    assert s.version == 1


class TestReferences:
    def test_stored_and_replaced_objects_are_released(self):
        value, old, key = object(), object(), "".join(["dyn", "amic"])
        base = sys.getrefcount(value), sys.getrefcount(old), sys.getrefcount(key)
        s = State(data={key: value, "r": old})
        versions = [s.update(data={key: value, f"x{i}": value, "r": value}) for i in range(50)]
        views = [v.data for v in versions[:5]]
        del s
        assert sys.getrefcount(old) == base[1]
        del versions, views
        assert (sys.getrefcount(value), sys.getrefcount(old), sys.getrefcount(key)) == base

    @pytest.mark.timeout(120)
    def test_memory_stays_flat_over_many_updates_and_reads(self):
        def churn(state, n):
            for i in range(n):
                state = state.update(data={"k": i, f"r{i % 64}": [i]}, heavy={"h": i})
                state.data, state.heavy, state.domain, state.restrict_view()
            return state

        s = churn(State(data={f"k{i}": i for i in range(1000)}), 3000)
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            s = churn(s, 100_000)
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
        assert s.version == 1 + 103_000
        assert after - before < 64 * 1024, after - before
