"""The reader against kelvane.Parser: over random schemas and random good and
bad lines, every accepted row holds parse_line's values, every rejected line
carries parse_line's message, for any thread count, chunk size and line-end
mode; iter_records agrees; so do the shipped examples."""

from __future__ import annotations

import decimal
import random
import warnings
from pathlib import Path

import pyarrow as pa
import pytest

import kelvane
import kelvane_feed
from feedgen import expected_outcome, lines_of, random_feed, random_schema, same_value, split_pieces

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
MISFIT_MARKERS = ("does not fit the column type", "than the column type")


def line_offsets(data: bytes) -> list[int]:
    offsets = [0]
    position = data.find(b"\n")
    while position != -1 and position + 1 < len(data):
        offsets.append(position + 1)
        position = data.find(b"\n", position + 1)
    return offsets


def value_misfits(value, column_type: str) -> bool:
    """Whether parse_line's value really cannot be held by the column type."""
    if column_type == "int64":
        return not -(2**63) <= value < 2**63
    if column_type.startswith("decimal128("):
        precision, scale = (int(part) for part in column_type[len("decimal128(") : -1].split(","))
        exact = decimal.Decimal(value)
        scaled = exact.scaleb(scale)
        return scaled != scaled.to_integral_value() or abs(scaled) >= 10**precision
    return False


def check_against_parser(feed: kelvane_feed.Feed, generated, data: bytes, crlf: bool) -> None:
    expected = expected_outcome(generated.text, data, crlf)
    assert feed.lines == expected.lines
    offsets = line_offsets(data)
    lines = lines_of(data, crlf)
    document = generated.document
    ours = {error.line: error for error in feed.errors}
    theirs = {number: message for number, message, _ in expected.errors}

    for number, message in theirs.items():
        assert number in ours, f"line {number} accepted, parse_line says: {message}"
        assert ours[number].message == message

    misfit_lines = set(ours) - set(theirs)
    for number in misfit_lines:
        error = ours[number]
        assert any(marker in error.message for marker in MISFIT_MARKERS), error
        # parse_line accepted it: the value of the failing field must be one
        # the column type cannot hold.
        (row,) = [values for line, values in expected.rows[error.record] if line == number]
        column_type = feed[error.record].column_types[error.field_name]
        assert value_misfits(row[error.field - 1], column_type), (error, row)

    for error in feed.errors:
        assert error.offset == offsets[error.line - 1]
        assert error.text == lines[error.line - 1].decode("utf-8", "backslashreplace")
        if error.field is not None and error.line in theirs and " given schema: " in error.message:
            # A field failure names its piece: the piece at the reported position.
            pieces = split_pieces(
                lines[error.line - 1].decode(), document["delimiter"], document["quote_str"],
                document["trailing_delimiter"],
            )
            assert error.message.split(" - '", 1)[1].startswith(pieces[error.field] + "' given schema: ")
            assert error.record == pieces[0]

    for kind, rows in expected.rows.items():
        kept = [values for line, values in rows if line not in misfit_lines]
        table = pa.table(feed[kind])
        assert table.num_rows == len(kept) == feed.counts[kind]
        got = [tuple(row.values()) for row in table.to_pylist()] if table.num_columns else [()] * table.num_rows
        for ours_row, their_row in zip(got, kept):
            assert len(ours_row) == len(their_row)
            for a, b in zip(ours_row, their_row):
                assert same_value(a, b), (kind, ours_row, their_row)


def assert_same_feed(a: kelvane_feed.Feed, b: kelvane_feed.Feed) -> None:
    assert a.lines == b.lines and list(a.errors) == list(b.errors)
    for kind in a:
        ours, theirs = pa.table(a[kind]), pa.table(b[kind])
        # repr: NaN equals NaN, -0.0 differs from 0.0.
        assert ours.schema == theirs.schema and repr(ours.to_pylist()) == repr(theirs.to_pylist())


@pytest.mark.parametrize("seed", range(8))
def test_random_feeds_match_parse_line(seed):
    rng = random.Random(seed)
    generated = random_schema(rng)
    data = random_feed(rng, generated, 1200)
    schema = kelvane_feed.Schema(generated.text)
    for newline in ("crlf", "lf"):
        reference = kelvane_feed.read(data, schema, errors="collect", threads=1, newline=newline)
        check_against_parser(reference, generated, data, newline == "crlf")
        for threads, chunk_size in [(1, 1), (2, 97), (3, 4096), (4, 1 << 20), (2, 1)]:
            other = kelvane_feed.read(data, schema, errors="collect", threads=threads, chunk_size=chunk_size,
                                      newline=newline)
            assert_same_feed(reference, other)

        # iter_records: parse_line's own tuples, with the same located errors
        # (misfits aside: those lines are the Parser's to accept).
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            records = kelvane_feed.iter_records(data, schema, errors="collect", newline=newline)
            numbered = list(records)
        misfits = [e for e in reference.errors if any(m in e.message for m in MISFIT_MARKERS)]
        assert list(records.errors) == [e for e in reference.errors if e not in misfits]
        assert len(numbered) == sum(reference.counts.values()) + len(misfits)


@pytest.mark.parametrize("threads", [1, 2])
def test_shipped_examples(threads):
    schema_text = (EXAMPLES / "schema.json").read_text()
    data = (EXAMPLES / "records.txt").read_bytes()
    feed = kelvane_feed.read(EXAMPLES / "records.txt", schema_text, errors="collect", threads=threads, chunk_size=50)

    class Example:
        text = schema_text
        document = __import__("json").loads(schema_text)

    check_against_parser(feed, Example, data, crlf=True)
    parser = kelvane.Parser(schema_text)
    assert [(e.line, e.message) for e in feed.errors][1:] == [
        (number, _message(parser, line)) for number, line in [(5, lines_of(data, True)[4]), (6, lines_of(data, True)[5])]
    ]


def _message(parser, line: bytes) -> str:
    with pytest.raises(ValueError) as failure:
        parser.parse_line(line.decode())
    return str(failure.value)
