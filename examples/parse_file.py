"""Parses a record file with a schema and prints one tuple (or error) a line.

Usage: python examples/parse_file.py SCHEMA.json RECORDS.txt
"""
import sys

import kelvane


def main(schema_path: str, records_path: str) -> int:
    with open(schema_path, encoding="utf-8") as schema_file:
        parser = kelvane.Parser(schema_file.read())
    failures = 0
    with open(records_path, encoding="utf-8", newline="") as records:
        for number, line in enumerate(records, 1):
            try:
                print(f"{number}: {parser.parse_line(line)!r}")
            except ValueError as error:
                failures += 1
                print(f"{number}: ValueError: {error}")
    print(f"{number} lines, {failures} rejected")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
