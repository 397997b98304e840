"""Audit logging from four threads: counts and totals add up, nothing is lost or torn."""

import sys
import threading

from morva_core import AuditLevel, AuditRecipe, AuditSystem

N = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
audit = AuditSystem(AuditRecipe(level=AuditLevel.Count), capacity=512)


def hammer(t):
    for i in range(N):
        audit.log_fail(f"k{t % 2}")
        if i % 10 == 0:
            audit.log(f"t{t}", "note")
        audit.get_logs() if i % 1000 == 0 else None


threads = [threading.Thread(target=hammer, args=(t,)) for t in range(4)]
for th in threads:
    th.start()
for th in threads:
    th.join()
assert audit.get_count("k0") == audit.get_count("k1") == 2 * N
assert audit.get_count_all() == 4 * N + 4 * ((N + 9) // 10)
logs = audit.get_logs()
assert audit.ring_buffer_len == len(logs) == 512
assert all(e.message.startswith("Fail #") or e.message == "note" for e in logs)
print("ok", audit.get_count_all())
