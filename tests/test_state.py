"""The versioned State: construction, zones and views, update() with its meta entry, merge and
signals, restrict_view, the meta log through State, immutability and reference balance."""

import gc
import inspect
import sys
import tracemalloc

import pytest

from morva_core import ContextError, FrozenDict, MetaLogEntry, SignalHub, State
from conftest import raises_exact, unraisable_hook

MAX_U64 = 2**64 - 1


def drain(receiver, n):
    return [receiver.recv() for _ in range(n)]


class TestConstruction:
    def test_defaults(self):
        s = State()
        assert s.version == 1
        assert str(s.data) == "FrozenDict({})"
        assert s.heavy.to_dict() == {}
        assert s.meta == [] and s.get_meta_logs() == []
        assert s.domain is None and getattr(s, "global") is None

    def test_zones_hold_the_given_objects(self):
        payload = [1, 2]
        s = State(data={"a": payload, "b": None}, heavy={"blob": b"x" * 10}, version=7)
        assert s.version == 7
        assert s.data["a"] is payload and s.data.to_dict() == {"a": payload, "b": None}
        assert s.heavy["blob"] == b"x" * 10
        assert "a" not in s.heavy.to_dict()

    def test_str_subclass_keys_are_stored_as_plain_str(self):
        class Name(str):
            def __hash__(self):
                return 1

        s = State(data={Name("k"): 1})
        (key,) = s.data.keys()
        assert type(key) is str and key == "k"
        assert s.update(data={"k": 2}).data.to_dict() == {"k": 2}

    def test_conversion_errors(self):
        with raises_exact(TypeError, "'list' object cannot be converted to 'PyDict'"):
            State(data=[])
        with raises_exact(TypeError, "'tuple' object cannot be converted to 'PyDict'"):
            State(heavy=())
        with raises_exact(TypeError, "'int' object cannot be converted to 'PyString'"):
            State(data={1: "x"})
        with raises_exact(TypeError, "'bytes' object cannot be converted to 'PyString'"):
            State(data={"ok": 1}, heavy={b"k": 1})
        with pytest.raises(TypeError) as info:
            State(version="3")
        assert str(info.value).startswith("argument 'version': ")
        assert type(info.value.__cause__) is TypeError

    @pytest.mark.parametrize("kwargs", [{"version": -1}, {"meta_capacity": -1},
                                        {"version": 2**64}, {"meta_capacity": 2**64}])
    def test_out_of_range_integers_raise_overflow(self, kwargs):
        with pytest.raises(OverflowError):
            State(**kwargs)

    def test_impossible_meta_capacity_is_a_memory_error(self):
        with pytest.raises(MemoryError):
            State(meta_capacity=2**62)

    def test_signal_argument_is_ignored(self):
        s = State(signal=[{"a": 1}, 5])
        assert s.meta == []

    def test_signatures_and_docstrings(self):
        assert str(inspect.signature(State)) == (
            "(data=None, heavy=None, signal=None, version=1, meta_capacity=1000)")
        assert State.__doc__ == "Morva v3 Immutable State"
        s = State()
        assert str(inspect.signature(s.update)) == "(data=None, heavy=None, signal=None)"
        assert str(inspect.signature(s.log_meta)) == "(key, message)"
        assert str(inspect.signature(s.restrict_view)) == "()"
        assert s.log_meta.__doc__ == "Log a system event to the Meta Zone Ring Buffer."
        assert s.get_meta_logs.__doc__ == (
            "Retrieve persistent meta logs (shared across state versions).")
        assert not s.update.__doc__ and not s.restrict_view.__doc__
        with raises_exact(TypeError, "State.__new__() takes from 0 to 5 positional arguments but 6 were given"):
            State(None, None, None, 1, 1, 1)
        with raises_exact(TypeError, "State.update() got an unexpected keyword argument 'meta'"):
            s.update(meta={})
        with pytest.raises(TypeError):
            s.restrict_view(1)


class TestUpdate:
    def test_new_version_shares_and_leaves_the_old_unchanged(self):
        s1 = State()
        s2 = s1.update(data={"a": 1})
        assert s2 is not s1 and s2.version == 2 and s1.version == 1
        assert s1.data.to_dict() == {} and s2.data.to_dict() == {"a": 1}
        for s in (s1, s2):
            last = s.get_meta_logs()[-1]
            assert isinstance(last, MetaLogEntry)
            assert (last.key, last.message) == ("state_update", "State updated to version 2")

    def test_update_without_arguments_still_advances_and_logs(self):
        s = State(version=41)
        n = s.update()
        assert n is not s and n.version == 42
        assert [e.message for e in n.meta] == ["State updated to version 42"]

    def test_merge_is_one_level_and_none_is_a_value(self):
        s = State(data={"cfg": {"x": 1, "y": 2}, "keep": 1})
        n = s.update(data={"cfg": {"x": 9}, "gone": None})
        assert n.data.to_dict() == {"cfg": {"x": 9}, "keep": 1, "gone": None}
        assert n.update(data={"keep": None}).data["keep"] is None
        assert s.data["cfg"] == {"x": 1, "y": 2}

    def test_heavy_merges_separately(self):
        s = State(data={"a": 1}, heavy={"h": 1})
        n = s.update(heavy={"h": 2, "i": 3})
        assert n.data.to_dict() == {"a": 1}
        assert n.heavy.to_dict() == {"h": 2, "i": 3}

    def test_failed_update_leaves_its_meta_entry(self):
        s = State()
        with raises_exact(TypeError, "'list' object cannot be converted to 'PyDict'"):
            s.update(data=[1])
        with raises_exact(TypeError, "'int' object cannot be converted to 'PyString'"):
            s.update(heavy={1: 1})
        assert [e.message for e in s.meta] == ["State updated to version 2"] * 2
        assert s.data.to_dict() == {} and s.heavy.to_dict() == {}

    def test_frozen_dict_is_not_a_dict_but_its_to_dict_is(self):
        s = State(data={"a": 1})
        with raises_exact(TypeError, "'FrozenDict' object cannot be converted to 'PyDict'"):
            s.update(data=s.data)
        assert s.update(data=s.data.to_dict()).data.to_dict() == {"a": 1}

    def test_values_are_shared_by_reference_across_versions(self):
        items = []
        s1 = State(data={"items": items})
        s2 = s1.update(data={"other": 1})
        s2.data["items"].append("x")
        assert s1.data["items"] == ["x"] and s2.data["items"] is items

    def test_version_overflow_raises_instead_of_wrapping(self):
        s = State(version=MAX_U64)
        assert s.version == MAX_U64
        with raises_exact(OverflowError, "State version 18446744073709551615 is the last one: update() cannot go past it"):
            s.update(data={"a": 1})
        assert s.meta == []  # no version was made, so none is logged
        assert State(version=MAX_U64 - 1).update().version == MAX_U64

    def test_many_retained_versions_keep_what_they_held(self):
        versions = [State(data={f"k{i}": i for i in range(500)})]
        for i in range(300):
            versions.append(versions[-1].update(data={f"k{i % 500}": -i, f"new{i}": i}))
        for n, s in enumerate(versions):
            data = s.data.to_dict()
            assert s.version == n + 1
            assert len(data) == 500 + n
            for i in range(n):
                assert data[f"new{i}"] == i
            if n:
                assert data[f"k{(n - 1) % 500}"] == -(n - 1)

    def test_data_reads_build_a_new_dict_each_time(self):
        value = object()
        s = State(data={"v": value})
        d1, d2 = s.data, s.data
        assert d1 is not d2 and d1.to_dict() is not d2.to_dict()
        assert d1["v"] is value and isinstance(d1, FrozenDict)


class TestSections:
    def test_domain_and_global(self):
        domain = {"x": 1}
        s = State(data={"domain": domain, "global": 3})
        view = s.domain
        assert isinstance(view, FrozenDict) and view["x"] == 1 and view.to_dict() is domain
        assert getattr(s, "global") == 3
        assert State(data={"domain": 3}).domain == 3
        assert State(data={"global": None}).domain is None

    def test_dict_subclass_section_is_viewed(self):
        class D(dict):
            pass

        d = D(a=1)
        assert State(data={"global": d}).__getattribute__("global").to_dict() is d


class TestSignals:
    def test_update_broadcasts_key_and_text(self):
        s = State()
        r = s.signal.subscribe()
        s.update(signal={"evt": 5})
        s.update(signal=[{"a": 1}, {"b": "x"}])
        s.update(signal="not a signal")
        s.update(signal=7)
        s.update(signal={"n": None, "l": [1, "a"]})
        assert drain(r, 5) == ["evt:5", "a:1", "b:x", "n:None", "l:[1, 'a']"]

    def test_messages_before_a_bad_element_stay_sent(self):
        s = State()
        r = s.signal.subscribe()
        with raises_exact(TypeError, "'int' object cannot be converted to 'PyDict'"):
            s.update(data={"d": 1}, signal=[{"a": 1}, 2, {"b": 2}])
        with raises_exact(TypeError, "'int' object cannot be converted to 'PyString'"):
            s.update(signal={"c": 3, 4: 4})
        assert drain(r, 2) == ["a:1", "c:3"]
        assert len(s.meta) == 2

    def test_unprintable_value_is_reported_and_replaced(self):
        class Bad:
            def __str__(self):
                raise ValueError("no text")

        s = State()
        r = s.signal.subscribe()
        with unraisable_hook() as seen:
            s.update(signal={"bad": Bad(), "after": 1})
        assert drain(r, 2) == ["bad:<unprintable Bad object>", "after:1"]
        assert len(seen) == 1 and type(seen[0].exc_value) is ValueError

    def test_a_signal_list_changed_by_str_is_read_safely(self):
        signals = [{"a": 0}]

        class Grow:
            def __str__(self):
                signals.clear()
                return "g"

        signals.insert(0, {"g": Grow()})
        s = State()
        r = s.signal.subscribe()
        s.update(signal=signals)
        assert r.recv() == "g:g"

    def test_any_text_survives_including_lone_surrogates(self):
        s = State()
        r = s.signal.subscribe()
        odd = "k\ud800\x00é😀"
        s.update(signal={odd: odd})
        assert r.recv() == odd + ":" + odd

    def test_every_signal_read_is_a_new_hub_on_the_same_channel(self):
        s = State()
        h1, h2 = s.signal, getattr(s, "signal")
        assert isinstance(h1, SignalHub) and h1 is not h2
        r1, r2 = h1.subscribe(), h2.subscribe()
        assert h1.publish("one") == 2
        assert h2.publish("two") == 2
        s.update(signal={"u": 1})
        del h1  # one hub gone: the channel stays open
        assert drain(r1, 3) == drain(r2, 3) == ["one", "two", "u:1"]
        assert s.update(signal={"v": 2}) is not None
        assert r1.recv() == "v:2"

    @pytest.mark.timeout(30)
    def test_channel_closes_when_the_lineage_and_its_hubs_are_gone(self):
        s = State()
        hub = s.signal
        r = hub.subscribe()
        s2 = s.update(signal={"a": 1})
        del s
        hub.publish("b")
        del hub
        s2.update(signal={"c": 1})
        del s2
        gc.collect()
        assert drain(r, 3) == ["a:1", "b", "c:1"]
        for _ in range(2):
            with raises_exact(StopAsyncIteration, "Channel Closed"):
                r.recv()

    def test_restrict_view_has_its_own_channel_and_shares_the_log(self):
        s = State(data={"a": 1}, heavy={"h": 2}, version=5, meta_capacity=10)
        view = s.restrict_view()
        assert view is not s and view.version == 5
        assert view.data.to_dict() == {"a": 1} and view.heavy.to_dict() == {"h": 2}
        assert view.meta == []  # nothing is logged
        from_state, from_view = s.signal.subscribe(), view.signal.subscribe()
        assert view.update(signal={"v": 1}).version == 6
        s.update(signal={"s": 1})
        assert from_view.recv() == "v:1" and from_state.recv() == "s:1"
        assert view.signal.publish("only view") == 1
        view.log_meta("k", "from view")
        assert [e.message for e in s.meta] == [
            "State updated to version 6", "State updated to version 6", "from view"]


class TestMetaLog:
    def test_log_meta_is_shared_by_the_lineage(self):
        s1 = State()
        s2 = s1.update()
        assert s1.log_meta("evt", "hello") is None
        s2.log_meta(key="k2", message="m2")
        for s in (s1, s2, s2.restrict_view()):
            assert [(e.key, e.message) for e in s.get_meta_logs()] == [
                ("state_update", "State updated to version 2"), ("evt", "hello"), ("k2", "m2")]
        assert [str(e) for e in s1.meta] == [str(e) for e in s2.get_meta_logs()]

    def test_log_meta_argument_errors(self):
        s = State()
        with raises_exact(TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"):
            s.log_meta(1, "m")
        with raises_exact(TypeError, "argument 'message': 'NoneType' object cannot be converted to 'PyString'"):
            s.log_meta("k", None)
        with raises_exact(TypeError, "State.log_meta() missing 1 required positional argument: 'message'"):
            s.log_meta("k")
        assert s.meta == []

    def test_capacity_bounds_and_zero_turns_it_off(self):
        s = State(meta_capacity=3)
        for i in range(5):
            s.log_meta(f"k{i}", "m")
        assert [e.key for e in s.meta] == ["k2", "k3", "k4"]
        off = State(meta_capacity=0)
        off.update().log_meta("a", "b")
        assert off.get_meta_logs() == []

    def test_lone_surrogates_survive_the_log(self):
        s = State()
        s.log_meta("\udcff", "m\ud800")
        (entry,) = s.meta
        assert (entry.key, entry.message) == ("\udcff", "m\ud800")
        assert repr(entry).endswith("key=\udcff, msg=m\ud800)")


class TestImmutability:
    def test_assignment_and_deletion_are_refused(self):
        s = State()
        for name in ("version", "data", "undeclared"):
            with raises_exact(ContextError, "State is Immutable. Use .update() to create a new version."):
                setattr(s, name, 1)
            with raises_exact(AttributeError, "can't delete attribute"):
                delattr(s, name)
        assert s.version == 1

    def test_state_is_final(self):
        with pytest.raises(TypeError):
            type("Sub", (State,), {})


class TestReferences:
    def test_stored_objects_are_released_with_the_last_version(self):
        value, key = object(), "".join(["dyn", "amic"])
        base_v, base_k = sys.getrefcount(value), sys.getrefcount(key)
        s = State(data={key: value})
        versions = [s.update(data={key: value, f"x{i}": value}) for i in range(50)]
        views = [v.data for v in versions[:5]]
        assert sys.getrefcount(value) > base_v
        del s, versions, views
        assert sys.getrefcount(value) == base_v
        assert sys.getrefcount(key) == base_k

    def test_replaced_values_are_released(self):
        old, new = object(), object()
        base = sys.getrefcount(old)
        s = State(data={"k": old})
        n = s.update(data={"k": new})
        del s
        assert sys.getrefcount(old) == base
        assert n.data["k"] is new

    @pytest.mark.timeout(120)
    def test_memory_stays_flat_over_many_updates_and_reads(self):
        def churn(state, n):
            for i in range(n):
                state = state.update(data={"k": i, f"r{i % 64}": [i]}, heavy={"h": i})
                state.data, state.heavy, state.domain
                state.restrict_view()
            return state

        s = churn(State(data={f"k{i}": i for i in range(1000)}), 2000)
        gc.collect()
        tracemalloc.start()
        try:
            s = churn(s, 1000)
            before = tracemalloc.get_traced_memory()[0]
            s = churn(s, 100_000)
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
        assert s.version == 1 + 103_000
        assert after - before < 64 * 1024, after - before
