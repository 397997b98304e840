"""The documentation site as a reader meets it: built with warnings as errors, then opened page
by page in headless Chromium, which reports the text it renders and the links it resolved.
Screenshots of two pages are left in build/screenshots/ for a person to look at."""

import ast
import base64
import json
import os
import pathlib
import shutil
import subprocess
import sys
import urllib.parse

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHOTS = ROOT / "build" / "screenshots"

pytestmark = pytest.mark.skipif(bool(os.environ.get("MORVA_MODULE_DIR")),
                                reason="the sanitizer run checks the instrumented build")


def chromium():
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if not found:
        if os.environ.get("CI"):
            pytest.fail("chromium is missing: `make test` installs it (apt-get install chromium)")
        pytest.skip("no chromium here (`make test` installs it)")
    return found


class Browser:
    """Headless Chromium driven over its DevTools pipe (file descriptors 3 and 4 of the child):
    JSON commands out, JSON answers and events back, each ended by a NUL byte."""

    def __init__(self, binary, profile):
        to_child, self._cmd = os.pipe()
        self._out, from_child = os.pipe()

        def wire():  # in the child; copies first, so neither end is overwritten by the other
            read_end, write_end = os.dup(to_child), os.dup(from_child)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
        self._proc = subprocess.Popen(
            [binary, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--hide-scrollbars", f"--user-data-dir={profile}", "about:blank"],
            pass_fds=(3, 4, to_child, from_child), preexec_fn=wire, env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_child)
        os.close(from_child)
        self._buffer = b""
        self._next_id = 0
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        attached = self.call("Target.attachToTarget", targetId=target, flatten=True)
        self._session = attached["sessionId"]
        self.call("Page.enable", session=True)
        self.call("Emulation.setDeviceMetricsOverride", session=True, width=1400, height=1800,
                  deviceScaleFactor=1, mobile=False)

    def _read(self):
        while b"\0" not in self._buffer:
            chunk = os.read(self._out, 1 << 16)
            if not chunk:
                raise RuntimeError("chromium closed its DevTools pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, session=False, **params):
        self._next_id += 1
        request = {"id": self._next_id, "method": method, "params": params}
        if session:
            request["sessionId"] = self._session
        os.write(self._cmd, json.dumps(request).encode() + b"\0")
        while True:
            message = self._read()
            if message.get("id") == self._next_id:
                assert "error" not in message, (method, message["error"])
                return message["result"]

    def open(self, url):
        """Navigates and returns once the page's load event has fired."""
        self.call("Page.navigate", session=True, url=url)
        while self._read().get("method") != "Page.loadEventFired":
            pass

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", session=True, expression=expression,
                           returnByValue=True)
        assert "exceptionDetails" not in result, result
        return result["result"]["value"]

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", session=True, format="png")["data"]
        path.write_bytes(base64.b64decode(data))

    def close(self):
        try:
            self.call("Browser.close")
        finally:
            os.close(self._cmd)
            os.close(self._out)
            self._proc.wait(timeout=30)


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    pytest.importorskip("sphinx")
    pytest.importorskip("autoapi")
    out = tmp_path_factory.mktemp("site")
    build = subprocess.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b",
                            "html", str(ROOT / "docs"), str(out)],
                           capture_output=True, text=True, timeout=600)
    assert build.returncode == 0, build.stdout + build.stderr
    return out


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    opened = Browser(chromium(), tmp_path_factory.mktemp("profile"))
    yield opened
    opened.close()


def stub_members():
    """Each class of the stub that the reference shows, with its public methods and properties."""
    tree = ast.parse((ROOT / "morva_core.pyi").read_text())
    skipped = {"_Schema"}
    return {node.name: {m.name for m in node.body
                        if isinstance(m, ast.FunctionDef) and not m.name.startswith("_")}
            for node in tree.body if isinstance(node, ast.ClassDef) and node.name not in skipped}


@pytest.mark.timeout(900)
def test_reference_shows_every_class_and_its_methods(site, browser):
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.open((site / "api" / "morva_core" / "index.html").as_uri())
    text = browser.evaluate("document.body.innerText")
    browser.screenshot(SHOTS / "reference.png")
    classes = stub_members()
    missing = [name for name in classes if name not in text]
    assert not missing, missing
    for name, members in classes.items():
        browser.open((site / "api" / "morva_core" / f"{name}.html").as_uri())
        shown = browser.evaluate("document.querySelector('article').innerText")
        assert f"morva_core.{name}" in shown, name
        assert not [m for m in members if m not in shown], (name, members)
    browser.open((site / "guarantees.html").as_uri())
    browser.screenshot(SHOTS / "guarantees.png")
    assert "at most once" in browser.evaluate("document.querySelector('table').innerText")


@pytest.mark.timeout(900)
def test_every_link_between_pages_resolves(site, browser):
    pages = sorted(site.rglob("*.html"))
    ids, links = {}, []
    for page in pages:
        browser.open(page.as_uri())
        ids[page] = set(browser.evaluate("[...document.querySelectorAll('[id]')].map(e => e.id)"))
        hrefs = browser.evaluate("[...document.links].map(a => a.href)")
        links += [(page, href) for href in hrefs if href.startswith("file:")]
    assert len(pages) > 30 and len(links) > 1000
    broken = []
    for page, href in links:
        url = urllib.parse.urlparse(href)
        target = pathlib.Path(urllib.parse.unquote(url.path))
        if not target.exists():
            broken.append((page.name, href))
        elif url.fragment and target.suffix == ".html" and url.fragment not in ids[target]:
            broken.append((page.name, href))
    assert not broken, broken[:20]
