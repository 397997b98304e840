"""The user's guide: every recipe and every Python example of its pages runs as written, and the
guarantees table keeps a full row for every operation it promises to cover."""

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
RECIPES = sorted((DOCS / "recipes").glob("*.py"))
# `.. code-block:: python` and the indented lines after its blank line.
BLOCK = re.compile(r"^\.\. code-block:: python\n\n((?:(?:   .*)?\n)+)", re.M)
EXAMPLES = [(page.stem, textwrap.dedent(block))
            for page in sorted(DOCS.glob("*.rst")) for block in BLOCK.findall(page.read_text())]


def run(args, cwd):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=200,
                          cwd=cwd)


def test_the_guide_has_its_recipes_and_examples():
    assert len(RECIPES) >= 5 and len(EXAMPLES) >= 7


@pytest.mark.parametrize("recipe", RECIPES, ids=lambda p: p.stem)
@pytest.mark.timeout(240)
def test_recipe_runs(recipe, tmp_path):
    out = run([str(recipe)], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


@pytest.mark.parametrize("index", range(len(EXAMPLES)), ids=lambda i: f"{EXAMPLES[i][0]}-{i}")
@pytest.mark.timeout(240)
def test_page_example_runs(index, tmp_path):
    out = run(["-c", EXAMPLES[index][1]], tmp_path)
    assert out.returncode == 0, EXAMPLES[index][1] + "\n" + out.stderr


def test_guarantees_table_has_a_full_row_for_every_operation():
    text = (DOCS / "guarantees.rst").read_text()
    assert text.count(".. list-table::") == 1
    rows = [row.split("\n     - ") for row in text.split("\n   * - ")[1:]]
    rows[-1][-1] = rows[-1][-1].split("\n\n")[0]
    header, *rows = [[re.sub(r"\s+", " ", cell).strip() for cell in row] for row in rows]
    assert header == ["operation", "checks", "installs", "signals and messages", "on failure",
                      "other threads see", "can block"]
    assert all(len(row) == len(header) and all(row) for row in rows), rows
    operations = [row[0] for row in rows]
    for name in ("``update`` (State)", "``compare_and_swap``", "``commit_state``",
                 "transaction commit", "guarded read, no transaction", "guarded read, with a",
                 "guarded write, no transaction", "guarded write, with a", "``process_outbox``",
                 "``execute`` (", "``execute_async``", "``log_fail``", "``publish``", "``recv``"):
        assert sum(op.startswith(name) for op in operations) == 1, name
