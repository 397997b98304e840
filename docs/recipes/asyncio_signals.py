"""Consuming signals from asyncio, and stopping cleanly.

SignalReceiver.recv blocks its thread until a message arrives, so asyncio code runs it in a
worker thread with asyncio.to_thread. Two things then decide whether the program can end:

- A time-out must not abandon a receive. `asyncio.wait_for(asyncio.to_thread(receiver.recv),
  t)` gives up the await, but the thread stays in recv, and asyncio.run waits for the default
  executor's threads when it ends: the program hangs until another message comes (on CPython
  3.12 and later, asyncio.run gives up after 300 seconds with a warning). Keep the pending
  receive and await it again, shielded from the time-out.
- The consumer needs a way out that reaches the thread in recv: a message it recognises (a
  sentinel), or the end of the channel. A channel ends when its last publishing end is gone
  (every hub on it, and for a state's channel every state of that lineage); recv then returns
  what is left and raises StopAsyncIteration("Channel Closed").
"""

import asyncio
import threading

from morva_core import MorvaEngine, SignalHub

STOP = "consumer:stop"


async def consume(receiver, handle, on_idle, idle_seconds):
    """Hands every message to `handle` until the sentinel or the end of the channel."""
    pending = None
    while True:
        if pending is None:
            pending = asyncio.ensure_future(asyncio.to_thread(receiver.recv))
        try:
            msg = await asyncio.wait_for(asyncio.shield(pending), idle_seconds)
        except asyncio.TimeoutError:
            on_idle()  # the same receive is still pending: await it again
            continue
        except StopAsyncIteration:
            return "closed"
        except RuntimeError as exc:  # "Channel Lagged: missed N messages": go on reading
            if not str(exc).startswith("Channel Lagged"):
                raise
            pending = None
            continue
        pending = None
        if msg == STOP:
            return "stopped"
        handle(msg)


async def monitor_an_engine():
    """Signals of an engine's commits; the publisher ends the consumer with the sentinel."""
    engine = MorvaEngine()
    receiver = engine.state.signal.subscribe()
    received, idle = [], []
    consumer = asyncio.create_task(
        consume(receiver, received.append, lambda: idle.append(1), idle_seconds=0.02))
    for left in (3, 2, 1):
        await asyncio.sleep(0.05)  # long enough for the consumer to time out in between
        with engine.transaction() as tx:
            tx.update(data={"stock": left}, signal={"stock": left})
    engine.state.signal.publish(STOP)
    assert await consumer == "stopped"
    return received, len(idle)


async def drain_a_closing_hub():
    """A private hub: dropping it, the last publishing end, ends the consumer."""
    hub = SignalHub()
    receiver = hub.subscribe()
    received = []
    consumer = asyncio.create_task(consume(receiver, received.append, lambda: None, 1.0))
    hub.publish("job:1:done")
    hub.publish("job:2:done")
    del hub
    assert await consumer == "closed"
    return received


if __name__ == "__main__":
    received, idle_ticks = asyncio.run(monitor_an_engine())
    print("engine signals:", received, "idle time-outs:", idle_ticks)
    assert received == ["stock:3", "stock:2", "stock:1"] and idle_ticks > 0
    received = asyncio.run(drain_a_closing_hub())
    print("hub messages:", received)
    assert received == ["job:1:done", "job:2:done"]
    # asyncio.run joined its executor's threads: none is left waiting in recv.
    assert threading.active_count() == 1
