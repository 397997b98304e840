"""ContextGuard against an independent model of its permit rules, over generated contracts and
generated chains of reads and writes on nested objects, dicts and lists, with and without a
transaction. Every access must end exactly as the model says: no undeclared path is ever read
from the target, handed out or written, and every declared one is allowed."""

import copy
import os
import re

import pytest

pytest.importorskip("hypothesis", reason="needs hypothesis, not installed for this interpreter")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

from morva_core import ContextGuard, Transaction

# Attribute names and keys the worlds and the contracts are made of: data names (one a prefix of
# another), a heavy name, control-zone names (refused as strict inputs), a private name, the
# guard's own names, and integer keys.
NAMES = ["a", "ab", "b", "heavy_h", "sig_s", "meta_m", "_p", "log", "_target"]
KEYS = NAMES + [0, 1, 2, -1]
CHAINS = 300 if os.environ.get("MORVA_ASAN") else 2000
WALKS = 100 if os.environ.get("MORVA_ASAN") else 1000

FETCHES = []  # (id(node), name): attribute reads that reached a Node of the world
STORES = []   # (id(container), name or key): writes that reached a Node or a Row


class Node:
    """A context object that records every read and write of its data attributes."""

    def __getattribute__(self, name):
        if name in NAMES:
            FETCHES.append((id(self), name))
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        STORES.append((id(self), name))
        object.__setattr__(self, name, value)


class Row(dict):
    """A dict subclass: not a "dict" by name, so a transaction guards it as an object."""

    def __setitem__(self, key, value):
        STORES.append((id(self), key))
        dict.__setitem__(self, key, value)

    def __deepcopy__(self, memo):
        new = Row()
        for key, value in self.items():
            dict.__setitem__(new, key, copy.deepcopy(value, memo))
        vars(new).update(copy.deepcopy(vars(self), memo))
        return new


INNER = Node()
WRAPPED = ContextGuard(INNER, [], [])  # written values are unwrapped: INNER is stored


# ---- the model -----------------------------------------------------------------------------

def permits(declared, path):
    return (path == declared or declared.startswith(path + ".")
            or path.startswith(declared + ".") or path.startswith(declared + "["))


def join(prefix, key):
    if isinstance(key, int) and not isinstance(key, bool):
        return f"{prefix}[{key}]"
    return key if prefix == "" else f"{prefix}.{key}"


class Contract:
    def __init__(self, inputs, outputs, admin, strict, tx):
        self.inputs, self.outputs, self.admin, self.strict, self.tx = inputs, outputs, admin, strict, tx

    def allowed(self, path, write):
        names = self.outputs if write else self.inputs + self.outputs
        return self.admin or any(permits(d, path) for d in names)


class Handle:
    """What the model knows of one guard: its path, its target and its log slot."""

    def __init__(self, guard, prefix, target):
        self.guard, self.prefix, self.target, self.log = guard, prefix, target, None


def snap(value):
    if isinstance(value, Node):
        return ("node", {k: snap(v) for k, v in vars(value).items()})
    if isinstance(value, Row):
        return ("row", {k: snap(v) for k, v in value.items()}, snap_attrs(value))
    if isinstance(value, dict):
        return ("dict", {k: snap(v) for k, v in value.items()})
    if isinstance(value, list):
        return ("list", [snap(v) for v in value])
    return value


def snap_attrs(value):
    return {k: snap(v) for k, v in vars(value).items()}


def own_attribute(target, name):
    """(present, value) of a target attribute, read without the Node's recording."""
    attrs = vars(target) if isinstance(target, (Node, Row)) else {}
    return (name in attrs, attrs.get(name))


def lookup(target, key):
    """'attr' when the item lookup fails for a string key, else ('ok', value) or ('err', type)."""
    if isinstance(target, dict):
        if key in target:
            return "ok", dict.__getitem__(target, key)
        return ("attr", None) if isinstance(key, str) else ("err", KeyError)
    if isinstance(target, list):
        if isinstance(key, str):
            return "attr", None
        return ("ok", target[key]) if -len(target) <= key < len(target) else ("err", IndexError)
    return ("attr", None) if isinstance(key, str) else ("err", TypeError)


class Outcome:
    def __init__(self, kind, value=None, error=None, message=None, path=None):
        self.kind, self.value, self.error, self.message, self.path = kind, value, error, message, path
        self.fetches = set()
        self.stores = set()
        self.change = None  # (as attribute?, name or key, value) that a write makes


def denied(path, write):
    return Outcome("err", error=PermissionError,
                   message=f"Illegal {'Write' if write else 'Read'}: '{path}'")


def expect_attribute_read(c, h, name, normal_lookup=True):
    # The guard's own attributes come first, except for the item fallback's attribute read.
    if normal_lookup and name == "log":
        return Outcome("same", value=h.log)
    if normal_lookup and name == "_target":
        return Outcome("same", value=h.target)
    if name.startswith("_"):
        if c.strict:
            return Outcome("err", error=PermissionError,
                           message=f"Access to private attribute '{name}' denied in Strict Mode")
        present, value = own_attribute(h.target, name)
        out = Outcome("same", value=value) if present else Outcome("err", error=AttributeError)
    else:
        path = join(h.prefix, name)
        if not c.allowed(path, False):
            return denied(path, False)
        present, value = own_attribute(h.target, name)
        out = Outcome("wrapped", value=value, path=path) if present else Outcome(
            "err", error=AttributeError)
    if isinstance(h.target, Node):
        out.fetches = {(id(h.target), name)}
    return out


def expect_item_read(c, h, key):
    kind, value = lookup(h.target, key)
    if kind == "attr":
        return expect_attribute_read(c, h, key, normal_lookup=False)
    if kind == "err":
        return Outcome("err", error=value)
    path = join(h.prefix, key)
    if not c.allowed(path, False):
        return denied(path, False)
    return Outcome("wrapped", value=value, path=path)


def stored(value):
    return INNER if value is WRAPPED else value


def expect_attribute_write(c, h, name, value):
    if name == "log":
        h.log = None if value is None else value
        return Outcome("none")
    path = join(h.prefix, name)
    if not c.allowed(path, True):
        return denied(path, True)
    target = h.target
    if not isinstance(target, (Node, Row)):
        return Outcome("err", error=AttributeError)  # plain dicts and lists take no attributes
    out = Outcome("none")
    out.change = (True, name, value)
    if isinstance(target, Node):
        out.fetches = {(id(target), name)}  # the old value
        out.stores = {(id(target), name)}
    return out


def expect_item_write(c, h, key, value):
    if isinstance(key, str):
        return expect_attribute_write(c, h, key, value)
    path = join(h.prefix, key)
    if not c.allowed(path, True):
        return denied(path, True)
    target = h.target
    if isinstance(target, dict) or (isinstance(target, list) and -len(target) <= key < len(target)):
        out = Outcome("none")
        out.change = (False, key, value)
        if isinstance(target, Row):
            out.stores = {(id(target), key)}
        return out
    return Outcome("err", error=IndexError if isinstance(target, list) else TypeError)


def after_change(snapshot, change):
    """The snapshot of a target after the write the model expects."""
    as_attribute, key, value = change
    after = copy.deepcopy(snapshot)
    if as_attribute:
        after[1 if after[0] == "node" else 2][key] = snap(stored(value))
    else:
        after[1][key] = snap(stored(value))
    return after


def container_content(result, like):
    """Reads a frozen or tracked container back through its own item access."""
    if isinstance(like, dict):
        return {k: result[k] for k in like}
    return [result[i] for i in range(len(like))]


def check_wrapped(c, expected, result):
    value, path = expected.value, expected.path
    if c.tx is None or value is None or isinstance(value, (int, str)) or callable(value):
        assert result is value
        return None
    if type(value) in (list, dict):
        kind = "Tracked" if c.allowed(path, True) else "Frozen"
        assert type(result).__name__ == kind + type(value).__name__.capitalize()
        assert snap(container_content(result, value)) == snap(value)
        return None
    assert type(result) is ContextGuard
    shadow = result._target
    assert shadow is not value and snap(shadow) == snap(value)
    return Handle(result, path, shadow)


# ---- worlds and contracts ------------------------------------------------------------------

LEAVES = st.one_of(st.integers(-2, 9), st.sampled_from(["x", "y"]), st.none())
SHAPES = st.recursive(
    LEAVES,
    lambda kids: st.one_of(
        st.dictionaries(st.sampled_from(NAMES), kids, max_size=3).map(lambda d: ("node", d)),
        st.dictionaries(st.sampled_from(KEYS), kids, max_size=3).map(lambda d: ("dict", d)),
        st.dictionaries(st.sampled_from(KEYS), kids, max_size=3).map(lambda d: ("row", d)),
        st.lists(kids, max_size=3).map(lambda items: ("list", items))),
    max_leaves=10)
ROOTS = st.one_of(
    st.dictionaries(st.sampled_from(NAMES), SHAPES, max_size=4).map(lambda d: ("node", d)),
    st.dictionaries(st.sampled_from(KEYS), SHAPES, max_size=3).map(lambda d: ("dict", d)),
    st.dictionaries(st.sampled_from(KEYS), SHAPES, max_size=3).map(lambda d: ("row", d)),
    st.lists(SHAPES, max_size=3).map(lambda items: ("list", items)))


def build(shape, paths, prefix="", segments=()):
    """Makes the objects of a shape and lists (path, keys) of every value in it."""
    if not isinstance(shape, tuple):
        return shape
    kind, content = shape
    made = [] if kind == "list" else {"node": Node, "dict": dict, "row": Row}[kind]()
    for key, sub in (enumerate(content) if kind == "list" else content.items()):
        path = join(prefix, key)
        paths.append((path, segments + (key,)))
        value = build(sub, paths, path, segments + (key,))
        if kind == "list":
            made.append(value)
        elif kind == "node":
            object.__setattr__(made, key, value)
        else:
            dict.__setitem__(made, key, value)
    return made


SEGMENTS = st.lists(st.sampled_from(KEYS), min_size=1, max_size=3)


def render(segments):
    path = ""
    for key in segments:
        path = join(path, key)
    return path


# A declared name is either made of segments or picks a path of the world by number.
NAME_LISTS = st.lists(st.one_of(SEGMENTS.map(render), st.integers(0, 30)), max_size=4)


def contract_names(drawn, paths):
    return [n if isinstance(n, str) else paths[n % len(paths)][0]
            for n in drawn if isinstance(n, str) or paths]


VALUES = st.one_of(st.integers(0, 9), st.none(), st.just(WRAPPED))
OPS = st.lists(st.one_of(
    st.tuples(st.just("getattr"), st.sampled_from(NAMES)),
    st.tuples(st.just("getitem"), st.sampled_from(KEYS)),
    st.tuples(st.just("setattr"), st.sampled_from(NAMES), VALUES),
    st.tuples(st.just("setitem"), st.sampled_from(KEYS), VALUES),
    # The i-th key the current target really has: reaches the values of deep worlds far more
    # often than names drawn blindly.
    st.tuples(st.just("existing"), st.integers(0, 9), st.booleans(), VALUES),
    st.just(("root",))), max_size=8)


def resolve(op, target):
    """Turns an "existing" op into a read or write of one of the target's own keys."""
    if op[0] != "existing":
        return op
    if isinstance(target, dict):
        keys = list(target)
    elif isinstance(target, list):
        keys = list(range(len(target)))
    else:
        keys = list(vars(target))
    if not keys:
        return ("root",)
    key = keys[op[1] % len(keys)]
    form = "attr" if isinstance(target, Node) else "item"
    return (("set" if op[2] else "get") + form, key) + ((op[3],) if op[2] else ())

SETTINGS = dict(deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much])


def make_guard(root, inputs, outputs, admin, strict, with_tx):
    paths = []
    world = build(root, paths)
    inputs, outputs = contract_names(inputs, paths), contract_names(outputs, paths)
    tx = Transaction() if with_tx else None
    c = Contract(inputs, outputs, admin, strict, tx)
    control = [n for n in inputs if n.startswith(("sig_", "cmd_", "meta_"))]
    try:
        g = ContextGuard(world, iter(inputs), tuple(outputs), tx=tx, is_admin=admin,
                         strict_mode=strict)
    except PermissionError as e:
        zone = "Meta" if control[0].startswith("meta_") else "Signal"
        assert strict and str(e) == (f"SECURITY VIOLATION: Input '{control[0]}' belongs to "
                                     f"restricted Control Zone {zone}.")
        return None
    assert not (strict and control)
    return c, Handle(g, "", world), world


def perform(h, op):
    g = h.guard
    if op[0] == "getattr":
        return getattr(g, op[1])
    if op[0] == "getitem":
        return g[op[1]]
    if op[0] == "setattr":
        setattr(g, op[1], op[2])
    else:
        g[op[1]] = op[2]
    return None


@settings(max_examples=CHAINS, **SETTINGS)
@given(root=ROOTS, inputs=NAME_LISTS, outputs=NAME_LISTS, admin=st.booleans(),
       strict=st.booleans(), with_tx=st.booleans(), ops=OPS)
def test_every_access_ends_as_the_model_says(root, inputs, outputs, admin, strict, with_tx, ops):
    made = make_guard(root, inputs, outputs, admin, strict, with_tx)
    if made is None:
        return
    c, root, world = made
    h = root
    for op in ops:
        op = resolve(op, h.target)
        if op[0] == "root":
            h = root
            continue
        if op[0] == "getattr":
            expected = expect_attribute_read(c, h, op[1])
        elif op[0] == "getitem":
            expected = expect_item_read(c, h, op[1])
        elif op[0] == "setattr":
            expected = expect_attribute_write(c, h, op[1], op[2])
        else:
            expected = expect_item_write(c, h, op[1], op[2])
        world_before, target_before = snap(world), snap(h.target)
        FETCHES.clear()
        STORES.clear()
        try:
            result = perform(h, op)
            error = None
        except Exception as e:  # noqa: BLE001 - compared with the model below
            error = e
        fetches, stores = set(FETCHES), set(STORES)
        if expected.kind == "err":
            assert type(error) is expected.error, (op, error)
            if expected.message is not None:
                assert str(error) == expected.message
        else:
            assert error is None, (op, error)
        # The target is read and written exactly where the model allows it, and nowhere else.
        assert fetches <= expected.fetches and stores <= expected.stores, (op, fetches, stores)
        if error is None:
            assert fetches == expected.fetches and stores == expected.stores, op
        changed = error is None and expected.change is not None
        assert snap(h.target) == (after_change(target_before, expected.change) if changed
                                  else target_before), op
        if h is not root:
            assert snap(world) == world_before  # nested guards only ever write shadow copies
        if error is None and expected.kind == "same":
            assert result is expected.value
        elif error is None and expected.kind == "wrapped":
            nested = check_wrapped(c, expected, result)
            if nested is not None:
                h = nested


# ---- every declared path is reachable ------------------------------------------------------

def step(current, key, guarded):
    """One hop along a path: through the guard's item access (which turns a failed string-key
    lookup into an attribute read), or plainly through what the guard handed out."""
    if guarded or not isinstance(current, (Node, Row)) or not isinstance(key, str):
        return current[key]
    return vars(current)[key] if key in vars(current) else current[key]


def materialize(result, like):
    if type(result) is ContextGuard:
        return result._target
    if type(result).__name__.startswith(("Frozen", "Tracked")):
        return container_content(result, like)
    return result


def value_at(world, segments):
    value = world
    for key in segments:
        value = step(value, key, False)
    return value


@settings(max_examples=WALKS, **SETTINGS)
@given(root=ROOTS, picks=st.lists(st.integers(0, 30), min_size=1, max_size=4),
       split=st.integers(0, 4), with_tx=st.booleans(), admin=st.booleans())
def test_every_declared_path_is_allowed(root, picks, split, with_tx, admin):
    paths = []
    world = build(root, paths)
    if not paths:
        return
    declared = [paths[i % len(paths)] for i in picks]
    inputs = [p for p, _ in declared[:split]]
    outputs = [p for p, _ in declared[split:]]
    tx = Transaction() if with_tx else None
    c = Contract(inputs, outputs, admin, False, tx)

    def at(segments):
        return ContextGuard(value_at(world, segments), inputs, outputs,
                            path_prefix=render(segments) if segments else None, tx=tx,
                            is_admin=admin)

    for path, segments in declared:
        # The declared path itself, from a guard placed at its parent: always allowed.
        expected = value_at(world, segments)
        result = step(at(segments[:-1]), segments[-1], True)
        assert snap(materialize(result, expected)) == snap(expected), path
        # From the root, each hop is allowed exactly when the rules allow its path: ancestors
        # joined by "." are, containers of a declared element are not.
        current, prefix = at(()), ""
        for key in segments:
            if type(current) is not ContextGuard:
                current = step(current, key, False)
                continue
            prefix = join(prefix, key)
            private = key.startswith("_") if isinstance(key, str) else False
            unchecked = private and lookup(current._target, key)[0] == "attr"
            if not (unchecked or c.allowed(prefix, False)):
                with pytest.raises(PermissionError, match=re.escape(f"Illegal Read: '{prefix}'")):
                    step(current, key, True)
                break
            current = step(current, key, True)
        else:
            assert snap(materialize(current, expected)) == snap(expected), path
    # Every declared output can be written; deepest first, so no write replaces the parent of
    # one still to come.
    for path, segments in sorted(declared[split:], key=lambda d: -len(d[1])):
        parent, key, g = value_at(world, segments[:-1]), segments[-1], at(segments[:-1])
        refusal = own_write_refusal(parent, key)
        if refusal is not None:
            with pytest.raises(refusal):
                g[key] = 7
            continue
        g[key] = 7
        if key == "log":
            assert g.log == 7, path
        elif isinstance(key, str):
            assert own_attribute(parent, key) == (True, 7), path
        else:
            assert parent[key] == 7, path


def own_write_refusal(target, key):
    """The error the target itself raises for a permitted write (a string key is an attribute
    write), or None when the write lands."""
    if key == "log":
        return None
    if isinstance(key, str):
        return None if isinstance(target, (Node, Row)) else AttributeError
    if isinstance(target, list):
        return None if -len(target) <= key < len(target) else IndexError
    return None if isinstance(target, dict) else TypeError
