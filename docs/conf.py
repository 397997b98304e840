"""Sphinx configuration: the guide's pages, and an API reference that sphinx-autoapi builds from
the type stub alone (the compiled module is never imported: its runtime docstrings are short
fixed texts, and the stub is what editors show)."""

import pathlib
import shutil

ROOT = pathlib.Path(__file__).resolve().parent.parent

project = "morva_core"
author = "the morva_core developers"
copyright = "2026, " + author
release = next(line.split('"')[1] for line in (ROOT / "pyproject.toml").read_text().splitlines()
               if line.startswith("version = "))

extensions = ["autoapi.extension", "sphinx.ext.napoleon"]
exclude_patterns = ["_build", "_templates", "recipes"]
# `name` in the stub's docstrings reads as code and links where it names a documented object.
default_role = "py:obj"
nitpicky = False
html_theme = "furo"
html_title = f"morva_core {release}"
html_static_path = ["_static"]
html_css_files = ["morva.css"]

# autoapi reads every stub in a folder: the module's stub is copied into one of its own.
STUB_DIR = pathlib.Path(__file__).resolve().parent / "_build" / "stub"
STUB_DIR.mkdir(parents=True, exist_ok=True)
shutil.copy(ROOT / "morva_core.pyi", STUB_DIR / "morva_core.pyi")

autoapi_type = "python"
autoapi_dirs = [str(STUB_DIR)]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_add_toctree_entry = True  # writes api/index.rst (already in index.rst's toctree)
autoapi_template_dir = "_templates/autoapi"
autoapi_member_order = "bysource"  # the stub's order: the module's registration order
autoapi_python_class_content = "both"
autoapi_own_page_level = "class"
autoapi_options = ["members", "undoc-members", "show-inheritance", "special-members"]
autoapi_keep_files = False

# The stub's checking-only aliases and protocol are not part of the module; the four classes
# that Python meets only as returned values are (their stub names carry an underscore).
RETURNED_ONLY = {"_Outbox", "_FrozenList", "_TrackedDict", "_TrackedList"}
CHECKING_ONLY = {"_T", "_Zone", "_Signals", "_ZoneChanges", "_GuardKey", "_Schema"}


def skip_member(app, what, name, obj, skip, options):
    short = name.rsplit(".", 1)[-1]
    if short in CHECKING_ONLY:
        return True
    if short in RETURNED_ONLY:
        return False
    return skip


def separate_lists(app, what, name, obj, options, lines):
    """Gives a "- item" list that follows a line of text the blank line reST needs before it
    (the runtime docstrings, which the stub repeats, are written that way)."""
    for i in range(len(lines) - 1, 0, -1):
        if lines[i].lstrip().startswith("- ") and lines[i - 1].strip() and \
                not lines[i - 1].lstrip().startswith("- "):
            lines.insert(i, "")


def use_new_as_constructor():
    """The module's classes are built by __new__ (they define no __init__), so the class
    signature and constructor text shown are __new__'s; autoapi looks for __init__ only. An
    exception's inherited __init__ (the interpreter's generic text) is not taken."""
    from autoapi._objects import PythonClass

    def constructor(self):
        for name in ("__init__", "__new__"):
            for child in self.children:
                if child.short_name == name and child.type == "method" and not child.inherited:
                    return child
        return None

    PythonClass.constructor = property(constructor)


def setup(app):
    use_new_as_constructor()
    app.connect("autoapi-skip-member", skip_member)
    app.connect("autodoc-process-docstring", separate_lists)
