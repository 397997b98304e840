"""Native core of the Morva process framework: versioned state, transactions, guards, audit, workflows and signals."""

# Type stubs for the compiled module, installed beside it and as the `morva_core-stubs` package.
#
# Layout: a few checking-only aliases and one protocol, the 25 exported names in the module's
# registration order, then the four classes that Python only meets as returned values
# (underscore-named here because they are not module attributes). Docstrings that the runtime
# carries are repeated verbatim; the others are short summaries for editors.
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

    def model_validate(self, obj: dict[str, Any], /) -> object: ...

@disjoint_base
class MorvaEngine:
    """Holder of the current State: version-checked swap, commit, transactions, outbox delivery,
    process launch."""

    def __new__(cls) -> Self: ...
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
        raise ContextError otherwise."""
    def commit_state(self, state: State) -> None:
        """Install `state` as the current state, without a version check."""
    def transaction(self, write_timeout_ms: SupportsIndex = 5000) -> Transaction:
        """A new Transaction that commits into this engine."""
    def set_schema(self, schema: _Schema) -> None:
        """Set the validator that every transaction commit calls as `schema.model_validate(new_data)`."""
    def set_strict_mode(self, strict: bool) -> None:
        """Store the strict-mode flag (kept for callers; the engine does not read it)."""
    def set_audit_system(self, audit: object) -> None:
        """Keep a reference to an audit system (kept for callers; the engine does not call it)."""
    def attach_worker(self, worker: Callable[[OutboxMsg], object]) -> None:
        """Set the callable that process_outbox hands each committed message to (replaces the last)."""
    def process_outbox(self) -> None:
        """Hand every queued message, oldest first, to the attached worker (dropped when none is attached)."""
    @overload
    def execute_process_async(
        self, name: str, func: Callable[[ProcessContext], Coroutine[Any, Any, _T]]
    ) -> Coroutine[Any, Any, _T]:
        """Run `func` with a new ProcessContext over the current state.

        A coroutine function is called and its coroutine returned; any other callable runs in
        a worker thread when the returned awaitable (from asyncio.to_thread) is awaited."""
    @overload
    def execute_process_async(
        self, name: str, func: Callable[[ProcessContext], _T]
    ) -> Coroutine[Any, Any, _T]: ...

@final
class Transaction:
    """Staged changes committed to an engine when a `with` block ends without an exception."""

    def __new__(cls, engine: MorvaEngine | None = None, write_timeout_ms: SupportsIndex = 5000) -> Self: ...
    def update(
        self,
        data: _ZoneChanges | None = None,
        heavy: _ZoneChanges | None = None,
        signal: dict[str, Any] | None = None,
    ) -> None:
        """Stage data and heavy entries (merged like dict.update) and one signal dict, applied at commit."""
    def __enter__(self) -> Self:
        """Start the write time-out clock."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_value: BaseException | None = None,
        _traceback: TracebackType | None = None,
    ) -> None:
        """Commit unless the block raised: update, validate, install, queue the messages.
        Never suppresses an exception."""
    def get_shadow(self, val: _T, _path: str | None = None) -> _T:
        """Internal: Get shadow copy for CoW/Tracking"""
    def log_internal(
        self,
        _path: str,
        _op: str,
        _new_val: object = None,
        _old_val: object = None,
        _obj_ref: object = None,
        _key: str | None = None,
    ) -> None:
        """Internal: Log operation for Audit"""
    @property
    def outbox(self) -> OutboxCollector:
        """A new collector over this transaction's messages, which move to the engine at commit."""
    @property
    def write_timeout_ms(self) -> int:
        """Longest allowed time from __enter__ to __exit__, in milliseconds."""

@final
class OutboxCollector:
    """Helper to collect outbox messages in Transaction"""

    def add(self, msg: OutboxMsg) -> None:
        """Queue a copy of `msg` (same topic, same payload object) for the next commit."""

class WriteTimeoutError(TimeoutError):
    """A transaction's `with` block outlasted its write time-out."""

@disjoint_base
class WorkflowEngine:
    """Runs a YAML workflow through an executor, with an operation limit and a tracked FSMState."""

    def __new__(cls, yaml_config: str, max_ops: SupportsIndex = 10000, debug: bool = False) -> Self: ...
    def add_state_observer(self, callback: Callable[[FSMState, FSMState], object]) -> None:
        """Add an observer callback for state changes.
        Callback signature: (old_state, new_state) -> None"""
    def execute(self, ctx: dict[str, Any], executor: Callable[[str], object]) -> list[str]:
        """Execute the workflow using the provided executor callback.

        Args:
            ctx: PyDict - Context for condition evaluation (e.g., {"domain": {...}, "global": {...}})
            executor: Callable[[str], None] - Function to execute a process by name

        Returns:
            List of executed process names (for debugging/logging)"""
    def execute_async(
        self, ctx: dict[str, Any], executor: Callable[[str], object]
    ) -> Coroutine[Any, Any, list[str]]:
        """Execute the workflow asynchronously.
        Wraps the synchronous execution in a thread (asyncio.to_thread) to avoid blocking the event loop.
        Handles FSM state transitions correctly for async steps by blocking the worker thread."""
    def simulate(self, ctx: dict[str, Any]) -> list[str]:
        """Legacy method for backward compatibility with existing tests.
        Returns the simulated execution path without actually executing."""
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
    Supports: Pending -> Running -> WaitingIO -> Complete/Failed"""

    Pending: ClassVar[FSMState]
    Running: ClassVar[FSMState]
    WaitingIO: ClassVar[FSMState]
    Complete: ClassVar[FSMState]
    Failed: ClassVar[FSMState]
    # Equal by value (also to its int), so not hashable.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __repr__(self) -> str: ...

@final
class SignalHub:
    """Publishing end of a broadcast channel of str messages (the newest 128 are retained)."""

    def __new__(cls) -> Self: ...
    def publish(self, msg: str) -> int:
        """Send `msg` to every current receiver and return how many there are; never blocks."""
    def subscribe(self) -> SignalReceiver:
        """A receiver of every message published from now on."""

@final
class SignalReceiver:
    """One subscription to a SignalHub's channel (from SignalHub.subscribe)."""

    def recv(self) -> str:
        """Blocking receive. intended to be called via asyncio.to_thread()"""

@final
class State:
    """Morva v3 Immutable State"""

    def __new__(
        cls,
        data: _Zone | None = None,
        heavy: _Zone | None = None,
        signal: object = None,
        version: SupportsIndex = 1,
        meta_capacity: SupportsIndex = 1000,
    ) -> Self: ...
    def __setattr__(self, name: str, value: object, /) -> NoReturn:
        """Always raises ContextError: a State never changes; update() makes the next version."""
    def __delattr__(self, name: str, /) -> NoReturn: ...
    def update(
        self, data: _Zone | None = None, heavy: _Zone | None = None, signal: _Signals | None = None
    ) -> State:
        """The next version: these entries merged over this one's, signals broadcast, one meta log entry."""
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
    """Ephemeral Context passed to Process"""

    def __new__(cls, state: State, local: dict[str, Any]) -> Self: ...
    @property
    def state(self) -> State:
        """The State this run reads."""
    @property
    def local(self) -> dict[str, Any]:
        """Process-local scratch data: the dict given to the constructor."""
    @property
    def outbox(self) -> _Outbox:
        """A new handle on this context's message list."""
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
    """Read-only view over a dict: item reads, and attribute reads that fall back to keys,
    return the stored objects."""

    def __new__(cls, data: dict[Any, Any]) -> Self: ...
    def __getitem__(self, key: Hashable, /) -> Any: ...
    def __setitem__(self, key: Hashable, value: object, /) -> NoReturn:
        """Always raises ContextError: the view is read-only."""
    def __delitem__(self, key: Hashable, /) -> NoReturn: ...
    def __getattribute__(self, name: str, /) -> Any: ...
    def __str__(self) -> str: ...
    @overload
    def get(self, key: Hashable, default: None = None) -> Any | None:
        """The stored value for `key`, else `default`."""
    @overload
    def get(self, key: Hashable, default: _T) -> Any | _T: ...
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

    def __new__(cls, topic: str, payload: object) -> Self: ...
    @property
    def topic(self) -> str: ...
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
    def key(self) -> str: ...
    @property
    def message(self) -> str: ...
    def __repr__(self) -> str: ...
    def __str__(self) -> str: ...

class ContextError(Exception):
    """Writing to a State or a FrozenDict, or a compare-and-swap against a stale version."""

@disjoint_base
class ContextGuard:
    """Checked access to a process's context: reads follow the declared inputs and outputs,
    writes the declared outputs. With a transaction, containers and objects read through the
    guard are shadow copies (frozen or tracked containers, nested guards) and writes are
    reported to the transaction's write log. Subclassable; instances carry a __dict__."""

    def __new__(
        cls,
        target: object,
        inputs: Iterable[str],
        outputs: Iterable[str],
        path_prefix: str | None = None,
        tx: Transaction | None = None,
        is_admin: bool = False,
        strict_mode: bool = False,
    ) -> Self: ...
    @property
    def log(self) -> Any:
        """A free slot for the caller; None until set."""
    @log.setter
    def log(self, value: object) -> None: ...
    @property
    def _target(self) -> Any:
        """The guarded object itself."""
    def __getattribute__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: object, /) -> None: ...
    def __delattr__(self, name: str, /) -> NoReturn: ...
    def __getitem__(self, key: _GuardKey, /) -> Any: ...
    def __setitem__(self, key: _GuardKey, value: object, /) -> None: ...
    def __delitem__(self, key: object, /) -> NoReturn: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __iter__(self) -> Iterator[Any]: ...

@final
class ConfigLoader:
    """Strict validation of YAML schema texts: context, its global and domain zones, and the
    type / required / default of each field."""

    @staticmethod
    def load_from_string(content: str) -> None:
        """Return None for a valid schema text; raise SchemaViolationError "Config Error: ..." otherwise."""

class SchemaViolationError(Exception):
    """A schema text that does not validate, or new data that the engine's schema rejects at commit."""

@disjoint_base
class AuditSystem:
    """Counts failures per key, escalates them by its recipe's level and keeps a ring-buffer log."""

    def __new__(cls, recipe: AuditRecipe | None = None, capacity: SupportsIndex = 1000) -> Self: ...
    def log_fail(self, key: str) -> None:
        """Log a failure event. Behavior depends on AuditLevel."""
    def log_success(self, key: str) -> None:
        """Log a success event. Resets counter if configured."""
    def get_count(self, key: str) -> int:
        """Get current count for a key."""
    def get_count_all(self) -> int:
        """Get total count across all keys."""
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
    ) -> Self: ...
    @property
    def level(self) -> AuditLevel: ...
    @level.setter
    def level(self, value: AuditLevel | None) -> None: ...
    @property
    def threshold_max(self) -> int: ...
    @threshold_max.setter
    def threshold_max(self, value: SupportsIndex) -> None: ...
    @property
    def threshold_min(self) -> int: ...
    @threshold_min.setter
    def threshold_min(self, value: SupportsIndex) -> None: ...
    @property
    def reset_on_success(self) -> bool: ...
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
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __repr__(self) -> str: ...

@final
class AuditLogEntry:
    """One entry of an AuditSystem's log (from AuditSystem.get_logs)."""

    @property
    def timestamp(self) -> float:
        """Seconds since the Unix epoch."""
    @property
    def key(self) -> str: ...
    @property
    def message(self) -> str: ...
    def __str__(self) -> str: ...

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

    def __new__(cls) -> Self: ...
    def add(self, msg: OutboxMsg) -> None:
        """Append a copy of `msg` (same topic, same payload object)."""
    @property
    def messages(self) -> list[OutboxMsg]:
        """A snapshot of the messages, oldest first."""

@final
class _FrozenList:
    """Immutable List Wrapper"""

    def __new__(cls, data: list[Any]) -> Self: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> Any: ...
    def __repr__(self) -> str: ...
    def __str__(self) -> str: ...
    def __copy__(self) -> _FrozenList:
        """Another view over the same list."""
    def __deepcopy__(self, memo: dict[int, Any]) -> _FrozenList:
        """A new view over a deep copy of the list."""

@final
class _TrackedDict:
    """Transaction-Tracked Dictionary"""

    def __new__(cls, data: dict[Any, Any], tx: Transaction, path: str) -> Self: ...
    def __getitem__(self, key: Hashable, /) -> Any: ...
    def __setitem__(self, key: Hashable, value: object, /) -> None: ...
    def __delitem__(self, key: Hashable, /) -> None: ...

@final
class _TrackedList:
    """Transaction-Tracked List"""

    def __new__(cls, data: list[Any], tx: Transaction, path: str) -> Self: ...
    def __getitem__(self, index: SupportsIndex, /) -> Any: ...
    def __setitem__(self, index: SupportsIndex, value: object, /) -> None: ...
    def __delitem__(self, index: SupportsIndex, /) -> NoReturn:
        """Always raises NotImplementedError."""
    def append(self, value: object) -> None: ...
