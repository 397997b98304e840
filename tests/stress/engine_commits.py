"""Four threads run CAS retry loops and transactions with outbox messages on one engine while a
fifth delivers the outbox: every committed message is delivered exactly once, in commit order,
the final version is the number of successful commits plus one, and the final state holds the
key of every swap and commit reported as successful (none was overwritten by a concurrent one)."""

import sys
import threading

from morva_core import MorvaEngine, OutboxMsg

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 300
engine = MorvaEngine()
commit_order = []  # tokens in the order commits validated (commits are serialised per engine)


class Schema:
    @staticmethod
    def model_validate(data):
        commit_order.append(data["token"])


engine.set_schema(Schema)
delivered = []
engine.attach_worker(lambda msg: delivered.append(msg.payload))
successes = [0] * 4
stop = threading.Event()


def worker(t):
    for i in range(ROUNDS):
        token = (t, i)
        if i % 2:
            while True:  # optimistic retry loop
                version = engine.state.version
                try:
                    engine.compare_and_swap(version, data={f"cas{t}.{i}": token})
                    break
                except Exception as exc:  # ContextError on a lost race
                    assert "CAS Version Mismatch" in str(exc), exc
        else:
            with engine.transaction() as tx:
                tx.update(data={"token": token, f"tx{t}.{i}": token})
                tx.outbox.add(OutboxMsg(f"t{t}", token))
        successes[t] += 1


def deliverer():
    while not stop.is_set():
        engine.process_outbox()


threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
d = threading.Thread(target=deliverer)
d.start()
for th in threads:
    th.start()
for th in threads:
    th.join()
stop.set()
d.join()
engine.process_outbox()

assert engine.state.version == sum(successes) + 1, (engine.state.version, successes)
assert len(delivered) == len(set(delivered)) == 4 * ((ROUNDS + 1) // 2), len(delivered)
assert delivered == commit_order, "delivery order differs from commit order"
keys = set(engine.state.data.keys())
for t in range(4):
    for i in range(ROUNDS):
        assert f"{'cas' if i % 2 else 'tx'}{t}.{i}" in keys, ("lost update", t, i)
print("ok", engine.state.version, len(delivered))
