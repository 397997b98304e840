"""One hub, three receiver threads and a publisher: every receiver gets every message in order;
dropping the hub wakes receivers blocked in recv with StopAsyncIteration."""

import sys
import threading
import time

from morva_core import SignalHub

M = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
hub = SignalHub()
receivers = [hub.subscribe() for _ in range(3)]
progress = [0, 0, 0]
results = [[], [], []]
closed = [False, False, False]


def consume(k):
    r = receivers[k]
    while True:
        try:
            msg = r.recv()
        except StopAsyncIteration as exc:
            assert str(exc) == "Channel Closed", exc
            closed[k] = True
            return
        results[k].append(msg)
        progress[k] += 1


threads = [threading.Thread(target=consume, args=(k,)) for k in range(3)]
for th in threads:
    th.start()
for i in range(M):
    while i - min(progress) >= 100:  # stay inside the 128-message ring: no lag by design
        time.sleep(0)
    assert hub.publish(str(i)) == 3
while min(progress) < M:
    time.sleep(0.001)
time.sleep(0.05)  # receivers are now blocked in recv on an empty channel
del hub
for th in threads:
    th.join(timeout=30)
    assert not th.is_alive(), "closing the channel did not wake a blocked receiver"
expected = [str(i) for i in range(M)]
assert all(r == expected for r in results)
assert all(closed)
print("ok", M)
