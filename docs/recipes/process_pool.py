"""Running processes in a process pool, on every start method.

Objects of this module stay in the interpreter that made them: a State, an engine, a hub or a
receiver cannot be pickled. So the parent sends each worker plain data read from the state,
the worker runs the process on it (building whatever module objects it needs itself) and
returns plain data, and the parent commits that.

Errors are pickled on their way back. ContextError and SchemaViolationError report the module
names `morva.structures` and `morva.config`, which pickle must be able to import; this package
does not provide them, so `register_error_modules()` makes them importable. It must run in the
parent and in every worker: with the "spawn" and "forkserver" start methods a worker imports
the main module afresh (as `__mp_main__`), so calling it at the top level of the module that
defines the worker functions covers all three methods.
"""

import multiprocessing
import pickle
import sys
import types
from concurrent.futures import ProcessPoolExecutor

from morva_core import ContextError, MorvaEngine, SchemaViolationError, State, WorkflowEngine


def register_error_modules():
    for error in (ContextError, SchemaViolationError):
        package = error.__module__.rpartition(".")[0]
        sys.modules.setdefault(package, types.ModuleType(package))
        module = sys.modules.setdefault(error.__module__, types.ModuleType(error.__module__))
        setattr(module, error.__name__, error)


register_error_modules()

WORKFLOW = """
steps:
  - price
  - flux: if
    condition: "order['qty'] > 10"
    then: [discount]
"""


def price_order(order):
    """The process, run in a worker: plain data in, plain data out."""
    total = {}

    def executor(step):
        if step == "price":
            total["value"] = order["qty"] * order["unit"]
        elif step == "discount":
            total["value"] = total["value"] * 9 // 10

    steps = WorkflowEngine(WORKFLOW).execute({"order": order}, executor)
    return {"id": order["id"], "total": total["value"], "steps": steps}


def stale_swap(version):
    MorvaEngine().compare_and_swap(version, data={})


def run_on(method, engine):
    orders = engine.state.data["orders"]  # plain dicts, read from the state
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context(method)) as pool:
        results = list(pool.map(price_order, orders))
        try:
            pool.submit(stale_swap, 7).result()
        except ContextError as exc:  # arrives as itself, not as a PicklingError
            error = str(exc)
    with engine.transaction() as tx:
        tx.update(data={"totals": {r["id"]: r["total"] for r in results}})
    return results, error


if __name__ == "__main__":
    for unpicklable in (State(), MorvaEngine()):
        try:
            pickle.dumps(unpicklable)
            raise AssertionError(f"{type(unpicklable).__name__} was pickled")
        except TypeError:
            pass
    engine = MorvaEngine()
    with engine.transaction() as tx:
        tx.update(data={"orders": [{"id": "A-1", "qty": 2, "unit": 30},
                                   {"id": "A-2", "qty": 20, "unit": 5}]})
    for method in multiprocessing.get_all_start_methods():
        results, error = run_on(method, engine)
        print(method, results, error)
        assert [r["total"] for r in results] == [60, 90]
        assert results[1]["steps"] == ["price", "discount"]
        assert error == "CAS Version Mismatch: Expected 7, Found 1"
        assert engine.state.data["totals"] == {"A-1": 60, "A-2": 90}
