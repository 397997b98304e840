"""The build's configure step: the CMake floor, and a missing libyaml failing with the package
to install."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def cmake_floor():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"cmake_minimum_required\(VERSION ([\d.]+)\)", text)[1]


def test_pyproject_and_cmakelists_ask_for_the_same_cmake():
    pyproject = (ROOT / "pyproject.toml").read_text()
    assert re.search(r'^cmake\.version = ">=([\d.]+)"', pyproject, re.M)[1] == cmake_floor()
    makefile = (ROOT / "Makefile").read_text()
    assert re.search(r"^CMAKE_MIN := ([\d.]+)$", makefile, re.M)[1] == cmake_floor()


def usable_cmake():
    """The first cmake that meets the floor: this venv's, the project's .venv's, PATH's."""
    floor = tuple(map(int, cmake_floor().split(".")))
    for cmake in (os.path.join(os.path.dirname(sys.executable), "cmake"),
                  str(ROOT / ".venv" / "bin" / "cmake"), shutil.which("cmake")):
        if cmake and os.path.exists(cmake):
            out = subprocess.run([cmake, "--version"], capture_output=True, text=True).stdout
            if tuple(map(int, re.search(r"(\d+)\.(\d+)", out).groups())) >= floor:
                return cmake
    pytest.skip(f"no cmake >= {cmake_floor()} here")


@pytest.mark.timeout(120)
def test_missing_libyaml_fails_configure_with_the_package_name(tmp_path):
    env = {"PATH": "/usr/bin:/bin", "PKG_CONFIG_LIBDIR": str(tmp_path / "empty"),
           "PKG_CONFIG_PATH": ""}
    out = subprocess.run([usable_cmake(), "-S", str(ROOT), "-B", str(tmp_path / "build")],
                         capture_output=True, text=True, env=env, timeout=100)
    assert out.returncode != 0
    assert "apt-get install libyaml-dev" in out.stdout + out.stderr
