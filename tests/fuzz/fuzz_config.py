"""ConfigLoader.load_from_string: None or SchemaViolationError, whatever the text."""

import atheris

with atheris.instrument_imports():
    import harness
    from morva_core import ConfigLoader, SchemaViolationError

SEEDS = [
    "context:\n  domain:\n    user_id: {type: int, required: true}\n"
    "    retries: {type: int, required: false, default: 3}\n",
    "context:\n  global:\n    name:\n",
    "context: ~\n",
    "contexts: 1\n",
    "context:\n  domain:\n    a: {required: yes}\n",
    "a: &a [x, x]\nb: [*a, *a]\n",
]


def test_one_input(data):
    try:
        assert ConfigLoader.load_from_string(harness.text_of(data)) is None
        harness.feedback("ok")
    except SchemaViolationError as exc:
        assert str(exc).startswith("Config Error: "), exc
        harness.feedback(str(exc))


if __name__ == "__main__":
    harness.run(test_one_input, SEEDS)
