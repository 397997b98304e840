"""The type stubs installed beside the module agree with the built module."""

import ast
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest

import morva_core

STUB = pathlib.Path(morva_core.__file__).with_name("morva_core.pyi")
HIDDEN = ("Outbox", "FrozenList", "TrackedDict", "TrackedList")


def hidden_types():
    """The classes Python only meets as returned values, reached the way applications do."""
    tx = morva_core.Transaction()
    reader = morva_core.ContextGuard({"l": []}, ["l"], [], tx=tx)
    writer = morva_core.ContextGuard({"l": [], "d": {}}, [], ["l", "d"], tx=tx)
    return {
        "Outbox": type(morva_core.ProcessContext(morva_core.State(), {}).outbox),
        "FrozenList": type(reader["l"]),
        "TrackedList": type(writer["l"]),
        "TrackedDict": type(writer["d"]),
    }


def stubtest(module, cwd, **env):
    environ = dict(os.environ, MYPY_CACHE_DIR=str(cwd / "cache"), **env)
    return subprocess.run([sys.executable, "-m", "mypy.stubtest", module], capture_output=True,
                          text=True, env=environ, timeout=600, cwd=cwd)


def test_stubs_are_installed_beside_the_module():
    assert STUB.exists()


@pytest.mark.timeout(600)
def test_stubtest_is_clean(tmp_path):
    pytest.importorskip("mypy")
    out = stubtest("morva_core", tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


@pytest.mark.timeout(600)
def test_stubtest_covers_the_classes_that_are_not_module_attributes(tmp_path):
    # stubtest only visits module attributes, so `_FrozenList` and the other returned-only
    # classes would go unchecked. A stand-in module exports them under their runtime names, and
    # its stub is the module's stub with the leading underscores dropped.
    pytest.importorskip("mypy")
    names = ", ".join(repr(n) for n in HIDDEN)
    (tmp_path / "morva_core_all.py").write_text(
        "import morva_core\nfrom morva_core import *\n\n" + inspect.getsource(hidden_types)
        + f"\nglobals().update(hidden_types())\n__all__ = morva_core.__all__ + [{names}]\n")
    stub = STUB.read_text(encoding="utf-8")
    stub = re.sub(r"\b_(%s)\b" % "|".join(HIDDEN), r"\1", stub)
    stub = stub.replace("__all__ = [", f"__all__ = [{names}, ", 1)
    (tmp_path / "morva_core_all.pyi").write_text(stub, encoding="utf-8")
    path = os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])
    out = stubtest("morva_core_all", tmp_path, MYPYPATH=str(tmp_path), PYTHONPATH=path)
    assert out.returncode == 0, out.stdout + out.stderr


def stub_docstrings():
    """(name, runtime object, docstring) for the stub's module, classes, methods and properties;
    the runtime object is None for special methods, whose runtime text is the interpreter's
    generic slot text. A property's setter and later overloads share the first definition's."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    yield "morva_core", morva_core, ast.get_docstring(tree)
    hidden = hidden_types()
    for cls_node in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        name = cls_node.name
        cls = hidden.get(name[1:]) if name.startswith("_") else getattr(morva_core, name, None)
        if cls is None:  # a type-checking helper with no runtime counterpart
            continue
        yield name, cls, ast.get_docstring(cls_node)
        seen = set()
        for member in (m for m in cls_node.body if isinstance(m, ast.FunctionDef)):
            if member.name in seen:
                continue
            seen.add(member.name)
            runtime = None if member.name.startswith("__") else getattr(cls, member.name)
            yield f"{name}.{member.name}", runtime, ast.get_docstring(member)


def test_stub_documents_everything_and_repeats_every_runtime_docstring():
    # The stub's text is what editors and the API reference show, so every class, method and
    # property has one; where the runtime has its own, the stub's starts with it verbatim and
    # may go on after a blank line.
    checked = 0
    for name, runtime, stub_doc in stub_docstrings():
        assert stub_doc, f"{name} has no docstring in the stub"
        runtime_doc = inspect.cleandoc(runtime.__doc__ or "") if runtime is not None else ""
        if runtime_doc:
            assert stub_doc == runtime_doc or stub_doc.startswith(runtime_doc + "\n\n"), name
            checked += 1
    # the module, 8 classes and 19 methods and properties carry docstrings at run time
    assert checked >= 28
