"""Native core of the Morva process framework: versioned state, transactions, guards, audit, workflows and signals."""

from collections.abc import Awaitable, Callable, Coroutine, Iterable, Iterator
from types import TracebackType
from typing import Any, ClassVar, NoReturn, SupportsIndex, final

from typing_extensions import Self, disjoint_base

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

class WriteTimeoutError(TimeoutError): ...
class ContextError(Exception): ...
class SchemaViolationError(Exception): ...
class AuditBlockError(RuntimeError): ...
class AuditAbortError(RuntimeError): ...
class AuditStopError(RuntimeError): ...
class AuditWarning(UserWarning): ...

@disjoint_base
class WorkflowEngine:
    def __new__(cls, yaml_config: str, max_ops: int = 10000, debug: bool = False) -> Self: ...
    def add_state_observer(self, callback: Any) -> None:
        """Add an observer callback for state changes.
        Callback signature: (old_state, new_state) -> None"""
    def execute(self, ctx: dict[Any, Any], executor: Callable[[str], Any]) -> list[str]:
        """Execute the workflow using the provided executor callback.

        Args:
            ctx: PyDict - Context for condition evaluation (e.g., {"domain": {...}, "global": {...}})
            executor: Callable[[str], None] - Function to execute a process by name

        Returns:
            List of executed process names (for debugging/logging)"""
    def execute_async(
        self, ctx: dict[Any, Any], executor: Callable[[str], Any]
    ) -> Coroutine[Any, Any, list[str]]:
        """Execute the workflow asynchronously.
        Wraps the synchronous execution in a thread (asyncio.to_thread) to avoid blocking the event loop.
        Handles FSM state transitions correctly for async steps by blocking the worker thread."""
    def simulate(self, ctx: dict[Any, Any]) -> list[str]:
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
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class SignalHub:
    """Publishing end of a broadcast channel of str messages (128 retained)."""

    def __new__(cls) -> SignalHub: ...
    def publish(self, msg: str) -> int:
        """Send `msg` to every current receiver; returns how many there are. Never blocks."""
    def subscribe(self) -> SignalReceiver:
        """A receiver of every message published from now on."""

@final
class SignalReceiver:
    def recv(self) -> str:
        """Blocking receive. intended to be called via asyncio.to_thread()"""

@final
class State:
    """Morva v3 Immutable State"""

    def __new__(
        cls,
        data: dict[str, Any] | None = None,
        heavy: dict[str, Any] | None = None,
        signal: Any = None,
        version: SupportsIndex = 1,
        meta_capacity: SupportsIndex = 1000,
    ) -> State: ...
    def __setattr__(self, name: str, value: Any, /) -> NoReturn: ...
    def __delattr__(self, name: str, /) -> NoReturn: ...
    @property
    def version(self) -> int: ...
    @property
    def data(self) -> FrozenDict: ...
    @property
    def heavy(self) -> FrozenDict: ...
    @property
    def domain(self) -> Any: ...
    @property
    def signal(self) -> SignalHub: ...
    @property
    def meta(self) -> list[MetaLogEntry]: ...
    def update(
        self,
        data: dict[str, Any] | None = None,
        heavy: dict[str, Any] | None = None,
        signal: Any = None,
    ) -> State: ...
    def log_meta(self, key: str, message: str) -> None:
        """Log a system event to the Meta Zone Ring Buffer."""
    def get_meta_logs(self) -> list[MetaLogEntry]:
        """Retrieve persistent meta logs (shared across state versions)."""
    def restrict_view(self) -> State: ...

@final
class FrozenDict:
    """Read-only view over a dict: item and attribute reads return the stored objects."""

    def __new__(cls, data: dict[Any, Any]) -> FrozenDict: ...
    def __getitem__(self, key: Any, /) -> Any: ...
    def __setitem__(self, key: Any, value: Any, /) -> None: ...
    def __delitem__(self, key: Any, /) -> None: ...
    def __getattribute__(self, name: str, /) -> Any: ...
    def get(self, key: Any, default: Any = None) -> Any: ...
    def to_dict(self) -> dict[Any, Any]: ...
    def keys(self) -> list[Any]: ...
    def values(self) -> list[Any]: ...
    def items(self) -> list[tuple[Any, Any]]: ...

@final
class _FrozenList:
    # Returned by ContextGuard reads; not a module attribute.
    """Immutable List Wrapper"""

    def __new__(cls, data: list[Any]) -> _FrozenList: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...

@final
class MetaLogEntry:
    @property
    def timestamp(self) -> float: ...
    @property
    def key(self) -> str: ...
    @property
    def message(self) -> str: ...


@final
class ConfigLoader:
    """Strict validation of YAML schema texts (context, its global and domain zones, and the type / required / default of each field)."""

    @staticmethod
    def load_from_string(content: str) -> None:
        """Returns None for a valid schema text; raises SchemaViolationError "Config Error: ..." otherwise."""

@disjoint_base
class AuditSystem:
    """Counts failures per key, escalates them by its recipe's level and keeps a ring-buffer log."""

    def __new__(cls, recipe: AuditRecipe | None = None, capacity: int = 1000) -> Self: ...
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
        threshold_max: int = 3,
        threshold_min: int = 0,
        reset_on_success: bool = True,
    ) -> AuditRecipe: ...
    @property
    def level(self) -> AuditLevel: ...
    @level.setter
    def level(self, value: AuditLevel | None) -> None: ...
    threshold_max: int
    threshold_min: int
    reset_on_success: bool

@final
class AuditLevel:
    """Audit Level: Stop 0, Abort 1, Block 2, Count 3. Compares equal to its int value; unhashable."""

    Stop: ClassVar[AuditLevel]
    Abort: ClassVar[AuditLevel]
    Block: ClassVar[AuditLevel]
    Count: ClassVar[AuditLevel]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class AuditLogEntry:
    @property
    def timestamp(self) -> float: ...
    @property
    def key(self) -> str: ...
    @property
    def message(self) -> str: ...

@disjoint_base
class ContextGuard:
    """Checked access to a process's context: reads follow the declared inputs and outputs,
    writes the declared outputs. With a transaction, containers and objects read through the
    guard are shadow copies (frozen or tracked containers, nested guards) and writes are
    reported to the transaction's write log. Subclassable; instances carry a __dict__."""

    log: Any
    def __new__(
        cls,
        target: Any,
        inputs: Iterable[str],
        outputs: Iterable[str],
        path_prefix: str | None = None,
        tx: Transaction | None = None,
        is_admin: bool = False,
        strict_mode: bool = False,
    ) -> Self: ...
    @property
    def _target(self) -> Any:
        """The guarded object itself."""
    def __getattribute__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: Any, /) -> None: ...
    def __delattr__(self, name: str, /) -> None: ...
    def __getitem__(self, key: Any, /) -> Any: ...
    def __setitem__(self, key: Any, value: Any, /) -> None: ...
    def __delitem__(self, key: Any, /) -> None: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __iter__(self) -> Iterator[Any]: ...

@disjoint_base
class MorvaEngine:
    """Holder of the current State: version-checked swap, commit, transactions and delivery."""

    def __new__(cls) -> MorvaEngine: ...
    @property
    def state(self) -> State: ...
    def compare_and_swap(
        self, expected_version: int, data: Any = None, heavy: Any = None, signal: Any = None
    ) -> None: ...
    def commit_state(self, state: State) -> None: ...
    def transaction(self, write_timeout_ms: int = 5000) -> Transaction: ...
    def set_schema(self, schema: Any) -> None: ...
    def set_strict_mode(self, strict: bool) -> None: ...
    def set_audit_system(self, audit: Any) -> None: ...
    def attach_worker(self, worker: Any) -> None: ...
    def process_outbox(self) -> None: ...
    def execute_process_async(
        self, name: str, func: Callable[[ProcessContext], Any]
    ) -> Awaitable[Any]: ...

@final
class Transaction:
    """Staged changes committed to an engine when a `with` block ends without an exception."""

    def __new__(cls, engine: MorvaEngine | None = None, write_timeout_ms: int = 5000) -> Transaction: ...
    def update(self, data: Any = None, heavy: Any = None, signal: Any = None) -> None: ...
    def __enter__(self) -> Transaction: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_value: BaseException | None = None,
        _traceback: TracebackType | None = None,
    ) -> None: ...
    def get_shadow(self, val: Any, _path: str | None = None) -> Any:
        """Internal: Get shadow copy for CoW/Tracking"""
    def log_internal(
        self,
        _path: str,
        _op: str,
        _new_val: Any = None,
        _old_val: Any = None,
        _obj_ref: Any = None,
        _key: str | None = None,
    ) -> None:
        """Internal: Log operation for Audit"""
    @property
    def outbox(self) -> OutboxCollector: ...
    @property
    def write_timeout_ms(self) -> int: ...

@final
class OutboxCollector:
    """Helper to collect outbox messages in Transaction"""

    def add(self, msg: OutboxMsg) -> None: ...

@final
class ProcessContext:
    """Ephemeral Context passed to Process"""

    def __new__(cls, state: State, local: dict[Any, Any]) -> ProcessContext: ...
    @property
    def state(self) -> State: ...
    @property
    def local(self) -> dict[Any, Any]: ...
    @property
    def outbox(self) -> _Outbox: ...
    @property
    def domain_ctx(self) -> Any: ...
    @property
    def global_ctx(self) -> Any: ...
    def __getattribute__(self, name: str, /) -> Any: ...

@final
class OutboxMsg:
    """One outbound message: a topic and a payload shared by reference."""

    def __new__(cls, topic: str, payload: Any) -> OutboxMsg: ...
    @property
    def topic(self) -> str: ...
    @property
    def payload(self) -> Any: ...

@final
class _Outbox:
    # Returned by ProcessContext.outbox; not a module attribute.
    def __new__(cls) -> _Outbox: ...
    def add(self, msg: OutboxMsg) -> None: ...
    @property
    def messages(self) -> list[OutboxMsg]: ...

@final
class _TrackedDict:
    # Returned by ContextGuard reads; not a module attribute.
    """Transaction-Tracked Dictionary"""

    def __new__(cls, data: dict[Any, Any], tx: Transaction, path: str) -> _TrackedDict: ...
    def __getitem__(self, key: Any, /) -> Any: ...
    def __setitem__(self, key: Any, value: Any, /) -> None: ...
    def __delitem__(self, key: Any, /) -> None: ...

@final
class _TrackedList:
    # Returned by ContextGuard reads; not a module attribute.
    """Transaction-Tracked List"""

    def __new__(cls, data: list[Any], tx: Transaction, path: str) -> _TrackedList: ...
    def __getitem__(self, index: int, /) -> Any: ...
    def __setitem__(self, index: int, value: Any, /) -> None: ...
    def __delitem__(self, index: int, /) -> None: ...
    def append(self, value: Any) -> None: ...
