"""The build's configure step: a missing libyaml fails with the package to install."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.timeout(120)
def test_missing_libyaml_fails_configure_with_the_package_name(tmp_path):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    env = {"PATH": "/usr/bin:/bin", "PKG_CONFIG_LIBDIR": str(tmp_path / "empty"),
           "PKG_CONFIG_PATH": ""}
    out = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path / "build")],
                         capture_output=True, text=True, env=env, timeout=100)
    assert out.returncode != 0
    assert "apt-get install libyaml-dev" in out.stdout + out.stderr
