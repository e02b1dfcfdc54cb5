"""Random schemas and feeds for the feed reader's tests, and the oracle: what
kelvane.Parser.parse_line says about every line of a feed."""

from __future__ import annotations

import datetime
import importlib.resources
import json
import math
import random
import warnings
import zoneinfo
from dataclasses import dataclass, field

import kelvane

DATE_FORMATS = ["%Y%m%d", "%Y-%m-%d", "%d/%m/%Y"]
TIME_FORMATS = ["%H:%M:%S", "%H%M%S", "%H:%M:%S%.f"]
DATETIME_FORMATS = ["%Y-%m-%d %H:%M:%S", "%Y%m%d%H%M%S", "%Y-%m-%dT%H:%M:%S%.f"]
ZONES = ["UTC", "Europe/Paris", "America/New_York", "Asia/Kolkata", "Australia/Lord_Howe", "Nowhere/Atlantis"]
TEXT_PIECES = ["a", "Zz", "9", " ", "é", "ß", "日本", "\t", "x y", "-", ",", "\"", "'", "|", ";", "€"]
KINDS = ["STR", "STR_ENUM", "INT", "INT_ENUM", "FLOAT", "DECIMAL", "BOOL", "DATETIME", "DATE", "TIME"]


def tzdata_zone(name: str) -> zoneinfo.ZoneInfo:
    """zoneinfo over the pinned tzdata package's file, never the host's."""
    with importlib.resources.files("tzdata.zoneinfo").joinpath(*name.split("/")).open("rb") as f:
        return zoneinfo.ZoneInfo.from_file(f, key=name)


@dataclass
class GeneratedField:
    description: dict
    good: list  # field texts that mostly pass
    bad: list  # field texts that mostly fail


@dataclass
class GeneratedSchema:
    document: dict
    kinds: dict = field(default_factory=dict)  # record name -> [GeneratedField]

    @property
    def text(self) -> str:
        return json.dumps(self.document, ensure_ascii=False)


def _date(rng: random.Random) -> datetime.datetime:
    return datetime.datetime(1900, 1, 1) + datetime.timedelta(seconds=rng.randrange(200 * 365 * 86400))


def _strftime(moment: datetime.datetime, pattern: str, rng: random.Random) -> str:
    fraction = ""
    if "%.f" in pattern:
        fraction = "." + str(rng.randrange(10**9)).rjust(rng.choice([3, 6, 9]), "0")[: rng.choice([3, 6, 9])]
        pattern = pattern.replace("%.f", "")
    return moment.strftime(pattern) + fraction


def random_field(rng: random.Random, kind: str, delimiter: str, quote: str | None) -> GeneratedField:
    required = rng.random() < 0.4
    d: dict = {"kind": kind, "required": required}
    good: list[str] = [] if required else [""]
    bad: list[str] = ["?"] + ([""] if required else [])
    if kind == "STR":
        if rng.random() < 0.3:
            d["min_length"] = rng.randrange(0, 3)
        if rng.random() < 0.3:
            d["max_length"] = rng.randrange(2, 12)
        if rng.random() < 0.2:
            d["invalid_characters"] = rng.choice(["\t", "é;", "x"])
        pieces = [p for p in TEXT_PIECES if delimiter not in p and (quote is None or quote not in p)]
        for _ in range(8):
            good.append("".join(rng.choice(pieces) for _ in range(rng.randrange(1, 4))))
        bad += ["x" * 20, "\t"]
    elif kind == "STR_ENUM":
        values = rng.sample(["A", "B", "SELL", "é", "'C'", "", "x y"], rng.randrange(0, 5) if rng.random() < 0.1 else 3)
        d["values"] = values
        good += [v for v in values if v and (quote is None or quote not in v)]
        bad += ["C", "a", "SELLX"]
    elif kind == "INT":
        if rng.random() < 0.3:
            d["min_value"] = rng.choice([0, -5, 2.5, -1e20, 10])
        if rng.random() < 0.3:
            d["max_value"] = rng.choice([100, 1e20, 2.5, 9223372036854775807])
        good += [str(rng.randrange(-1000, 1000)) for _ in range(4)] + [str(rng.randrange(-(10**12), 10**12)), "+7",
                                                                       "-0", "007"]
        bad += [str(2**63 - 1), str(-(2**63)), str(2**63), str(-(2**63) - 1), str(10**30), "1.5", "1e3", "1_000", "x"]
    elif kind == "INT_ENUM":
        values = rng.sample([1, 2, -3, 0, 2**63 - 1, -(2**63)], rng.randrange(0, 5) if rng.random() < 0.1 else 3)
        d["values"] = values
        good += [str(v) for v in values] + ["+1", "01"]
        bad += ["5", str(2**64), "x"]
    elif kind == "FLOAT":
        if rng.random() < 0.3:
            d["min_value"] = rng.choice([0, -1.5, 1e-3])
        if rng.random() < 0.3:
            d["max_value"] = rng.choice([100, 1e300, 0.5])
        good += [repr(rng.uniform(-1e6, 1e6)), repr(rng.random()), "0.1", "2.5e-3", ".5", "5.", "-0", "nan"]
        bad += ["-inf", "inf", "1e400", "1e-400", "1_0", "0x10"]
    elif kind == "DECIMAL":
        if rng.random() < 0.4:
            d["round_decimal_places"] = rng.choice([0, 2, 4, 9, 12, 28, 40])
        if rng.random() < 0.2:
            d["min_value"] = rng.choice(["0", "-1.5", 0.1])
        if rng.random() < 0.2:
            d["max_value"] = rng.choice(["1000000", 99.99])
        for _ in range(6):
            places = rng.randrange(0, 10)
            digits = str(rng.randrange(10 ** rng.randrange(1, 18)))
            sign = rng.choice(["", "-"])
            good.append(sign + (digits[:-places] or "0") + ("." + digits[-places:].rjust(places, "0") if places else ""))
        good += ["1.0000000000", "-0.00", "1."]
        bad += ["79228162514264337593543950335", "0.0000000000000000000000000001", "12345678901234567890.12345678",
                "1.23456789012", "1e5", ".5", "x"]
    elif kind == "BOOL":
        d["true_value"] = rng.choice(["Y", "true", "1", "é"])
        if rng.random() < 0.7:
            d["false_value"] = rng.choice(["N", "false", "0"])
        good += [d["true_value"], d.get("false_value", d["true_value"])]
        bad += ["y", "maybe"]
    elif kind in ("DATETIME", "DATE", "TIME"):
        formats = {"DATETIME": DATETIME_FORMATS, "DATE": DATE_FORMATS, "TIME": TIME_FORMATS}[kind]
        pattern = rng.choice(formats)
        d["format"] = pattern
        if kind == "DATETIME":
            d["time_zone"] = rng.choice(ZONES) if rng.random() < 0.1 else rng.choice(ZONES[:-1])
        for _ in range(6):
            good.append(_strftime(_date(rng), pattern, rng))
        if kind == "DATETIME":
            bad += [_strftime(datetime.datetime(2024, 3, 31, 2, 30), pattern, rng),  # a gap in Paris
                    _strftime(datetime.datetime(2024, 11, 3, 1, 30), pattern, rng),  # an overlap in New York
                    pattern.replace("%Y", "0000").replace("%m", "01").replace("%d", "01").replace("%H", "00")
                    .replace("%M", "00").replace("%S", "00").replace("%.f", "")]
        elif kind == "DATE":
            bad += [pattern.replace("%Y", "0000").replace("%m", "01").replace("%d", "01"),
                    pattern.replace("%Y", "2023").replace("%m", "02").replace("%d", "29")]
        else:
            good += {"%H:%M:%S": ["23:59:60"], "%H%M%S": ["240000", "235960"], "%H:%M:%S%.f": ["23:59:60.5"]}[pattern]
            bad += ["24:00:00", "12:00", "240001"]
        bad += ["2024-13-01", "x"]
    # Quote some texts, and put the delimiter inside quoted ones.
    if quote is not None:
        good += [quote + text + quote for text in good[1:3] if quote not in text]
        good += [quote + "a" + delimiter + "b" + quote] if kind in ("STR",) else []
        bad += [quote + quote]
    if rng.random() < 0.6:
        d["name"] = rng.choice(["amount", "id", "when", "flag", "note", "é col", "x"])
    return GeneratedField(d, good, bad)


def random_schema(rng: random.Random) -> GeneratedSchema:
    delimiter = rng.choice(["|", ",", ";", "\t"])
    quote = rng.choice([None, "'", '"'])
    trailing = rng.random() < 0.25
    lines = []
    generated = GeneratedSchema({})
    names = ["H", "D", "T", "X1", "é"][: rng.randrange(1, 5)]
    for name in names:
        kinds = rng.sample(KINDS, rng.randrange(0, 8)) + rng.sample(KINDS, rng.randrange(0, 4))
        fields = [random_field(rng, kind, delimiter, quote) for kind in kinds]
        # Column names must be unique within a Line.
        seen = set()
        for generated_field in fields:
            column = generated_field.description.get("name")
            if column is not None:
                if column in seen or column.startswith("f"):
                    del generated_field.description["name"]
                else:
                    seen.add(column)
        lines.append({"name": name, "fields": [f.description for f in fields]})
        generated.kinds[name] = fields
    if rng.random() < 0.2 and lines:
        lines.append({"name": lines[0]["name"], "fields": []})  # never selected
    generated.document = {
        "delimiter": delimiter,
        "quote_str": quote,
        "trailing_delimiter": trailing,
        "coerce_empty_quoted": rng.random() < 0.5,
        "lines": lines,
    }
    return generated


def random_feed(rng: random.Random, generated: GeneratedSchema, count: int) -> bytes:
    """Lines of every kind, mostly well formed, some broken in every way."""
    delimiter = generated.document["delimiter"]
    trailing = generated.document["trailing_delimiter"]
    names = list(generated.kinds)
    out = []
    for _ in range(count):
        name = rng.choice(names)
        pieces = [rng.choice(f.bad) if rng.random() < 0.03 else rng.choice(f.good) for f in generated.kinds[name]]
        roll = rng.random()
        if roll < 0.02:
            pieces = pieces[:-1]
        elif roll < 0.04:
            pieces.append("extra")
        elif roll < 0.05:
            name = "NOPE"
        line = delimiter.join([name] + pieces)
        if trailing and rng.random() < 0.95:
            line += delimiter
        data = line.encode()
        roll = rng.random()
        if roll < 0.01:
            data = b""
        elif roll < 0.02:
            data += b"\xff"
        elif roll < 0.03:
            data = data[: len(data) // 2] + b"\xc3"
        elif roll < 0.04:
            data += b"\xed\xa0\x80"  # an encoded surrogate
        ending = b"\r\n" if rng.random() < 0.2 else b"\n"
        out.append(data + ending)
    if rng.random() < 0.5 and out:
        out[-1] = out[-1].rstrip(b"\r\n")  # last line without a line end
    return b"".join(out)


@dataclass
class Expected:
    """What parse_line says about each line of a feed."""

    rows: dict  # record kind -> [(line number, tuple)]
    errors: list  # (line number, message, line text)
    lines: int


def lines_of(data: bytes, crlf: bool) -> list[bytes]:
    if not data:
        return []
    parts = data.split(b"\n")
    if data.endswith(b"\n"):
        parts.pop()
    if parts and parts[0].startswith(b"\xef\xbb\xbf"):
        parts[0] = parts[0][3:]
    if crlf:
        parts = [p[:-1] if p.endswith(b"\r") else p for p in parts]
    return parts


def expected_outcome(schema_text: str, data: bytes, crlf: bool, skip_blank: bool = False) -> Expected:
    parser = kelvane.Parser(schema_text)
    document = json.loads(schema_text)
    kinds: list[str] = []
    for line in document["lines"]:
        if line["name"] not in kinds:
            kinds.append(line["name"])
    rows: dict = {kind: [] for kind in kinds}
    errors = []
    lines = lines_of(data, crlf)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # leap seconds
        for number, raw in enumerate(lines, 1):
            if skip_blank and not raw:
                continue
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError as failure:
                errors.append((number, f"Invalid UTF-8 at byte {failure.start + 1} of the line", raw))
                continue
            try:
                result = parser.parse_line(text)
            except ValueError as failure:
                errors.append((number, str(failure), raw))
                continue
            rows[result[0]].append((number, result[1:]))
    return Expected(rows, errors, len(lines))


def same_value(ours, theirs) -> bool:
    """A column value as pyarrow gives it against parse_line's value."""
    if isinstance(theirs, float) and math.isnan(theirs):
        return isinstance(ours, float) and math.isnan(ours)
    if isinstance(theirs, float):
        return type(ours) is float and ours == theirs and math.copysign(1, ours) == math.copysign(1, theirs)
    if isinstance(theirs, datetime.datetime):
        # The same instant, and the same wall clock in the column's zone.
        if not isinstance(ours, datetime.datetime) or ours != theirs:
            return False
        zone = tzdata_zone(ours.tzinfo.key if hasattr(ours.tzinfo, "key") else str(ours.tzinfo))
        local = ours.astimezone(zone)
        return local.replace(tzinfo=None) == theirs.replace(tzinfo=None) and local.utcoffset() == theirs.utcoffset()
    if isinstance(theirs, bool) or isinstance(ours, bool):
        return type(ours) is type(theirs) and ours == theirs
    return ours == theirs


def split_pieces(line: str, delimiter: str, quote: str | None, trailing: bool) -> list[str]:
    """The pieces parse_line gives the fields, by the split rules, written plainly."""
    line = line.rstrip("\n")
    if trailing:
        line = line[:-1]
    pieces, current, in_quotes = [], [], False
    for c in line:
        if quote is not None and c == quote:
            in_quotes = not in_quotes
        elif c == delimiter and not in_quotes:
            pieces.append("".join(current))
            current = []
        else:
            current.append(c)
    pieces.append("".join(current))
    return pieces
