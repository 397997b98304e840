"""Audit failure counting against an equivalent pure-Python Counter + deque."""

import time
from collections import Counter, deque

from morva_core import AuditLevel, AuditRecipe, AuditSystem


class PyAudit:
    """What log_fail at level Count does, in plain Python."""

    def __init__(self, capacity=1000):
        self.counts = Counter()
        self.log = deque(maxlen=capacity)

    def log_fail(self, key):
        self.counts[key] += 1
        self.log.append((key, f"Fail #{self.counts[key]}", time.time()))


_audit = AuditSystem(AuditRecipe(AuditLevel.Count), capacity=1000)
_ref = PyAudit(capacity=1000)
for _k in range(100):  # a realistic number of known keys
    _audit.log_fail(f"process_{_k}")
    _ref.log_fail(f"process_{_k}")

ROWS = [
    ("AuditSystem.log_fail (Count) vs Counter + deque", "_audit.log_fail('process_42')",
     "_ref.log_fail('process_42')", 1 / 3),
]
