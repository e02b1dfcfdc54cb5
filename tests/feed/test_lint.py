"""Schema.lint(): every finding at its exact place, against a corpus of
schemas with known mistakes and against random schemas with mistakes put in
at places recorded by an independent JSON writer; verdicts on zones, formats,
separators checked against kelvane.Parser itself."""

from __future__ import annotations

import json
import random
import textwrap

import pytest

import kelvane
import kelvane_feed
from feedgen import random_schema

SETTINGS = '"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false'


def place(text: str, needle: str, occurrence: int = 1) -> tuple[int, int]:
    """Line and byte column of the `occurrence`-th `needle` in `text`."""
    data = text.encode()
    offset = -1
    for _ in range(occurrence):
        offset = data.index(needle.encode(), offset + 1)
    line = data[:offset].count(b"\n") + 1
    return line, offset - (data.rfind(b"\n", 0, offset) + 1) + 1


def schema(body: str) -> str:
    return textwrap.dedent(body).strip() + "\n"


# (schema text, [(needle, occurrence, path, code, message)]): the needle's
# first byte is where the finding must point.
CORPUS = [
    (
        schema(f"""
        {{{SETTINGS}, "lines": [
          {{"name": "D", "fields": [
            {{"kind": "INT", "required": true, "max_vale": 5}},
            {{"kind": "INT", "required": true, "format": "%Y"}},
            {{"kind": "STR", "required": true, "Required": true, "note": "x"}}
          ]}}
        ], "comment": "v2", "Lines": []}}
        """),
        [
            ('"max_vale"', 1, "lines[0].fields[0].max_vale", "unknown-key",
             "unknown key `max_vale` in a field of kind INT; did you mean `max_value`?"),
            ('"format"', 1, "lines[0].fields[1].format", "unknown-key",
             "unknown key `format` in a field of kind INT (a key of DATETIME, DATE and TIME fields)"),
            ('"Required"', 1, "lines[0].fields[2].Required", "unknown-key",
             "unknown key `Required` in a field of kind STR; did you mean `required`?"),
            ('"note"', 1, "lines[0].fields[2].note", "unknown-key", "unknown key `note` in a field of kind STR"),
            ('"comment"', 1, "comment", "unknown-key", "unknown key `comment` in the schema"),
            ('"Lines"', 1, "Lines", "unknown-key", "unknown key `Lines` in the schema; did you mean `lines`?"),
        ],
    ),
    (
        schema(f"""
        {{"delimiter": "||", "quote_str": "", "trailing_delimiter": false, "coerce_empty_quoted": false,
         "lines": [
          {{"name": "H", "fields": [], "nmae": 1}},
          {{"name": "D", "fields": [
            {{"kind": "DATETIME", "required": true, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "europe/paris"}},
            {{"kind": "DATETIME", "required": false, "format": "%s", "time_zone": "Mars/Olympus"}},
            {{"kind": "DATE", "required": true, "format": "%Y-%m-%d%Q"}},
            {{"kind": "DATE", "required": true, "format": "%H:%M"}},
            {{"kind": "TIME", "required": true, "format": "%I:%M"}},
            {{"kind": "TIME", "required": true, "format": "%H:%M.%3f"}},
            {{"kind": "DATETIME", "required": true, "format": "%Y-%m-%d", "time_zone": "UTC"}}
          ]}},
          {{"name": "H", "fields": []}}
        ]}}
        """),
        [
            ('"||"', 1, "delimiter", "delimiter-length",
             'delimiter `||` is 2 bytes long, not one: every line fails with "Delimiter needs to be of length 1"'),
            ('""', 1, "quote_str", "quote-length",
             'quote_str is empty, not one byte: every line fails with "Quote needs to be of length 1"'),
            ('"nmae"', 1, "lines[0].nmae", "unknown-key", "unknown key `nmae` in a line; did you mean `name`?"),
            ('"europe/paris"', 1, "lines[1].fields[0].time_zone", "unknown-zone",
             "time zone `europe/paris` is not in the built-in database (IANA 2024a): every value fails with "
             '"Invalid timezone"; did you mean `Europe/Paris`?'),
            ('"Mars/Olympus"', 1, "lines[1].fields[1].time_zone", "unknown-zone",
             "time zone `Mars/Olympus` is not in the built-in database (IANA 2024a): every value fails with "
             '"Invalid timezone"'),
            ('"%Y-%m-%d%Q"', 1, "lines[1].fields[2].format", "bad-format",
             "format `%Y-%m-%d%Q` has the malformed specifier `%Q` at byte 9: every DATE value fails"),
            ('"%H:%M"', 1, "lines[1].fields[3].format", "format-never-matches",
             "format `%H:%M` can never read a DATE value: it never reads a whole date (a year with a month and a "
             "day, a day of the year, or a week with a weekday)"),
            ('"%I:%M"', 1, "lines[1].fields[4].format", "format-never-matches",
             "format `%I:%M` can never read a TIME value: it reads a 12-hour clock hour (`%I`) without AM or PM "
             "(`%p`)"),
            ('"%H:%M.%3f"', 1, "lines[1].fields[5].format", "format-never-matches",
             "format `%H:%M.%3f` can never read a TIME value: it reads a fraction of a second without the second"),
            ('"%Y-%m-%d"', 1, "lines[1].fields[6].format", "format-never-matches",
             "format `%Y-%m-%d` can never read a DATETIME value: it never reads an hour and a minute (nor a Unix "
             "time, `%s`)"),
            ('"H"', 2, "lines[2].name", "duplicate-line",
             "line name `H` is already the name of lines[0] at line 3 column 3: parse_line selects the first line "
             "of a name, so this one is never used"),
        ],
    ),
    (
        # The array form, bounds, enums and flags.
        schema("""
        ["|", null, false, false, [
          ["A", [
            ["STR", true, 5, 3, null],
            ["STR_ENUM", true, ["BUY", "SELL", "BUY", "B\\u0055Y"]],
            ["INT", true, 10, 9.5],
            ["INT", true, 2.7, 2.2],
            ["INT_ENUM", false, [1, -1, 1]],
            ["FLOAT", true, 1e300, -1e300],
            ["DECIMAL", true, null, "0.10", 0.09],
            ["DECIMAL", true, 2, "1e2", "100"],
            ["BOOL", true, "Y", "Y"],
            ["DATE", true, "%.5f"],
            ["TIME", true, "\u00e9%:x"]
          ]],
          {"name": "A", "fields": [], "nmae": 0}
        ]]
        """),
        [
            ("5,", 1, "[4][0][1][0][2]", "min-above-max",
             "min_length 5 is greater than max_length 3: no text has a length between them"),
            ('"BUY"', 2, "[4][0][1][1][2][2]", "duplicate-enum-value",
             "enum value `BUY` repeats the one at index 0; the repeat has no effect"),
            ('"B\\u0055Y"', 1, "[4][0][1][1][2][3]", "duplicate-enum-value",
             "enum value `BUY` repeats the one at index 0; the repeat has no effect"),
            ("10,", 1, "[4][0][1][2][2]", "min-above-max", "min_value 10 is greater than max_value 9.5: every value fails"),
            ("1]", 1, "[4][0][1][4][2][2]", "duplicate-enum-value",
             "enum value `1` repeats the one at index 0; the repeat has no effect"),
            ("1e300", 1, "[4][0][1][5][2]", "min-above-max",
             "min_value 1e300 is greater than max_value -1e300: every value but NaN fails"),
            ('"0.10"', 1, "[4][0][1][6][3]", "min-above-max",
             "min_value 0.10 is greater than max_value 0.09: every value fails"),
            ('"Y"]', 1, "[4][0][1][8][3]", "same-bool-values",
             "false_value is the same text as true_value: it always reads as True"),
            ('"%.5f"', 1, "[4][0][1][9][2]", "bad-format",
             "format `%.5f` has the malformed specifier `%.5` at byte 1: every DATE value fails"),
            ('"\u00e9%:x"', 1, "[4][0][1][10][2]", "bad-format",
             "format `\u00e9%:x` has the malformed specifier `%:x` at byte 3: every TIME value fails"),
            ('"A"', 2, "[4][1].name", "duplicate-line",
             "line name `A` is already the name of [4][0] at line 2 column 3: parse_line selects the first line of a "
             "name, so this one is never used"),
            ('"nmae"', 1, "[4][1].nmae", "unknown-key", "unknown key `nmae` in a line; did you mean `name`?"),
        ],
    ),
    (
        # Clean: reader-only keys, every format the docs show, the zones' own names.
        schema(f"""
        {{{SETTINGS}, "quote_str": "'", "lines": [{{"name": "X", "fields": [
          {{"kind": "DECIMAL", "required": true, "name": "amount", "column_type": "decimal128(38, 4)",
           "min_value": "1", "max_value": 1}},
          {{"kind": "DATETIME", "required": true, "format": "%s", "time_zone": "Etc/GMT+5"}},
          {{"kind": "DATETIME", "required": true, "format": "%+", "time_zone": "UTC"}},
          {{"kind": "DATE", "required": true, "format": "%G-W%V-%u"}},
          {{"kind": "DATE", "required": true, "format": "%C%y %j"}},
          {{"kind": "TIME", "required": true, "format": "%r"}},
          {{"kind": "TIME", "required": true, "format": "%H:%M%.f"}},
          {{"kind": "INT", "required": true, "min_value": 2.7, "max_value": 2.2}}
        ]}}]}}
        """),
        [],
    ),
]


@pytest.mark.parametrize("text, expected", CORPUS, ids=["keys", "separators-zones-formats-lines", "array-form", "clean"])
def test_findings_at_their_places(text, expected):
    found = kelvane_feed.Schema(text).lint()
    want = [
        kelvane_feed.LintFinding(*place(text, needle, occurrence), path, code, message)
        for needle, occurrence, path, code, message in expected
    ]
    assert sorted(found) == sorted(want)
    assert [(f.line, f.column) for f in found] == sorted((f.line, f.column) for f in found)  # text order


# ---------------------------------------------------------------- random schemas, mistakes put in

# The keys of each record, as docs/schema.md lists them, plus the reader's own.
KEYS = {
    "schema": ["delimiter", "quote_str", "trailing_delimiter", "coerce_empty_quoted", "lines"],
    "line": ["name", "fields"],
    "STR": ["required", "min_length", "max_length", "invalid_characters"],
    "STR_ENUM": ["required", "values"],
    "INT": ["required", "min_value", "max_value"],
    "INT_ENUM": ["required", "values"],
    "FLOAT": ["required", "min_value", "max_value"],
    "DECIMAL": ["required", "round_decimal_places", "min_value", "max_value"],
    "BOOL": ["required", "true_value", "false_value"],
    "DATETIME": ["required", "format", "time_zone"],
    "DATE": ["required", "format"],
    "TIME": ["required", "format"],
}
READER_KEYS = ["name", "column_type"]
STRANGE_KEYS = ["comment", "x", "\u00e9t\u00e9", "a.b", 'qu"ote', "tab\there", "\u202e", ""]
BAD_FORMATS = {"DATE": ["%Y-%m-%d%Q", "%", "%-x", "%.4f"], "TIME": ["%H:%M%#", "%3"], "DATETIME": ["%:q"]}
NEVER_FORMATS = {"DATE": ["%H:%M", "%C-%m-%d", "%s", "%m-%d"], "TIME": ["%I:%M", "%M:%S", "%Y"],
                 "DATETIME": ["%Y-%m-%d", "%H:%M:%S", "%G-%m-%d %H:%M"]}


def key_step(key: str) -> str:
    if key and not key[0].isdigit() and all(c.isascii() and (c.isalnum() or c == "_") for c in key):
        return "." + key
    escaped = "".join(
        "\\" + c if c in '"\\' else f"\\u{ord(c):04x}" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in key
    )
    return f'["{escaped}"]'


class Writer:
    """JSON text with random spacing, recording the byte offset of every key
    (path + "#key") and every value (path)."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.parts: list[bytes] = []
        self.size = 0
        self.places: dict[str, int] = {}

    def emit(self, text: str) -> None:
        data = text.encode()
        self.parts.append(data)
        self.size += len(data)

    def space(self) -> None:
        self.emit(self.rng.choice(["", " ", "\n", "\n  ", "\t", "\r\n "]))

    def scalar(self, value: object) -> str:
        return json.dumps(value, ensure_ascii=self.rng.random() < 0.5)

    def write(self, value: object, path: str = "") -> None:
        self.places[path] = self.size
        if isinstance(value, dict):
            self.emit("{")
            for index, (key, item) in enumerate(value.items()):
                self.emit("," if index else "")
                self.space()
                self.places[path + key_step(key) + "#key"] = self.size
                self.emit(self.scalar(key))
                self.space()
                self.emit(":")
                self.space()
                self.write(item, path + key_step(key))
            self.space()
            self.emit("}")
        elif isinstance(value, list):
            self.emit("[")
            for index, item in enumerate(value):
                self.emit("," if index else "")
                self.space()
                self.write(item, f"{path}[{index}]")
            self.space()
            self.emit("]")
        else:
            self.emit(self.scalar(value))

    def text(self) -> str:
        return b"".join(self.parts).decode()


def line_column(text: str, offset: int) -> tuple[int, int]:
    data = text.encode()
    return data[:offset].count(b"\n") + 1, offset - (data.rfind(b"\n", 0, offset) + 1) + 1


def zone_known(zone: str) -> bool:
    """What kelvane.Parser says of the zone."""
    document = {"delimiter": "|", "trailing_delimiter": False, "coerce_empty_quoted": False,
                "lines": [{"name": "A", "fields": [{"kind": "DATETIME", "required": True, "format": "%s",
                                                    "time_zone": zone}]}]}
    try:
        kelvane.Parser(json.dumps(document)).parse_line("A|0")
    except ValueError as error:
        assert "Invalid timezone" in str(error)
        return False
    return True


def put_mistakes(rng: random.Random, document: dict) -> list[tuple[str, str]]:
    """Puts mistakes into the document; returns the (place, code) of each,
    the place being a key of Writer.places."""
    mistakes: list[tuple[str, str]] = []

    def unknown_key(record: dict, path: str, known: list[str]) -> None:
        key = rng.choice(STRANGE_KEYS + [k[:-1] for k in known if len(k) > 4])
        if key not in record and key not in known:
            record[key] = rng.choice([1, None, "x", [1, 2], {"a": []}])
            mistakes.append((path + key_step(key) + "#key", "unknown-key"))

    if rng.random() < 0.3:
        unknown_key(document, "", KEYS["schema"])
    if rng.random() < 0.15:
        document["delimiter"] = rng.choice(["", "||", "\u00a6"])
    if rng.random() < 0.15:
        document["quote_str"] = rng.choice(["", "''"])
    names: dict[str, int] = {}
    for i, line in enumerate(document["lines"]):
        line_path = f".lines[{i}]"
        if rng.random() < 0.2:
            unknown_key(line, line_path, KEYS["line"])
        if line["name"] in names:
            mistakes.append((line_path + ".name", "duplicate-line"))
        names.setdefault(line["name"], i)
        for j, field in enumerate(line["fields"]):
            path = f"{line_path}.fields[{j}]"
            kind = field["kind"]
            if rng.random() < 0.1:
                unknown_key(field, path, ["kind", *KEYS[kind], *READER_KEYS])
            if kind in BAD_FORMATS and rng.random() < 0.15:
                field["format"] = rng.choice(BAD_FORMATS[kind] + NEVER_FORMATS[kind])
            if kind == "DATETIME" and rng.random() < 0.1:
                field["time_zone"] = rng.choice(["Mars/Olympus", "utc", "Europe/Pari", "europe/paris"])
            if kind in ("STR_ENUM", "INT_ENUM") and field["values"] and rng.random() < 0.3:
                field["values"].insert(rng.randrange(len(field["values"]) + 1), rng.choice(field["values"]))
            if kind == "BOOL" and rng.random() < 0.2:
                field["false_value"] = field["true_value"]
            if kind in ("INT", "FLOAT", "DECIMAL") and rng.random() < 0.2:
                bounds = [(5, 4), ("10", "9.99"), (1, "1")] if kind == "DECIMAL" else [(5, 4), (1e300, -1e300), (2.7, 2.2)]
                field["min_value"], field["max_value"] = rng.choice(bounds)
            if kind == "STR" and rng.random() < 0.2:
                field["min_length"], field["max_length"] = 4, 3
    return mistakes


def expected_findings(document: dict) -> set[tuple[str, str]]:
    """Every (place, code) the rules give for the document, found here
    without kelvane's help but for the Parser's verdict on zones."""
    found: set[tuple[str, str]] = set()
    for key in document:
        if key not in KEYS["schema"]:
            found.add((key_step(key) + "#key", "unknown-key"))
    if len(document["delimiter"].encode()) != 1:
        found.add((".delimiter", "delimiter-length"))
    if document.get("quote_str") is not None and len(document["quote_str"].encode()) != 1:
        found.add((".quote_str", "quote-length"))
    seen_names: set[str] = set()
    for i, line in enumerate(document["lines"]):
        line_path = f".lines[{i}]"
        found |= {(line_path + key_step(k) + "#key", "unknown-key") for k in line if k not in KEYS["line"]}
        if line["name"] in seen_names:
            found.add((line_path + ".name", "duplicate-line"))
        seen_names.add(line["name"])
        for j, field in enumerate(line["fields"]):
            path = f"{line_path}.fields[{j}]"
            kind = field["kind"]
            known = ["kind", *KEYS[kind], *READER_KEYS]
            found |= {(path + key_step(k) + "#key", "unknown-key") for k in field if k not in known}
            if kind in ("STR_ENUM", "INT_ENUM"):
                values = field["values"]
                found |= {(f"{path}.values[{n}]", "duplicate-enum-value") for n, v in enumerate(values) if v in values[:n]}
            low, high = field.get("min_value"), field.get("max_value")
            if kind == "STR":
                low, high = field.get("min_length"), field.get("max_length")
            if low is not None and high is not None:
                if kind == "INT":
                    low, high = int(low), int(high)  # truncated toward zero
                elif kind == "DECIMAL":
                    from decimal import Decimal
                    low, high = Decimal(str(low)), Decimal(str(high))
                if low > high:
                    found.add((path + (".min_length" if kind == "STR" else ".min_value"), "min-above-max"))
            if kind == "BOOL" and field.get("false_value") == field["true_value"]:
                found.add((path + ".false_value", "same-bool-values"))
            if kind in BAD_FORMATS:
                if field["format"] in BAD_FORMATS[kind]:
                    found.add((path + ".format", "bad-format"))
                elif field["format"] in NEVER_FORMATS[kind]:
                    found.add((path + ".format", "format-never-matches"))
            if kind == "DATETIME" and not zone_known(field["time_zone"]):
                found.add((path + ".time_zone", "unknown-zone"))
    return found


@pytest.mark.parametrize("seed", range(60))
def test_random_schemas_with_mistakes(seed):
    rng = random.Random(seed)
    document = random_schema(rng).document
    put = put_mistakes(rng, document)
    writer = Writer(rng)
    writer.write(document)
    text = writer.text()
    expected = expected_findings(document)
    assert set(put) <= expected
    found = kelvane_feed.Schema(text).lint()
    got = {(f.line, f.column, f.path, f.code) for f in found}
    want = set()
    for where, code in expected:
        path = where.removesuffix("#key").lstrip(".")
        want.add((*line_column(text, writer.places[where]), path, code))
    assert got == want, text
    for finding in found:
        if finding.code == "delimiter-length":  # the Parser agrees, line by line
            with pytest.raises(ValueError, match="^Delimiter needs to be of length 1$"):
                kelvane.Parser(text).parse_line("H|1")
