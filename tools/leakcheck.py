"""Leak check: runs every public path of kelvane many times and fails when the
process keeps growing or the reference counts of shared singletons drift.

Usage: PYTHONPATH=build/dev-3.12 python tools/leakcheck.py [-n ITERATIONS] [-k SUBSTRING]

Each case is called once to check that it takes the intended path (its value
or its exception), then warmed up, then run ITERATIONS times (100,000 by
default). Between the last two points it measures the resident set size, the
C heap in use (glibc mallinfo2), the reference counts of None, True, False,
datetime.timezone.utc and decimal.Decimal, and sys.gettotalrefcount() on a
debug interpreter. A leak of even one small object per call shows as
megabytes over 100,000 calls; the thresholds leave room for allocator noise.
"""
import argparse
import ctypes
import datetime
import decimal
import gc
import json
import os
import sys
import time
import warnings

import kelvane

RSS_LIMIT = 1 << 20  # bytes of growth tolerated over a whole run of one case
HEAP_LIMIT = 256 << 10

STR = {"kind": "STR", "required": False, "min_length": 2, "max_length": 6, "invalid_characters": "x"}
FIELDS = {
    "STR": STR,
    "STR_ENUM": {"kind": "STR_ENUM", "required": False, "values": ["A", "'B'"]},
    "INT": {"kind": "INT", "required": False, "min_value": -5, "max_value": 1e300},
    "INT_ENUM": {"kind": "INT_ENUM", "required": False, "values": [1, 2]},
    "FLOAT": {"kind": "FLOAT", "required": False, "min_value": 0, "max_value": 1e10},
    "DECIMAL": {"kind": "DECIMAL", "required": False, "round_decimal_places": 2, "min_value": "-1",
                "max_value": 999.5},
    "BOOL": {"kind": "BOOL", "required": False, "true_value": "Y", "false_value": "N"},
    "DATETIME": {"kind": "DATETIME", "required": False, "format": "%Y-%m-%d %H:%M:%S",
                 "time_zone": "Europe/Paris"},
    "UTC": {"kind": "DATETIME", "required": False, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "UTC"},
    "NOZONE": {"kind": "DATETIME", "required": False, "format": "%Y", "time_zone": "Nowhere"},
    "DATE": {"kind": "DATE", "required": False, "format": "%Y-%m-%d"},
    "TIME": {"kind": "TIME", "required": False, "format": "%H:%M:%S%.f"},
}


def document(delimiter="|", quote_str="'", trailing_delimiter=False):
    return json.dumps({
        "delimiter": delimiter, "quote_str": quote_str, "trailing_delimiter": trailing_delimiter,
        "coerce_empty_quoted": True,
        "lines": [{"name": name, "fields": [field]} for name, field in FIELDS.items()]
                 + [{"name": "ALL", "fields": list(FIELDS.values())}],
    })


SCHEMA = document()
PARSER = kelvane.Parser(SCHEMA)
TRAILING = kelvane.Parser(document(trailing_delimiter=True))
BAD_DELIMITER = kelvane.Parser(document(delimiter="::"))
BAD_QUOTE = kelvane.Parser(document(quote_str=""))
ALL_LINE = "ALL|abc|'B'|" + str(2**100) + "|2|0.5|1.005|N|2024-07-01 12:00:00|2024-01-15 10:30:00||2024-02-29|23:59:59.5"

D = decimal.Decimal
date, time_, dt = datetime.date, datetime.time, datetime.datetime
PARIS_SUMMER = datetime.timezone(datetime.timedelta(hours=2))

# name, callable, expected: a value, or (exception type, message prefix).
CASES = [
    ("STR", lambda: PARSER.parse_line("STR|abc"), ("STR", "abc")),
    ("STR quoted empty", lambda: PARSER.parse_line("STR|''"), ValueError),  # too short: coerced to ""
    ("STR absent", lambda: PARSER.parse_line("STR|"), ("STR", None)),
    ("STR_ENUM", lambda: PARSER.parse_line("STR_ENUM|A"), ("STR_ENUM", "A")),
    ("STR_ENUM quoted form", lambda: PARSER.parse_line("STR_ENUM|B"), ("STR_ENUM", "'B'")),
    ("INT", lambda: PARSER.parse_line("INT|" + str(2**100)), ("INT", 2**100)),
    ("INT_ENUM", lambda: PARSER.parse_line("INT_ENUM|2"), ("INT_ENUM", 2)),
    ("FLOAT", lambda: PARSER.parse_line("FLOAT|0.5"), ("FLOAT", 0.5)),
    ("DECIMAL", lambda: PARSER.parse_line("DECIMAL|1.005"), ("DECIMAL", D("1.00"))),
    ("BOOL true", lambda: PARSER.parse_line("BOOL|Y"), ("BOOL", True)),
    ("BOOL false", lambda: PARSER.parse_line("BOOL|N"), ("BOOL", False)),
    ("DATETIME", lambda: PARSER.parse_line("DATETIME|2024-07-01 12:00:00"),
     ("DATETIME", dt(2024, 7, 1, 12, tzinfo=PARIS_SUMMER))),
    ("DATETIME UTC", lambda: PARSER.parse_line("UTC|2024-07-01 12:00:00"),
     ("UTC", dt(2024, 7, 1, 12, tzinfo=datetime.timezone.utc))),
    ("DATE", lambda: PARSER.parse_line("DATE|2024-02-29"), ("DATE", date(2024, 2, 29))),
    ("TIME", lambda: PARSER.parse_line("TIME|09:30:00.123456789"), ("TIME", time_(9, 30, 0, 123456))),
    ("all kinds in one line", lambda: PARSER.parse_line(ALL_LINE), None),
    ("trailing delimiter", lambda: TRAILING.parse_line("INT|5|\n"), ("INT", 5)),
    ("parse_first", lambda: PARSER.parse_first("'A|B'|x"), "A|B"),
    ("parse_first plain", lambda: PARSER.parse_first("ABC|x"), "ABC"),
    # Every failure message.
    ("String is too short", lambda: PARSER.parse_line("STR|a"), (ValueError, "String is too short - ")),
    ("String is too long", lambda: PARSER.parse_line("STR|abcdefg"), (ValueError, "String is too long - ")),
    ("String contains invalid characters", lambda: PARSER.parse_line("STR|axb"),
     (ValueError, "String contains invalid characters - ")),
    ("Value not in enum (str)", lambda: PARSER.parse_line("STR_ENUM|C"), (ValueError, "Value not in enum - ")),
    ("Value not in enum (int)", lambda: PARSER.parse_line("INT_ENUM|3"), (ValueError, "Value not in enum - ")),
    ("Does not parse as int", lambda: PARSER.parse_line("INT|x"), (ValueError, "Does not parse as int - ")),
    ("Int is too small", lambda: PARSER.parse_line("INT|-6"), (ValueError, "Int is too small - ")),
    ("Int is too large", lambda: PARSER.parse_line("INT|" + str(2**127)), (ValueError, "Does not parse as int")),
    ("Does not parse as float", lambda: PARSER.parse_line("FLOAT|x"), (ValueError, "Does not parse as float - ")),
    ("Float is too small", lambda: PARSER.parse_line("FLOAT|-1"), (ValueError, "Float is too small - ")),
    ("Float is too large", lambda: PARSER.parse_line("FLOAT|1e11"), (ValueError, "Float is too large - ")),
    ("Does not parse as decimal", lambda: PARSER.parse_line("DECIMAL|1e3"),
     (ValueError, "Does not parse as decimal - ")),
    ("Decimal is too small", lambda: PARSER.parse_line("DECIMAL|-1.5"), (ValueError, "Decimal is too small - ")),
    ("Decimal is too large", lambda: PARSER.parse_line("DECIMAL|1000.01"), (ValueError, "Decimal is too large - ")),
    ("Value is neither true or false value", lambda: PARSER.parse_line("BOOL|y"),
     (ValueError, "Value is neither true or false value - ")),
    ("Invalid timezone", lambda: PARSER.parse_line("NOZONE|2024"), (ValueError, "Invalid timezone - ")),
    ("Does not parse as datetime (gap)", lambda: PARSER.parse_line("DATETIME|2024-03-31 02:30:00"),
     (ValueError, "Does not parse as datetime - ")),
    ("Does not parse as date", lambda: PARSER.parse_line("DATE|2023-02-29"), (ValueError, "Does not parse as date - ")),
    ("date Python cannot hold", lambda: PARSER.parse_line("DATE|0000-01-01"), (ValueError, "Does not parse as date - ")),
    ("Does not parse as time", lambda: PARSER.parse_line("TIME|24:00:00"), (ValueError, "Does not parse as time - ")),
    ("field fails after others converted", lambda: PARSER.parse_line(ALL_LINE[:-10] + "x"),
     (ValueError, "Does not parse as time - ")),
    ("Delimiter needs to be of length 1", lambda: BAD_DELIMITER.parse_line("INT|1"),
     (ValueError, "Delimiter needs to be of length 1")),
    ("Quote needs to be of length 1", lambda: BAD_QUOTE.parse_line("INT|1"),
     (ValueError, "Quote needs to be of length 1")),
    ("parse_first bad quote", lambda: BAD_QUOTE.parse_first("INT|1"), (ValueError, "Quote needs to be of length 1")),
    ("parse_first bad delimiter", lambda: BAD_DELIMITER.parse_first("INT|1"),
     (ValueError, "Delimiter needs to be of length 1")),
    ("Line doesn't have trailing delimiter", lambda: TRAILING.parse_line("INT|5"),
     (ValueError, "Line doesn't have trailing delimiter")),
    ("No schema line matching", lambda: PARSER.parse_line("NOPE|1"), (ValueError, "No schema line matching 'NOPE'")),
    ("Mismatched line length", lambda: PARSER.parse_line("INT|1|2"), (ValueError, "Mismatched line length")),
    ("lone surrogate", lambda: PARSER.parse_line("STR|\ud800"), (UnicodeEncodeError, "")),
    ("argument type", lambda: PARSER.parse_line(b"STR|abc"), (TypeError, "argument 'line': 'bytes' object")),
    ("argument count", lambda: PARSER.parse_line("a", "b"), (TypeError, "Parser.parse_line() takes 1")),
    ("argument keyword", lambda: PARSER.parse_first(text="a"), (TypeError, "Parser.parse_first() got an unexpected")),
    ("argument by keyword", lambda: PARSER.parse_line(line="INT|1"), ("INT", 1)),
    # Construction.
    ("Parser", lambda: kelvane.Parser(SCHEMA), kelvane.Parser),
    ("Parser by keyword", lambda: kelvane.Parser(schema_json_str=SCHEMA), kelvane.Parser),
    ("Parser bad JSON", lambda: kelvane.Parser(SCHEMA[:-1]), (ValueError, "EOF while parsing an object")),
    ("Parser missing field", lambda: kelvane.Parser('{"delimiter": "|"}'), (ValueError, "missing field")),
    ("Parser bad decimal bound", lambda: kelvane.Parser(SCHEMA.replace('"max_value": 999.5', '"max_value": 1e29')),
     (ValueError, "invalid value: floating point `1e29`")),
    ("Parser unknown kind", lambda: kelvane.Parser(SCHEMA.replace('"BOOL"', '"BOOLEAN"')),
     (ValueError, "unknown variant `BOOLEAN`")),
    ("Parser argument type", lambda: kelvane.Parser(None), (TypeError, "argument 'schema_json_str'")),
]

# Types of the exceptions reported to sys.unraisablehook (a set: it must not
# grow with the number of reports).
unraisable = set()


def leap_second_warning_as_error():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return PARSER.parse_line("TIME|23:59:60.5")


def leap_second_warning_ignored():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return PARSER.parse_line("TIME|23:59:60")


CASES += [
    ("leap second, warning as error", leap_second_warning_as_error, ("TIME", time_(23, 59, 59, 500000))),
    ("leap second, warning ignored", leap_second_warning_ignored, ("TIME", time_(23, 59, 59))),
]


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = MallInfo2
except (OSError, AttributeError):
    _libc = None


def heap_in_use():
    if _libc is None:
        return 0
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def tracked():
    gc.collect()
    counts = {name: sys.getrefcount(obj) for name, obj in
              [("None", None), ("True", True), ("False", False), ("timezone.utc", datetime.timezone.utc),
               ("decimal.Decimal", decimal.Decimal)]}
    if hasattr(sys, "gettotalrefcount"):
        counts["total"] = sys.gettotalrefcount()
    return counts


def outcome(function):
    try:
        return function()
    except BaseException as error:  # noqa: BLE001 - any exception is an outcome here
        return error


def as_expected(result, expected):
    if expected is None:
        return isinstance(result, tuple)
    if isinstance(expected, type) and issubclass(expected, BaseException):
        return isinstance(result, expected)
    if isinstance(expected, type):
        return type(result) is expected
    if isinstance(expected, tuple) and len(expected) == 2 and isinstance(expected[0], type) \
            and issubclass(expected[0], BaseException):
        return type(result) is expected[0] and str(result).startswith(expected[1])
    return result == expected


def run_case(name, function, expected, iterations):
    result = outcome(function)
    ok = as_expected(result, expected)
    for _ in range(max(iterations // 10, 1000)):
        outcome(function)
    before_counts = tracked()
    before_rss, before_heap = rss(), heap_in_use()
    start = time.perf_counter()
    for _ in range(iterations):
        outcome(function)
    elapsed = time.perf_counter() - start
    after_counts = tracked()
    rss_growth, heap_growth = rss() - before_rss, heap_in_use() - before_heap
    drift = {key: after_counts[key] - before_counts[key] for key in before_counts
             if after_counts[key] != before_counts[key]}
    # The loop's own `outcome` frames may leave the total count off by a few.
    if "total" in drift and abs(drift["total"]) < 10:
        del drift["total"]
    problems = []
    if not ok:
        problems.append("unexpected outcome %r" % (result,))
    if rss_growth > RSS_LIMIT:
        problems.append("RSS grew %d KiB" % (rss_growth >> 10))
    if heap_growth > HEAP_LIMIT:
        problems.append("C heap grew %d KiB" % (heap_growth >> 10))
    if drift:
        problems.append("reference counts drifted %r" % drift)
    print("%-42s %8.2f us/call  rss %+6d KiB  heap %+6d KiB  %s" % (
        name, elapsed / iterations * 1e6, rss_growth >> 10, heap_growth >> 10, "; ".join(problems) or "ok"))
    return not problems


def main():
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("-n", "--iterations", type=int, default=100_000)
    arguments.add_argument("-k", "--keyword", default="")
    options = arguments.parse_args()
    sys.unraisablehook = lambda report: unraisable.add(type(report.exc_value))
    failed = [name for name, function, expected in CASES
              if options.keyword in name and not run_case(name, function, expected, options.iterations)]
    print("unraisable reports seen:", sorted(t.__name__ for t in unraisable) or "none")
    if options.keyword in "leap second, warning as error" and UserWarning not in unraisable:
        failed.append("leap-second warning never reached sys.unraisablehook")
    print("debug interpreter (sys.gettotalrefcount):", hasattr(sys, "gettotalrefcount"))
    if failed:
        print("FAILED:", ", ".join(failed))
        return 1
    print("all %d cases ok" % sum(options.keyword in name for name, _, _ in CASES))
    return 0


if __name__ == "__main__":
    sys.exit(main())
