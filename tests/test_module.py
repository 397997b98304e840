"""The module frame: registration order, exception catalogue, re-import, sub-interpreters."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import morva_core
from conftest import HIDDEN, hidden, raises_exact

# The full catalogue in registration order.
CATALOGUE = [
    "MorvaEngine", "Transaction", "OutboxCollector", "WriteTimeoutError", "WorkflowEngine",
    "FSMState", "SignalHub", "SignalReceiver", "State", "ProcessContext", "FrozenDict",
    "OutboxMsg", "MetaLogEntry", "ContextError", "ContextGuard", "ConfigLoader",
    "SchemaViolationError", "AuditSystem", "AuditRecipe", "AuditLevel", "AuditLogEntry",
    "AuditBlockError", "AuditAbortError", "AuditStopError", "AuditWarning",
]
EXCEPTIONS = {
    "WriteTimeoutError": (TimeoutError, "morva_core"),
    "ContextError": (Exception, "morva.structures"),
    "SchemaViolationError": (Exception, "morva.config"),
    "AuditBlockError": (RuntimeError, "morva_core"),
    "AuditAbortError": (RuntimeError, "morva_core"),
    "AuditStopError": (RuntimeError, "morva_core"),
    "AuditWarning": (UserWarning, "morva_core"),
}


def test_all_follows_the_catalogue_order():
    names = morva_core.__all__
    assert names == CATALOGUE
    for name in names:
        assert getattr(morva_core, name).__name__ == name
    for hidden in ("Outbox", "FrozenList", "TrackedDict", "TrackedList", "PanicException"):
        assert hidden not in names and not hasattr(morva_core, hidden)
    assert not [n for n in dir(morva_core) if callable(getattr(morva_core, n)) and n not in names]


@pytest.mark.parametrize("name", sorted(EXCEPTIONS))
def test_exception_types(name):
    exc = getattr(morva_core, name)
    base, module = EXCEPTIONS[name]
    assert exc.__bases__ == (base,)
    assert exc.__module__ == module
    assert exc.__name__ == name
    assert exc.__doc__ is None


def test_classes_are_final_native_types():
    for name in morva_core.__all__:
        cls = getattr(morva_core, name)
        if issubclass(cls, BaseException):
            continue
        assert cls.__bases__ == (object,)
        assert cls.__module__ == "morva_core"
        if name in ("MorvaEngine", "WorkflowEngine", "AuditSystem", "ContextGuard"):
            type("Sub", (cls,), {})
        else:
            with pytest.raises(TypeError):
                type("Sub", (cls,), {})


def test_classes_are_immutable_and_never_hand_out_an_unbuilt_instance():
    # With a class attribute replaced, `object.__new__(cls)` would give an instance whose native
    # fields were never built; no class, and no Python subclass, may allow either.
    classes = [getattr(morva_core, n) for n in CATALOGUE
               if not issubclass(getattr(morva_core, n), BaseException)]
    classes += [hidden(name) for name in HIDDEN]
    assert len(classes) == 22
    for cls in classes:
        for name in ("__new__", "update", "__init_subclass__"):
            with pytest.raises(TypeError, match="immutable type"):
                setattr(cls, name, staticmethod(lambda cls, *a, **k: object.__new__(cls)))
        with pytest.raises(TypeError, match="immutable type"):
            del cls.__doc__
        with pytest.raises(TypeError, match="not safe"):
            object.__new__(cls)
        if cls.__flags__ & (1 << 10):  # subclassable
            sub = type("Sub", (cls,), {"__new__": lambda c, *a, **k: object.__new__(c)})
            with pytest.raises(TypeError, match="not safe"):
                sub()
            sub.extra = 1  # a Python subclass is an ordinary class
    for enum, member in ((morva_core.AuditLevel, "Stop"), (morva_core.FSMState, "Running")):
        before = getattr(enum, member)
        with pytest.raises(TypeError, match="immutable type"):
            setattr(enum, member, 5)
        assert getattr(enum, member) is before and int(before) in (0, 1)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="only a free-threaded interpreter can run without the GIL")
def test_import_leaves_the_gil_off_and_prints_nothing():
    out = subprocess.run([sys.executable, "-W", "error", "-c",
                          "import sys, morva_core; print(sys._is_gil_enabled())"],
                         capture_output=True, text=True, timeout=60,
                         env={k: v for k, v in os.environ.items() if k != "PYTHON_GIL"})
    assert (out.returncode, out.stdout, out.stderr) == (0, "False\n", "")


def test_module_docstring_and_no_functions():
    assert morva_core.__doc__
    assert not [n for n, v in vars(morva_core).items()
                if type(v).__name__ == "builtin_function_or_method"]


def test_reinitialisation_returns_the_same_module():
    code = textwrap.dedent("""
        import sys, morva_core as first
        del sys.modules["morva_core"]
        import morva_core as second
        assert first is second, (first, second)
        assert second.FrozenDict is first.FrozenDict
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "ok", out.stderr


def test_subinterpreter_import_fails_with_import_error():
    # From 3.12 on CPython refuses single-phase modules in isolated sub-interpreters before the
    # module's own check runs; either way the import ends in ImportError naming them.
    code = textwrap.dedent("""
        try:
            import _interpreters as interpreters          # 3.13 on
        except ImportError:
            import _xxsubinterpreters as interpreters
        import morva_core
        try:
            failure = interpreters.run_string(interpreters.create(), "import morva_core")
        except interpreters.RunFailedError as exc:      # up to 3.12 the failure is raised
            failure = str(exc)
        else:                                             # 3.13 returns a snapshot of it
            failure = failure and failure.formatted
        print("refused:", failure)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith("refused: ") and "ImportError" in out.stdout, out.stdout + out.stderr
    assert "subinterpreters" in out.stdout.replace("-", "")


def test_no_constructor_message():
    with raises_exact(TypeError, "No constructor defined for MetaLogEntry"):
        morva_core.MetaLogEntry()
