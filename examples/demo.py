"""A first look at morva_core: read-only views over shared containers and versioned state."""

import morva_core
from morva_core import ContextError, FrozenDict, State


def main() -> None:
    print(f"morva_core exports {len(morva_core.__all__)} names: {', '.join(morva_core.__all__)}")
    orders = {"o-1": {"item": "lamp", "qty": 2}}
    view = FrozenDict(orders)
    print(f"view over the orders: {view}")
    orders["o-2"] = {"item": "desk", "qty": 1}
    print(f"a new order is visible through the view at once: {view.keys()}")
    try:
        view["o-3"] = {}
    except ContextError as exc:
        print(f"writing through the view is refused: {exc}")
    print(f"attribute reads fall back to keys: view.get('o-1')['item'] = {view.get('o-1')['item']}")

    first = State(data={"domain": {"orders": 2}})
    listener = first.signal.subscribe()
    second = first.update(data={"domain": {"orders": 3}}, signal={"orders_changed": 3})
    print(f"version {first.version} still reads {first.domain.to_dict()}, "
          f"version {second.version} reads {second.domain.to_dict()}")
    print(f"a subscriber heard {listener.recv()!r}; the shared meta log says "
          f"{second.meta[-1].message!r}")


if __name__ == "__main__":
    main()
