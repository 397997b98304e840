"""Native core of the Morva process framework: versioned state, transactions, guards, audit, workflows and signals."""

# Type stubs for the compiled module, installed beside it and as the `morva_core-stubs` package.
#
# Layout: a few checking-only aliases and one protocol, the 25 exported names in the module's
# registration order, then the four classes that Python only meets as returned values
# (underscore-named here because they are not module attributes). Every class, method and
# property has a docstring: editors show them, and the documentation's API reference is built
# from them. Where the runtime carries a docstring, the stub's begins with that text verbatim;
# a paragraph after it may add what a caller needs to know.
#
# Conventions used throughout:
# - Parameter names, order and defaults are the runtime's text signatures; every parameter can
#   be passed by keyword, so none is marked positional-only (slots excepted).
# - "unsigned integer" parameters take anything with __index__ (SupportsIndex); negative values
#   raise OverflowError at run time, which no type can express.
# - Slots that always raise (writing through a read-only view, deleting through a guard) are
#   declared with NoReturn: they exist at run time, and a checker then treats the code after
#   them as unreachable.
# - FSMState and AuditLevel define only == and != for callers: their ordering slots answer
#   NotImplemented, so the ordering operators are deliberately left undeclared (the checker
#   rejects `a < b`, which raises TypeError at run time).

from collections.abc import Callable, Coroutine, Hashable, Iterable, Iterator
from types import TracebackType
from typing import (
    Any,
    ClassVar,
    NoReturn,
    Protocol,
    SupportsIndex,
    TypeVar,
    final,
    overload,
    type_check_only,
)

from _typeshed import SupportsKeysAndGetItem
from typing_extensions import Self, TypeAlias, disjoint_base

__all__ = [
    "MorvaEngine",
    "Transaction",
    "OutboxCollector",
    "WriteTimeoutError",
    "WorkflowEngine",
    "FSMState",
    "SignalHub",
    "SignalReceiver",
    "State",
    "ProcessContext",
    "FrozenDict",
    "OutboxMsg",
    "MetaLogEntry",
    "ContextError",
    "ContextGuard",
    "ConfigLoader",
    "SchemaViolationError",
    "AuditSystem",
    "AuditRecipe",
    "AuditLevel",
    "AuditLogEntry",
    "AuditBlockError",
    "AuditAbortError",
    "AuditStopError",
    "AuditWarning",
]

_T = TypeVar("_T")

# What State.update (and so compare_and_swap) merges into a zone: a dict with str keys.
_Zone: TypeAlias = dict[str, Any]
# What State.update broadcasts: one dict, or a list of dicts, each item sent as "key:value".
_Signals: TypeAlias = dict[str, Any] | list[dict[str, Any]]
# What Transaction.update merges into its staged zones (dict.update semantics).
_ZoneChanges: TypeAlias = SupportsKeysAndGetItem[str, Any] | Iterable[tuple[str, Any]]
# What a ContextGuard takes as an item key (str and int subclasses and __index__ objects count as
# the plain value; float, complex, bytes, tuple and slice must be exactly those types, at most
# 32 tuples or slices deep): it raises TypeError for any other key.
_GuardKey: TypeAlias = (
    str | SupportsIndex | float | complex | bytes | None | slice | tuple[_GuardKey, ...]
)

@type_check_only
class _Schema(Protocol):
    """An engine schema: each commit calls `model_validate(new_data_dict)`; a pydantic model class fits."""

    def model_validate(self, obj: dict[str, Any], /) -> object:
        """Raise any Exception to reject `obj` (the new data zone as a dict); the result is unused."""

@disjoint_base
class MorvaEngine:
    """Holder of the current State: version-checked swaps, transactions, outbox, processes.

    It replaces its state by compare_and_swap, commit_state and transaction commits, delivers
    committed messages to a worker, and launches processes.

    Transaction commits, compare_and_swap, commit_state and execute_process_async on one engine
    are serialised across threads; another thread's call waits (GIL released) until the running
    one has finished. A subclass may override `state` and `commit_state`: a transaction commit
    looks both up by attribute, and calls `update` on whatever `state` gives."""

    def __new__(cls) -> Self:
        """A new engine whose state is a new State of version 1 with empty zones, with no schema,
        no worker and an empty message queue."""
    @property
    def state(self) -> State:
        """The current State (the same object on every read until a commit replaces it)."""
    def compare_and_swap(
        self,
        expected_version: SupportsIndex,
        data: _Zone | None = None,
        heavy: _Zone | None = None,
        signal: _Signals | None = None,
    ) -> None:
        """Install `state.update(data, heavy, signal)` if the current version is `expected_version`;
        raise ContextError otherwise.

        The version is compared before anything else: a mismatch raises ContextError "CAS
        Version Mismatch: Expected N, Found M" and broadcasts, logs and installs nothing. The
        engine's schema is not run, and no outbox message moves. A matching swap broadcasts the
        signals while it builds the new version."""
    def commit_state(self, state: State) -> None:
        """Install `state` as the current state, without a version check.

        Nothing is checked but the type (a State): no version, no schema. Nothing is broadcast
        and no message moves."""
    def transaction(self, write_timeout_ms: SupportsIndex = 5000) -> Transaction:
        """A new Transaction that commits into this engine.

        `write_timeout_ms` bounds the time from `__enter__` to `__exit__`; it is checked when the
        block ends and does not interrupt the block."""
    def set_schema(self, schema: _Schema) -> None:
        """Set the validator that every transaction commit calls as `schema.model_validate(new_data)`.

        Only transaction commits run it, after the new version was built (its signals already
        broadcast, its meta-log entry written) and before it is installed. A rejection raises
        SchemaViolationError and installs nothing. compare_and_swap and commit_state do not
        run it."""
    def set_strict_mode(self, strict: bool) -> None:
        """Store the strict-mode flag (kept for callers; the engine does not read it).

        It changes nothing: guards take their own `strict_mode` argument."""
    def set_audit_system(self, audit: object) -> None:
        """Keep a reference to an audit system (kept for callers; the engine does not call it).

        Failed commits are not reported to it: call `AuditSystem.log_fail` yourself."""
    def attach_worker(self, worker: Callable[[OutboxMsg], object]) -> None:
        """Set the callable that process_outbox hands each committed message to (replaces the last).

        Attach it before the first commit whose messages matter: process_outbox drops what it
        finds while no worker is attached."""
    def process_outbox(self) -> None:
        """Hand every queued message, oldest first, to the attached worker (dropped when none is attached).

        Delivery is at most once. The whole queue is taken first; when the worker raises, the
        rest of that batch is dropped and the error propagates. Messages committed while the
        worker runs wait for the next call. A worker that must not lose messages keeps its
        failures itself and never raises."""
    @overload
    def execute_process_async(
        self, name: str, func: Callable[[ProcessContext], Coroutine[Any, Any, _T]]
    ) -> Coroutine[Any, Any, _T]:
        """Call the coroutine function `func` with a new ProcessContext over the current state
        and return its coroutine."""
    @overload
    def execute_process_async(
        self, name: str, func: Callable[[ProcessContext], _T]
    ) -> Coroutine[Any, Any, _T]:
        """Run `func` with a new ProcessContext over the current state.

        A coroutine function is called and its coroutine returned; any other callable runs in
        a worker thread when the returned awaitable (from asyncio.to_thread) is awaited.

        The context is built over the state current at the call. Nothing is committed: the
        process's result and the context's outbox are the caller's to use."""

@final
class Transaction:
    """Staged changes committed to an engine when a `with` block ends without an exception.

    The commit applies the staged values over the engine's state current at the commit, and
    compares no version: values computed from an older state replace what was committed since.
    Stage only values that do not depend on what was read, or check the version yourself."""

    def __new__(cls, engine: MorvaEngine | None = None, write_timeout_ms: SupportsIndex = 5000) -> Self:
        """A transaction on `engine` (a new MorvaEngine when None) with a write time-out in
        milliseconds."""
    def update(
        self,
        data: _ZoneChanges | None = None,
        heavy: _ZoneChanges | None = None,
        signal: dict[str, Any] | None = None,
    ) -> None:
        """Stage data and heavy entries (merged like dict.update) and one signal dict, applied at commit.

        The staging is kept after a commit: leaving the same transaction's `with` block again
        commits the same values again."""
    def __enter__(self) -> Self:
        """Start the write time-out clock."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_value: BaseException | None = None,
        _traceback: TracebackType | None = None,
    ) -> None:
        """Commit unless the block raised: update, validate, install, queue the messages.
        Never suppresses an exception.

        In order: the write time-out (WriteTimeoutError, nothing sent); the engine's
        `state.update` with the staged values, which broadcasts the signals and logs a meta
        entry; the schema (SchemaViolationError); `commit_state`; the messages to the engine's
        queue. A failure leaves the engine's state and the engine's queue as they were, and the
        messages in this transaction."""
    def get_shadow(self, val: _T, _path: str | None = None) -> _T:
        """Internal: Get shadow copy for CoW/Tracking

        A deep copy of `val` (copy.deepcopy); guards call it for the containers they hand out."""
    def log_internal(
        self,
        _path: str,
        _op: str,
        _new_val: object = None,
        _old_val: object = None,
        _obj_ref: object = None,
        _key: str | None = None,
    ) -> None:
        """Internal: Log operation for Audit

        Guards and tracked containers report each write here; it checks the argument types and
        records nothing."""
    @property
    def outbox(self) -> OutboxCollector:
        """A new collector over this transaction's messages, which move to the engine at commit."""
    @property
    def write_timeout_ms(self) -> int:
        """Longest allowed time from __enter__ to __exit__, in milliseconds."""

@final
class OutboxCollector:
    """Helper to collect outbox messages in Transaction

    Every read of `Transaction.outbox` gives a new collector over the same message list."""

    def add(self, msg: OutboxMsg) -> None:
        """Queue a copy of `msg` (same topic, same payload object) for the next commit."""

class WriteTimeoutError(TimeoutError):
    """A transaction's `with` block outlasted its write time-out."""

@disjoint_base
class WorkflowEngine:
    """Runs a YAML workflow through an executor, with an operation limit and a tracked FSMState."""

    def __new__(cls, yaml_config: str, max_ops: SupportsIndex = 10000, debug: bool = False) -> Self:
        """Parse a workflow (`steps:` list or `nodes:` graph) from YAML text; ValueError when it is
        not valid. A run visits at most `max_ops` steps; `debug` writes "[FLUX-DEBUG] " lines
        to standard error."""
    def add_state_observer(self, callback: Callable[[FSMState, FSMState], object]) -> None:
        """Add an observer callback for state changes.
        Callback signature: (old_state, new_state) -> None

        Errors raised by an observer are discarded."""
    def execute(self, ctx: dict[str, Any], executor: Callable[[str], object]) -> list[str]:
        """Execute the workflow using the provided executor callback.

        Args:
            ctx: PyDict - Context for condition evaluation (e.g., {"domain": {...}, "global": {...}})
            executor: Callable[[str], None] - Function to execute a process by name

        Returns:
            List of executed process names (for debugging/logging)

        Conditions are Python expressions evaluated against `ctx` with a few builtins: trusted
        text only. An executor's error propagates and leaves the state Failed; passing
        `max_ops` steps raises RuntimeError. A coroutine returned by the executor is run on
        `ctx["_loop"]` while this thread waits for it."""
    def execute_async(
        self, ctx: dict[str, Any], executor: Callable[[str], object]
    ) -> Coroutine[Any, Any, list[str]]:
        """Execute the workflow asynchronously.
        Wraps the synchronous execution in a thread (asyncio.to_thread) to avoid blocking the event loop.
        Handles FSM state transitions correctly for async steps by blocking the worker thread.

        Must be called while an event loop runs. Cancelling the awaitable does not stop the
        run: the worker thread finishes the workflow."""
    def simulate(self, ctx: dict[str, Any]) -> list[str]:
        """Legacy method for backward compatibility with existing tests.
        Returns the simulated execution path without actually executing.

        A `steps:` workflow lists its process steps in order, skipping loops and branches; a
        `nodes:` graph is walked with its conditions evaluated against `ctx`."""
    @property
    def fsm_state(self) -> FSMState:
        """Get current FSM state."""
    @property
    def state(self) -> FSMState:
        """Alias for fsm_state (for test compatibility)."""
    @property
    def state_history(self) -> list[FSMState]:
        """Get state transition history."""

@final
class FSMState:
    """FSM State for Workflow execution tracking.
    Supports: Pending -> Running -> WaitingIO -> Complete/Failed

    The members have no `name`: use `repr()` ("FSMState.Complete") or `int()` (3). They are
    equal to each other by value and to their int, so they are not hashable."""

    Pending: ClassVar[FSMState]
    Running: ClassVar[FSMState]
    WaitingIO: ClassVar[FSMState]
    Complete: ClassVar[FSMState]
    Failed: ClassVar[FSMState]
    # Equal by value (also to its int), so not hashable.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int:
        """The member's value."""
    def __eq__(self, other: object, /) -> bool:
        """Equal to a member or an int of the same value."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ==."""
    def __repr__(self) -> str:
        """"FSMState.Complete" and so on."""

@final
class SignalHub:
    """Publishing end of a broadcast channel of str messages (the newest 128 are retained).

    The channel stays open while any publishing end lives (every hub on it; for a state's
    channel, every state of the lineage too). Once the last is gone, receivers read what is
    left and then get StopAsyncIteration("Channel Closed")."""

    def __new__(cls) -> Self:
        """A hub on a new channel of its own."""
    def publish(self, msg: str) -> int:
        """Send `msg` to every current receiver and return how many there are; never blocks.

        With no receiver the message is dropped. A receiver more than 128 messages behind loses
        the oldest ones and is told so by its next recv."""
    def subscribe(self) -> SignalReceiver:
        """A receiver of every message published from now on.

        Messages published before it was made are not delivered to it."""

@final
class SignalReceiver:
    """One subscription to a SignalHub's channel (from SignalHub.subscribe)."""

    def recv(self) -> str:
        """Blocking receive. intended to be called via asyncio.to_thread()

        Waits with the GIL released for the next message and returns it. A receiver that fell
        more than 128 messages behind gets RuntimeError("Channel Lagged: missed N messages")
        once and then reads on from the oldest retained message; a closed channel raises
        StopAsyncIteration("Channel Closed") once everything was read. From asyncio, never
        give up a pending receive on a time-out (await the same one again) and stop the
        consumer with a sentinel message or by closing the channel: a thread left in recv
        keeps asyncio.run and the interpreter from ending."""

@final
class State:
    """Morva v3 Immutable State

    A State never changes: update() returns the next version, which shares every untouched
    entry with this one, the meta log and the signal channel. The stored values are the
    caller's own objects, not copies: a dict changed in place changes it for every version
    that holds it."""

    def __new__(
        cls,
        data: _Zone | None = None,
        heavy: _Zone | None = None,
        signal: object = None,
        version: SupportsIndex = 1,
        meta_capacity: SupportsIndex = 1000,
    ) -> Self:
        """A first version: its own meta log (`meta_capacity` entries) and signal channel.
        `signal` is accepted and ignored."""
    def __setattr__(self, name: str, value: object, /) -> NoReturn:
        """Always raises ContextError: a State never changes; update() makes the next version."""
    def __delattr__(self, name: str, /) -> NoReturn:
        """Always raises AttributeError "can't delete attribute"."""
    def update(
        self, data: _Zone | None = None, heavy: _Zone | None = None, signal: _Signals | None = None
    ) -> State:
        """The next version: these entries merged over this one's, signals broadcast, one meta log entry.

        Top-level keys replace their old values as a whole. Each item of `signal` (a dict, or a
        list of dicts) goes out at once as "key:value" text to the lineage's receivers. The
        meta entry is written first and stays even when the update then fails."""
    def log_meta(self, key: str, message: str) -> None:
        """Log a system event to the Meta Zone Ring Buffer."""
    def get_meta_logs(self) -> list[MetaLogEntry]:
        """Retrieve persistent meta logs (shared across state versions)."""
    def restrict_view(self) -> State:
        """The same version and meta log with a signal channel of its own."""
    @property
    def version(self) -> int:
        """The version number."""
    @property
    def data(self) -> FrozenDict:
        """A read-only view over a new dict of the data zone."""
    @property
    def heavy(self) -> FrozenDict:
        """A read-only view over a new dict of the heavy zone."""
    @property
    def domain(self) -> Any:
        """The data zone's "domain" entry: a FrozenDict over a stored dict, the stored value
        otherwise, None when absent."""
    # `global` is a keyword and cannot be spelled as a name in Python source. The first letter of
    # the name below is U+FF47 (fullwidth small g): the parser recognises keywords before it
    # brings identifiers to NFKC normal form, and NFKC maps that letter to a plain "g", so the
    # name this defines is exactly "global", as at run time. Read it with getattr(state, "global").
    @property
    def ｇlobal(self) -> Any:
        """The data zone's "global" entry, like domain."""
    @property
    def signal(self) -> SignalHub:
        """A new hub on the channel that this state's update() broadcasts on."""
    @property
    def meta(self) -> list[MetaLogEntry]:
        """The meta log, oldest first (as get_meta_logs())."""

@final
class ProcessContext:
    """Ephemeral Context passed to Process

    Attributes it does not have itself are read from its state (`ctx.version`, `ctx.data`)."""

    def __new__(cls, state: State, local: dict[str, Any]) -> Self:
        """A context over `state` with the caller's `local` dict and an empty message list."""
    @property
    def state(self) -> State:
        """The State this run reads."""
    @property
    def local(self) -> dict[str, Any]:
        """Process-local scratch data: the dict given to the constructor."""
    @property
    def outbox(self) -> _Outbox:
        """A new handle on this context's message list.

        Nothing in this module moves these messages to an engine."""
    @property
    def domain_ctx(self) -> Any:
        """The stored "domain" entry of the state's data (the plain object), or None."""
    @property
    def global_ctx(self) -> Any:
        """The stored "global" entry of the state's data (the plain object), or None."""
    def __getattribute__(self, name: str, /) -> Any:
        """Other attributes are read from the state (ctx.version, ctx.data, ...)."""

@final
class FrozenDict:
    """Read-only view over a dict; item and attribute reads return the stored objects.

    Attribute reads fall back to the keys (`view.name` is `view["name"]`).

    Not a Mapping: `in`, iteration and `len()` do not work; use keys(), items(), get() or
    to_dict(). The stored values come back as they are, so a nested dict is the stored,
    mutable one."""

    def __new__(cls, data: dict[Any, Any]) -> Self:
        """A view over `data` itself (not a copy)."""
    def __getitem__(self, key: Hashable, /) -> Any:
        """The stored value; KeyError "Key not found" when absent."""
    def __setitem__(self, key: Hashable, value: object, /) -> NoReturn:
        """Always raises ContextError: the view is read-only."""
    def __delitem__(self, key: Hashable, /) -> NoReturn:
        """Always raises NotImplementedError "can't delete item"."""
    def __getattribute__(self, name: str, /) -> Any:
        """The view's own attributes first, then the item of that key; KeyError "Key not
        found" (not AttributeError) when neither exists."""
    def __str__(self) -> str:
        """"FrozenDict({...})" with the dict's repr."""
    @overload
    def get(self, key: Hashable, default: None = None) -> Any | None:
        """The stored value for `key`, else `default`."""
    @overload
    def get(self, key: Hashable, default: _T) -> Any | _T:
        """The stored value for `key`, else `default`."""
    def to_dict(self) -> dict[Any, Any]:
        """The wrapped dict itself (not a copy)."""
    def keys(self) -> list[Any]:
        """A new list of the keys, in dict order."""
    def values(self) -> list[Any]:
        """A new list of the values, in dict order."""
    def items(self) -> list[tuple[Any, Any]]:
        """A new list of (key, value) pairs, in dict order."""
    def __copy__(self) -> FrozenDict:
        """Another view over the same dict."""
    def __deepcopy__(self, memo: dict[int, Any]) -> FrozenDict:
        """A new view over a deep copy of the dict."""

@final
class OutboxMsg:
    """One outbound message: a topic and a payload shared by reference."""

    def __new__(cls, topic: str, payload: object) -> Self:
        """A message; adding it to an outbox stores a copy with the same topic and payload."""
    @property
    def topic(self) -> str:
        """The topic text."""
    @property
    def payload(self) -> Any:
        """The payload object itself."""

@final
class MetaLogEntry:
    """One entry of a state lineage's meta log (from State.get_meta_logs)."""

    @property
    def timestamp(self) -> float:
        """Seconds since the Unix epoch."""
    @property
    def key(self) -> str:
        """What logged it: "state_update" for State.update, else the key given to log_meta."""
    @property
    def message(self) -> str:
        """The logged text."""
    def __repr__(self) -> str:
        """"MetaLogEntry(time=..., key=..., msg=...)"."""
    def __str__(self) -> str:
        """The same as repr()."""

class ContextError(Exception):
    """Writing to a State or a FrozenDict, or a compare-and-swap against a stale version."""

@disjoint_base
class ContextGuard:
    """Checked access to a process's context, by its declared inputs and outputs.

    Reads follow the declared inputs and outputs, writes the declared outputs. With a
    transaction, containers and objects read through the guard are shadow copies (frozen or
    tracked containers, nested guards) and writes are reported to the transaction's write log.
    Subclassable; instances carry a __dict__.

    Without a transaction, values come back as they are: a container read through the guard
    can be changed in place without a check. With one, writes into the copies stay in the
    copies, and writes to declared names reach the target but not the engine: stage them
    with Transaction.update. `in` and iteration go to the target unchecked."""

    def __new__(
        cls,
        target: object,
        inputs: Iterable[str],
        outputs: Iterable[str],
        path_prefix: str | None = None,
        tx: Transaction | None = None,
        is_admin: bool = False,
        strict_mode: bool = False,
    ) -> Self:
        """A guard over `target` with the declared dotted paths. `is_admin` lifts every check;
        `strict_mode` refuses inputs in the control zones (`sig_`, `cmd_`, `meta_`) and reads of
        names starting with "_" (PermissionError)."""
    @property
    def log(self) -> Any:
        """A free slot for the caller; None until set."""
    @log.setter
    def log(self, value: object) -> None: ...
    @property
    def _target(self) -> Any:
        """The guarded object itself."""
    def __getattribute__(self, name: str, /) -> Any:
        """A checked read of the target's attribute; PermissionError "Illegal Read: '<path>'"
        when it is not declared."""
    def __setattr__(self, name: str, value: object, /) -> None:
        """A checked write to the target's attribute; PermissionError "Illegal Write:
        '<path>'" when it is not a declared output."""
    def __delattr__(self, name: str, /) -> NoReturn:
        """Always raises AttributeError "can't delete attribute"."""
    def __getitem__(self, key: _GuardKey, /) -> Any:
        """A checked read of the target's item (a str key the target lacks reads the
        attribute of that name)."""
    def __setitem__(self, key: _GuardKey, value: object, /) -> None:
        """A checked write of the target's item."""
    def __delitem__(self, key: object, /) -> NoReturn:
        """Always raises NotImplementedError "can't delete item"."""
    def __contains__(self, key: object, /) -> bool:
        """`key in target`, unchecked."""
    def __iter__(self) -> Iterator[Any]:
        """`iter(target)`, unchecked: the values come back unwrapped."""

@final
class ConfigLoader:
    """Strict validation of YAML schema texts.

    A schema text declares `context`, its `global` and `domain` zones, and the type / required
    / default of each field."""

    @staticmethod
    def load_from_string(content: str) -> None:
        """Return None for a valid schema text; raise SchemaViolationError "Config Error: ..." otherwise."""

class SchemaViolationError(Exception):
    """A schema text that does not validate, or new data that the engine's schema rejects at commit."""

@disjoint_base
class AuditSystem:
    """Counts failures per key, escalates them by its recipe's level and keeps a ring-buffer log."""

    def __new__(cls, recipe: AuditRecipe | None = None, capacity: SupportsIndex = 1000) -> Self:
        """A system with a copy of `recipe` (Block, threshold_max 3, when None) and a log of
        `capacity` entries."""
    def log_fail(self, key: str) -> None:
        """Log a failure event. Behavior depends on AuditLevel.

        The count rises and a "Fail #N" entry is written first, then: Stop raises
        AuditStopError and Abort AuditAbortError on every failure; Block raises AuditBlockError
        once the count passes threshold_max, and below that issues AuditWarning from
        threshold_min on (when threshold_min is at least 1); Count only counts."""
    def log_success(self, key: str) -> None:
        """Log a success event. Resets counter if configured."""
    def get_count(self, key: str) -> int:
        """Get current count for a key."""
    def get_count_all(self) -> int:
        """Get total count across all keys.

        The number of log entries ever written (failures, successes, warnings and log() calls),
        including those the ring has since overwritten."""
    def log(self, key: str, message: str) -> None:
        """Log a general event to ring buffer."""
    def get_logs(self) -> list[AuditLogEntry]:
        """Get all logs from ring buffer."""
    @property
    def ring_buffer_len(self) -> int:
        """Get number of logs in buffer."""

@final
class AuditRecipe:
    """A level with its thresholds and reset rule; an AuditSystem copies it when created."""

    def __new__(
        cls,
        level: AuditLevel | None = None,
        threshold_max: SupportsIndex = 3,
        threshold_min: SupportsIndex = 0,
        reset_on_success: bool = True,
    ) -> Self:
        """A recipe; `level` None means Block."""
    @property
    def level(self) -> AuditLevel:
        """The escalation level (None assigns Block)."""
    @level.setter
    def level(self, value: AuditLevel | None) -> None: ...
    @property
    def threshold_max(self) -> int:
        """Under Block: the count above which log_fail raises AuditBlockError."""
    @threshold_max.setter
    def threshold_max(self, value: SupportsIndex) -> None: ...
    @property
    def threshold_min(self) -> int:
        """Under Block: the count from which log_fail issues AuditWarning (0: never)."""
    @threshold_min.setter
    def threshold_min(self, value: SupportsIndex) -> None: ...
    @property
    def reset_on_success(self) -> bool:
        """Whether log_success sets the key's count back to 0."""
    @reset_on_success.setter
    def reset_on_success(self, value: bool) -> None: ...

@final
class AuditLevel:
    """Audit Level
    Escalation policies of the audit system (see the audit design note):
    - S (Stop): Immediate halt on first failure
    - A (Abort): Cancel current operation, allow retry
    - B (Block): Block after threshold exceeded
    - C (Count): Count only, never block"""

    Stop: ClassVar[AuditLevel]
    Abort: ClassVar[AuditLevel]
    Block: ClassVar[AuditLevel]
    Count: ClassVar[AuditLevel]
    # Equal by value (also to its int), so not hashable.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int:
        """The member's value."""
    def __eq__(self, other: object, /) -> bool:
        """Equal to a member or an int of the same value."""
    def __ne__(self, other: object, /) -> bool:
        """The negation of ==."""
    def __repr__(self) -> str:
        """"AuditLevel.Block" and so on."""

@final
class AuditLogEntry:
    """One entry of an AuditSystem's log (from AuditSystem.get_logs)."""

    @property
    def timestamp(self) -> float:
        """Seconds since the Unix epoch."""
    @property
    def key(self) -> str:
        """The key given to log_fail, log_success or log."""
    @property
    def message(self) -> str:
        """"Fail #N", "Success", a warning text or the message given to log."""
    def __str__(self) -> str:
        """"[timestamp] key: message"."""

class AuditBlockError(RuntimeError):
    """A key failed more often than its Block recipe's threshold_max."""

class AuditAbortError(RuntimeError):
    """A failure under an Abort recipe."""

class AuditStopError(RuntimeError):
    """A failure under a Stop recipe."""

class AuditWarning(UserWarning):
    """A Block recipe's failure count reached threshold_min (issued as a warning, not raised)."""

# Classes met only as returned values; type(value) reaches their constructors.

@final
class _Outbox:
    """Handle on a process's message list (from ProcessContext.outbox); handles of one context share it."""

    def __new__(cls) -> Self:
        """A handle on a new, empty message list."""
    def add(self, msg: OutboxMsg) -> None:
        """Append a copy of `msg` (same topic, same payload object)."""
    @property
    def messages(self) -> list[OutboxMsg]:
        """A snapshot of the messages, oldest first."""

@final
class _FrozenList:
    """Immutable List Wrapper

    A read-only view over a list (a guard hands one out for a read-only list path under a
    transaction). The items come back as they are stored."""

    def __new__(cls, data: list[Any]) -> Self:
        """A view over `data` itself (not a copy)."""
    def __len__(self) -> int:
        """The list's length."""
    def __getitem__(self, index: SupportsIndex, /) -> Any:
        """The stored item at a position counted from 0; a negative index is out of range
        (IndexError) like any other."""
    def __repr__(self) -> str:
        """"FrozenList([...])" with the list's repr."""
    def __str__(self) -> str:
        """The same as repr()."""
    def __copy__(self) -> _FrozenList:
        """Another view over the same list."""
    def __deepcopy__(self, memo: dict[int, Any]) -> _FrozenList:
        """A new view over a deep copy of the list."""

@final
class _TrackedDict:
    """Transaction-Tracked Dictionary

    A guard hands one out for a writable dict path under a transaction, over the transaction's
    shadow copy: its writes change that copy only. It offers item access alone (no iteration,
    no len)."""

    def __new__(cls, data: dict[Any, Any], tx: Transaction, path: str) -> Self:
        """A proxy over `data` itself that reports writes to `tx` under `path`."""
    def __getitem__(self, key: Hashable, /) -> Any:
        """The stored value; KeyError "Key not found" when absent."""
    def __setitem__(self, key: Hashable, value: object, /) -> None:
        """Report the write to the transaction, then store it."""
    def __delitem__(self, key: Hashable, /) -> None:
        """Delete the item (not reported)."""

@final
class _TrackedList:
    """Transaction-Tracked List

    The list counterpart of the tracked dictionary: writes change the transaction's shadow copy
    only. It offers item access and append alone (no iteration, no len)."""

    def __new__(cls, data: list[Any], tx: Transaction, path: str) -> Self:
        """A proxy over `data` itself that reports writes to `tx` under `path`."""
    def __getitem__(self, index: SupportsIndex, /) -> Any:
        """The stored item."""
    def __setitem__(self, index: SupportsIndex, value: object, /) -> None:
        """Report the write to the transaction, then store it."""
    def __delitem__(self, index: SupportsIndex, /) -> NoReturn:
        """Always raises NotImplementedError."""
    def append(self, value: object) -> None:
        """Report the append to the transaction, then append."""
