"""Conventions every class follows: argument errors, conversion wrapping, deletion refusals,
the sequence fallback and the text of unprintable objects."""

import inspect

import pytest

from morva_core import FrozenDict
from conftest import raises_exact, unraisable_hook


class TestArgumentErrors:
    def test_missing_too_many_unexpected_multiple(self):
        with raises_exact(TypeError, "FrozenDict.__new__() missing 1 required positional argument: 'data'"):
            FrozenDict()
        with raises_exact(TypeError, "FrozenDict.__new__() takes 1 positional arguments but 2 were given"):
            FrozenDict({}, {})
        with raises_exact(TypeError, "FrozenDict.__new__() got an unexpected keyword argument 'x'"):
            FrozenDict(x=1)
        with raises_exact(TypeError, "FrozenDict.__new__() got multiple values for argument 'data'"):
            FrozenDict({}, data={})
        fd = FrozenDict({})
        with raises_exact(TypeError, "FrozenDict.get() takes from 1 to 2 positional arguments but 3 were given"):
            fd.get(1, 2, 3)
        with raises_exact(TypeError, "FrozenDict.get() missing 1 required positional argument: 'key'"):
            fd.get(default=1)
        with pytest.raises(TypeError):
            fd.keys(1)

    def test_keywords_are_accepted_for_every_parameter(self):
        assert FrozenDict(data={"a": 1}).get(key="b", default=2) == 2

    def test_conversion_error_is_wrapped_with_cause(self):
        with pytest.raises(TypeError) as info:
            FrozenDict(data=3)
        assert str(info.value) == "argument 'data': 'int' object cannot be converted to 'PyDict'"
        cause = info.value.__cause__
        assert type(cause) is TypeError
        assert str(cause) == "'int' object cannot be converted to 'PyDict'"
        assert info.value.__suppress_context__

    def test_qualified_type_names_in_conversion_messages(self):
        class Outer:
            class Inner:
                pass

        with raises_exact(TypeError, "argument 'data': 'TestArgumentErrors.test_qualified_type_names_in_conversion_messages.<locals>.Outer.Inner' object cannot be converted to 'PyDict'"):
            FrozenDict(Outer.Inner())


class TestSignatures:
    def test_text_signatures(self):
        assert str(inspect.signature(FrozenDict)) == "(data)"
        fd = FrozenDict({})
        assert str(inspect.signature(fd.get)) == "(key, default=None)"
        assert str(inspect.signature(fd.items)) == "()"


class TestUnprintable:
    def test_str_failure_is_reported_and_replaced(self):
        class Bad:
            def __repr__(self):
                raise ValueError("no text")

        with unraisable_hook() as seen:
            text = str(FrozenDict({"a": Bad()}))
        assert text == "FrozenDict(<unprintable dict object>)"
        assert len(seen) == 1 and type(seen[0].exc_value) is ValueError
