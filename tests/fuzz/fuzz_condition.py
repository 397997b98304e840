"""Condition strings in `if` steps: evaluation errors propagate as ordinary exceptions (a NUL
byte as ValueError), never a crash. Texts with `*` or `<<` are skipped: huge integer powers and
repetitions are the expression's own cost, not the engine's."""

import atheris

with atheris.instrument_imports():
    import harness
    from morva_core import WorkflowEngine

SEEDS = ["c['n'] < 3", "len(domain) == 1", "x and not y", "'a' in s", "min(1, 2) > abs(-3)",
         "x\x00y", "", "(", "print(1)", "domain['count'] > 2"]
CONTEXT = {"c": {"n": 1}, "domain": {"count": 3}, "x": 1, "y": [], "s": "abc"}


def test_one_input(data):
    condition = harness.text_of(data)
    if "*" in condition or "<<" in condition or "\n" in condition:
        return
    literal = condition.replace("\\", "\\\\").replace('"', '\\"')
    try:
        engine = WorkflowEngine('steps: [{flux: if, condition: "' + literal + '", then: [a]}]')
    except ValueError as exc:
        harness.feedback(str(exc))
        return
    try:
        names = engine.execute(dict(CONTEXT), lambda name: None)
    except Exception as exc:
        assert int(engine.fsm_state) == 4  # Failed
        harness.feedback(f"{type(exc).__name__}: {exc}")
    else:
        assert int(engine.fsm_state) == 3  # Complete
        harness.feedback(f"ok {names}")


if __name__ == "__main__":
    harness.run(test_one_input, SEEDS)
