"""Schema texts: strict reading of the context / zone / field records and the error texts."""

import inspect
import subprocess
import sys
import textwrap

import pytest

from morva_core import ConfigLoader, SchemaViolationError
from conftest import address_cap, raises_exact

load = ConfigLoader.load_from_string


def error_of(text):
    with pytest.raises(SchemaViolationError) as info:
        load(text)
    return str(info.value)


def field(body):
    """A schema whose only field `f` in the domain zone has the given FieldSpec lines."""
    lines = "".join(f"      {line}\n" for line in body.split("\n"))
    return f"context:\n  domain:\n    f:\n{lines}"


@pytest.mark.parametrize("text", [
    "", "# only a comment\n", "context:", "context: ~", "context: {global: {}, domain: {}}",
    "context:\n  global:\n    a: {type: int}\n    a: {type: str}\n    empty:\n    5: ~\n",
    "context:\n  domain:\n    user_id:\n      type: int\n      required: true\n"
    "    retries:\n      type: int\n      required: false\n      default: 3\n",
    *(field(f"type: {v}") for v in ("true", "1.5e3", "'q'", "~", "", "|\n        block")),
    *(field(f"default: {v}") for v in ("5", "", "null")),
    *(field(f"required: {v}") for v in ("true", "True", "TRUE", "false", "False", "FALSE",
                                       "!!bool true")),
])
def test_valid_schemas(text):
    assert load(text) is None


@pytest.mark.parametrize("text, description", [
    ("contexts: 1", "unknown field `contexts`, expected `context` at line 1 column 1"),
    ("context:\n  globals: {}\n",
     "unknown field `globals`, expected `global` or `domain` at line 2 column 3"),
    (field("type: int\ndescription: an id"),
     "unknown field `description`, expected one of `type`, `required`, `default` at line 5 column 7"),
    ("context: {}\ncontext: {}\n", "duplicate field `context` at line 2 column 1"),
    (field("type: a\n'type': b"), "duplicate field `type` at line 5 column 7"),
    (field("required: yes"), 'invalid type: string "yes", expected a boolean at line 4 column 17'),
    (field("required: 'true'"), 'invalid type: string "true", expected a boolean at line 4 column 17'),
    (field("required: 1"), "invalid type: integer 1, expected a boolean at line 4 column 17"),
    (field("required:"), "invalid type: null, expected a boolean at line 4 column 16"),
    (field("required: !!str true"),
     "invalid type: a value tagged !!str, expected a boolean at line 4 column 17"),
    (field("type: [int]"), "invalid type: a sequence, expected a string at line 4 column 13"),
    (field("default: {a: 1}"), "invalid type: a map, expected a string at line 4 column 16"),
    ("context:\n  global:\n    f: int\n",
     'invalid type: string "int", expected struct FieldSpec at line 3 column 8'),
    ("context:\n  global:\n", "invalid type: null, expected a map at line 2 column 10"),
    ("context: true", "invalid type: boolean true, expected struct ContextConfig at line 1 column 10"),
    ("- context", "invalid type: a sequence, expected struct RootConfig at line 1 column 1"),
    ("[a]: 1", "invalid type: a sequence, expected a field name at line 1 column 1"),
    # Both FieldSpec records of a repeated field name are read, though the later one wins.
    ("context:\n  global:\n    f: {required: no}\n    f: {}\n",
     'invalid type: string "no", expected a boolean at line 3 column 19'),
    # The first problem in document order is the one reported.
    (field("bogus: 1\nrequired: maybe"),
     "unknown field `bogus`, expected one of `type`, `required`, `default` at line 4 column 7"),
    ("context: {global: {f: {required: " + "x" * 5000 + "}}}",
     'invalid type: string "' + "x" * 80 + '...", expected a boolean at line 1 column 34'),
    # Problems found by the YAML reader itself.
    ("a: b\n---\nc: d\n", "more than one document in the text; only one is allowed at line 2 column 1"),
    ("a: b\n  c: d\n", "mapping values are not allowed in this context at line 2 column 4"),
    ("x: \x00", "control characters are not allowed at line 1 column 4"),
    ("a: b\nc: é\ud800", "invalid Unicode character at line 2 column 5"),
    ("[" * 128 + "]" * 128, "invalid type: a sequence, expected struct RootConfig at line 1 column 1"),
])
def test_problem_descriptions(text, description):
    assert error_of(text) == "Config Error: " + description


def test_nesting_beyond_128_is_refused():
    assert error_of("[" * 129 + "]" * 129).startswith("Config Error: recursion limit exceeded")
    deep = "context:\n" + "".join("  " * i + "a:\n" for i in range(1, 200))
    assert error_of(deep).startswith("Config Error: recursion limit exceeded")


@pytest.mark.timeout(120)
def test_hostile_texts_give_only_schema_errors_in_bounded_time_and_memory():
    # A child process with a hard address-space cap, 1 GiB beyond what its interpreter reserves at
    # start: a reader that expanded the aliases or recursed without bound would die there
    # instead of answering.
    code = textwrap.dedent("""
        import os, random, resource, sys
        if not os.environ.get("MORVA_ASAN"):
            resource.setrlimit(resource.RLIMIT_AS, (int(sys.argv[1]),) * 2)
        from morva_core import ConfigLoader, SchemaViolationError
        levels = ['a0: &a0 ["lol","lol","lol","lol","lol","lol","lol","lol","lol","lol"]']
        levels += [f"a{i}: &a{i} [" + ",".join([f"*a{i - 1}"] * 10) + "]" for i in range(1, 12)]
        texts = ["\\n".join(levels), "{a: " * 200_000, "[" * 200_000, "- &x [*x]",
                 "a: &a " + "x" * 2_000_000 + "\\nb: [" + ",".join(["*a"] * 100) + "]",
                 "a:\\n" + "".join(" " * i + "b:\\n" for i in range(1, 2000))]
        rnd = random.Random(7)
        for _ in range(2000):
            raw = bytes(rnd.randrange(256) for _ in range(rnd.randrange(120)))
            texts.append(raw.decode("utf-8", "surrogateescape"))
            texts.append("context:\\n  global:\\n" + raw.decode("latin-1"))
        for text in texts:
            try:
                ConfigLoader.load_from_string(text)
            except SchemaViolationError as exc:
                assert str(exc).startswith("Config Error: "), exc
        print("done")
    """)
    out = subprocess.run([sys.executable, "-c", code, str(address_cap(1 << 30))],
                         capture_output=True, text=True, timeout=110)
    assert out.returncode == 0 and out.stdout == "done\n", out.stderr[-2000:]


def test_interface():
    with raises_exact(TypeError, "argument 'content': 'bytes' object cannot be converted to 'PyString'"):
        load(b"context:")
    with raises_exact(TypeError, "No constructor defined for ConfigLoader"):
        ConfigLoader()
    assert load(content="") is None
    assert str(inspect.signature(ConfigLoader.load_from_string)) == "(content)"
