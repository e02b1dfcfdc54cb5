"""read, read_batches, iter_records and count_lines over paths, bytes and binary file objects."""

from __future__ import annotations

import collections
import io
import os
from collections.abc import Iterator
from typing import IO, Any, Literal, Union, cast

import kelvane

from . import _native
from ._schema import ColumnTypes, Schema, as_schema
from ._tables import Batch, ErrorList, Feed, FeedError, LineError, Table

#: A path (str or os.PathLike), a bytes-like object, or a binary file object.
Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, IO[bytes], Any]

DEFAULT_CHUNK_SIZE = 4 << 20
_NO_END = (1 << 64) - 1


def _threads(threads: int | None) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:
            return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError("threads must be a positive int (or None for every core)")
    return min(threads, 256)


def _source_kind(source: Source) -> str:
    if isinstance(source, (str, os.PathLike)):
        return "path"
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "memory"
    if hasattr(source, "read"):
        # A file-like object that also exports its bytes (mmap) is read as memory.
        try:
            memoryview(cast(Any, source)).release()
            return "memory"
        except TypeError:
            return "file"
    try:
        memoryview(cast(Any, source)).release()
        return "memory"
    except TypeError:
        raise TypeError(
            "source must be a path, a bytes-like object or a binary file object, "
            f"not {type(source).__name__}"
        ) from None


def _byte_range(byte_range: tuple[int, int | None] | None) -> tuple[int, int]:
    if byte_range is None:
        return 0, _NO_END
    try:
        start, end = byte_range
    except (TypeError, ValueError):
        raise TypeError("byte_range must be a (start, end) pair") from None
    if end is None:
        end = _NO_END
    for value in (start, end):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("byte_range offsets must be ints")
    if start < 0 or end < start:
        raise ValueError("byte_range must satisfy 0 <= start <= end")
    return start, min(end, _NO_END)


def _check_options(errors: str, max_errors: int | None, newline: str) -> None:
    if errors not in ("raise", "collect"):
        raise ValueError('errors must be "raise" or "collect"')
    if max_errors is not None and (isinstance(max_errors, bool) or not isinstance(max_errors, int) or max_errors < 1):
        raise ValueError("max_errors must be a positive int or None")
    if newline not in ("crlf", "lf"):
        raise ValueError('newline must be "crlf" ("\\r\\n" or "\\n" end a line) or "lf" (only "\\n")')


class BatchReader:
    """Record batches of a feed as it is read, in file order (``read_batches``).

    Iterating yields ``Batch`` objects (``batch.kind`` tells the record kind).
    ``errors`` holds the rejected lines read so far, ``lines`` the lines read.
    Memory stays bounded by the chunk size times the threads, whatever the
    size of the input. Use it as a context manager, or iterate to the end, to
    release the source and the worker threads promptly.
    """

    def __init__(
        self,
        source: Source,
        schema: Schema | str,
        *,
        errors: Literal["raise", "collect"] = "raise",
        max_errors: int | None = None,
        threads: int | None = None,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
        newline: Literal["crlf", "lf"] = "crlf",
        skip_blank: bool = False,
        column_types: ColumnTypes | None = None,
        byte_range: tuple[int, int | None] | None = None,
        first_line_number: int | None = None,
    ) -> None:
        _check_options(errors, max_errors, newline)
        if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1:
            raise ValueError("chunk_size must be a positive int")
        if first_line_number is not None and (
            isinstance(first_line_number, bool) or not isinstance(first_line_number, int) or first_line_number < 1
        ):
            raise ValueError("first_line_number must be a positive int")
        self.schema = as_schema(schema)
        self._layout = self.schema._layout(column_types)
        self._kinds = [kind for kind, _ in self._layout.describe()]
        self._raise = errors == "raise"
        start, end = _byte_range(byte_range)
        first = 1 if start == 0 and first_line_number is None else (first_line_number or 0)
        kind = _source_kind(source)
        base = 0
        if kind == "file" and start > 0 and first_line_number is not None:
            base = _seek_to(source, start - 1)
        self._native: _native.Reader | None = _native.Reader(
            self._layout,
            _threads(threads),
            chunk_size,
            newline == "crlf",
            bool(skip_blank),
            errors == "collect",
            max_errors or 0,
            start,
            end,
            first,
        )
        if kind == "path":
            self._native.use_path(os.fsencode(cast("str | os.PathLike[str]", source)))
        elif kind == "memory":
            self._native.use_memory(source)
        else:
            self._native.use_file(source, base)
        self.errors = ErrorList()
        #: Lines read so far, rejected and skipped ones included.
        self.lines = 0
        self.skipped_blank = 0
        #: False when max_errors (or errors="raise") stopped the read early.
        self.complete = True
        self._pending: collections.deque[Batch] = collections.deque()
        self._failure: FeedError | None = None

    def __iter__(self) -> BatchReader:
        return self

    def __next__(self) -> Batch:
        while not self._pending:
            if self._failure is not None:
                failure, self._failure = self._failure, None
                self.close()
                raise failure
            if self._native is None:
                raise StopIteration
            step = self._native.next()
            if step is None:
                self.close()
                raise StopIteration
            batches, errors, lines, skipped, stopped = step
            self._pending.extend(Batch(batch) for batch in batches)
            self.errors._extend(LineError(*error) for error in errors)
            self.lines += lines
            self.skipped_blank += skipped
            if stopped:
                self.complete = False
                if self._raise:
                    self._failure = FeedError(self.errors[-1])
                else:
                    self._native = None
        return self._pending.popleft()

    def close(self) -> None:
        """Stops reading and releases the source and the worker threads."""
        self._native = None

    def __enter__(self) -> BatchReader:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _seek_to(file: Any, offset: int) -> int:
    """Seeks a seekable file object to ``offset`` past its current position;
    returns the source offset its next byte has (0 when it cannot seek)."""
    try:
        if not file.seekable():
            return 0
        file.seek(file.tell() + offset)
        return offset
    except (AttributeError, OSError, io.UnsupportedOperation):
        return 0


def read_batches(
    source: Source,
    schema: Schema | str,
    *,
    errors: Literal["raise", "collect"] = "raise",
    max_errors: int | None = None,
    threads: int | None = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    newline: Literal["crlf", "lf"] = "crlf",
    skip_blank: bool = False,
    column_types: ColumnTypes | None = None,
    byte_range: tuple[int, int | None] | None = None,
    first_line_number: int | None = None,
) -> BatchReader:
    """Reads a feed as a stream of record batches; see ``read`` for the options."""
    return BatchReader(
        source,
        schema,
        errors=errors,
        max_errors=max_errors,
        threads=threads,
        chunk_size=chunk_size,
        newline=newline,
        skip_blank=skip_blank,
        column_types=column_types,
        byte_range=byte_range,
        first_line_number=first_line_number,
    )


def read(
    source: Source,
    schema: Schema | str,
    *,
    errors: Literal["raise", "collect"] = "raise",
    max_errors: int | None = None,
    threads: int | None = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    newline: Literal["crlf", "lf"] = "crlf",
    skip_blank: bool = False,
    column_types: ColumnTypes | None = None,
    byte_range: tuple[int, int | None] | None = None,
    first_line_number: int | None = None,
) -> Feed:
    """Reads a whole feed into one Arrow table per record kind.

    ``source`` is a path, a bytes-like object or a binary file object
    (``gzip.open(...)``, ``sys.stdin.buffer``). ``errors="raise"`` stops at
    the first bad line with ``FeedError`` (a ``ValueError``: ``"line N: "``
    and the Parser's message); ``errors="collect"`` keeps reading and
    collects every bad line in ``feed.errors``, up to ``max_errors`` if given.
    ``threads`` worker threads parse chunks of about ``chunk_size`` bytes;
    the results are the same for any thread count and chunk size.
    ``byte_range=(start, end)`` reads the lines that begin in that range,
    numbered from ``first_line_number`` (counted when not given).
    """
    reader = read_batches(
        source,
        schema,
        errors=errors,
        max_errors=max_errors,
        threads=threads,
        chunk_size=chunk_size,
        newline=newline,
        skip_blank=skip_blank,
        column_types=column_types,
        byte_range=byte_range,
        first_line_number=first_line_number,
    )
    per_kind: dict[str, list[Batch]] = {kind: [] for kind in reader._kinds}
    with reader:
        for batch in reader:
            per_kind[batch.kind].append(batch)
    tables = {kind: Table(reader._layout, index, kind, per_kind[kind]) for index, kind in enumerate(reader._kinds)}
    return Feed(tables, reader.errors, reader.lines, reader.skipped_blank, reader.complete)


def count_lines(source: Source, byte_range: tuple[int, int | None] | None = None) -> int:
    """The number of lines that begin in ``byte_range`` (the whole source by
    default), counted at memory speed. For a file object, counting reads it."""
    start, end = _byte_range(byte_range)
    kind = _source_kind(source)
    if kind == "path":
        return _native.count_lines("path", os.fsencode(cast("str | os.PathLike[str]", source)), start, end)
    return _native.count_lines(kind, source, start, end)


class RecordIterator:
    """``(line_number, tuple)`` for every accepted line, parsed by ``kelvane.Parser``
    (``iter_records``). With ``errors="collect"``, rejected lines go to ``errors``."""

    def __init__(
        self,
        source: Source,
        schema: Schema | str,
        *,
        errors: Literal["raise", "collect"] = "raise",
        max_errors: int | None = None,
        newline: Literal["crlf", "lf"] = "crlf",
        skip_blank: bool = False,
        byte_range: tuple[int, int | None] | None = None,
        first_line_number: int | None = None,
    ) -> None:
        _check_options(errors, max_errors, newline)
        self.schema = as_schema(schema)
        self._parser = kelvane.Parser(self.schema.text)
        self._layout = self.schema._layout(None)
        self._raise = errors == "raise"
        self._max_errors = max_errors
        self._crlf = newline == "crlf"
        self._skip_blank = bool(skip_blank)
        self.errors = ErrorList()
        self.lines = 0
        self.skipped_blank = 0
        self.complete = True
        self._records = self._generate(source, byte_range, first_line_number)

    def __iter__(self) -> RecordIterator:
        return self

    def __next__(self) -> tuple[int, tuple[Any, ...]]:
        return next(self._records)

    def _generate(
        self, source: Source, byte_range: tuple[int, int | None] | None, first_line_number: int | None
    ) -> Iterator[tuple[int, tuple[Any, ...]]]:
        start, end = _byte_range(byte_range)
        kind = _source_kind(source)
        if kind == "path":
            file: Any = open(cast("str | os.PathLike[str]", source), "rb")
        elif kind == "memory":
            file = io.BytesIO(source if isinstance(source, bytes) else memoryview(cast(Any, source)).cast("B").tobytes())
        else:
            file = source
        try:
            yield from self._lines(file, start, end, first_line_number)
        finally:
            if kind == "path":
                file.close()

    def _lines(
        self, file: Any, start: int, end: int, first_line_number: int | None
    ) -> Iterator[tuple[int, tuple[Any, ...]]]:
        offset = 0
        number = 1
        if start > 0:
            # The first line of the range begins after the first "\n" at or
            # past start - 1; the lines before it are counted on the way.
            skip = start - 1
            while skip > 0:
                block = file.read(min(skip, 1 << 20))
                if not block:
                    return
                number += block.count(b"\n")
                skip -= len(block)
                offset += len(block)
            rest = file.readline()
            if not rest or not rest.endswith(b"\n"):
                return
            number += 1
            offset += len(rest)
        if first_line_number is not None:
            number = first_line_number
        parse_line = self._parser.parse_line
        while offset < end:
            raw = file.readline()
            if not raw:
                return
            line_offset = offset
            offset += len(raw)
            line = raw[:-1] if raw.endswith(b"\n") else raw
            if line_offset == 0 and line.startswith(b"\xef\xbb\xbf"):
                line = line[3:]
            if self._crlf and line.endswith(b"\r"):
                line = line[:-1]
            this_number = number
            number += 1
            self.lines += 1
            if not line and self._skip_blank:
                self.skipped_blank += 1
                continue
            try:
                record = parse_line(line.decode("utf-8"))
            except (ValueError, UnicodeDecodeError) as failure:
                # The reader's own locating gives the record and field; the
                # message is the Parser's (the reader's own for bad UTF-8).
                located = self._layout.locate(line) or (None, None, None, str(failure))
                record_name, field, field_name, located_message = located
                message = located_message if isinstance(failure, UnicodeDecodeError) else str(failure)
                error = LineError(
                    this_number,
                    line_offset,
                    record_name,
                    field,
                    field_name,
                    message,
                    line.decode("utf-8", "backslashreplace"),
                )
                if self._raise:
                    self.complete = False
                    raise FeedError(error) from None
                self.errors._append(error)
                if self._max_errors is not None and len(self.errors) >= self._max_errors:
                    self.complete = False
                    return
                continue
            yield this_number, record


def iter_records(
    source: Source,
    schema: Schema | str,
    *,
    errors: Literal["raise", "collect"] = "raise",
    max_errors: int | None = None,
    newline: Literal["crlf", "lf"] = "crlf",
    skip_blank: bool = False,
    byte_range: tuple[int, int | None] | None = None,
    first_line_number: int | None = None,
) -> RecordIterator:
    """Yields ``(line_number, tuple)`` for each accepted line, as ``kelvane.Parser.parse_line``
    returns it (Python objects), with the same line rules and located errors as ``read``."""
    return RecordIterator(
        source,
        schema,
        errors=errors,
        max_errors=max_errors,
        newline=newline,
        skip_blank=skip_blank,
        byte_range=byte_range,
        first_line_number=first_line_number,
    )
