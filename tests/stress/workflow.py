"""Concurrent execute on one workflow engine: per-run results are right and every transition is
recorded once."""

import sys
import threading

from morva_core import FSMState, WorkflowEngine

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 200
YAML = """
steps:
  - flux: while
    condition: "c['n'] < 5"
    do:
      - bump
  - flux: if
    condition: "c['n'] == 5"
    then: [done]
    else: [wrong]
"""
engine = WorkflowEngine(YAML)
transitions = []
engine.add_state_observer(lambda old, new: transitions.append(int(new)))
errors = []


def run(t):
    for _ in range(RUNS):
        ctx = {"c": {"n": 0}}

        def executor(name):
            if name == "bump":
                ctx["c"]["n"] += 1

        names = engine.execute(ctx, executor)
        if names != ["bump"] * 5 + ["done"]:
            errors.append(names)


threads = [threading.Thread(target=run, args=(t,)) for t in range(4)]
for th in threads:
    th.start()
for th in threads:
    th.join()
assert not errors, errors[:3]
history = engine.state_history
assert len(history) == 1 + 2 * 4 * RUNS, len(history)
assert history.count(FSMState.Running) == history.count(FSMState.Complete) == 4 * RUNS
assert len(transitions) == 2 * 4 * RUNS
print("ok", len(history))
