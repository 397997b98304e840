"""The type stubs installed beside the module agree with the built module."""

import os
import subprocess
import sys

import pytest

import morva_core


def test_stubs_are_installed_beside_the_module():
    stub = os.path.join(os.path.dirname(morva_core.__file__), "morva_core.pyi")
    assert os.path.exists(stub)


@pytest.mark.timeout(600)
def test_stubtest_is_clean(tmp_path):
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    allowlist = os.path.join(os.path.dirname(__file__), "stubtest_allowlist.txt")
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "morva_core",
                          "--allowlist", allowlist],
                         capture_output=True, text=True, env=env, timeout=600, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
