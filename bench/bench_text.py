"""Times parse_line on a text-only record of 10 STR fields against the floor
of `tuple(line.split("|"))`, in the same run. Run: python bench/bench_text.py"""
import json
import timeit

import kelvane

FIELDS = 10
SCHEMA = json.dumps(
    {
        "delimiter": "|",
        "quote_str": '"',
        "trailing_delimiter": False,
        "coerce_empty_quoted": False,
        "lines": [{"name": "R", "fields": [{"kind": "STR", "required": False}] * FIELDS}],
    }
)
PLAIN = "R|" + "|".join(f"value{i:02d}abc" for i in range(FIELDS)) + "\n"
QUOTED = "R|" + "|".join(f'"value|{i:02d}"' for i in range(FIELDS)) + "\n"


def best(stmt, number=200_000, repeat=5):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def main():
    parser = kelvane.Parser(SCHEMA)
    parse = parser.parse_line
    assert parse(PLAIN)[1:] == tuple(PLAIN.rstrip("\n").split("|")[1:])
    floor = best(lambda: tuple(PLAIN.split("|")))
    plain = best(lambda: parse(PLAIN))
    quoted = best(lambda: parse(QUOTED))
    first = best(lambda: parser.parse_first(PLAIN))
    print(f"tuple(line.split('|'))       {floor * 1e9:8.0f} ns/line")
    print(f"parse_line, unquoted         {plain * 1e9:8.0f} ns/line  ratio {plain / floor:.2f}x (goal <= 1.5x)")
    print(f"parse_line, every field quoted {quoted * 1e9:6.0f} ns/line  ratio {quoted / floor:.2f}x")
    print(f"parse_first                  {first * 1e9:8.0f} ns/line")


if __name__ == "__main__":
    main()
