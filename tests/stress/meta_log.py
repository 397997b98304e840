"""Meta log appends from four threads: nothing lost, each thread's entries in its own order."""

import sys
import threading

from morva_core import State

N = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
state = State(meta_capacity=4 * N + 100)
versions = [state.update(data={"v": i}) for i in range(10)]


def append(t):
    target = versions[t]  # all versions share one log
    for i in range(N):
        target.log_meta(f"t{t}", str(i))


threads = [threading.Thread(target=append, args=(t,)) for t in range(4)]
for th in threads:
    th.start()
for th in threads:
    th.join()
logs = state.get_meta_logs()
assert len(logs) == 10 + 4 * N, len(logs)
seen = {f"t{t}": -1 for t in range(4)}
for entry in logs:
    if entry.key in seen:
        i = int(entry.message)
        assert i == seen[entry.key] + 1, (entry.key, i)
        seen[entry.key] = i
assert all(v == N - 1 for v in seen.values()), seen
stamps = [e.timestamp for e in logs]
assert all(b - a > -0.5 for a, b in zip(stamps, stamps[1:]))  # wall clock, small races allowed
print("ok", len(logs))
