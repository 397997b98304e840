"""Signals against queue.SimpleQueue: publish + recv on one thread, fan-out to several
receivers, and throughput from a producer thread to a consumer thread."""

import queue
import threading
import time

from morva_core import SignalHub

_hub = SignalHub()
_r = _hub.subscribe()
_q = queue.SimpleQueue()

_fan_hub = SignalHub()
_fan = [_fan_hub.subscribe() for _ in range(4)]
_fan_qs = [queue.SimpleQueue() for _ in range(4)]
_r0, _r1, _r2, _r3 = _fan
_q0, _q1, _q2, _q3 = _fan_qs


def _fan_publish():
    _fan_hub.publish("signal:1")
    _r0.recv(); _r1.recv(); _r2.recv(); _r3.recv()


def _fan_queue():
    for q in _fan_qs:
        q.put("signal:1")
    _q0.get(); _q1.get(); _q2.get(); _q3.get()


MESSAGES = 20000
WINDOW = 64  # well inside the 128-message ring: the consumer is never lapped


def _transfer(send, receive):
    """Producer on this thread, consumer on another, at most WINDOW messages in flight."""
    done = [0]

    def consume():
        for _ in range(MESSAGES):
            receive()
            done[0] += 1

    consumer = threading.Thread(target=consume)
    consumer.start()
    for i in range(MESSAGES):
        while i - done[0] >= WINDOW:
            time.sleep(0)
        send("signal:1")
    consumer.join()


def _signals_cross_thread():
    hub = SignalHub()
    _transfer(hub.publish, hub.subscribe().recv)


def _queue_cross_thread():
    q = queue.SimpleQueue()
    _transfer(q.put, q.get)


ROWS = [
    ("publish + recv, one thread vs SimpleQueue put + get",
     "_hub.publish('signal:1'); _r.recv()", "_q.put('signal:1'); _q.get()", 1.0),
    ("publish to 4 receivers + 4 recv vs 4 SimpleQueues", _fan_publish, _fan_queue, None),
    (f"cross-thread transfer of {MESSAGES} vs SimpleQueue (time)", _signals_cross_thread,
     _queue_cross_thread, 0.9),
]

# The cross-thread row is a wall-time row only: under valgrind threads run one at a time.
INSTR_ROWS = [
    ("publish + recv, one thread vs SimpleQueue put + get",
     "_hub.publish('signal:1'); _r.recv()", "_q.put('signal:1'); _q.get()", 1.0),
]
