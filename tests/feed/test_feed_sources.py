"""Sources, byte ranges, line counting, streaming and error policies: every way
of reading a feed gives the same result as one plain read of its bytes, and
bad input of every kind is reported, never half-read."""

from __future__ import annotations

import gzip
import importlib.metadata
import io
import pickle
import random
import subprocess
import sys
import threading

import pyarrow as pa
import pytest

import kelvane_feed
from feedgen import random_feed, random_schema

SCHEMA = """{"delimiter": "|", "quote_str": "'", "trailing_delimiter": false, "coerce_empty_quoted": false,
 "lines": [
  {"name": "H", "fields": [{"kind": "DATE", "required": true, "format": "%Y%m%d", "name": "day"}]},
  {"name": "D", "fields": [
    {"kind": "INT", "required": true, "name": "id"},
    {"kind": "STR", "required": false, "name": "note"},
    {"kind": "DECIMAL", "required": true, "round_decimal_places": 2, "name": "amount"}]},
  {"name": "T", "fields": []}]}"""


def table_rows(feed):
    # repr: NaN equals NaN.
    return {kind: repr(pa.table(feed[kind]).to_pylist()) for kind in feed}


def summary(feed):
    return table_rows(feed), list(feed.errors), feed.lines


@pytest.fixture(scope="module")
def feed_bytes():
    rng = random.Random(11)
    lines = [b"H|20240131"]
    for i in range(3000):
        roll = rng.random()
        if roll < 0.05:
            lines.append(b"D|x|bad|1")
        elif roll < 0.07:
            lines.append(b"")
        elif roll < 0.08:
            lines.append(b"D|1|caf\xc3|1")
        else:
            lines.append(b"D|%d|'n|%d'|%d.%02d\r" % (i, i, rng.randrange(10**6), rng.randrange(100)))
    lines.append(b"T")
    return b"\n".join(lines) + b"\n"


class Trickle(io.RawIOBase):
    """A non-seekable binary stream that returns a few bytes at a time, like a pipe."""

    def __init__(self, data, fail_after=None):
        self._data = memoryview(data)
        self._position = 0
        self._fail_after = fail_after

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._fail_after is not None and self._position >= self._fail_after:
            raise OSError("the pipe broke")
        count = min(len(buffer), 7919, len(self._data) - self._position)
        buffer[:count] = self._data[self._position : self._position + count]
        self._position += count
        return count


class ReadOnly:
    """A file-like object with read() only."""

    def __init__(self, data):
        self._file = io.BytesIO(data)

    def read(self, size=-1):
        return self._file.read(min(size, 5000) if size and size > 0 else size)


def sources(data, tmp_path):
    path = tmp_path / "feed.txt"
    path.write_bytes(data)
    gz = tmp_path / "feed.txt.gz"
    gz.write_bytes(gzip.compress(data))
    return {
        "path": lambda: path,
        "str path": lambda: str(path),
        "bytes": lambda: data,
        "bytearray": lambda: bytearray(data),
        "memoryview": lambda: memoryview(data),
        "BytesIO": lambda: io.BytesIO(data),
        "gzip": lambda: gzip.open(gz),
        "pipe": lambda: Trickle(data),
        "read only": lambda: ReadOnly(data),
    }


@pytest.mark.parametrize("threads", [1, 3])
def test_every_source_reads_the_same(feed_bytes, tmp_path, threads):
    reference = summary(kelvane_feed.read(feed_bytes, SCHEMA, errors="collect", threads=1))
    assert reference[1] and reference[0]["D"]
    for name, make in sources(feed_bytes, tmp_path).items():
        feed = kelvane_feed.read(make(), SCHEMA, errors="collect", threads=threads, chunk_size=10_000)
        assert summary(feed) == reference, name


@pytest.mark.parametrize("seed", range(4))
def test_byte_ranges_tile_a_file(tmp_path, seed):
    rng = random.Random(seed)
    generated = random_schema(rng)
    data = random_feed(rng, generated, 400)
    if rng.random() < 0.5:
        data = b"\xef\xbb\xbf" + data
    path = tmp_path / "feed.txt"
    path.write_bytes(data)
    whole = kelvane_feed.read(data, generated.text, errors="collect")
    cuts = sorted({0, len(data), *(rng.randrange(len(data) + 1) for _ in range(12))})
    ranges = list(zip(cuts, cuts[1:]))
    makers = {
        "bytes": lambda: data,
        "path": lambda: path,
        "seekable file": lambda: io.BytesIO(data),
        "pipe": lambda: Trickle(data),
    }
    for name, make in makers.items():
        for counted in (False, True):
            rows: dict = {kind: [] for kind in whole}
            errors = []
            lines = 0
            for start, end in ranges:
                first = kelvane_feed.count_lines(data, (0, start)) + 1 if counted else None
                part = kelvane_feed.read(make(), generated.text, errors="collect", byte_range=(start, end),
                                         first_line_number=first, chunk_size=rng.choice([1, 64, 1 << 20]),
                                         threads=rng.choice([1, 2]))
                assert part.lines == kelvane_feed.count_lines(make(), (start, end))
                lines += part.lines
                errors += list(part.errors)
                for kind in part:
                    rows[kind] += pa.table(part[kind]).to_pylist()
            assert lines == whole.lines, name
            assert errors == list(whole.errors), name
            assert {kind: repr(r) for kind, r in rows.items()} == table_rows(whole), name


@pytest.mark.parametrize("seed", range(20))
def test_count_lines_counts_line_starts(seed, tmp_path):
    rng = random.Random(seed)
    data = bytes(rng.choice(b"ab\n") for _ in range(rng.randrange(0, 300)))
    starts = [0] if data else []
    starts += [i + 1 for i, byte in enumerate(data) if byte == 10 and i + 1 < len(data)]
    start = rng.randrange(len(data) + 2)
    end = rng.randrange(start, len(data) + 3)
    expected = sum(start <= s < end for s in starts)
    assert kelvane_feed.count_lines(data, (start, end)) == expected
    assert kelvane_feed.count_lines(Trickle(data), (start, end)) == expected
    path = tmp_path / "lines.txt"
    path.write_bytes(data)
    assert kelvane_feed.count_lines(path, (start, end)) == expected
    assert kelvane_feed.count_lines(data) == len(starts)


def test_empty_and_error_only_inputs(tmp_path):
    empty = tmp_path / "empty.txt"
    empty.write_bytes(b"")
    feed = kelvane_feed.read(empty, SCHEMA)
    assert feed.lines == 0 and not feed.errors
    assert pa.table(feed["D"]).schema.names == ["id", "note", "amount"]
    assert pa.table(feed["D"]).num_rows == 0

    only_errors = b"X|1\nD|x|y|z\n\n" * 50
    feed = kelvane_feed.read(only_errors, SCHEMA, errors="collect", threads=2, chunk_size=16)
    assert len(feed.errors) == feed.lines == 150
    assert sum(feed.counts.values()) == 0


def test_line_rules():
    data = (
        b"\xef\xbb\xbfH|20240131\r\n"  # byte-order mark and CRLF
        b"D|1||1.5\r\n"
        b"\n"  # blank
        b"D|2|\xef\xbb\xbfx|2\n"  # a BOM inside a line is text
        b"D|3|bad\xff|3\n"
        b"T"  # no line end
    )
    feed = kelvane_feed.read(data, SCHEMA, errors="collect")
    assert [(e.line, e.offset, e.message) for e in feed.errors] == [
        (3, 25, "No schema line matching ''"),
        (5, 37, "Invalid UTF-8 at byte 8 of the line"),
    ]
    assert feed.errors[1].text == "D|3|bad\\xff|3" and feed.errors[1].record is None
    assert pa.table(feed["D"]).column("note").to_pylist() == [None, "\ufeffx"]
    assert feed.counts == {"H": 1, "D": 2, "T": 1} and feed.lines == 6

    skipped = kelvane_feed.read(data, SCHEMA, errors="collect", skip_blank=True)
    assert [e.line for e in skipped.errors] == [5] and skipped.skipped_blank == 1

    strict = kelvane_feed.read(data, SCHEMA, errors="collect", newline="lf")
    # "\r" stays in the last field, as parse_line would have it.
    assert [e.line for e in strict.errors] == [1, 2, 3, 5]
    assert strict.errors[0].message.startswith("Does not parse as date - '20240131\r'")


def test_huge_line():
    note = "é" * 3_000_000
    data = ("D|1|" + note + "|2\nD|2|x|3\n").encode()
    for threads, chunk_size in [(1, 1000), (2, 1 << 20)]:
        feed = kelvane_feed.read(io.BytesIO(data), SCHEMA, threads=threads, chunk_size=chunk_size)
        assert pa.table(feed["D"]).column("note").to_pylist() == [note, "x"]


def test_raise_and_max_errors(feed_bytes):
    full = kelvane_feed.read(feed_bytes, SCHEMA, errors="collect")
    first = full.errors[0]
    with pytest.raises(kelvane_feed.FeedError) as raised:
        kelvane_feed.read(feed_bytes, SCHEMA, threads=2, chunk_size=500)
    assert isinstance(raised.value, ValueError)
    assert str(raised.value) == f"line {first.line}: {first.message}"
    assert raised.value.error == first
    # It crosses process boundaries whole (worker pools send it back pickled).
    copy = pickle.loads(pickle.dumps(raised.value))
    assert (type(copy), str(copy), copy.error) == (kelvane_feed.FeedError, str(raised.value), first)

    # Streaming yields the rows before the bad line, then raises.
    rows = 0
    with pytest.raises(kelvane_feed.FeedError):
        for batch in kelvane_feed.read_batches(feed_bytes, SCHEMA, chunk_size=300, threads=2):
            rows += batch.num_rows
    assert rows == first.line - 1  # every line before it was good

    for limit in (1, 7, len(full.errors)):
        for threads, chunk_size in [(1, 1 << 20), (2, 333), (3, 1)]:
            feed = kelvane_feed.read(feed_bytes, SCHEMA, errors="collect", max_errors=limit, threads=threads,
                                     chunk_size=chunk_size)
            assert list(feed.errors) == list(full.errors)[:limit]
            assert not feed.complete and full.complete
            last = feed.errors[-1].line
            assert feed.lines == last
            for kind in feed:
                # Exactly the rows of the lines before the last error.
                rows_of_kind = pa.table(feed[kind]).to_pylist()
                assert rows_of_kind == pa.table(full[kind]).to_pylist()[: len(rows_of_kind)]
            d_rows = feed.counts["D"]
            assert d_rows == sum(1 for line in feed_bytes.split(b"\n")[:last] if line.startswith(b"D|")) - sum(
                1 for e in feed.errors if e.text.startswith("D|")
            )


def test_failing_source_raises_its_own_error(feed_bytes):
    for threads in (1, 2):
        with pytest.raises(OSError, match="the pipe broke"):
            kelvane_feed.read(Trickle(feed_bytes, fail_after=20_000), SCHEMA, errors="collect", threads=threads,
                              chunk_size=4096)
    with pytest.raises(FileNotFoundError):
        kelvane_feed.read("/nonexistent/feed.txt", SCHEMA)
    with pytest.raises(IsADirectoryError):
        kelvane_feed.read(".", SCHEMA)
    with pytest.raises(TypeError, match="binary mode"):
        kelvane_feed.read(io.StringIO("D|1||1\n"), SCHEMA)
    # A truncated gzip stream fails as gzip says, not as a short feed.
    with pytest.raises(EOFError):
        kelvane_feed.read(gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(feed_bytes)[:-20])), SCHEMA,
                          errors="collect")


def test_readers_in_parallel_python_threads(feed_bytes):
    schema = kelvane_feed.Schema(SCHEMA)
    reference = summary(kelvane_feed.read(feed_bytes, schema, errors="collect"))
    results = []

    def work():
        for _ in range(3):
            results.append(summary(kelvane_feed.read(feed_bytes, schema, errors="collect", threads=2,
                                                     chunk_size=2000)))

    workers = [threading.Thread(target=work) for _ in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert len(results) == 12 and all(result == reference for result in results)


def test_abandoned_stream_releases_its_threads(feed_bytes):
    for _ in range(20):
        batches = kelvane_feed.read_batches(feed_bytes, SCHEMA, errors="collect", threads=3, chunk_size=100)
        next(iter(batches))
        del batches
    assert threading.active_count() < 10


def test_standard_input_and_version(feed_bytes):
    program = (
        "import sys, kelvane_feed\n"
        f"feed = kelvane_feed.read(sys.stdin.buffer, {SCHEMA!r}, errors='collect', threads=2, chunk_size=5000)\n"
        "print(feed.lines, len(feed.errors), sorted(feed.counts.items()))"
    )
    result = subprocess.run([sys.executable, "-c", program], input=feed_bytes, capture_output=True, check=True)
    full = kelvane_feed.read(feed_bytes, SCHEMA, errors="collect")
    assert result.stdout.decode().strip() == f"{full.lines} {len(full.errors)} {sorted(full.counts.items())}"

    try:
        expected = importlib.metadata.version("kelvane")
    except importlib.metadata.PackageNotFoundError:  # a build tree on PYTHONPATH
        expected = "0+unknown"
    assert kelvane_feed.__version__ == expected
