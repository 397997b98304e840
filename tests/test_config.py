"""Schema texts: strict reading of the context / zone / field records and the error texts."""

import os
import random
import subprocess
import sys
import textwrap

import pytest

from morva_core import ConfigLoader, SchemaViolationError
from conftest import raises_exact

load = ConfigLoader.load_from_string


def error_of(text):
    with pytest.raises(SchemaViolationError) as info:
        load(text)
    assert type(info.value) is SchemaViolationError
    return str(info.value)


def spec(body):
    """A schema whose only field `f` in the domain zone has the given specification lines."""
    lines = "".join(f"      {line}\n" for line in body.split("\n"))
    return f"context:\n  domain:\n    f:\n{lines}"


class TestValidSchemas:
    @pytest.mark.parametrize("text", [
        "", "# only a comment\n", "\n\n", "context:", "context: ~", "context: null\n",
        "context:\n  global:\n    a: {type: int}\n",
        "context:\n  domain:\n    a:\n      type: str\n",
        "context:\n  domain:\n    user_id:\n      type: int\n      required: true\n"
        "    retries:\n      type: int\n      required: false\n      default: 3\n",
        "context:\n  global:\n    empty:\n    tilde: ~\n",
        "context: {global: {}, domain: {}}",
        "---\ncontext:\n...\n",
    ])
    def test_accepted(self, text):
        assert load(text) is None

    def test_strings_take_any_scalar_as_written(self):
        for value in ("5", "true", "1.5e3", "'quoted'", '"x\\ty"', "~", "", "null", "|\n        block"):
            assert load(spec(f"type: {value}")) is None
        assert load(spec("default: 5")) is None
        assert load(spec("default:")) is None and load(spec("default: ~")) is None
        assert load("context:\n  global:\n    5: {}\n    true: {}\n    'q': {}\n    ~: {}\n") is None

    def test_required_takes_the_six_plain_boolean_spellings(self):
        for value in ("true", "True", "TRUE", "false", "False", "FALSE", "!!bool true"):
            assert load(spec(f"required: {value}")) is None

    def test_repeated_field_name_in_a_zone_keeps_the_later_but_reads_both(self):
        assert load("context:\n  global:\n    f: {type: a}\n    f: {type: b}\n") is None
        assert error_of("context:\n  global:\n    f: {required: yes}\n    f: {}\n") == (
            'Config Error: invalid type: string "yes", expected a boolean at line 3 column 19')


class TestSchemaProblems:
    @pytest.mark.parametrize("text, description", [
        ("contexts: 1", "unknown field `contexts`, expected `context` at line 1 column 1"),
        ("context:\n  globals: {}\n",
         "unknown field `globals`, expected `global` or `domain` at line 2 column 3"),
        (spec("type: int\ndescription: an id"),
         "unknown field `description`, expected one of `type`, `required`, `default` at line 5 column 7"),
        ("context: {}\ncontext: {}\n", "duplicate field `context` at line 2 column 1"),
        ("context:\n  global: {}\n  'global': {}\n", "duplicate field `global` at line 3 column 3"),
        (spec("type: a\ntype: b"), "duplicate field `type` at line 5 column 7"),
        (spec("required: yes"), 'invalid type: string "yes", expected a boolean at line 4 column 17'),
        (spec("required: no"), 'invalid type: string "no", expected a boolean at line 4 column 17'),
        (spec("required: 'true'"), 'invalid type: string "true", expected a boolean at line 4 column 17'),
        (spec('required: "false"'), 'invalid type: string "false", expected a boolean at line 4 column 17'),
        (spec("required: 1"), "invalid type: integer 1, expected a boolean at line 4 column 17"),
        (spec("required: 0.5"), "invalid type: floating point number 0.5, expected a boolean at line 4 column 17"),
        (spec("required:"), "invalid type: null, expected a boolean at line 4 column 16"),
        (spec("required: !!str true"), "invalid type: a value tagged !!str, expected a boolean at line 4 column 17"),
        (spec("type: [int]"), "invalid type: a sequence, expected a string at line 4 column 13"),
        (spec("default: {a: 1}"), "invalid type: a map, expected a string at line 4 column 16"),
        ("context:\n  global:\n    f: int\n",
         'invalid type: string "int", expected struct FieldSpec at line 3 column 8'),
        ("context:\n  global:\n", "invalid type: null, expected a map at line 2 column 10"),
        ("context:\n  domain: [a]\n", "invalid type: a sequence, expected a map at line 2 column 11"),
        ("context: true", "invalid type: boolean true, expected struct ContextConfig at line 1 column 10"),
        ("- context", "invalid type: a sequence, expected struct RootConfig at line 1 column 1"),
        ("just text", 'invalid type: string "just text", expected struct RootConfig at line 1 column 1'),
        ("[a]: 1", "invalid type: a sequence, expected a field name at line 1 column 1"),
        ("context:\n  global:\n    [a]: {}\n", "invalid type: a sequence, expected a string at line 3 column 5"),
    ])
    def test_descriptions(self, text, description):
        assert error_of(text) == "Config Error: " + description

    def test_first_problem_in_document_order_wins(self):
        text = spec("required: maybe\nbogus: 1\ntype: x\ntype: y")
        assert "expected a boolean" in error_of(text)
        text = spec("bogus: 1\nrequired: maybe")
        assert "unknown field `bogus`" in error_of(text)

    def test_long_texts_are_cut_in_messages(self):
        message = error_of("context: {global: {f: {required: " + "x" * 5000 + "}}}")
        assert message == ('Config Error: invalid type: string "' + "x" * 80 +
                           '...", expected a boolean at line 1 column 34')


class TestYamlProblems:
    def test_reader_descriptions_with_positions(self):
        assert error_of("a: b\n---\nc: d\n") == (
            "Config Error: more than one document in the text; only one is allowed at line 2 column 1")
        assert error_of("key: [unclosed").startswith("Config Error: did not find expected ',' or ']'")
        assert error_of("a: b\n  c: d\n") == (
            "Config Error: mapping values are not allowed in this context at line 2 column 4")
        assert error_of("x: \x00") == "Config Error: control characters are not allowed at line 1 column 4"
        assert error_of("a: b\nc: é\ud800") == "Config Error: invalid Unicode character at line 2 column 5"
        assert error_of("a: *nowhere") == "Config Error: unknown anchor 'nowhere' at line 1 column 4"

    def test_nesting_limit(self):
        assert "expected struct RootConfig" in error_of("[" * 128 + "]" * 128)
        assert error_of("[" * 129 + "]" * 129).startswith("Config Error: recursion limit exceeded")
        deep = "context:\n" + "".join("  " * i + "a:\n" for i in range(1, 200))
        assert error_of(deep).startswith("Config Error: recursion limit exceeded")


class TestHostileTexts:
    @pytest.mark.timeout(120)
    def test_only_schema_errors_in_bounded_time_and_memory(self):
        # A child process with a hard address-space cap: a reader that expanded the aliases or
        # recursed without bound would die there instead of answering.
        code = textwrap.dedent("""
            import os, random, resource
            if not os.environ.get("MORVA_ASAN"):
                resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
            from morva_core import ConfigLoader, SchemaViolationError
            levels = ['a0: &a0 ["lol","lol","lol","lol","lol","lol","lol","lol","lol","lol"]']
            levels += [f"a{i}: &a{i} [" + ",".join([f"*a{i - 1}"] * 10) + "]" for i in range(1, 12)]
            texts = [
                "\\n".join(levels),
                "a: &a " + "x" * 2_000_000 + "\\nb: [" + ",".join(["*a"] * 100) + "]",
                "{a: " * 200_000,
                "[" * 200_000,
                "a:\\n" + "".join(" " * i + "b:\\n" for i in range(1, 2000)),
                "- &x [*x]",
            ]
            rnd = random.Random(7)
            for _ in range(2000):
                raw = bytes(rnd.randrange(256) for _ in range(rnd.randrange(120)))
                texts.append(raw.decode("utf-8", "surrogateescape"))
                texts.append("context:\\n  global:\\n" + raw.decode("latin-1"))
            accepted = 0
            for text in texts:
                try:
                    ConfigLoader.load_from_string(text)
                    accepted += 1
                except SchemaViolationError as exc:
                    assert str(exc).startswith("Config Error: "), exc
            print("done", accepted)
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=110, env=dict(os.environ))
        assert out.returncode == 0, out.stderr[-2000:]
        assert out.stdout.startswith("done"), out.stdout


class TestInterface:
    def test_argument_and_constructor_errors(self):
        with raises_exact(TypeError, "argument 'content': 'bytes' object cannot be converted to 'PyString'"):
            load(b"context:")
        with raises_exact(TypeError, "ConfigLoader.load_from_string() missing 1 required positional argument: 'content'"):
            load()
        with raises_exact(TypeError, "No constructor defined for ConfigLoader"):
            ConfigLoader()
        assert load(content="") is None

    def test_error_type_and_signature(self):
        import inspect
        assert SchemaViolationError.__module__ == "morva.config"
        assert str(inspect.signature(ConfigLoader.load_from_string)) == "(content)"

    @pytest.mark.timeout(60)
    def test_random_valid_schemas_round_trip_through_the_reader(self):
        # Generated schemas that follow the format must always be accepted.
        rnd = random.Random(3)
        scalars = ["int", "str", "5", "true", "'q'", '"d q"', "~", "x y", "-1.5"]
        for _ in range(200):
            lines = ["context:"]
            for zone in rnd.sample(["global", "domain"], rnd.randrange(3)):
                count = rnd.randrange(4)
                lines.append(f"  {zone}:" if count else f"  {zone}: {{}}")
                for i in range(count):
                    lines.append(f"    {rnd.choice(['int', 'true', '5', 'x y', '~'])}{i}:")
                    for key in rnd.sample(["type", "required", "default"], rnd.randrange(4)):
                        value = (rnd.choice(["true", "False", "TRUE"]) if key == "required"
                                 else rnd.choice(scalars))
                        lines.append(f"      {key}: {value}")
            assert load("\n".join(lines) + "\n") is None, lines
