"""Times parse_line on a record of two DATE and two TIME fields against
`datetime.strptime` doing the same work (plus line.split), in the same run.
Run: python bench/bench_dates.py"""
import json
import timeit
from datetime import datetime

import kelvane

FORMATS = [("DATE", "%Y-%m-%d"), ("DATE", "%d/%m/%Y"), ("TIME", "%H:%M:%S"), ("TIME", "%H:%M:%S%.f")]
# strptime spells the fraction after the dot as %f.
PYTHON_FORMATS = ["%Y-%m-%d", "%d/%m/%Y", "%H:%M:%S", "%H:%M:%S.%f"]
SCHEMA = json.dumps(
    {
        "delimiter": "|",
        "quote_str": '"',
        "trailing_delimiter": False,
        "coerce_empty_quoted": False,
        "lines": [
            {
                "name": "R",
                "fields": [{"kind": kind, "required": True, "format": pattern} for kind, pattern in FORMATS],
            }
        ],
    }
)
LINE = "R|2024-01-05|31/12/1999|10:30:00|23:59:58.123456\n"


def with_strptime(line, strptime=datetime.strptime):
    name, first, second, third, fourth = line.rstrip("\n").split("|")
    return (
        name,
        strptime(first, "%Y-%m-%d").date(),
        strptime(second, "%d/%m/%Y").date(),
        strptime(third, "%H:%M:%S").time(),
        strptime(fourth, "%H:%M:%S.%f").time(),
    )


def best(stmt, number, repeat=5):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def main():
    parse = kelvane.Parser(SCHEMA).parse_line
    assert parse(LINE) == with_strptime(LINE), (parse(LINE), with_strptime(LINE))
    baseline = best(lambda: with_strptime(LINE), number=20_000)
    ours = best(lambda: parse(LINE), number=200_000)
    print(f"split + 4 x datetime.strptime   {baseline * 1e9:8.0f} ns/line")
    print(f"parse_line (2 DATE + 2 TIME)    {ours * 1e9:8.0f} ns/line")
    print(f"speed-up {baseline / ours:.1f}x (goal >= 20x)")


if __name__ == "__main__":
    main()
