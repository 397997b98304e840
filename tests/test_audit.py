"""Audit levels, recipes, failure counting with escalation, and the audit log ring."""

import subprocess
import sys
import threading
import time
import warnings

import pytest

from morva_core import (AuditAbortError, AuditBlockError, AuditLevel, AuditLogEntry,
                        AuditRecipe, AuditStopError, AuditSystem, AuditWarning)
from conftest import raises_exact


def messages(audit):
    return [(e.key, e.message) for e in audit.get_logs()]


def test_levels_compare_by_value_and_are_unhashable():
    for name, value in (("Stop", 0), ("Abort", 1), ("Block", 2), ("Count", 3)):
        member = getattr(AuditLevel, name)
        assert (repr(member), int(member)) == (f"AuditLevel.{name}", value)
    assert AuditLevel.Block == 2 and 2 == AuditLevel.Block and AuditLevel.Block != AuditLevel.Count
    assert AuditLevel.Stop != "Stop" and not (AuditLevel.Stop == 0.0) and AuditLevel.Count != 2**100
    for op in (lambda: AuditLevel.Stop < AuditLevel.Abort, lambda: hash(AuditLevel.Stop)):
        with pytest.raises(TypeError):
            op()
    with raises_exact(TypeError, "No constructor defined for AuditLevel"):
        AuditLevel()
    lines = AuditLevel.__doc__.split("\n")
    assert lines[0] == "Audit Level" and len(lines) == 6
    assert lines[2:] == ["- S (Stop): Immediate halt on first failure",
                         "- A (Abort): Cancel current operation, allow retry",
                         "- B (Block): Block after threshold exceeded",
                         "- C (Count): Count only, never block"]


def test_recipe_conversions_in_constructor_and_attributes():
    r = AuditRecipe()
    assert (r.level, r.threshold_max, r.threshold_min, r.reset_on_success) == (2, 3, 0, True)
    r = AuditRecipe(AuditLevel.Count, 4294967295, reset_on_success=False)
    assert r.level == AuditLevel.Count and r.threshold_max == 4294967295
    with raises_exact(TypeError, "argument 'level': 'int' object cannot be converted to 'AuditLevel'"):
        AuditRecipe(level=2)
    with raises_exact(TypeError, "argument 'reset_on_success': 'int' object cannot be converted to 'PyBool'"):
        AuditRecipe(reset_on_success=1)
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            AuditRecipe(threshold_min=bad)
        with pytest.raises(OverflowError):
            r.threshold_max = bad
    with raises_exact(TypeError, "argument 'level': 'str' object cannot be converted to 'AuditLevel'"):
        r.level = "Stop"
    assert (r.level, r.threshold_max) == (AuditLevel.Count, 4294967295)  # failed writes change nothing
    r.level, r.threshold_min = None, 9
    assert (r.level, r.threshold_min) == (AuditLevel.Block, 9)
    with raises_exact(AttributeError, "can't delete attribute"):
        del r.threshold_min
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

    def test_warning_band_warns_at_the_callers_line_and_writes_two_entries(self):
        audit = AuditSystem(AuditRecipe(threshold_max=3, threshold_min=2))
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            for _ in range(3):
                audit.log_fail("k"); line = sys._getframe().f_lineno  # noqa: E702
            with raises_exact(AuditBlockError, "Audit Blocked: k exceeded threshold 3"):
                audit.log_fail("k")
        assert [(w.category, str(w.message), w.filename, w.lineno) for w in seen] == [
            (AuditWarning, f"WARNING: Approaching threshold ({n}/3)", __file__, line) for n in (2, 3)]
        assert messages(audit) == [
            ("k", "Fail #1"), ("k", "Fail #2"), ("k", "WARN: Approaching threshold (2/3)"),
            ("k", "Fail #3"), ("k", "WARN: Approaching threshold (3/3)"), ("k", "Fail #4")]
        assert audit.get_count_all() == 6

    def test_warning_turned_into_error_skips_the_warn_entry(self):
        audit = AuditSystem(AuditRecipe(threshold_min=1))
        with warnings.catch_warnings():
            warnings.simplefilter("error", AuditWarning)
            with raises_exact(AuditWarning, "WARNING: Approaching threshold (1/3)"):
                audit.log_fail("k")
        assert audit.get_count("k") == 1 and messages(audit) == [("k", "Fail #1")]

    def test_stop_abort_and_count(self):
        stop = AuditSystem(AuditRecipe(AuditLevel.Stop))
        for n in (1, 2):
            with raises_exact(AuditStopError, "Audit Stop: db triggered immediate halt"):
                stop.log_fail("db")
            assert stop.get_count("db") == n
        abort = AuditSystem(AuditRecipe(AuditLevel.Abort))
        with raises_exact(AuditAbortError, "Audit Abort: job operation cancelled"):
            abort.log_fail("job")
        count = AuditSystem(AuditRecipe(AuditLevel.Count, threshold_max=0, threshold_min=1))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for _ in range(10):
                count.log_fail("k")
        assert count.get_count("k") == 10

    def test_success_resets_when_configured_and_recipe_is_copied(self):
        for reset, after in ((True, 0), (False, 2)):
            recipe = AuditRecipe(reset_on_success=reset)
            audit = AuditSystem(recipe)
            recipe.level = AuditLevel.Stop  # no effect on the system made from it
            audit.log_fail("k")
            audit.log_fail("k")
            assert audit.log_success("k") is None
            assert audit.get_count("k") == after and messages(audit)[-1] == ("k", "Success")
        assert audit.get_count("never") == 0


class TestAuditLog:
    def test_ring_keeps_the_newest_oldest_first(self):
        audit = AuditSystem(capacity=3)
        for key in "abcd":
            audit.log(key, "m")
        assert [e.key for e in audit.get_logs()] == ["b", "c", "d"]
        assert (audit.ring_buffer_len, audit.get_count_all()) == (3, 4)
        snapshot = audit.get_logs()
        audit.log("e", "m")
        assert [e.key for e in audit.get_logs()] == ["c", "d", "e"]
        assert [e.key for e in snapshot] == ["b", "c", "d"]

    def test_capacity_zero_keeps_nothing_but_counts_and_escalates(self):
        audit = AuditSystem(capacity=0)
        audit.log("a", "b")
        for _ in range(3):
            audit.log_fail("x")
        with pytest.raises(AuditBlockError):
            audit.log_fail("x")
        assert (audit.get_logs(), audit.ring_buffer_len, audit.get_count_all()) == ([], 0, 5)

    def test_constructor_and_argument_errors(self):
        with pytest.raises(OverflowError):
            AuditSystem(capacity=-1)
        with pytest.raises(MemoryError):
            AuditSystem(capacity=2**62)
        with raises_exact(TypeError, "argument 'recipe': 'AuditLevel' object cannot be converted to 'AuditRecipe'"):
            AuditSystem(AuditLevel.Stop)
        audit = AuditSystem()
        with raises_exact(TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"):
            audit.log_fail(1)
        with raises_exact(TypeError, "AuditSystem.log() missing 1 required positional argument: 'message'"):
            audit.log("k")
        assert audit.get_count_all() == 0

    def test_entries_text_and_timestamps(self):
        audit = AuditSystem()
        before = time.time()
        audit.log("ключ", "a: b ✓")
        (entry,) = audit.get_logs()
        assert type(entry) is AuditLogEntry and (entry.key, entry.message) == ("ключ", "a: b ✓")
        assert before - 0.01 <= entry.timestamp <= time.time() + 0.01
        stamp = repr(entry.timestamp).removesuffix(".0")
        assert str(entry) == f"[{stamp}] ключ: a: b ✓"
        with pytest.raises(AttributeError):
            entry.key = "x"
        with raises_exact(TypeError, "No constructor defined for AuditLogEntry"):
            AuditLogEntry()


class TestAccessAndSubclassing:
    def test_warning_handler_calling_back_is_refused(self):
        audit = AuditSystem(AuditRecipe(threshold_min=1))
        seen = []

        def handler(*args, **kwargs):
            for call in (lambda: audit.get_count("k"), lambda: audit.log_fail("k")):
                with pytest.raises(RuntimeError) as info:
                    call()
                seen.append(str(info.value))

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

        threads = [threading.Thread(target=work, args=(k,)) for k in "abac"]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert [audit.get_count(k) for k in "abc"] == [4000, 2000, 2000]
        assert (audit.get_count_all(), audit.ring_buffer_len) == (8000, 50)

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
    code = ("import morva_core as mc\n"
            "audit = mc.AuditSystem(mc.AuditRecipe(threshold_min=1))\n"
            "audit.log_fail('payments')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    # Python 3.13 adds the caller's source line below the warning.
    lines = out.stderr.splitlines()
    assert lines[0] == "<string>:3: AuditWarning: WARNING: Approaching threshold (1/3)"
    assert lines[1:] in ([], ["  audit.log_fail('payments')"]), lines
