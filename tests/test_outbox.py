"""Message records, the shared message list behind Outbox, and ProcessContext."""

import weakref

import pytest

from morva_core import FrozenDict, OutboxMsg, ProcessContext, State
from conftest import raises_exact


def make_ctx(data=None):
    return ProcessContext(State(data=data), {})


def test_outbox_msg_record():
    payload = object()
    msg = OutboxMsg("t", payload)
    assert msg.payload is payload and msg.topic == "t"
    for topic in ("", "ünï ✓", "\ud800lone", type("S", (str,), {})("sub")):
        assert OutboxMsg(topic, 0).topic == topic and type(OutboxMsg(topic, 0).topic) is str
    with raises_exact(TypeError, "argument 'topic': 'int' object cannot be converted to 'PyString'"):
        OutboxMsg(1, "p")
    with pytest.raises(AttributeError):
        msg.topic = "u"


def test_outbox_copies_records_and_shares_payloads():
    box = make_ctx().outbox
    a, b = OutboxMsg("a", [1]), OutboxMsg("b", 2)
    for m in (a, b, a):
        assert box.add(m) is None
    snap = box.messages
    assert [m.topic for m in snap] == ["a", "b", "a"]
    assert snap[0] is not a and snap[0].payload is a.payload and box.messages[0] is not snap[0]
    snap.clear()  # a snapshot: the list itself is untouched
    with raises_exact(TypeError, "argument 'msg': 'str' object cannot be converted to 'OutboxMsg'"):
        box.add("m")
    assert len(box.messages) == 3


def test_outbox_type_is_hidden_and_payloads_live_with_the_list():
    import morva_core

    Outbox = type(make_ctx().outbox)
    assert Outbox.__name__ == "Outbox" and not hasattr(morva_core, "Outbox")
    assert Outbox().messages == []

    class P:
        pass

    p, ctx = P(), make_ctx()
    ref = weakref.ref(p)
    ctx.outbox.add(OutboxMsg("t", p))
    del p
    assert ref() is not None
    del ctx
    assert ref() is None


def test_process_context_fields_and_sections():
    domain, local = {"a": 1}, {}
    state = State(data={"domain": domain})
    ctx = ProcessContext(state, local)
    assert ctx.state is state and ctx.local is local
    first, second = ctx.outbox, ctx.outbox
    first.add(OutboxMsg("t", 1))
    assert first is not second and [m.topic for m in second.messages] == ["t"]
    assert ctx.domain_ctx is domain and ctx.global_ctx is None
    assert isinstance(state.domain, FrozenDict) and state.domain.to_dict() is domain
    assert make_ctx({"global": 5}).global_ctx == 5
    for name in ("state", "local", "outbox", "anything"):
        with pytest.raises(AttributeError):
            setattr(ctx, name, 1)


def test_process_context_forwards_to_its_state():
    ctx = make_ctx({"a": 1})
    assert ctx.version == 1 and isinstance(ctx.data, FrozenDict) and ctx.data["a"] == 1
    assert ctx.update(data={"a": 2}).version == 2 and ctx.state.version == 1
    with raises_exact(AttributeError, "'ProcessContext' object has no attribute 'missing'"):
        ctx.missing
    with raises_exact(TypeError, "argument 'state': 'dict' object cannot be converted to 'State'"):
        ProcessContext({}, {})
    with raises_exact(TypeError, "argument 'local': 'list' object cannot be converted to 'PyDict'"):
        ProcessContext(State(), [])
