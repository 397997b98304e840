"""Teardown: freeing arbitrarily long chains of module objects, and interpreter exit while a
daemon thread is inside a module call or frees a module object. Each case runs in a child
interpreter, since the failures are stack overflows, aborts and fatal errors."""

import os
import pathlib
import subprocess
import sys

import pytest

import teardown_cases

SCRIPT = pathlib.Path(__file__).parent / "teardown_cases.py"
EVERY_HOLDER = ",".join(teardown_cases.LINKS)
# The exit cases end a thread with pthread_exit's forced unwinding while the interpreter
# finalizes. Neither sanitizer run can check them: AddressSanitizer does not follow the unwinding
# (the frames keep their poisoned red zones, which its thread-exit code then reports), and under
# ThreadSanitizer the free-threaded interpreter's own exit races with its parked daemon threads
# (Py_IsInitialized, _PyThreadState_DeleteList, a thread leak). They run in the ordinary builds'
# suites, with and without the GIL.
NOT_UNDER_SANITIZER = pytest.mark.skipif(
    bool(os.environ.get("MORVA_MODULE_DIR")),
    reason="interpreter exit with a thread inside the module is checked without a sanitizer")


def run_case(*args, timeout=120):
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout)


@pytest.mark.parametrize("how, kinds, n", [
    ("free_chain", "msg", 10**6),
    ("free_chain", "state", 10**6),
    ("free_chain", "guard", 3 * 10**5),
    ("free_chain_on_small_stack", EVERY_HOLDER, 10**5),
], ids=["msg", "state", "guard", "every-holder-512k-thread"])
@pytest.mark.timeout(150)
def test_long_chain_is_freed(how, kinds, n):
    out = run_case(how, kinds, n)
    assert (out.returncode, out.stdout.strip()) == (0, "freed"), out.stderr[-2000:]


@NOT_UNDER_SANITIZER
@pytest.mark.parametrize("case", sorted(teardown_cases.EXITS))
@pytest.mark.timeout(90)
def test_exit_with_daemon_thread_inside_module_is_quiet(case):
    out = run_case("exit_during", case, timeout=60)
    assert (out.returncode, out.stdout, out.stderr) == (0, "", "")
