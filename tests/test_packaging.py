"""Packaging: `pip wheel .` gives one stable-ABI wheel that installs and imports on its own."""

import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.timeout(900)
def test_wheel_is_abi3_and_installs_into_a_fresh_environment(tmp_path):
    if os.environ.get("MORVA_MODULE_DIR"):
        pytest.skip("the sanitizer run checks the instrumented build, not the wheel")
    dist = tmp_path / "dist"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
                    "-q", "-w", str(dist), str(ROOT)], check=True, timeout=900)
    wheels = list(dist.glob("*.whl"))
    assert len(wheels) == 1, wheels
    assert "-cp310-abi3-" in wheels[0].name, wheels[0].name
    names = zipfile.ZipFile(wheels[0]).namelist()
    assert "morva_core.abi3.so" in names
    assert "morva_core.pyi" in names and "morva_core-stubs/__init__.pyi" in names

    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True, timeout=300)
    python = env_dir / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index", "--no-deps",
                    str(wheels[0])], check=True, timeout=300)
    out = subprocess.run([str(python), "-c",
                          "import morva_core; print(morva_core.__file__); print(len(morva_core.__all__))"],
                         capture_output=True, text=True, check=True, timeout=60, cwd=tmp_path)
    path, count = out.stdout.split()
    assert path.startswith(str(env_dir))
    assert int(count) > 0
