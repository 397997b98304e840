"""WorkflowEngine(yaml): only ValueError, whatever the text; simulate on the step form only
(graph conditions are arbitrary Python, covered by fuzz_condition)."""

import atheris

with atheris.instrument_imports():
    import harness
    from morva_core import WorkflowEngine

SEEDS = [
    "steps:\n  - load\n  - process: save\n",
    "steps:\n  - flux: while\n    condition: \"c < 3\"\n    do: [a, {flux: run, steps: [b]}]\n",
    "steps:\n  - flux: if\n    condition: x\n    then: [a]\n    else: [b]\n",
    "a: &x [1, 2]\nsteps: *x\n",
    "a: &a [p]\nb: &b [*a, {flux: run, steps: *a}]\nsteps: [{flux: run, steps: *b}, *b]\n",
    "steps: [!tag {name: x}, 42, null]\n",
    "nodes:\n  start: a\n  a: {next: b}\n",
]


def test_one_input(data):
    text = harness.text_of(data)
    try:
        engine = WorkflowEngine(text, max_ops=50)
    except ValueError as exc:
        harness.feedback(str(exc))
        return
    if "nodes" not in text:
        harness.feedback(f"ok {len(engine.simulate({}))}")


if __name__ == "__main__":
    harness.run(test_one_input, SEEDS)
