"""Random programs: 2 to 4 threads make random calls on a small set of shared objects (two
engines, two audit systems, two guards, a workflow engine, a hub), and the callbacks those calls
run (schemas, workers, executors, state observers, warning hooks, __index__, __str__,
__deepcopy__, property setters) re-enter random objects in turn.

Usage: random_programs.py SEED [ROUNDS]. Prints "ok ..." when the run ended with only the
module's documented refusals and every engine holds every commit that reported success.
The parent bounds the time: a wait that never ends is a failure there."""

import random
import sys
import threading
import warnings

import morva_core as mc

SEED = int(sys.argv[1]) if len(sys.argv) > 1 else 0
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 40
MAX_DEPTH = 2

# Refusals a caller may meet when its callbacks re-enter objects that are busy.
REFUSALS = (
    "Already borrowed",
    "Already mutably borrowed",
    "ContextGuard cannot use its Transaction",
    "CAS Version Mismatch",
)

engines = [mc.MorvaEngine(), mc.MorvaEngine()]
recipe = mc.AuditRecipe(mc.AuditLevel.Block, threshold_max=10**9, threshold_min=1)
audits = [mc.AuditSystem(recipe, capacity=16), mc.AuditSystem(recipe, capacity=16)]
hub = mc.SignalHub()
workflow = mc.WorkflowEngine("steps:\n  - process: a\n  - process: b\n")

tls = threading.local()
lock = threading.Lock()
required = [set(), set()]  # keys of commits reported successful (not nested in one of their own)
delivered = [[], []]
unexpected = []
counter = [0]


def next_key(tid):
    with lock:
        counter[0] += 1
        return f"k{tid}_{counter[0]}"


def rng():
    return tls.rng


def maybe_nested():
    depth = getattr(tls, "depth", 0)
    if depth >= MAX_DEPTH or rng().random() < 0.5:
        return
    tls.depth = depth + 1
    try:
        run_action(rng().choice(ACTIONS), nested=True)
    finally:
        tls.depth = depth


class Index:
    """An __index__ that re-enters before it answers."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        maybe_nested()
        return self.value


class Text:
    """A signal value whose __str__ re-enters."""

    def __str__(self):
        maybe_nested()
        return "text"


class Copied:
    """A value whose deep copy (a guard's shadow read) re-enters."""

    def __deepcopy__(self, memo):
        maybe_nested()
        return Copied()


class Target:
    """A guarded object whose property setter re-enters."""

    def __init__(self):
        self.a = 1
        self.box = [Copied()]
        self._b = 0

    @property
    def b(self):
        return self._b

    @b.setter
    def b(self, value):
        maybe_nested()
        self._b = value


targets = [Target(), Target()]
guards = [mc.ContextGuard(t, ["a", "box"], ["b"]) for t in targets]


class Schema:
    @staticmethod
    def model_validate(data):
        maybe_nested()


def make_worker(e):
    def worker(msg):
        delivered[e].append(msg.payload)
        maybe_nested()
    return worker


for i, engine in enumerate(engines):
    engine.set_schema(Schema)
    engine.attach_worker(make_worker(i))
workflow.add_state_observer(lambda old, new: maybe_nested())
warnings.simplefilter("always", mc.AuditWarning)
warnings.showwarning = lambda *args, **kwargs: maybe_nested()


def committing(e, fn):
    """Run one commit on engine e and remember its key when it reports success. A commit nested
    inside another commit of the same engine on this thread may be replaced by the outer one, so
    only the outermost counts."""
    active = tls.__dict__.setdefault("active", [])
    nested = e in active
    key = next_key(tls.tid)
    active.append(e)
    try:
        fn(key)
    finally:
        active.pop()
    if not nested:
        with lock:
            required[e].add(key)


def act_cas(e):
    def go(key):
        version = engines[e].state.version
        expected = Index(version) if rng().random() < 0.5 else version
        engines[e].compare_and_swap(expected, data={key: 1}, signal={"s": Text()})
    committing(e, go)


def act_transaction(e):
    def go(key):
        with engines[e].transaction(Index(60000)) as tx:
            tx.update(data={key: 1}, signal={"s": Text()})
            tx.outbox.add(mc.OutboxMsg("t", key))
    committing(e, go)


def act_guarded_transaction(e):
    def go(key):
        with engines[e].transaction(60000) as tx:
            g = mc.ContextGuard(targets[e], ["a", "box"], ["b"], tx=tx)
            g.box[0]
            tx.update(data={key: g.a})
    committing(e, go)


ACTIONS = [
    lambda: act_cas(rng().randrange(2)),
    lambda: act_transaction(rng().randrange(2)),
    lambda: act_guarded_transaction(rng().randrange(2)),
    lambda: engines[rng().randrange(2)].process_outbox(),
    lambda: engines[rng().randrange(2)].state.update(signal={"s": Text()}),
    lambda: engines[rng().randrange(2)].state.data.to_dict(),
    lambda: audits[rng().randrange(2)].log_fail("key"),
    lambda: audits[rng().randrange(2)].log_success("key"),
    lambda: audits[rng().randrange(2)].get_logs(),
    lambda: guards[rng().randrange(2)].a,
    lambda: setattr(guards[rng().randrange(2)], "b", rng().random()),
    lambda: workflow.execute({}, lambda name: maybe_nested()),
    lambda: workflow.state_history,
    lambda: hub.publish("m"),
]


def run_action(action, nested=False):
    try:
        action()
    except (RuntimeError, mc.ContextError) as exc:
        if not any(str(exc).startswith(r) for r in REFUSALS):
            unexpected.append(repr(exc))
    except BaseException as exc:  # anything else is a fault of the module
        unexpected.append(repr(exc))


def thread_main(tid, seed):
    tls.tid = tid
    tls.rng = random.Random(seed)
    for _ in range(ROUNDS):
        run_action(rng().choice(ACTIONS))


master = random.Random(SEED)
n_threads = master.randint(2, 4)
threads = [threading.Thread(target=thread_main, args=(t, master.getrandbits(32)))
           for t in range(n_threads)]
for th in threads:
    th.start()
for th in threads:
    th.join()

tls.tid, tls.rng = "main", random.Random(SEED)
for e, engine in enumerate(engines):
    engine.attach_worker(delivered[e].append)
    engine.process_outbox()
    held = engine.state.data.to_dict()
    missing = required[e] - held.keys()
    assert not missing, f"engine {e} lost commits reported successful: {sorted(missing)}"
    assert len(delivered[e]) == len(set(delivered[e])), f"engine {e} delivered a message twice"
assert not unexpected, unexpected
print("ok", n_threads, [len(r) for r in required])
