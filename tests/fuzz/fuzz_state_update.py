"""State.update arguments built from fuzzer data: a new State or TypeError, never a crash; the
meta log gains exactly one entry per call either way."""

import atheris

with atheris.instrument_imports():
    import harness
    from morva_core import State


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def value(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    return [None, fdp.ConsumeInt(8), fdp.ConsumeUnicode(8), [1, 2], {"n": 1}, Unprintable(),
            fdp.ConsumeFloat()][kind]


def key(fdp):
    return fdp.ConsumeUnicode(6) if fdp.ConsumeBool() else fdp.ConsumeInt(2)


def zone(fdp):
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 0:
        return None
    if choice == 1:
        return [1, "x"]
    return {key(fdp): value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))}


def signal(fdp):
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 0:
        return zone(fdp)
    if choice == 1:
        return [zone(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return fdp.ConsumeUnicode(4)


STATE = State(data={"a": 1}, meta_capacity=10)
RECEIVER = STATE.signal.subscribe()


def test_one_input(data):
    import sys

    fdp = atheris.FuzzedDataProvider(data)
    # A marker first: what follows it in the log is what this one call wrote.
    STATE.log_meta("mark", "before")
    before = STATE.get_meta_logs()[-1].timestamp
    old_hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
    try:
        new = STATE.update(data=zone(fdp), heavy=zone(fdp), signal=signal(fdp))
    except TypeError as exc:
        harness.feedback(str(exc))
    else:
        assert new.version == STATE.version + 1
        harness.feedback(f"ok {len(new.data.keys())} {len(new.heavy.keys())}")
    finally:
        sys.unraisablehook = old_hook
    logs = STATE.get_meta_logs()
    keys = [entry.key for entry in logs]
    written = logs[len(keys) - keys[::-1].index("mark"):]
    assert [(e.key, e.message) for e in written] == [("state_update", "State updated to version 2")]
    assert written[0].timestamp >= before
    assert STATE.version == 1


if __name__ == "__main__":
    harness.run(test_one_input, SEEDS := [b"\x00" * 16, b"\x01\x02\x03" * 8, b"seed"])
