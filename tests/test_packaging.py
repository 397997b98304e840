"""Packaging: `make wheel` gives one stable-ABI manylinux wheel (on a free-threaded interpreter,
that interpreter's own) that carries libyaml and installs and imports on its own; the sdist
carries every file the build needs."""

import glob
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# The build folder of this interpreter's kind of module (scikit-build-core names it by tag).
BUILD_FOLDERS = "cp*-cp*t-linux_*" if FREE_THREADED else "cp*-abi3-linux_*"

pytestmark = pytest.mark.skipif(bool(os.environ.get("MORVA_MODULE_DIR")),
                                reason="the sanitizer run checks the instrumented build")


def object_files():
    """When each object file of the build folder that `make build` and `make wheel` share was
    last written (by path)."""
    return {p: p.stat().st_mtime_ns for p in (ROOT / "build").glob(f"{BUILD_FOLDERS}/**/*.o")}


def module_is_current():
    """Whether the build folder's module is newer than every source it is made from."""
    modules = list((ROOT / "build").glob(f"{BUILD_FOLDERS}/morva_core*.so"))
    sources = [ROOT / "CMakeLists.txt", *(p for p in (ROOT / "src").rglob("*") if p.is_file())]
    newest = max(p.stat().st_mtime for p in sources)
    return len(modules) == 1 and modules[0].stat().st_mtime >= newest


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    # CI builds the wheel once and tests it under every interpreter.
    if os.environ.get("MORVA_WHEEL"):
        return pathlib.Path(os.environ["MORVA_WHEEL"])
    dist = tmp_path_factory.mktemp("dist")
    # `make build` and `make wheel` build in one folder with the same definitions, so after
    # `make build` (as in `make test`) the wheel only packages what is there. The Makefile
    # builds the free-threaded wheel when PYTHON is a free-threaded interpreter.
    current, before = module_is_current(), object_files()
    python = [f"PYTHON={sys.executable}"] if FREE_THREADED else []
    subprocess.run(["make", "-s", "-C", str(ROOT), "wheel", f"DIST={dist}", *python], check=True,
                   timeout=1500, stdout=subprocess.DEVNULL)
    if current and before:
        assert object_files() == before, "make wheel compiled the module again"
    wheels = list(dist.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.mark.timeout(1600)
def test_wheel_is_manylinux_for_its_abi_and_carries_libyaml(wheel):
    if FREE_THREADED:
        nodot = sysconfig.get_config_var("py_version_nodot")
        tag, module = f"-cp{nodot}-cp{nodot}t-manylinux_", "morva_core" + sysconfig.get_config_var("EXT_SUFFIX")
    else:
        tag, module = "-cp310-abi3-manylinux_", "morva_core.abi3.so"
    assert tag in wheel.name, wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    assert module in names, names
    assert "morva_core.pyi" in names and "morva_core-stubs/__init__.pyi" in names
    assert any(n.startswith("morva_core.libs/libyaml") for n in names), names
    meta = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith("/METADATA")))
    assert b"Classifier: Typing :: Typed" in meta
    assert b"\nLicense-Expression: MIT\n" in meta
    license_file = next(n for n in names if n.endswith(".dist-info/licenses/LICENSE"))
    assert zipfile.ZipFile(wheel).read(license_file) == (ROOT / "LICENSE").read_bytes()


@pytest.mark.skipif(FREE_THREADED, reason="the README states the size of the abi3 wheel")
def test_readme_states_the_wheel_size_as_built(wheel):
    # The README quotes the size that `make wheel` gives; it may lag a few per cent behind.
    stated = re.search(r"\(([\d,]+) bytes\)", (ROOT / "README.md").read_text())
    assert stated, "README.md names no wheel size"
    size = wheel.stat().st_size
    assert abs(int(stated[1].replace(",", "")) - size) <= size * 0.05, (stated[1], size)


@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded build has no stable ABI before abi3t: "
                    "its wheel is built against the full API")
@pytest.mark.timeout(1600)
def test_wheel_uses_only_the_stable_abi_of_3_10(wheel):
    pytest.importorskip("abi3audit")
    out = subprocess.run([sys.executable, "-m", "abi3audit", "--strict", "--report", str(wheel)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    assert '"non_abi3_symbols": []' in out.stdout and '"computed": "3.10"' in out.stdout


def hide_libyaml(command):
    """`command` run in a private mount namespace where the system's libyaml is an empty file."""
    libs = {os.path.realpath(p) for pattern in ("/usr/lib*/libyaml-0.so*", "/usr/lib*/*/libyaml-0.so*")
            for p in glob.glob(pattern)}
    if os.geteuid() != 0 or not shutil.which("unshare") or not libs:
        pytest.skip("hiding libyaml needs root, unshare and a system libyaml")
    mounts = "".join(f"mount --bind /dev/null {p} && " for p in sorted(libs))
    return ["unshare", "-m", "sh", "-c", mounts + 'exec "$@"', "sh", *command]


@pytest.mark.timeout(1600)
def test_wheel_installs_and_reads_yaml_where_libyaml_is_missing(wheel, tmp_path):
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True, timeout=300)
    python = str(env_dir / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)],
                   check=True, timeout=300)
    code = textwrap.dedent("""
        import ctypes, importlib.metadata, morva_core
        try:
            ctypes.CDLL("libyaml-0.so.2")
            print("system libyaml visible")
        except OSError:
            print("system libyaml hidden")
        print(morva_core.__file__)
        print(morva_core.__version__ == importlib.metadata.version("morva_core"))
        print(morva_core.WorkflowEngine("steps: [a, b]").simulate({}))
    """)
    out = subprocess.run(hide_libyaml([python, "-c", code]), capture_output=True, text=True,
                         timeout=120, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    hidden, path, version_ok, names = out.stdout.splitlines()
    assert (hidden, version_ok, names) == ("system libyaml hidden", "True", "['a', 'b']")
    assert path.startswith(str(env_dir))


@pytest.mark.timeout(300)
def test_sdist_carries_every_file_the_build_needs(tmp_path):
    pytest.importorskip("scikit_build_core")
    subprocess.run([sys.executable, "-c",
                    f"from scikit_build_core.build import build_sdist; build_sdist({str(tmp_path)!r})"],
                   check=True, cwd=ROOT, timeout=240, capture_output=True)
    (sdist,) = tmp_path.glob("*.tar.gz")
    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    needed = {"CMakeLists.txt", "pyproject.toml", "morva_core.pyi", "README.md", "LICENSE"}
    needed |= {str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*") if p.is_file()}
    assert needed <= names, sorted(needed - names)
