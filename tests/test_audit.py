"""Audit levels, recipes, failure counting with escalation, and the audit log ring."""

import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

from morva_core import (AuditAbortError, AuditBlockError, AuditLevel, AuditLogEntry,
                        AuditRecipe, AuditStopError, AuditSystem, AuditWarning)
from conftest import raises_exact


def messages(audit):
    return [(e.key, e.message) for e in audit.get_logs()]


class TestAuditLevel:
    def test_members_repr_and_int(self):
        for name, value in (("Stop", 0), ("Abort", 1), ("Block", 2), ("Count", 3)):
            member = getattr(AuditLevel, name)
            assert repr(member) == f"AuditLevel.{name}"
            assert int(member) == value

    def test_equality_by_value_with_levels_and_ints_only(self):
        assert AuditLevel.Block == 2 and 2 == AuditLevel.Block
        assert AuditLevel.Block != 3 and AuditLevel.Block != AuditLevel.Count
        assert AuditLevel.Abort == True  # bool is an int  # noqa: E712
        assert AuditLevel.Stop != "Stop" and not (AuditLevel.Stop == 0.0)
        assert AuditLevel.Count != 2**100

    def test_no_ordering_no_hash_no_constructor(self):
        with pytest.raises(TypeError):
            AuditLevel.Stop < AuditLevel.Abort
        with pytest.raises(TypeError):
            AuditLevel.Stop <= 1
        with pytest.raises(TypeError):
            hash(AuditLevel.Stop)
        with pytest.raises(TypeError):
            {AuditLevel.Stop}
        with raises_exact(TypeError, "No constructor defined for AuditLevel"):
            AuditLevel()

    def test_docstring_lists_the_four_levels(self):
        lines = AuditLevel.__doc__.split("\n")
        assert lines[0] == "Audit Level"
        assert lines[-4:] == [
            "- S (Stop): Immediate halt on first failure",
            "- A (Abort): Cancel current operation, allow retry",
            "- B (Block): Block after threshold exceeded",
            "- C (Count): Count only, never block",
        ]
        assert len(lines) == 6


class TestAuditRecipe:
    def test_defaults(self):
        r = AuditRecipe()
        assert (r.level, r.threshold_max, r.threshold_min, r.reset_on_success) == (
            AuditLevel.Block, 3, 0, True)
        assert repr(r).startswith("<morva_core.AuditRecipe object at ")

    def test_constructor_conversions(self):
        r = AuditRecipe(AuditLevel.Count, 4294967295, threshold_min=7, reset_on_success=False)
        assert r.level == AuditLevel.Count and r.level == 3
        assert (r.threshold_max, r.threshold_min, r.reset_on_success) == (4294967295, 7, False)
        assert AuditRecipe(level=None).level == AuditLevel.Block
        with raises_exact(TypeError, "argument 'level': 'int' object cannot be converted to 'AuditLevel'"):
            AuditRecipe(level=2)
        with pytest.raises(OverflowError):
            AuditRecipe(threshold_max=-1)
        with pytest.raises(OverflowError):
            AuditRecipe(threshold_min=2**32)
        with raises_exact(TypeError, "argument 'threshold_min': 'str' object cannot be interpreted as an integer"):
            AuditRecipe(threshold_min="1")
        with raises_exact(TypeError, "argument 'reset_on_success': 'int' object cannot be converted to 'PyBool'"):
            AuditRecipe(reset_on_success=1)

    def test_attribute_writes_convert_and_keep_the_old_value_on_failure(self):
        r = AuditRecipe()
        r.threshold_max, r.threshold_min, r.reset_on_success = 10, 2, False
        r.level = AuditLevel.Stop
        assert (r.level, r.threshold_max, r.threshold_min, r.reset_on_success) == (0, 10, 2, False)
        r.level = None
        assert r.level == AuditLevel.Block
        with pytest.raises(OverflowError):
            r.threshold_max = -1
        with raises_exact(TypeError, "argument 'level': 'str' object cannot be converted to 'AuditLevel'"):
            r.level = "Stop"
        with pytest.raises(TypeError):
            r.reset_on_success = None
        assert (r.level, r.threshold_max, r.reset_on_success) == (AuditLevel.Block, 10, False)

    def test_deletion_and_undeclared_attributes_refused(self):
        r = AuditRecipe()
        for name in ("level", "threshold_max", "threshold_min", "reset_on_success"):
            with raises_exact(AttributeError, "can't delete attribute"):
                delattr(r, name)
        with pytest.raises(AttributeError):
            r.other = 1


class TestEscalation:
    def test_default_block_raises_above_three_and_keeps_counting(self):
        audit = AuditSystem()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for _ in range(3):
                assert audit.log_fail("proc") is None
        for _ in range(2):
            with raises_exact(AuditBlockError, "Audit Blocked: proc exceeded threshold 3"):
                audit.log_fail("proc")
        assert audit.get_count("proc") == 5
        assert messages(audit) == [("proc", f"Fail #{n}") for n in range(1, 6)]

    def test_warning_band_warns_and_writes_two_entries(self):
        audit = AuditSystem(AuditRecipe(threshold_max=3, threshold_min=2))
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            audit.log_fail("k")
            assert audit.get_count_all() == 1
            audit.log_fail("k")
            assert audit.get_count_all() == 3
            audit.log_fail("k")
            with raises_exact(AuditBlockError, "Audit Blocked: k exceeded threshold 3"):
                audit.log_fail("k")
        assert [(w.category, str(w.message)) for w in seen] == [
            (AuditWarning, "WARNING: Approaching threshold (2/3)"),
            (AuditWarning, "WARNING: Approaching threshold (3/3)"),
        ]
        # Attributed to the line that called log_fail.
        assert all(w.filename == __file__ for w in seen)
        assert messages(audit) == [
            ("k", "Fail #1"), ("k", "Fail #2"), ("k", "WARN: Approaching threshold (2/3)"),
            ("k", "Fail #3"), ("k", "WARN: Approaching threshold (3/3)"), ("k", "Fail #4"),
        ]

    def test_warning_turned_into_error_skips_the_warn_entry(self):
        audit = AuditSystem(AuditRecipe(threshold_min=1))
        with warnings.catch_warnings():
            warnings.simplefilter("error", AuditWarning)
            with raises_exact(AuditWarning, "WARNING: Approaching threshold (1/3)"):
                audit.log_fail("k")
        assert audit.get_count("k") == 1
        assert messages(audit) == [("k", "Fail #1")]

    def test_stop_and_abort_raise_on_every_failure_after_counting(self):
        stop = AuditSystem(AuditRecipe(AuditLevel.Stop))
        for n in (1, 2):
            with raises_exact(AuditStopError, "Audit Stop: db triggered immediate halt"):
                stop.log_fail("db")
            assert stop.get_count("db") == n
        abort = AuditSystem(AuditRecipe(AuditLevel.Abort))
        with raises_exact(AuditAbortError, "Audit Abort: job operation cancelled"):
            abort.log_fail("job")
        assert messages(abort) == [("job", "Fail #1")]

    def test_count_level_never_raises(self):
        audit = AuditSystem(AuditRecipe(AuditLevel.Count, threshold_max=0, threshold_min=1))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for _ in range(10):
                audit.log_fail("k")
        assert audit.get_count("k") == 10

    def test_zero_threshold_max_blocks_the_first_failure(self):
        audit = AuditSystem(AuditRecipe(threshold_max=0))
        with raises_exact(AuditBlockError, "Audit Blocked: k exceeded threshold 0"):
            audit.log_fail("k")

    def test_success_resets_only_when_configured(self):
        for reset, after in ((True, 0), (False, 2)):
            audit = AuditSystem(AuditRecipe(reset_on_success=reset))
            audit.log_fail("k")
            audit.log_fail("k")
            assert audit.log_success("k") is None
            assert audit.get_count("k") == after
            assert messages(audit)[-1] == ("k", "Success")
        audit.log_success("new")
        assert audit.get_count("new") == 0 and audit.get_count("never") == 0

    def test_recipe_is_copied_at_construction(self):
        recipe = AuditRecipe(AuditLevel.Count)
        audit = AuditSystem(recipe=recipe)
        recipe.level = AuditLevel.Stop
        audit.log_fail("k")  # still Count
        assert audit.get_count("k") == 1


class TestAuditLog:
    def test_ring_keeps_the_newest_oldest_first(self):
        audit = AuditSystem(capacity=3)
        for key in "abcd":
            audit.log(key, "m")
        assert [e.key for e in audit.get_logs()] == ["b", "c", "d"]
        assert audit.ring_buffer_len == 3
        assert audit.get_count_all() == 4
        audit.log("e", "m")
        assert [e.key for e in audit.get_logs()] == ["c", "d", "e"]

    def test_capacity_zero_keeps_nothing_but_counts_and_escalates(self):
        audit = AuditSystem(capacity=0)
        audit.log("a", "b")
        audit.log_fail("k")
        audit.log_success("k")
        assert audit.get_logs() == [] and audit.ring_buffer_len == 0
        assert audit.get_count_all() == 3
        for _ in range(3):
            audit.log_fail("x")
        with pytest.raises(AuditBlockError):
            audit.log_fail("x")

    def test_capacity_conversions(self):
        with pytest.raises(OverflowError):
            AuditSystem(capacity=-1)
        with raises_exact(TypeError, "argument 'capacity': 'float' object cannot be interpreted as an integer"):
            AuditSystem(capacity=1.5)
        with pytest.raises(MemoryError):
            AuditSystem(capacity=2**62)
        with raises_exact(TypeError, "argument 'recipe': 'AuditLevel' object cannot be converted to 'AuditRecipe'"):
            AuditSystem(AuditLevel.Stop)

    def test_entries_text_and_timestamps(self):
        audit = AuditSystem()
        before = time.time()
        audit.log("ключ", "a: b ✓")
        after = time.time()
        (entry,) = audit.get_logs()
        assert type(entry) is AuditLogEntry
        assert (entry.key, entry.message) == ("ключ", "a: b ✓")
        assert before - 0.01 <= entry.timestamp <= after + 0.01
        stamp = repr(entry.timestamp)
        stamp = stamp[:-2] if stamp.endswith(".0") else stamp
        assert str(entry) == f"[{stamp}] ключ: a: b ✓"
        with pytest.raises(AttributeError):
            entry.key = "x"
        with raises_exact(TypeError, "No constructor defined for AuditLogEntry"):
            AuditLogEntry()

    def test_get_logs_returns_a_snapshot(self):
        audit = AuditSystem(capacity=2)
        audit.log("a", "1")
        first = audit.get_logs()
        audit.log("b", "2")
        audit.log("c", "3")
        assert [e.key for e in first] == ["a"]
        assert first[0] is not audit.get_logs()[0]

    def test_argument_types(self):
        audit = AuditSystem()
        with raises_exact(TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"):
            audit.log_fail(1)
        with raises_exact(TypeError, "argument 'message': 'NoneType' object cannot be converted to 'PyString'"):
            audit.log("k", None)
        with raises_exact(TypeError, "AuditSystem.log() missing 1 required positional argument: 'message'"):
            audit.log("k")
        with pytest.raises(TypeError):
            audit.get_count_all(1)
        assert audit.get_count_all() == 0


class TestAccessAndSubclassing:
    def test_warning_handler_calling_back_is_refused(self):
        audit = AuditSystem(AuditRecipe(threshold_min=1))
        seen = []

        def handler(message, category, filename, lineno, file=None, line=None):
            for call in (lambda: audit.get_count("k"), lambda: audit.log_fail("k")):
                try:
                    call()
                except RuntimeError as exc:
                    seen.append(str(exc))

        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = handler
            audit.log_fail("k")
        assert seen == ["Already mutably borrowed", "Already borrowed"]
        assert audit.get_count("k") == 1

    @pytest.mark.timeout(60)
    def test_concurrent_failures_are_all_counted(self):
        audit = AuditSystem(AuditRecipe(AuditLevel.Count), capacity=50)

        def work(key):
            for _ in range(2000):
                audit.log_fail(key)
                audit.get_count(key)

        threads = [threading.Thread(target=work, args=(k,)) for k in ("a", "b", "a", "c")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert (audit.get_count("a"), audit.get_count("b"), audit.get_count("c")) == (4000, 2000, 2000)
        assert audit.get_count_all() == 8000 and audit.ring_buffer_len == 50

    def test_subclass_keeps_the_native_behaviour(self):
        class Tracking(AuditSystem):
            def __init__(self, recipe=None, capacity=1000):
                self.failures = []

            def log_fail(self, key):
                self.failures.append(key)
                return super().log_fail(key)

        audit = Tracking(AuditRecipe(AuditLevel.Stop), capacity=5)
        with pytest.raises(AuditStopError):
            audit.log_fail("k")
        assert audit.failures == ["k"] and audit.get_count("k") == 1


def test_what_a_user_sees_for_the_warning():
    code = textwrap.dedent("""\
        import morva_core as mc
        audit = mc.AuditSystem(mc.AuditRecipe(threshold_min=1))
        audit.log_fail("payments")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stderr.startswith(
        "<string>:3: AuditWarning: WARNING: Approaching threshold (1/3)\n"), out.stderr
