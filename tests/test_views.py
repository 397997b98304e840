"""FrozenDict and FrozenList: read-only views that share (never copy) their container."""

import copy

import pytest

from morva_core import ContextError, FrozenDict, ProcessContext, State
from conftest import raises_exact


@pytest.fixture(scope="module")
def FrozenList():
    # FrozenList is not a module attribute; the module builds it at import, so the type object
    # can be found among the interpreter's objects.
    import gc
    for obj in gc.get_objects():
        if isinstance(obj, type) and obj.__module__ == "morva_core" and obj.__name__ == "FrozenList":
            return obj
    raise LookupError("FrozenList type not reachable")


class TestFrozenDict:
    def test_view_shares_the_dict(self):
        d = {"a": 1}
        fd = FrozenDict(d)
        d["b"] = 2
        assert fd["b"] == 2
        assert fd.to_dict() is d
        fd.to_dict()["c"] = 3
        assert fd["c"] == 3

    def test_missing_keys_raise_key_not_found(self):
        fd = FrozenDict({"a": 1})
        with raises_exact(KeyError, "Key not found"):
            fd["zz"]
        with raises_exact(KeyError, "Key not found"):
            fd.zz
        with raises_exact(KeyError, "Key not found"):
            hasattr(fd, "zz")
        with pytest.raises(TypeError, match="unhashable"):
            fd[[1]]

    def test_attribute_reads_prefer_methods_then_keys(self):
        fd = FrozenDict({"keys": 1, "x": 5})
        assert fd.keys() == ["keys", "x"]
        assert fd["keys"] == 1
        assert fd.x == 5
        assert fd.__class__ is FrozenDict

    def test_every_name_the_class_has_is_found_before_the_keys(self):
        names = {n for t in FrozenDict.__mro__ for n in vars(t)}
        key = object()
        fd = FrozenDict(dict.fromkeys(names | {"plain"}, key))
        assert all(getattr(fd, name) is not key for name in names)
        assert fd.plain is key
        # The fallback may skip the normal lookup only because the class cannot gain names.
        with pytest.raises(TypeError):
            FrozenDict.plain = property(lambda self: "patched")
        assert fd.plain is key

    def test_writes_are_refused_and_leave_the_dict_alone(self):
        d = {"a": 1}
        fd = FrozenDict(d)
        with raises_exact(ContextError, "Context is Immutable. Use .update()"):
            fd["a"] = 2
        with raises_exact(NotImplementedError, "can't delete item"):
            del fd["a"]
        with pytest.raises(AttributeError):
            fd.a = 3
        assert d == {"a": 1}

    def test_get_keys_values_items(self):
        d = {"a": 1, "b": [2]}
        fd = FrozenDict(d)
        assert fd.get("zz") is None
        assert fd.get("zz", 7) == 7
        assert fd.get("a", 7) == 1
        assert fd.get(key="a") == 1
        assert fd.keys() == ["a", "b"] and fd.keys() is not fd.keys()
        assert fd.values()[1] is d["b"]
        assert fd.items() == [("a", 1), ("b", [2])]

    def test_text(self):
        assert str(FrozenDict({})) == "FrozenDict({})"
        assert str(FrozenDict({"a": 1})) == "FrozenDict({'a': 1})"
        assert repr(FrozenDict({})).startswith("<morva_core.FrozenDict object at 0x")

    def test_nested_values_are_not_wrapped(self):
        inner = {"x": 1}
        fd = FrozenDict({"inner": inner})
        assert fd["inner"] is inner
        assert type(fd.inner) is dict

    def test_membership_and_iteration_use_the_index_fallback(self):
        fd = FrozenDict({"a": 1})
        with raises_exact(KeyError, "Key not found"):
            "a" in fd
        with raises_exact(KeyError, "Key not found"):
            list(fd)
        with pytest.raises(TypeError):
            len(fd)
        # With the key 0 present the fallback walks 0, 1, ... until the lookup fails.
        with raises_exact(KeyError, "Key not found"):
            list(FrozenDict({0: "zero"}))

    def test_dict_subclass_accepted_other_types_refused(self):
        class D(dict):
            pass

        assert FrozenDict(D(a=1))["a"] == 1
        with raises_exact(TypeError, "argument 'data': 'list' object cannot be converted to 'PyDict'"):
            FrozenDict([])


class AliasStr(str):
    """Text `text`, but hashes and compares as `alias`."""

    def __new__(cls, text, alias):
        obj = super().__new__(cls, text)
        obj.alias = alias
        return obj

    def __hash__(self):
        return hash(self.alias)

    def __eq__(self, other):
        return self.alias == other


class TestProcessContextForwarding:
    def test_forwarding_order_and_message(self):
        state = State(data={"a": 1})
        ctx = ProcessContext(state, {})
        assert ctx.version == 1 and ctx.data.to_dict() == {"a": 1}
        assert ctx.state is state and type(ctx.outbox).__name__ == "Outbox"
        assert ctx.__class__ is ProcessContext
        with raises_exact(AttributeError, "'ProcessContext' object has no attribute 'missing'"):
            ctx.missing
        with pytest.raises(TypeError):
            ProcessContext.version = property(lambda self: 0)

    def test_the_state_is_asked_for_the_text_the_message_names(self):
        ctx = ProcessContext(State(version=7), {})
        assert getattr(ctx, AliasStr("version", "elsewhere")) == 7
        with raises_exact(AttributeError, "'ProcessContext' object has no attribute 'nothing'"):
            getattr(ctx, AliasStr("nothing", "version"))


class TestFrozenList:
    def test_positional_reads(self, FrozenList):
        fl = FrozenList([1, 2])
        assert fl[1] == 2
        assert len(fl) == 2
        for bad in (-1, 2):
            with pytest.raises(IndexError):
                fl[bad]
        with pytest.raises(TypeError, match="^argument 'index': "):
            fl[0:1]
        with pytest.raises(OverflowError):
            fl[2**70]
        assert fl[True] == 2

    def test_iteration_and_text(self, FrozenList):
        data = [1, "a"]
        fl = FrozenList(data)
        assert list(fl) == [1, "a"] and list(fl) is not data
        assert "a" in fl and 3 not in fl
        assert str(fl) == repr(fl) == "FrozenList([1, 'a'])"

    def test_no_item_assignment(self, FrozenList):
        fl = FrozenList([1])
        with pytest.raises(TypeError):
            fl[0] = 2
        with pytest.raises(TypeError):
            del fl[0]

    def test_constructor(self, FrozenList):
        with raises_exact(TypeError,
                          "argument 'data': 'tuple' object cannot be converted to 'PyList'"):
            FrozenList((1, 2))
        assert FrozenList.__doc__ == "Immutable List Wrapper"
        shared = [1]
        fl = FrozenList(shared)
        shared.append(2)
        assert len(fl) == 2


class TestCopies:
    """copy.copy gives another view over the same container; copy.deepcopy a view over a deep
    copy, with the memo honoured (a container holding its own view keeps that shape)."""

    @pytest.mark.parametrize("kind", ["dict", "list"])
    def test_shallow_and_deep(self, kind, FrozenList):
        inner = [1]
        view = FrozenDict({0: inner}) if kind == "dict" else FrozenList([inner])
        shallow, deep = copy.copy(view), copy.deepcopy(view)
        assert type(shallow) is type(deep) is type(view)
        assert shallow is not view and shallow[0] is inner
        assert deep[0] == [1] and deep[0] is not inner
        inner.append(2)
        assert shallow[0] == [1, 2] and deep[0] == [1]
        pair = copy.deepcopy([view, view])
        assert pair[0] is pair[1] and pair[0] is not view

    def test_a_dict_that_holds_its_own_view(self, FrozenList):
        d = {}
        d["self"] = FrozenDict(d)
        d["list"] = FrozenList([d["self"]])
        copied = copy.deepcopy(d["self"])
        assert copied.to_dict() is not d
        assert copied["self"] is copied and copied["list"][0] is copied

    def test_a_state_zone(self):
        data = State().update(data={"a": {"b": 1}}).data
        copied = copy.deepcopy(data)
        assert copied.to_dict() == {"a": {"b": 1}} and copied["a"] is not data["a"]
