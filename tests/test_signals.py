"""SignalHub and SignalReceiver: delivery, lag, closure, argument errors, waiting without the
GIL (threads and asyncio.to_thread), concurrent receives, and receivers at interpreter exit."""

import asyncio
import inspect
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from morva_core import SignalHub, SignalReceiver
from conftest import raises_exact

pytestmark = pytest.mark.timeout(60)


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.005)


class TestDelivery:
    def test_publish_without_receivers_is_dropped(self):
        hub = SignalHub()
        assert hub.publish("early") == 0
        r = hub.subscribe()
        assert isinstance(r, SignalReceiver)
        assert hub.publish("late") == 1
        assert r.recv() == "late"

    def test_each_receiver_gets_each_message_once_in_order(self):
        hub = SignalHub()
        a, b = hub.subscribe(), hub.subscribe()
        assert hub.publish("m1") == 2
        assert hub.publish("m2") == 2
        assert [a.recv(), a.recv()] == ["m1", "m2"]
        assert [b.recv(), b.recv()] == ["m1", "m2"]

    def test_dropping_a_receiver_lowers_the_count(self):
        hub = SignalHub()
        a, b = hub.subscribe(), hub.subscribe()
        hub.publish("x")
        del b
        assert hub.publish("y") == 1
        assert [a.recv(), a.recv()] == ["x", "y"]

    def test_all_of_a_full_ring_is_delivered(self):
        hub = SignalHub()
        r = hub.subscribe()
        for i in range(128):
            hub.publish(f"m{i}")
        assert [r.recv() for _ in range(128)] == [f"m{i}" for i in range(128)]

    def test_lag_reports_the_missed_count_then_resumes(self):
        hub = SignalHub()
        r = hub.subscribe()
        for i in range(130):
            hub.publish(f"m{i}")
        with raises_exact(RuntimeError, "Channel Lagged: missed 2 messages"):
            r.recv()
        assert r.recv() == "m2"
        assert r.recv() == "m3"

    def test_any_str_content_survives(self):
        hub = SignalHub()
        r = hub.subscribe()
        texts = ["", "\x00mid\x00", "é😀", "\ud800", "a\udfffb", "x" * 100_000]
        for t in texts:
            hub.publish(t)
        assert [r.recv() for _ in texts] == texts

    def test_closure_after_the_hub_is_deleted(self):
        hub = SignalHub()
        r = hub.subscribe()
        hub.publish("a")
        hub.publish("b")
        del hub
        assert [r.recv(), r.recv()] == ["a", "b"]
        for _ in range(3):
            with raises_exact(StopAsyncIteration, "Channel Closed"):
                r.recv()

    def test_receiver_outlives_the_hub_it_came_from(self):
        r = SignalHub().subscribe()
        with raises_exact(StopAsyncIteration, "Channel Closed"):
            r.recv()


class TestInterface:
    def test_argument_errors(self):
        hub = SignalHub()
        with raises_exact(TypeError, "argument 'msg': 'int' object cannot be converted to 'PyString'"):
            hub.publish(1)
        with raises_exact(TypeError, "SignalHub.publish() missing 1 required positional argument: 'msg'"):
            hub.publish()
        with raises_exact(TypeError, "SignalHub.__new__() takes 0 positional arguments but 1 was given"):
            SignalHub(1)
        with raises_exact(TypeError, "No constructor defined for SignalReceiver"):
            SignalReceiver()
        with pytest.raises(TypeError):
            hub.subscribe(1)
        assert hub.publish(msg="kw") == 0

    def test_signatures_and_docs(self):
        assert str(inspect.signature(SignalHub)) == "()"
        r = SignalHub().subscribe()
        assert r.recv.__doc__ == "Blocking receive. intended to be called via asyncio.to_thread()"
        assert str(inspect.signature(SignalHub().publish)) == "(msg)"

    def test_classes_are_final_and_take_no_attributes(self):
        for cls in (SignalHub, SignalReceiver):
            with pytest.raises(TypeError):
                type("Sub", (cls,), {})
        with pytest.raises(AttributeError):
            SignalHub().extra = 1


class TestWaiting:
    def test_blocked_recv_lets_other_threads_run(self):
        hub = SignalHub()
        r = hub.subscribe()
        got = []
        t = threading.Thread(target=lambda: got.append(r.recv()))
        t.start()
        ticks = 0
        deadline = time.monotonic() + 0.2
        while time.monotonic() < deadline:  # busy Python work on this thread meanwhile
            ticks += 1
        assert ticks > 1000 and t.is_alive() and not got
        hub.publish("wake")
        t.join(10)
        assert got == ["wake"]

    def test_blocked_recv_sees_closure(self):
        hub = SignalHub()
        r = hub.subscribe()
        errors = []

        def wait():
            try:
                r.recv()
            except StopAsyncIteration as exc:
                errors.append(str(exc))

        t = threading.Thread(target=wait)
        t.start()
        time.sleep(0.05)
        del hub
        t.join(10)
        assert errors == ["Channel Closed"]

    def test_recv_through_to_thread_does_not_block_the_loop(self):
        async def main():
            hub = SignalHub()
            r = hub.subscribe()
            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    ticks += 1
                    await asyncio.sleep(0.001)

            tick_task = asyncio.create_task(ticker())
            waiting = asyncio.create_task(asyncio.to_thread(r.recv))
            await asyncio.sleep(0.1)
            assert not waiting.done() and ticks > 10
            hub.publish("from the loop")
            message = await asyncio.wait_for(waiting, 10)
            tick_task.cancel()
            return message

        assert asyncio.run(main()) == "from the loop"

    def test_concurrent_recvs_on_one_receiver_split_the_messages(self):
        hub = SignalHub()
        r = hub.subscribe()
        got = [[], []]

        def consume(i):
            while True:
                try:
                    got[i].append(r.recv())
                except StopAsyncIteration:
                    return

        threads = [threading.Thread(target=consume, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for i in range(2000):
            hub.publish(str(i))
            if i % 50 == 0:
                wait_until(lambda: sum(map(len, got)) > i - 60)
        del hub
        for t in threads:
            t.join(30)
        merged = got[0] + got[1]
        assert sorted(map(int, merged)) == list(range(2000))
        assert all(list(map(int, g)) == sorted(map(int, g)) for g in got)

    def test_receivers_on_many_threads_each_get_everything(self):
        hub = SignalHub()
        receivers = [hub.subscribe() for _ in range(4)]
        results = [[] for _ in receivers]

        def consume(r, out):
            for _ in range(100):
                out.append(r.recv())

        threads = [threading.Thread(target=consume, args=pair) for pair in zip(receivers, results)]
        for t in threads:
            t.start()
        for i in range(100):
            assert hub.publish(f"m{i}") == 4
        for t in threads:
            t.join(30)
        assert all(out == [f"m{i}" for i in range(100)] for out in results)


def test_receiver_woken_during_interpreter_exit_ends_quietly():
    # Closing the channel while the interpreter finalizes wakes the receiver, whose thread the
    # host then ends as it tries to take the GIL back; that must not abort the process.
    code = textwrap.dedent("""
        import os, threading, time, morva_core

        class Closer:
            def __init__(self, hub):
                self.hub = hub
            def __del__(self, write=os.write, sleep=time.sleep):
                self.hub = None
                sleep(0.3)
                write(1, b"closed during exit\\n")

        hub = morva_core.SignalHub()
        receiver = hub.subscribe()
        threading.Thread(target=receiver.recv, daemon=True).start()
        del receiver
        closer = Closer(hub)
        del hub
        time.sleep(0.1)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "closed during exit\n"
    assert "terminate" not in out.stderr
