"""The ``kelvane`` command line: check feeds, convert them, lint schemas.

    kelvane check SCHEMA FILE...      every rejected line, located; a summary per record kind
    kelvane convert SCHEMA FILE --to parquet|arrow|csv|jsonl --out DIR
    kelvane lint SCHEMA               schema.lint()'s findings

Exit status: 0 when nothing was found, 1 when a line was rejected (or lint
found something), 2 on a usage error, an unreadable schema or input, or an
output error (a closed pipe included), 130 when interrupted. Every error is
one line on standard error. Text written to the terminal has its control
characters, escape sequences and bidirectional overrides shown as escapes.
"""

from __future__ import annotations

import argparse
import bz2
import collections
import contextlib
import datetime
import decimal
import gzip
import hashlib
import importlib
import io
import json
import lzma
import os
import shutil
import signal
import sys
import tempfile
import unicodedata
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn, TextIO

from . import __version__
from ._read import BatchReader, iter_records, read_batches
from ._schema import Schema
from ._tables import ErrorList, LineError, Table

EXIT_CLEAN = 0
EXIT_FOUND = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130

#: Seconds of work before a progress bar appears (short runs show none).
PROGRESS_DELAY = 1.0
#: Characters of a rejected line shown under its message.
SHOWN_TEXT = 200

FORMATS = {"parquet": "parquet", "arrow": "arrow", "csv": "csv", "jsonl": "jsonl"}
COMPRESSED = (".gz", ".bz2", ".xz", ".zst")
REJECTS = "_rejects"
MANIFEST = "_manifest"


class CommandError(Exception):
    """A failure reported as one line on standard error, with exit status 2."""


class _Terminated(BaseException):
    """SIGTERM, handled like Ctrl-C so that partial outputs are removed."""


class _WriteFailure(Exception):
    """An output could not be written (as opposed to the input read)."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error.strerror or str(error))


@contextlib.contextmanager
def _writing() -> Iterator[None]:
    try:
        yield
    except OSError as error:
        raise _WriteFailure(error) from None


# ---------------------------------------------------------------- terminal text

_ESCAPED_CATEGORIES = frozenset({"Cc", "Cf", "Zl", "Zp", "Cs", "Cn"})
_NAMED_ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def terminal_text(text: str) -> str:
    """``text`` safe to write to a terminal: control characters (escape
    sequences start with one), format characters such as the bidirectional
    overrides, line and paragraph separators and unassigned code points are
    shown as Python escapes (``\\x1b``, ``\\u202e``); all else is unchanged."""
    if text.isascii() and text.isprintable():
        return text
    out: list[str] = []
    for character in text:
        if unicodedata.category(character) not in _ESCAPED_CATEGORIES:
            out.append(character)
        elif character in _NAMED_ESCAPES:
            out.append(_NAMED_ESCAPES[character])
        else:
            code = ord(character)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
    return "".join(out)


def json_line(record: dict[str, Any]) -> str:
    """One JSON object on one line, ASCII only (so as safe for a terminal as
    for a pipe)."""
    return json.dumps(record, ensure_ascii=True).replace("\x7f", "\\u007f")


# ---------------------------------------------------------------- output file names

_FILE_NAME_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.")
_RESERVED_STEMS = frozenset(
    {"con", "prn", "aux", "nul", *(f"com{i}" for i in range(10)), *(f"lpt{i}" for i in range(10))}
)
_LONGEST_STEM = 120


def _escaped_stem(name: str) -> str:
    if not name:
        return "~empty"
    out: list[str] = []
    last = len(name) - 1
    for index, character in enumerate(name):
        if character in _FILE_NAME_CHARACTERS and not (character == "." and index in (0, last)):
            out.append(character)
        else:
            out.extend(f"%{byte:02X}" for byte in character.encode("utf-8", "surrogatepass"))
    stem = "".join(out)
    if len(stem) > _LONGEST_STEM:
        cut = _LONGEST_STEM - 9
        while "%" in stem[cut - 2 : cut]:  # not inside an escape
            cut -= 1
        digest = hashlib.sha256(name.encode("utf-8", "surrogatepass")).hexdigest()[:8]
        stem = f"{stem[:cut]}~{digest}"
    return stem


def output_stems(kinds: Sequence[str]) -> dict[str, str]:
    """The file name (without extension) of each record kind's output.

    Letters, digits, ``-``, ``_`` and inner dots are kept; every other
    character is written as ``%XX`` escapes of its UTF-8 bytes (``/`` is
    ``%2F``, ``%`` itself ``%25``, a leading or trailing dot ``%2E``); the
    empty name is ``~empty``; a name longer than 120 characters so written is
    cut and ends in ``~`` and 8 hex digits of its SHA-256. A name that would
    then equal an earlier one ignoring case, ``_rejects``, ``_manifest`` or a
    Windows device name (``CON``, ``NUL``, ``COM1``, also before a dot) gets
    ``~2``, ``~3``, ... added before its first dot. ``~`` only ever comes from
    these rules, so names that need none of them keep their plain form.
    """
    taken = {REJECTS, MANIFEST}
    stems: dict[str, str] = {}
    for kind in kinds:
        stem = _escaped_stem(kind)
        head, dot, tail = stem.partition(".")
        candidate = stem
        number = 1
        while candidate.lower() in taken or candidate.partition(".")[0].lower() in _RESERVED_STEMS:
            number += 1
            candidate = f"{head}~{number}{dot}{tail}"
        taken.add(candidate.lower())
        stems[kind] = candidate
    return stems


# ---------------------------------------------------------------- inputs


def _display(name: str) -> str:
    return "<stdin>" if name == "-" else name


def _os_error(name: str, error: OSError) -> CommandError:
    reason = error.strerror or str(error)
    return CommandError(f"{_display(name)}: {reason}")


class _CountingReader(io.RawIOBase):
    """A binary file that reports the bytes read to a progress bar."""

    def __init__(self, raw: IO[bytes], progress: Any) -> None:
        super().__init__()
        self._raw = raw
        self._progress = progress

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        count = self._raw.readinto(buffer)  # type: ignore[attr-defined]
        if count:
            self._progress.update(count)
        return int(count or 0)

    def read(self, size: int = -1) -> bytes:
        data = self._raw.read(size)
        self._progress.update(len(data))
        return data


def _progress_bar(name: str, total: int | None, wanted: bool) -> Any:
    if not wanted:
        return None
    try:
        tqdm = importlib.import_module("tqdm")
    except ImportError:
        return None
    return tqdm.tqdm(
        total=total,
        desc=terminal_text(_display(name)),
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        file=sys.stderr,
        delay=PROGRESS_DELAY,
        leave=False,
    )


@contextlib.contextmanager
def open_input(name: str, progress_wanted: bool) -> Iterator[tuple[Any, Any]]:
    """The source to read ``name`` from (``-`` is standard input; ``.gz``,
    ``.bz2``, ``.xz`` and ``.zst`` are decompressed), with its progress bar or
    None. A plain file without a progress bar is given by path, so that the
    reader maps it."""
    compressed = name != "-" and name.lower().endswith(COMPRESSED)
    if name != "-" and not compressed and not progress_wanted:
        if os.path.isdir(name):
            raise CommandError(f"{name}: is a directory")
        yield name, None
        return
    zstandard: Any = None
    if compressed and name.lower().endswith(".zst"):
        try:
            zstandard = importlib.import_module("zstandard")
        except ImportError:
            raise CommandError(f"{name}: reading .zst files needs zstandard: pip install 'kelvane[zstd]'") from None
    with contextlib.ExitStack() as stack:
        if name == "-":
            raw: IO[bytes] = sys.stdin.buffer
            total = None
        else:
            try:
                raw = stack.enter_context(open(name, "rb"))
                total = os.fstat(raw.fileno()).st_size
            except OSError as error:
                raise _os_error(name, error) from None
        progress = _progress_bar(name, total, progress_wanted)
        if progress is not None:
            stack.callback(progress.close)
            raw = _CountingReader(raw, progress)  # type: ignore[assignment]
        source: Any = raw
        lowered = name.lower()
        if lowered.endswith(".gz"):
            source = stack.enter_context(gzip.open(raw, "rb"))
        elif lowered.endswith(".bz2"):
            source = stack.enter_context(bz2.open(raw, "rb"))
        elif lowered.endswith(".xz"):
            source = stack.enter_context(lzma.open(raw, "rb"))
        elif zstandard is not None:
            source = stack.enter_context(zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True))
        yield source, progress


def _read_failures() -> tuple[type[BaseException], ...]:
    """What a source raises when its bytes cannot be read or decompressed."""
    failures: list[type[BaseException]] = [OSError, EOFError, lzma.LZMAError]
    zstandard = sys.modules.get("zstandard")
    if zstandard is not None:
        failures.append(zstandard.ZstdError)
    return tuple(failures)


def _read_error(name: str, failure: BaseException) -> CommandError:
    if isinstance(failure, OSError) and failure.strerror:
        return CommandError(f"{_display(name)}: {failure.strerror}")
    return CommandError(f"{_display(name)}: cannot read: {failure}")


def load_schema(path: str) -> Schema:
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise _os_error(path, error) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise CommandError(f"{path}: the schema is not UTF-8 text (byte {error.start + 1})") from None
    try:
        return Schema(text)
    except ValueError as error:
        raise CommandError(f"{path}: {error}") from None


# ---------------------------------------------------------------- output


class Output:
    """Standard output, with progress bars cleared around each write."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.progress: Any = None

    def line(self, text: str) -> None:
        if self.progress is not None:
            self.progress.clear()
        self.stream.write(text + "\n")
        if self.progress is not None:
            self.stream.flush()
            self.progress.refresh()


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def _location(error: LineError) -> str:
    parts: list[str] = []
    if error.record is not None:
        parts.append(error.record)
    if error.field is not None:
        parts.append(f"field {error.field}" + (f" {error.field_name}" if error.field_name else ""))
    return f"[{', '.join(parts)}] " if parts else ""


def _shown_text(text: str) -> str:
    if len(text) <= SHOWN_TEXT:
        return terminal_text(text)
    return terminal_text(text[:SHOWN_TEXT]) + f"... ({len(text)} characters)"


def _error_record(name: str, error: LineError) -> dict[str, Any]:
    return {"type": "error", "file": _display(name), **error._asdict()}


# ---------------------------------------------------------------- check


def _batches(source: Any, schema: Schema, options: argparse.Namespace) -> BatchReader:
    """The reader both check and convert use: every rejected line collected."""
    return read_batches(
        source,
        schema,
        errors="collect",
        max_errors=options.max_errors,
        threads=options.threads,
        newline=options.newline,
        skip_blank=options.skip_blank,
    )


def _check_file(schema: Schema, name: str, options: argparse.Namespace, output: Output) -> int:
    """Checks one file; returns how many lines it rejected."""
    as_json = options.format == "json"
    shown = terminal_text(_display(name))
    rows: collections.Counter[str] = collections.Counter()
    printed = 0

    def print_errors(errors: ErrorList) -> None:
        nonlocal printed
        for error in errors[printed:]:
            if as_json:
                output.line(json_line(_error_record(name, error)))
            else:
                message = terminal_text(f"{_location(error)}{error.message}")
                output.line(f"{shown}:{error.line}: {message}")
                output.line(f"    {_shown_text(error.text)}")
        printed = len(errors)

    with open_input(name, options.progress and not as_json) as (source, progress):
        output.progress = progress
        try:
            reader = _batches(source, schema, options)
            with reader:
                for batch in reader:
                    rows[batch.kind] += batch.num_rows
                    if len(reader.errors) > printed:
                        print_errors(reader.errors)
        except BrokenPipeError:
            raise
        except _read_failures() as failure:
            raise _read_error(name, failure) from None
        finally:
            output.progress = None
    print_errors(reader.errors)

    errors = reader.errors
    rejected = collections.Counter(error.record for error in errors)
    kinds = schema.kinds
    unmatched = sum(count for record, count in rejected.items() if record not in kinds)
    if as_json:
        output.line(
            json_line(
                {
                    "type": "summary",
                    "file": _display(name),
                    "lines": reader.lines,
                    "rejected": len(errors),
                    "complete": reader.complete,
                    "skipped_blank": reader.skipped_blank,
                    "kinds": {kind: {"lines": rows[kind] + rejected[kind], "rejected": rejected[kind]} for kind in kinds},
                    "unmatched": unmatched,
                }
            )
        )
        return len(errors)
    head = f"{shown}: {_plural(reader.lines, 'line')}, {len(errors)} rejected"
    if reader.skipped_blank:
        head += f", {reader.skipped_blank} blank skipped"
    if not reader.complete:
        head += f"; stopped at rejected line {len(errors)} (--max-errors)"
    output.line(head)
    width = max([len(terminal_text(kind)) for kind in kinds] + [0])
    for kind in kinds:
        shown_kind = terminal_text(kind).ljust(width)
        output.line(f"  {shown_kind}  {_plural(rows[kind] + rejected[kind], 'line')}, {rejected[kind]} rejected")
    if unmatched:
        output.line(f"  {_plural(unmatched, 'line')} of no record kind, all rejected")
    return len(errors)


def command_check(options: argparse.Namespace, output: Output) -> int:
    schema = load_schema(options.schema)
    status = EXIT_CLEAN
    for name in options.files:
        try:
            if _check_file(schema, name, options, output):
                status = max(status, EXIT_FOUND)
        except CommandError as failure:
            output.stream.flush()
            _error_line(str(failure))
            status = EXIT_ERROR
    return status


# ---------------------------------------------------------------- convert


def _text_cell(value: object) -> str | None:
    """A Parser value as text for CSV and JSON, or None for null."""
    if value is None:
        return None
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, decimal.Decimal):
        return format(value, "f")
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    return str(value)


def csv_row(values: Sequence[object]) -> str:
    """One CSV record: text quoted (quotes doubled), numbers, booleans, dates
    and times bare, null empty."""
    cells: list[str] = []
    for value in values:
        if isinstance(value, str):
            cells.append('"' + value.replace('"', '""') + '"')
        else:
            cells.append(_text_cell(value) or "")
    return ",".join(cells) + "\n"


def _json_value(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float) and (value != value or value in (float("inf"), float("-inf"))):
        return json.dumps(repr(value))  # "nan", "inf", "-inf": JSON has no such numbers
    if isinstance(value, (int, float, decimal.Decimal)):
        return _text_cell(value) or "null"
    return json.dumps(_text_cell(value))


def jsonl_row(names: Sequence[str], values: Sequence[object]) -> str:
    """One JSON object: strings, exact numbers (decimals as written, never
    through a float), booleans, null, and ISO 8601 text for dates and times."""
    items = (f"{json.dumps(name, ensure_ascii=False)}: {_json_value(value)}" for name, value in zip(names, values))
    return "{" + ", ".join(items) + "}\n"


class _TextWriter:
    """Rows of one output as CSV or JSON lines."""

    def __init__(self, path: str, names: Sequence[str], form: str) -> None:
        with _writing():
            self.file = open(path, "w", encoding="utf-8", newline="")
        self.names = list(names)
        self.form = form
        self.rows = 0
        if form == "csv":
            with _writing():
                self.file.write(csv_row(self.names))

    def write(self, values: Sequence[object]) -> None:
        with _writing():
            self.file.write(csv_row(values) if self.form == "csv" else jsonl_row(self.names, values))
        self.rows += 1

    def close(self) -> None:
        with _writing():
            self.file.close()


ERROR_COLUMNS = list(LineError._fields)


def _convert_text(
    schema: Schema, source: Any, options: argparse.Namespace, paths: dict[str, str], rejects_path: str
) -> tuple[dict[str, int], ErrorList, int, bool]:
    writers = {kind: _TextWriter(paths[kind], [column.name for column in schema.columns(kind)], options.to) for kind in schema.kinds}
    try:
        records = iter_records(
            source,
            schema,
            errors="collect",
            max_errors=options.max_errors,
            newline=options.newline,
            skip_blank=options.skip_blank,
        )
        with warnings.catch_warnings():
            # A leap second reads as second 59 with a UserWarning from the
            # Parser; the documented reading needs no message per line.
            warnings.simplefilter("ignore", UserWarning)
            for _, record in records:
                writers[record[0]].write(record[1:])
        rejects = _TextWriter(rejects_path, ERROR_COLUMNS, options.to)
        try:
            for error in records.errors:
                rejects.write(error)
        finally:
            rejects.close()
        return {kind: writer.rows for kind, writer in writers.items()}, records.errors, records.lines, records.complete
    finally:
        for writer in writers.values():
            writer.close()


class _ArrowSchema:
    """The Arrow schema of a record kind, for pyarrow.schema()."""

    def __init__(self, table: Table) -> None:
        self._table = table

    def __arrow_c_schema__(self) -> object:
        return self._table.__arrow_c_schema__()


def _convert_arrow(
    schema: Schema, source: Any, options: argparse.Namespace, paths: dict[str, str], rejects_path: str
) -> tuple[dict[str, int], ErrorList, int, bool]:
    pyarrow = _pyarrow(options.to)
    reader = _batches(source, schema, options)
    with contextlib.ExitStack() as stack:
        stack.enter_context(reader)
        writers: dict[str, Any] = {}
        for index, kind in enumerate(reader._kinds):
            arrow_schema = pyarrow.schema(_ArrowSchema(Table(reader._layout, index, kind, [])))
            with _writing():
                writers[kind] = stack.enter_context(_arrow_writer(pyarrow, options.to, paths[kind], arrow_schema))
        rows: collections.Counter[str] = collections.Counter()
        for batch in reader:
            with _writing():
                writers[batch.kind].write_batch(pyarrow.record_batch(batch))
            rows[batch.kind] += batch.num_rows
        with _writing():
            stack.close()  # the writers finish their files here
    rejects = pyarrow.table(reader.errors)
    with _writing(), _arrow_writer(pyarrow, options.to, rejects_path, rejects.schema) as writer:
        writer.write_table(rejects)
    return {kind: rows[kind] for kind in schema.kinds}, reader.errors, reader.lines, reader.complete


def _pyarrow(form: str) -> Any:
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.parquet" if form == "parquet" else "pyarrow.ipc")
    except ImportError:
        raise CommandError(f"--to {form} needs pyarrow: pip install 'kelvane[arrow]'") from None
    return pyarrow


def _arrow_writer(pyarrow: Any, form: str, path: str, arrow_schema: Any) -> Any:
    if form == "parquet":
        return pyarrow.parquet.ParquetWriter(path, arrow_schema)
    return pyarrow.ipc.new_file(path, arrow_schema)


def command_convert(options: argparse.Namespace, output: Output) -> int:
    schema = load_schema(options.schema)
    if options.to in ("parquet", "arrow"):
        _pyarrow(options.to)  # before any reading
    directory = options.out
    try:
        os.makedirs(directory, exist_ok=True)
        staging = tempfile.mkdtemp(prefix=".kelvane-convert-", suffix=".partial", dir=directory)
    except OSError as error:
        raise _os_error(directory, error) from None
    extension = FORMATS[options.to]
    stems = output_stems(schema.kinds)
    names = {kind: f"{stem}.{extension}" for kind, stem in stems.items()}
    rejects_name = f"{REJECTS}.{extension}"
    convert = _convert_text if options.to in ("csv", "jsonl") else _convert_arrow
    try:
        with open_input(options.file, options.progress) as (source, progress):
            output.progress = progress
            try:
                rows, errors, lines, complete = convert(
                    schema,
                    source,
                    options,
                    {kind: os.path.join(staging, name) for kind, name in names.items()},
                    os.path.join(staging, rejects_name),
                )
            except _WriteFailure as failure:
                raise CommandError(f"{directory}: cannot write: {failure}") from None
            except _read_failures() as failure:
                raise _read_error(options.file, failure) from None
            finally:
                output.progress = None
        if not complete:
            output.stream.flush()
            _error_line(
                f"{_display(options.file)}: stopped at rejected line {len(errors)} (--max-errors): nothing written"
            )
            return EXIT_FOUND
        manifest = {
            "format": options.to,
            "source": _display(options.file),
            "lines": lines,
            "kinds": {kind: {"file": names[kind], "rows": rows[kind]} for kind in schema.kinds},
            "rejects": {"file": rejects_name, "rows": len(errors)},
        }
        manifest_name = f"{MANIFEST}.json"
        with open(os.path.join(staging, manifest_name), "w", encoding="utf-8") as file:
            json.dump(manifest, file, ensure_ascii=False, indent=1)
            file.write("\n")
        # The manifest goes last, and an earlier one first: a directory whose
        # manifest is there holds a whole conversion.
        with contextlib.suppress(FileNotFoundError):
            os.remove(os.path.join(directory, manifest_name))
        for name in [*names.values(), rejects_name, manifest_name]:
            os.replace(os.path.join(staging, name), os.path.join(directory, name))
    except OSError as error:
        raise _os_error(directory, error) from None
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    shown = terminal_text(directory)
    for kind in schema.kinds:
        output.line(f"{shown}/{names[kind]}: {_plural(rows[kind], 'row')} of {terminal_text(repr(kind))}")
    output.line(f"{shown}/{rejects_name}: {_plural(len(errors), 'rejected line')}")
    return EXIT_FOUND if errors else EXIT_CLEAN


# ---------------------------------------------------------------- lint


def command_lint(options: argparse.Namespace, output: Output) -> int:
    schema = load_schema(options.schema)
    findings = schema.lint()
    shown = terminal_text(options.schema)
    for finding in findings:
        if options.format == "json":
            output.line(json_line({"type": "finding", "file": options.schema, **finding._asdict()}))
        else:
            place = f"{shown}:{finding.line}:{finding.column}"
            output.line(f"{place}: {terminal_text(finding.path)}: {terminal_text(finding.message)}")
    if options.format == "text":
        output.line(f"{shown}: {_plural(len(findings), 'finding') if findings else 'no findings'}")
    return EXIT_FOUND if findings else EXIT_CLEAN


# ---------------------------------------------------------------- arguments


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, exit status 2."""

    def error(self, message: str) -> NoReturn:
        raise CommandError(f"{message} (see {self.prog} --help)")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _reading_options(parser: argparse.ArgumentParser, threads: bool = True) -> None:
    parser.add_argument("--max-errors", type=_positive, metavar="N", help="stop at the N-th rejected line")
    if threads:
        parser.add_argument("--threads", type=_positive, metavar="N", help="worker threads (default: every core)")
    parser.add_argument(
        "--newline",
        choices=["crlf", "lf"],
        default="crlf",
        help='crlf (default): a line ends at "\\n" or "\\r\\n"; lf: only at "\\n"',
    )
    parser.add_argument("--skip-blank", action="store_true", help="skip empty lines instead of rejecting them")
    parser.add_argument(
        "--no-progress", dest="progress", action="store_false", help="no progress bar, even on a terminal"
    )


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="kelvane",
        description="Check and convert delimited record feeds under a kelvane schema; lint schemas.",
        epilog="Exit status: 0 nothing found, 1 rejected lines (or lint findings), 2 error, 130 interrupted.",
    )
    parser.add_argument("--version", action="version", version=f"kelvane {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    check = commands.add_parser("check", help="report every rejected line and count the lines of each record kind")
    check.add_argument("schema", metavar="SCHEMA", help="the schema file (JSON)")
    check.add_argument("files", metavar="FILE", nargs="+", help="feed files; - is standard input; .gz .bz2 .xz .zst")
    check.add_argument("--format", choices=["text", "json"], default="text", help="json: one JSON object a line")
    _reading_options(check)

    convert = commands.add_parser("convert", help="write one file per record kind plus the rejected lines")
    convert.add_argument("schema", metavar="SCHEMA", help="the schema file (JSON)")
    convert.add_argument("file", metavar="FILE", help="the feed; - is standard input; .gz .bz2 .xz .zst")
    convert.add_argument("--to", choices=sorted(FORMATS), required=True, help="output format")
    convert.add_argument("--out", required=True, metavar="DIR", help="output directory (made if missing)")
    _reading_options(convert)

    lint = commands.add_parser("lint", help="report what the schema holds that is almost certainly a mistake")
    lint.add_argument("schema", metavar="SCHEMA", help="the schema file (JSON)")
    lint.add_argument("--format", choices=["text", "json"], default="text", help="json: one JSON object a line")
    return parser


COMMANDS: dict[str, Callable[[argparse.Namespace, Output], int]] = {
    "check": command_check,
    "convert": command_convert,
    "lint": command_lint,
}


def _error_line(message: str) -> None:
    sys.stderr.write(f"kelvane: error: {terminal_text(message)}\n")
    sys.stderr.flush()


def _on_sigterm(signum: int, frame: object) -> None:
    raise _Terminated()


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    output = Output(sys.stdout)
    previous = signal.getsignal(signal.SIGTERM)
    try:
        signal.signal(signal.SIGTERM, _on_sigterm)
        handling_sigterm = True
    except ValueError:  # not the main thread
        handling_sigterm = False
    try:
        options = build_parser().parse_args(argv)
        if getattr(options, "progress", False):
            options.progress = sys.stderr.isatty()
        status = COMMANDS[options.command](options, output)
        output.stream.flush()
        return status
    except CommandError as failure:
        with contextlib.suppress(BrokenPipeError):
            output.stream.flush()
        _error_line(str(failure))
        return EXIT_ERROR
    except BrokenPipeError:
        _detach_stdout()
        _error_line("standard output was closed before the end (broken pipe)")
        return EXIT_ERROR
    except (KeyboardInterrupt, _Terminated):
        with contextlib.suppress(OSError):
            output.stream.flush()
        _error_line("interrupted")
        return EXIT_INTERRUPTED
    except MemoryError:
        _error_line("out of memory")
        return EXIT_ERROR
    except Exception as failure:  # a fault of kelvane's own: still one line
        _error_line(f"unexpected {type(failure).__name__}: {failure}")
        return EXIT_ERROR
    finally:
        if handling_sigterm:
            signal.signal(signal.SIGTERM, previous if previous is not None else signal.SIG_DFL)


def _detach_stdout() -> None:
    """Points standard output at the null device, so that the interpreter's
    final flush does not fail again on the closed pipe."""
    with contextlib.suppress(OSError, ValueError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
