"""Writes the starting corpus of every fuzz target into a directory.

Usage: python fuzz/seeds.py OUT_DIR  (writes OUT_DIR/<target>/<n>). The seeds
are small, hand-picked texts near the edges of each grammar; the fuzzer finds
the rest. Nothing here is committed output: fuzz/run.sh regenerates it.
"""
import hashlib
import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
SCHEMAS = sorted((HERE / "schemas").glob("*.json"))

NUMBERS = [
    "0", "-0", "+0", "007", "+42", "-000", "170141183460469231731687303715884105727",
    "-170141183460469231731687303715884105728", "170141183460469231731687303715884105728",
    "9223372036854775807", "-9223372036854775808", "9223372036854775808", " 42", "4_2", "42.0", "0x2A",
    "", "+", "-", "+-5", "1e400", "-1e-400", "NaN", "-nan", "-inf", "Infinity", "+INF", "infinite", "nan ",
    ".5", "5.", ".", "1e", "1E+3", "0.1", "2.2250738585072011e-308", "4.9e-324", "2.4703282292062327e-324",
    "1.7976931348623157e308", "1.7976931348623158e308", "9007199254740993", "0.30000000000000004",
    "1" * 800 + "e-800", "0." + "0" * 400 + "1e400", "1e99999999999999999999", "123456789012345678901234567890",
    "7.2057594037927933e16", "1e-5", "1e16", "-0.0e5",
]

DECIMALS = [
    "1.50", "5.", ".5", "-.5", "1_000.000_1", "-0.00", "1__0", "1_", "1._5", "_1", "1,000", " 1", "1e3",
    "1.2.3", "+-1", "--1", "-", ".", "", "0.0000000000000000000000000001", "0.00000000000000000000000000001",
    "0.0000000000000000000000000000_", "0.00000000000000000000000000015xyz",
    "79228162514264337593543950335", "-79228162514264337593543950335", "79228162514264337593543950336",
    "10.0000000000000000000000000000", "7.92281625142643375935439503355", "1.5e-3", "2.50e1", "1e29",
    "1.5e-4294967295", "2E3", "e5", "1e", "9.995", "-0.015", "2.4500001", "0" * 60 + "1.5",
]

TIMES = [
    ("%Y-%m-%d", "2024-01-31"), ("%Y%m%d", "20240229"), ("%Y-%m-%d %H:%M:%S", "2024-06-30 23:59:60"),
    ("%H:%M:%S%.f", "23:59:60.5"), ("%H%M%S", "240000"), ("%a %Y-%m-%d", "Tue 2024-01-01"),
    ("%G-W%V-%u", "2020-W53-7"), ("%Y %U %w", "2024 00 0"), ("%Y %W %a", "2024 52 Sun"), ("%j %Y", "366 2023"),
    ("%C%y", "2024"), ("%y", "69"), ("%s", "-1"), ("%s", "9223372036854775807"), ("%+", "2024-01-15T10:30:00.5+01:00"),
    ("%c", "Sun Jul  8 00:34:60 2001"), ("%I:%M %p", "12:00 AM"), ("%r", "11:59:59 PM"), ("%D %T", "01/31/24 10:00:00"),
    ("%Y-%m-%d %H:%M:%S %z", "2024-01-01 00:00:00 +0530"), ("%:z %::z %:::z %#z", "+05:30 +05:30:00 +05 +5"),
    ("%Y", "+10000"), ("%Y", "-262144"), ("%e %b %Y", " 1 jan 2024"), ("%B %d", "September 09"),
    ("%3f %6f %9f %.3f %.6f %.9f", "123 123456 123456789 .123 .123456 .123456789"), ("%f", "5"),
    ("%-d %_m %0Y", "1 1 2024"), ("%#d", "1"), ("%", "%"), ("%%", "%"), ("%Q", "x"), ("%Z", "CET"),
    ("%Y\u3000%m", "2024\u00a001"), ("%H:%M", "\u200b12:00"), ("%k %l %P", " 9  9 am"),
    ("%F %R", "2024-02-30 10:00"), ("%x %X", "12/31/99 23:59:59"), ("%v", " 1-Jan-2024"), ("%h %g", "Jan 24"),
]

ZONES = ["UTC", "Europe/Paris", "America/New_York", "Etc/GMT+5", "Zulu", "utc", " UTC", "Europe/paris"]

LINES = {
    # fuzz/schemas/1_example.json
    0: ["H|ACME export|20240131|2024-01-31 18:30:00", 'D|1|BUY|"Widget, large|blue"|19.995|0.25|1|Y|09:30:00.123456\n',
        "D|2|SELL||1000000000000000000000.5|1e400|2|N|", "T|3", "T|3\r\n", "X|1", "", '"T"|0', '"T|0'],
    # fuzz/schemas/2_all_kinds.json
    1: ["S,ab,,A,'T',yes", "S,'',x,'B',F,no", "S,abc\u00e3,q,\u00e9t\u00e9,,yes", "S",
        "N,1,3,0,0.5,1e308", "N,-2,2,9223372036854775807,nan,-inf", "N,1e3,,1,2,3",
        "M,1.005,-0.0015,1_000.5,0.0000000000000000000000000001", "M,0.09,1,,", "M,9.995,-1.5,-1,x",
        "D,2024-02-29,Mon 01 Jan 2024 001,2020-W53-7,2024 00 0 00,20240131 01/31/24 2024-01-31 01/31/24  1-Jan-2024",
        "T,240000,23:59:60.999999999,12:00:00 AM 123,", "T,235959,00:00:00.5,01:02:03 PM 000,",
        "Z,2021-03-28 01:30:00,1700000000,2024-01-15T10:30:00+00:00,,", "Z,,,,,2024-01-01T00:00:00",
        ",", "", "'S'"],
    # fuzz/schemas/3_trailing_arrays.json
    2: ["R;abc;-1;1.25;20240229120000;235960;240229;", "R;;;;20240301000000;000000;;", "\u00e9;1.5;", "\u00e9;1.5",
        "R;;;;;;;\n\n", ";"],
    # fuzz/schemas/4_odd_separators.json
    3: ["A|x", "|A|x|", "A||"],
    # fuzz/schemas/5_bad_separators.json
    4: ["A", "\"A\"::x", ""],
    # fuzz/schemas/6_split.json
    5: ["S2|a|b", "S2|'a|b'|c", "S3|ab'c|d'e||", "S1|'a''b'", "S1|''", "'S1'|x", "S5|||||\n\n", "|a|b", "S2|a|b\r\n",
        "S1|'unterminated|x"],
    # fuzz/schemas/7_split_trailing.json
    # fuzz/schemas/8_wide.json
    7: ["W" + ",x" * 60, "W" + ',"a,b"' * 60, "W" + "," * 61, "V" + ",1" * 47 + ",a,b", "V" + ",1" * 46 + ',"x",a,"b"'],
    6: ["A\tx\t", "B\t\"a\tb\"\tc\td\t\n", "\"\"\"\t\t\t", "\u00e9\t\u00e9\t\u00e9\t", "A\tx", "A\tx\t\r\n"],
}


def schema_seeds():
    seeds = [path.read_bytes() for path in SCHEMAS]
    minimal = {"delimiter": "|", "trailing_delimiter": False, "coerce_empty_quoted": False, "lines": []}
    seeds.append(json.dumps(minimal).encode())
    seeds += [
        b"", b"{", b"[]", b'{"delimiter": "|"} x', b'["|", null, false, false, []]',
        b'{"delimiter":"|","trailing_delimiter":false,"coerce_empty_quoted":false,"lines":[{"name":"A","fields":'
        b'[["STR", true, null, null, null], {"kind": "INT", "required": true, "min_value": 1.5}]}]}',
        b'{"delimiter":"|","trailing_delimiter":false,"coerce_empty_quoted":false,"lines":[{"name":"A","fields":'
        b'[{"\\u006bind": "DECIMAL", "required": false, "min_value": "1e29"}]}]}',
        b'{"delimiter":"|","trailing_delimiter":false,"coerce_empty_quoted":false,"lines":[{"name":"A","fields":'
        b'[{"kind": "STR", "required": true, "min_length": -0}]}]}\x00 trailing',
        b"[" * 130 + b"]" * 130,
        b'{"x": ' + b"[" * 126 + b"]" * 126 + b"}",
    ]
    # Large documents: long strings, a long format, and long arrays that a
    # field description holds (a list of `values` before the tag) or skips.
    head = b'{"delimiter":"|","trailing_delimiter":false,"coerce_empty_quoted":false,"lines":[{"name":"A","fields":['
    many = b"[" + b",".join(b"%d" % (i % 97) for i in range(15_000)) + b"]"
    seeds += [
        b'{"delimiter": "' + b"a" * 70_000 + b'"}',
        head + b'{"kind": "DATE", "required": true, "format": "' + b"%c" * 25_000 + b'"}]}]}',
        head + b'{"values": ' + many + b', "kind": "INT_ENUM", "required": true}]}]}',
        head + b'{"comment": ' + many + b', "kind": "STR", "required": true, "values": ["a", 1]}]}]}',
    ]
    return seeds


def lint_seeds():
    """Schemas that the reader accepts, holding every kind of lint finding in
    both the object and the array form."""
    settings = {"delimiter": "||", "quote_str": "", "trailing_delimiter": False, "coerce_empty_quoted": False}
    fields = [
        {"kind": "INT", "required": True, "max_vale": 1, "min_value": 10, "max_value": 5},
        {"kind": "STR", "required": True, "min_length": 4, "max_length": 2, "format": "%Y", "a\"b": 0},
        {"kind": "STR_ENUM", "required": True, "values": ["A", "B", "A", "\u0041"]},
        {"kind": "INT_ENUM", "required": True, "values": [1, -1, 1]},
        {"kind": "FLOAT", "required": False, "min_value": 1e300, "max_value": -1e300},
        {"kind": "DECIMAL", "required": True, "min_value": "0.10", "max_value": 0.09},
        {"kind": "BOOL", "required": True, "true_value": "Y", "false_value": "Y"},
        {"kind": "DATETIME", "required": True, "format": "%Y-%m-%d %Q", "time_zone": "europe/paris"},
        {"kind": "DATETIME", "required": True, "format": "%H:%M", "time_zone": "Mars/Olympus"},
        {"kind": "DATE", "required": True, "format": "%H%"},
        {"kind": "DATE", "required": True, "format": "%C-%m-%d"},
        {"kind": "TIME", "required": True, "format": "%I:%M"},
        {"kind": "TIME", "required": True, "format": "%H:%M.%3f"},
        ["DATE", True, "%.5f"], ["TIME", True, "\u00e9%:x"], ["DATETIME", True, "%s", "UTC"],
        ["STR_ENUM", False, ["x", "x"]], ["INT", True, 2.5, 2.4], ["DECIMAL", True, None, "1e2", "99"],
    ]
    document = {**settings, "lines": [{"name": "A", "fields": fields, "feilds": []}, ["A", []]], "Lines": 1}
    compact = ["", "ab", False, False, [["B", fields[13:]], {"name": "B", "fields": [], "nmae": 1}]]
    return [json.dumps(document).encode(), json.dumps(compact, indent=1).encode()]


def time_seeds():
    seeds = [pattern.encode() + b"\0" + text.encode() for pattern, text in TIMES]
    seeds += [zone.encode() for zone in ZONES]
    return seeds


def line_seeds():
    return [bytes([index]) + line.encode() for index, lines in LINES.items() for line in lines]


def feed_seeds():
    """Schema index, option bits, then several lines of that schema's records."""
    seeds = []
    for index, lines in LINES.items():
        feed = "\n".join(lines).encode()
        for flags in (0, 1, 2, 0x53):
            seeds.append(bytes([index, flags]) + feed + b"\n")
            seeds.append(bytes([index, flags]) + b"\xef\xbb\xbf" + feed.replace(b"\n", b"\r\n"))
    return seeds


def main():
    out = pathlib.Path(sys.argv[1])
    corpora = {
        "numbers": [text.encode() for text in NUMBERS],
        "decimal": [text.encode() for text in DECIMALS],
        "time": time_seeds(),
        "schema": schema_seeds(),
        "line": line_seeds(),
        "feed": feed_seeds(),
        "lint": schema_seeds() + lint_seeds(),
    }
    for name, seeds in corpora.items():
        directory = out / name
        directory.mkdir(parents=True, exist_ok=True)
        for seed in seeds:
            (directory / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


if __name__ == "__main__":
    main()
