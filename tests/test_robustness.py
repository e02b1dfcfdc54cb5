"""Hostile input through the module: random schemas and lines, repeated use,
wrong arguments. Nothing but ValueError (UnicodeEncodeError included) and
TypeError may ever come out, and never a partial result."""
import datetime
import decimal
import json
import os
import random
import re
import subprocess
import sys
import warnings

import pytest

import kelvane
from builders import schema_json

SEED = 20241208
POSITION = re.compile(r" at line \d+ column \d+$")
FIELD_MESSAGE = re.compile(
    r"^(String is too short|String is too long|String contains invalid characters|Value not in enum"
    r"|Does not parse as int|Int is too small|Int is too large|Does not parse as float|Float is too small"
    r"|Float is too large|Does not parse as decimal|Decimal is too small|Decimal is too large"
    r"|Value is neither true or false value|Invalid timezone|Does not parse as datetime"
    r"|Does not parse as date|Does not parse as time) - '.*' given schema: (Str|StrEnum|Int|IntEnum|Float"
    r"|Decimal|Bool|Datetime|Date|Time)\(.*\)$",
    re.S,
)
LINE_MESSAGE = re.compile(
    r"^(Delimiter needs to be of length 1|Quote needs to be of length 1|Line doesn't have trailing delimiter"
    r"|No schema line matching '.*'|Mismatched line length, schema length: \d+, actual length: \(header=1\) \+ \d+)$",
    re.S,
)
KIND_TYPES = {
    "STR": str, "STR_ENUM": str, "INT": int, "INT_ENUM": int, "FLOAT": float, "DECIMAL": decimal.Decimal,
    "BOOL": bool, "DATETIME": datetime.datetime, "DATE": datetime.date, "TIME": datetime.time,
}

# Characters that stress the readers: separators, quotes, line ends, digits,
# signs, Unicode white space, multi-byte letters, a NUL and a lone surrogate.
ALPHABET = list("|,;'\"\n\r\t 0123456789+-._eE:%YmdHMSfzZxTnaIp") + [
    "\x00", "\x1c", "\u00a0", "\u0085", "\u2028", "\u200b", "\ufeff", "\u3000", "é", "ã", "§", "😀", "\ud800",
]
TEXTS = ["", "0", "-0", "1", "1.5", "1e400", "nan", "-inf", "1_0", "00", "Y", "N", "A", "'A'", "240000",
         "23:59:60", "2024-02-29", "20240229", "2024-03-31 02:30:00", "00000101", "+10000",
         "170141183460469231731687303715884105728", "79228162514264337593543950336", "é", "\u00a0"]
FORMATS = ["%Y-%m-%d", "%Y%m%d", "%H:%M:%S%.f", "%H%M%S", "%s", "%+", "%c", "%G-W%V-%u", "%Y %U %a", "%j",
           "%Q", "%", "%-Y", "%#z", "%.3f", "%I %p", ""]
ZONES = ["UTC", "Europe/Paris", "America/New_York", "Nowhere", "", "utc"]


def random_text(rng, limit=12):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(limit)))


def random_field(rng):
    kind = rng.choice(list(KIND_TYPES))
    field = {"kind": kind, "required": rng.random() < 0.3}
    number = lambda: rng.choice([0, -1, 2.5, -2.5, 1e300, -1e300, 9007199254740993, 0.1])  # noqa: E731
    if kind == "STR":
        field.update(min_length=rng.choice([None, 0, 1, 3]), max_length=rng.choice([None, 2, 5]),
                     invalid_characters=rng.choice([None, "", "x|", "é"]))
    elif kind == "STR_ENUM":
        field["values"] = rng.sample(TEXTS, 3)
    elif kind in ("INT", "FLOAT"):
        field.update(min_value=rng.choice([None, number()]), max_value=rng.choice([None, number()]))
    elif kind == "INT_ENUM":
        field["values"] = [rng.choice([0, 1, -1, 2**63 - 1, -(2**63)]) for _ in range(3)]
    elif kind == "DECIMAL":
        field.update(round_decimal_places=rng.choice([None, 0, 2, 28, 4294967295]),
                     min_value=rng.choice([None, "0.1", -1, "-1.5e-3"]), max_value=rng.choice([None, 100, "1e2"]))
    elif kind == "BOOL":
        field.update(true_value=rng.choice(["Y", "'Y'", ""]), false_value=rng.choice([None, "N", ""]))
    else:
        field["format"] = rng.choice(FORMATS)
        if kind == "DATETIME":
            field["time_zone"] = rng.choice(ZONES)
    return field


def random_schema(rng):
    names = rng.sample(["A", "B", "", "é", "'A'"], rng.randrange(1, 4))
    return schema_json(
        {name: [random_field(rng) for _ in range(rng.randrange(5))] for name in names},
        delimiter=rng.choice(["|", "|", ",", "::", "", "§"]),
        quote_str=rng.choice(["'", '"', None, "", "|"]),
        trailing_delimiter=rng.random() < 0.3,
        coerce_empty_quoted=rng.random() < 0.5,
    )


def random_line(rng, document):
    """Mostly lines that reach the fields: a known name and the right count."""
    spec = json.loads(document)
    delimiter = spec["delimiter"] if len(spec["delimiter"]) == 1 else "|"
    if rng.random() < 0.2 or not spec["lines"]:
        return random_text(rng, 30)
    record = rng.choice(spec["lines"])
    count = len(record["fields"]) + rng.choice([0, 0, 0, 1, -1])
    pieces = [rng.choice(TEXTS) if rng.random() < 0.7 else random_text(rng) for _ in range(max(count, 0))]
    line = delimiter.join([record["name"], *pieces])
    if spec["trailing_delimiter"] and rng.random() < 0.8:
        line += delimiter
    return line + rng.choice(["", "", "\n", "\r\n", "\n\n"])


def mutate(rng, text):
    chars = list(text)
    for _ in range(rng.randrange(1, 4)):
        position = rng.randrange(len(chars) + 1)
        action = rng.randrange(3)
        if action == 0 and position < len(chars):
            del chars[position]
        elif action == 1:
            chars.insert(position, rng.choice(ALPHABET + list('{}[]":,0nulltrue')))
        elif position < len(chars):
            chars[position] = rng.choice(ALPHABET + list('{}[]":,'))
    return "".join(chars)


def check_value_error(error):
    assert type(error) in (ValueError, UnicodeEncodeError)
    if type(error) is ValueError:
        assert len(error.args) == 1 and isinstance(error.args[0], str)
        assert error.__cause__ is None and error.__context__ is None
    return error


def strictly_invalid_json(document):
    """True when `document` is certainly not RFC 8259 JSON. Python's reader
    is laxer (NaN, Infinity, lone surrogate escapes, unlimited numbers), so
    only its refusals count, and only for texts without those."""
    if re.search(r"NaN|Infinity|\\u[dD][89a-fA-F]", document):
        return False
    try:
        json.loads(document)
    except (ValueError, RecursionError):
        return True
    return False


def build(document):
    """A Parser, or None after checking the schema failure's form."""
    try:
        parser = kelvane.Parser(document)
    except ValueError as error:
        check_value_error(error)
        if type(error) is ValueError:
            assert POSITION.search(error.args[0]), error.args[0]
        return None
    assert not strictly_invalid_json(document), document
    return parser


def check_line(parser, document, line):
    spec = json.loads(document)
    try:
        result = parser.parse_line(line)
    except ValueError as error:
        check_value_error(error)
        if type(error) is ValueError:
            message = error.args[0]
            assert LINE_MESSAGE.match(message) or FIELD_MESSAGE.match(message), message
        result = None
    if result is not None:
        assert type(result) is tuple and type(result[0]) is str
        record = next(r for r in spec["lines"] if r["name"] == result[0])
        assert len(result) == 1 + len(record["fields"])
        for value, field in zip(result[1:], record["fields"]):
            assert value is None or type(value) is KIND_TYPES[field["kind"]], (value, field)
            if field["kind"] == "DATETIME" and value is not None:
                assert value.tzinfo is not None and value.microsecond == 0
    try:
        first = parser.parse_first(line)
        assert type(first) is str
    except ValueError as error:
        check_value_error(error)
        if type(error) is ValueError:
            assert error.args[0] in ("Delimiter needs to be of length 1", "Quote needs to be of length 1")
    return result


@pytest.fixture(autouse=True)
def quiet_leap_seconds():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def test_any_text_as_schema():
    rng = random.Random(SEED)
    for _ in range(20000):
        build(random_text(rng, 40))
    for _ in range(200):
        build("{" * rng.randrange(200) + "[" * rng.randrange(200))


def test_mutated_schemas_and_random_lines():
    rng = random.Random(SEED + 1)
    built = 0
    for _ in range(1000):
        document = random_schema(rng)
        parser = build(document)
        assert parser is not None, document  # well-formed documents always load
        for _ in range(15):
            check_line(parser, document, random_line(rng, document))
        mutated = mutate(rng, document)
        mutant = build(mutated)
        if mutant is not None:
            built += 1
            for _ in range(3):
                try:
                    mutant.parse_line(random_text(rng, 30))
                    mutant.parse_first(random_text(rng, 30))
                except ValueError as error:
                    check_value_error(error)
    assert built > 0


def test_repeated_use_of_one_parser_is_stable():
    rng = random.Random(SEED + 2)
    document = random_schema(rng)
    while len(json.loads(document)["delimiter"]) != 1:
        document = random_schema(rng)
    parser = kelvane.Parser(document)
    lines = [random_line(rng, document) for _ in range(200)]

    def outcomes():
        found = []
        for line in lines:
            try:
                found.append(repr(parser.parse_line(line)))
            except ValueError as error:
                found.append(repr(error))
        return found

    first = outcomes()
    for _ in range(3):
        assert outcomes() == first


def test_failures_leave_no_partial_result():
    # The last field fails after earlier ones converted: nothing comes back,
    # and the next call on the same parser is unaffected.
    parser = kelvane.Parser(
        schema_json({"A": [{"kind": "INT", "required": True}, {"kind": "BOOL", "required": True, "true_value": "Y"}]})
    )
    for _ in range(3):
        with pytest.raises(ValueError) as caught:
            parser.parse_line("A|1|x")
        assert caught.value.args[0].startswith("Value is neither true or false value - 'x' given schema: ")
        assert parser.parse_line("A|2|Y") == ("A", 2, True)


@pytest.mark.parametrize("quote", ["", "'"])
@pytest.mark.parametrize("width", [47, 48, 49, 200])
def test_wide_lines(width, quote):
    # Past the split's inline capacity the pieces move to the heap.
    parser = kelvane.Parser(schema_json({"W": [{"kind": "STR", "required": False}] * width}))
    pieces = ["%s%d|%d%s" % (quote, i, i, quote) if quote else str(i) for i in range(width)]
    expected = tuple("%d|%d" % (i, i) if quote else str(i) for i in range(width))
    assert parser.parse_line("|".join(["W", *pieces])) == ("W", *expected)
    with pytest.raises(ValueError) as caught:
        parser.parse_line("|".join(["W", *pieces, "extra"]))
    assert caught.value.args[0] == "Mismatched line length, schema length: %d, actual length: (header=1) + %d" % (
        width, width + 1)


def test_long_texts():
    parser = kelvane.Parser(schema_json({"A": [{"kind": "STR", "required": False}, {"kind": "INT", "required": False}]}))
    text = "é" * 500_000
    assert parser.parse_line("A|%s|%s" % (text, "9" * 38)) == ("A", text, int("9" * 38))
    with pytest.raises(ValueError) as caught:
        parser.parse_line("A|x|" + "9" * 100_000)
    assert caught.value.args[0].startswith("Does not parse as int - '999")
    assert parser.parse_first("'" + text) == text


def test_leap_second_warning_as_error_goes_to_unraisable_hook(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    parser = kelvane.Parser(schema_json({"A": [{"kind": "TIME", "required": False, "format": "%H:%M:%S"},
                                               {"kind": "INT", "required": False}]}))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert parser.parse_line("A|23:59:60|1") == ("A", datetime.time(23, 59, 59), 1)
        # The warning belongs to the field's conversion: issued even when a
        # later field then fails the line.
        with pytest.raises(ValueError) as caught:
            parser.parse_line("A|23:59:60|x")
    assert caught.value.args[0].startswith("Does not parse as int - 'x'")
    assert caught.value.__context__ is None
    assert [type(report.exc_value) for report in reports] == [UserWarning, UserWarning]
    assert reports[0].object == datetime.time(23, 59, 59)


HOSTILE_DECIMAL = """
import json, sys
import kelvane
parser = kelvane.Parser(json.dumps({"delimiter": "|", "trailing_delimiter": False, "coerce_empty_quoted": False,
                                    "lines": [{"name": "A", "fields": [{"kind": "DECIMAL", "required": False}]}]}))

def attempt():
    try:
        return repr(parser.parse_line("A|1.50"))
    except BaseException as error:
        return " ".join([type(error).__name__, str(isinstance(error, Exception)), str(error).split(":")[0]])

SCENARIO
"""


@pytest.mark.parametrize(
    "scenario, expected",
    [
        # The import fails, then works: nothing was kept from the failure.
        ('sys.modules["decimal"] = None\nprint(attempt())\ndel sys.modules["decimal"]\nprint(attempt())',
         ["InternalFault False failed to load decimal.Decimal", "('A', Decimal('1.50'))"]),
        # Not a class.
        ('import decimal\nreal = decimal.Decimal\ndecimal.Decimal = 5\nprint(attempt())\n'
         'decimal.Decimal = real\nprint(attempt())',
         ["InternalFault False failed to load decimal.Decimal", "('A', Decimal('1.50'))"]),
        # A class whose constructor raises: kept, and every call reports it.
        ('import decimal\nclass Broken:\n    def __init__(self, text):\n        raise RuntimeError(text)\n'
         'decimal.Decimal = Broken\nprint(attempt())\nprint(attempt())\nprint(parser.parse_first("A|x"))',
         ["InternalFault False failed to call decimal.Decimal(value)"] * 2 + ["A"]),
    ],
)
def test_hostile_decimal_module(scenario, expected):
    # In a fresh interpreter: the class is looked up once per process.
    result = subprocess.run([sys.executable, "-c", HOSTILE_DECIMAL.replace("SCENARIO", scenario)], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected


OUT_OF_MEMORY = """
import resource, sys
import kelvane

SIZE = 16 << 20
HEAD = '{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false, "lines": [{"name": "A", "fields": ['
CASES = {
    "string": lambda: '{"delimiter": "' + "a" * SIZE + '"}',
    "key": lambda: '{"' + "a" * SIZE + '": 1}',
    "number": lambda: '{"delimiter": 0.' + "1" * SIZE + "}",
    "one megabyte string": lambda: '{"delimiter": "' + "a" * (1 << 20) + '"}',
    "format": lambda: HEAD + '{"kind": "DATE", "required": true, "format": "' + "%c" * (SIZE // 2) + '"}]}]}',
    "values before the tag": lambda: HEAD + '{"values": [' + ",".join(['"abcdefgh"'] * (SIZE // 11))
                                      + '], "kind": "STR_ENUM", "required": true}]}]}',
    "quoted line": lambda: "A|'" + "x" * SIZE + "'",
}
case = sys.argv[1]
text = CASES[case]()
parser = None
if case == "quoted line":
    quoted = HEAD.replace('"|",', '"|", "quote_str": "%s",' % chr(39))
    parser = kelvane.Parser(quoted + '{"kind": "STR", "required": true}]}]}')
with open("/proc/self/status") as status:
    in_use = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
headroom = (1 << 20) if case == "one megabyte string" else SIZE // 2
resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom, resource.RLIM_INFINITY))
try:
    parser.parse_line(text) if parser is not None else kelvane.Parser(text)
    print("no error")
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="under AddressSanitizer a failed operator new aborts instead of throwing")
@pytest.mark.parametrize("case", ["string", "key", "number", "one megabyte string", "format", "values before the tag",
                                  "quoted line"])
def test_running_out_of_memory_raises_memory_error(case):
    # In a fresh interpreter whose address space leaves less room than the
    # input needs: MemoryError, never a crash.
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, case], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, timeout=60)
    assert (result.returncode, result.stdout.strip()) == (0, "MemoryError"), result.stderr[-2000:]
