"""Outbox delivery that loses nothing.

process_outbox takes every queued message at once and hands them to the worker one by one.
Delivery is at most once: when the worker raises, the rest of that batch is dropped and the
error propagates; with no worker attached the whole batch is dropped without a word. So:

- attach the worker before the first commit whose messages matter;
- give process_outbox a worker that never raises: it hands each message to the real handler
  and keeps every failure, for a later retry and, after the last attempt, in a dead-letter
  list that someone reads.
"""

from morva_core import MorvaEngine, OutboxMsg


class KeepingWorker:
    def __init__(self, handler, attempts=3):
        self.handler = handler
        self.attempts = attempts
        self.to_retry = []  # (message, attempts made)
        self.dead_letters = []  # (message, last error)

    def __call__(self, msg):
        self._attempt(msg, 1)

    def _attempt(self, msg, attempt):
        try:
            self.handler(msg)
        except Exception as exc:  # never let one escape into process_outbox
            if attempt < self.attempts:
                self.to_retry.append((msg, attempt))
            else:
                self.dead_letters.append((msg, exc))

    def retry(self):
        """One more attempt for every kept failure, oldest first."""
        pending, self.to_retry = self.to_retry, []
        for msg, attempt in pending:
            self._attempt(msg, attempt + 1)


class Mailer:
    """The real handler: message 2 fails once (a passing fault), "poison" always fails."""

    def __init__(self):
        self.sent = []
        self.failed_once = set()

    def __call__(self, msg):
        if msg.payload == "poison":
            raise ValueError("cannot render this message")
        if msg.payload == 2 and 2 not in self.failed_once:
            self.failed_once.add(2)
            raise ConnectionError("mail server busy")
        self.sent.append(msg.payload)


def commit_messages(engine, payloads):
    with engine.transaction() as tx:
        for payload in payloads:
            tx.outbox.add(OutboxMsg("order.confirmed", payload))


if __name__ == "__main__":
    # The failure this recipe avoids: a raising worker loses the rest of its batch.
    engine = MorvaEngine()
    plain = Mailer()
    engine.attach_worker(plain)
    commit_messages(engine, [1, 2, 3])
    try:
        engine.process_outbox()
    except ConnectionError:
        pass
    engine.process_outbox()
    assert plain.sent == [1]  # 2 failed and 3 was dropped with it

    # No worker attached: the batch is dropped.
    engine = MorvaEngine()
    commit_messages(engine, [1])
    engine.process_outbox()
    late = Mailer()
    engine.attach_worker(late)
    engine.process_outbox()
    assert late.sent == []

    # The safe way.
    engine = MorvaEngine()
    mailer = Mailer()
    worker = KeepingWorker(mailer)
    engine.attach_worker(worker)
    commit_messages(engine, [1, 2, "poison", 3])
    engine.process_outbox()
    print("first pass:", mailer.sent, "to retry:", [m.payload for m, _ in worker.to_retry])
    assert mailer.sent == [1, 3]
    worker.retry()
    worker.retry()
    dead = [m.payload for m, _ in worker.dead_letters]
    print("after retries:", mailer.sent, "dead letters:", dead)
    assert mailer.sent == [1, 3, 2]
    assert [(m.payload, type(e)) for m, e in worker.dead_letters] == [("poison", ValueError)]
    assert worker.to_retry == []
