"""Times parse_line on a record of 4 INT, 3 FLOAT and 3 DECIMAL fields against
the same work in plain Python (split, int(), float(), decimal.Decimal), in the
same run. Run: python bench/bench_numbers.py"""
import json
import timeit
from decimal import Decimal

import kelvane

KINDS = ["INT"] * 4 + ["FLOAT"] * 3 + ["DECIMAL"] * 3


def schema(kinds):
    return json.dumps(
        {
            "delimiter": "|",
            "quote_str": None,
            "trailing_delimiter": False,
            "coerce_empty_quoted": False,
            "lines": [{"name": "R", "fields": [{"kind": kind, "required": False} for kind in kinds]}],
        }
    )


LINES = {
    "short numbers": "R|7|42|-1300|2024|0.5|-12.25|3.0|1.50|-0.07|100\n",
    "typical numbers": "R|123456|-98765432|2147483647|9000000001|3.14159|-2.718281828|6.02214076e23"
    "|1234.5678|-0.000123|99999.99\n",
    "long numbers": "R|170141183460469231731687303715884105727|-9223372036854775808|10000000000000000000"
    "|12345678901234567890|1.7976931348623157e308|2.2250738585072014e-308|0.1234567890123456789"
    "|79228162514264337593543950335|7.9228162514264337593543950335|-12345678901234.567890123456\n",
}


def plain_python(line):
    """The same conversions written directly in Python."""
    pieces = line.rstrip("\n").split("|")
    return (
        pieces[0],
        int(pieces[1]),
        int(pieces[2]),
        int(pieces[3]),
        int(pieces[4]),
        float(pieces[5]),
        float(pieces[6]),
        float(pieces[7]),
        Decimal(pieces[8]),
        Decimal(pieces[9]),
        Decimal(pieces[10]),
    )


def plain_python_without_decimals(line):
    pieces = line.rstrip("\n").split("|")
    return (
        pieces[0],
        int(pieces[1]),
        int(pieces[2]),
        int(pieces[3]),
        int(pieces[4]),
        float(pieces[5]),
        float(pieces[6]),
        float(pieces[7]),
    )


def best(stmt, number=100_000, repeat=7):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def compare(title, parse, python, lines):
    print(title)
    print(f"  {'line':16} {'plain Python':>14} {'parse_line':>12} {'speed-up':>9}")
    for name, line in lines.items():
        assert parse(line) == python(line), name
        python_time = best(lambda: python(line))
        kelvane_time = best(lambda: parse(line))
        print(
            f"  {name:16} {python_time * 1e9:11.0f} ns {kelvane_time * 1e9:9.0f} ns"
            f" {python_time / kelvane_time:8.2f}x"
        )


def main():
    compare("4 INT, 3 FLOAT, 3 DECIMAL (goal: at least 3x)", kelvane.Parser(schema(KINDS)).parse_line, plain_python, LINES)
    # The same lines cut after the floats: how much of the time the
    # decimal.Decimal construction takes, which both sides pay alike.
    short_lines = {name: "|".join(line.split("|")[:8]) + "\n" for name, line in LINES.items()}
    compare(
        "4 INT, 3 FLOAT only",
        kelvane.Parser(schema(KINDS[:7])).parse_line,
        plain_python_without_decimals,
        short_lines,
    )
    decimal_call = best(lambda: Decimal("1234.5678"))
    print(f"decimal.Decimal('1234.5678') alone: {decimal_call * 1e9:.0f} ns")


if __name__ == "__main__":
    main()
