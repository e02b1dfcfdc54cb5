"""Feeds as Dask DataFrames: files cut into byte ranges, each range read by
``kelvane_feed.read`` in a Dask task, with exact line numbers and errors.

``read_feed(paths, schema)`` gives one ``dask.dataframe.DataFrame`` per record
kind and one of the rejected lines. A range holds the lines that begin inside
it (a line never spans two ranges), so the ranges of a file read every line
exactly once; the line number of each range's first line comes from a first
pass that counts the lines of the ranges before it. Needs ``kelvane[dask]``.
"""

from __future__ import annotations

import errno
import json
import mmap
import os
from collections.abc import Sequence
from typing import Any, Literal, NamedTuple

try:
    import dask
    import dask.dataframe as dd
    import fsspec
    import pandas
    import pyarrow
    from dask.sizeof import sizeof
    from dask.utils import parse_bytes
    from fsspec.implementations.local import LocalFileSystem
    from fsspec.utils import infer_compression
except ImportError as missing:  # pragma: no cover - exercised only without the extra
    raise ImportError(f"kelvane_feed.dask needs {missing.name}: pip install 'kelvane[dask]'") from None

from ._read import DEFAULT_CHUNK_SIZE, count_lines, read
from ._schema import ColumnTypes, Schema, as_schema
from ._tables import FeedError, KindMapping, LineError

__all__ = ["DaskFeed", "FileFeedError", "read_feed"]

#: The columns of the errors frame: the file, then a LineError's fields.
ERROR_COLUMNS = ("file", "line", "offset", "record", "field", "field_name", "message", "text")
_ERROR_TYPES = (pyarrow.string(), pyarrow.int64(), pyarrow.int64(), pyarrow.string(), pyarrow.int64(),
                pyarrow.string(), pyarrow.string(), pyarrow.string())
# The key of a range without a bad line in the "first bad line so far" chain:
# keys of bad lines start with digits, which sort before it.
_NO_ERROR = "~"


class FileFeedError(FeedError):
    """The first bad line of a Dask read with ``errors="raise"``, in file order.

    ``error`` is the ``LineError`` that ``kelvane_feed.read(file, ...)`` raises
    for that file (its line number counted from the file's start), ``file``
    the file's name; the message is ``"FILE: line N: "`` and the Parser's.
    """

    def __init__(self, file: str, error: LineError) -> None:
        super().__init__(error)
        self.file = file
        self.args = (f"{file}: {error}",)

    def __reduce__(self) -> tuple[type[FileFeedError], tuple[str, LineError]]:
        # Crosses from a worker process to the client intact.
        return (FileFeedError, (self.file, self.error))


class _Block(NamedTuple):
    """One partition: the lines beginning in [start, end) of a file."""

    ordinal: int  # position among all blocks, in file order
    file: str  # the name reported: a local path, or a URL with its protocol
    path: str  # the name the file system opens
    size: int  # the file's size when the blocks were planned
    start: int
    end: int | None  # None: to the end (a compressed file is one block)
    first_line: int  # the number of the block's first line within its file
    compression: str | None


class _Reading(NamedTuple):
    """What every task needs besides its block; crosses to workers by pickle."""

    fs: Any  # an fsspec file system
    schema: Schema
    raise_errors: bool
    options: dict[str, Any]  # for kelvane_feed.read
    kinds: tuple[str, ...]
    dtypes: dict[str, dict[str, Any]]  # kind -> column -> pandas dtype

    def __dask_tokenize__(self) -> object:
        return (type(self.fs).__name__, self.fs.storage_options, self.schema.text, self.raise_errors,
                sorted(self.options.items(), key=lambda item: item[0]), self.kinds)


class _Part:
    """What reading one block gives: a frame per kind and the errors frame, or
    (errors="raise") the key of the block's first bad line."""

    __slots__ = ("frames", "errors", "first_error")

    def __init__(self, frames: dict[str, pandas.DataFrame], errors: pandas.DataFrame, first_error: str) -> None:
        self.frames = frames
        self.errors = errors
        self.first_error = first_error

    def __sizeof__(self) -> int:
        # What Dask's memory accounting sees of the partition that holds it.
        return object.__sizeof__(self) + sum(int(sizeof(frame)) for frame in (*self.frames.values(), self.errors))


class DaskFeed(KindMapping["dd.DataFrame"]):
    """What ``read_feed`` returns: a Dask DataFrame per record kind
    (``feed["D"]``) and the rejected lines (``feed.errors``).

    The frames share their reads: computed together (``dask.compute(feed["D"],
    feed.errors)``, or ``to_parquet`` calls with ``compute=False`` computed
    at once), every block is read once.
    """

    def __init__(self, frames: dict[str, dd.DataFrame], errors: dd.DataFrame, files: tuple[str, ...]) -> None:
        super().__init__(frames)
        #: The rejected lines: file, line, offset, record, field, field_name, message, text.
        self.errors = errors
        #: The files read, in order.
        self.files = files

    @property
    def npartitions(self) -> int:
        """Blocks read (every frame has one partition per block)."""
        return int(self.errors.npartitions)

    def __repr__(self) -> str:
        return (f"<kelvane_feed.dask.DaskFeed files={len(self.files)} partitions={self.npartitions} "
                f"kinds={list(self)!r}>")


def read_feed(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    schema: Schema | str,
    blocksize: int | str | None = "128MiB",
    errors: Literal["raise", "collect"] = "collect",
    *,
    newline: Literal["crlf", "lf"] = "crlf",
    skip_blank: bool = False,
    column_types: ColumnTypes | None = None,
    threads: int | None = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    compression: str | None = "infer",
    storage_options: dict[str, Any] | None = None,
) -> DaskFeed:
    """Reads feeds as Dask DataFrames, one partition per block of ``blocksize`` bytes.

    ``paths`` is a path, a glob or a list of them, local or any fsspec URL
    (``s3://bucket/feeds/*.txt``, with ``storage_options`` for its file
    system). The files are read in the order given (a glob's matches sorted).
    A compressed file (by its suffix, with ``compression="infer"``) cannot be
    cut: it is one block. ``blocksize=None`` makes each file one block.

    Every line is parsed as ``kelvane_feed.read`` parses it: the frames hold
    the reader's column types as pandas dtypes backed by Arrow (a
    ``STR_ENUM`` dictionary becomes a categorical of the schema's values),
    known from the schema alone. ``errors="collect"`` puts the bad lines in
    ``feed.errors`` with their file and line number within the file;
    ``errors="raise"`` makes any computation that reaches a bad line raise
    ``FileFeedError`` for the first bad line in file order, whichever block
    is read first.

    The line numbering needs the line count of every block but the last of
    each file: ``read_feed`` counts them at once, as Dask tasks on the
    current scheduler, reading those blocks at memory speed. ``threads`` and
    ``chunk_size`` are ``kelvane_feed.read``'s, for each block: by default
    every core, so that a machine's last block does not leave cores idle.
    """
    if errors not in ("raise", "collect"):
        raise ValueError('errors must be "raise" or "collect"')
    the_schema = as_schema(schema)
    block_bytes = _block_size(blocksize)
    fs, files = _expand(paths, storage_options)
    options: dict[str, Any] = {"newline": newline, "skip_blank": skip_blank, "column_types": column_types,
                               "threads": threads, "chunk_size": chunk_size}
    # The options are checked here, once, by reading nothing.
    empty = read(b"", the_schema, **options)
    kinds = the_schema.kinds
    dtypes = {kind: _dtypes(the_schema, kind, pyarrow.schema(empty[kind])) for kind in kinds}
    reading = _Reading(fs, the_schema, errors == "raise", options, kinds, dtypes)
    blocks = _plan(fs, files, block_bytes, compression)

    with dask.config.set({"dataframe.convert-string": False}):  # keep each block's _Part an object
        parts = dd.from_map(_read_block, blocks, reading=reading, label="kelvane-read", enforce_metadata=False,
                            meta=pandas.DataFrame({"part": pandas.Series([], dtype=object)}))
    metas = {kind: _empty_frame(dtypes[kind]) for kind in kinds}
    error_meta = _empty_frame(dict(zip(ERROR_COLUMNS, map(pandas.ArrowDtype, _ERROR_TYPES))))
    if reading.raise_errors:
        # The first bad line of the blocks up to each one: a cumulative
        # minimum of keys that sort in file order. A block's frames wait for
        # it, so every computation that fails names the same line.
        first = parts.map_partitions(_first_error, meta=pandas.Series([], dtype=pandas.ArrowDtype(pyarrow.string())))
        first = first.cummin()
        frames = {kind: dd.map_partitions(_checked_frame, parts, first, kind, meta=metas[kind],
                                          align_dataframes=False) for kind in kinds}
        error_frame = dd.map_partitions(_checked_errors, parts, first, meta=error_meta, align_dataframes=False)
    else:
        frames = {kind: parts.map_partitions(_frame, kind, meta=metas[kind]) for kind in kinds}
        error_frame = parts.map_partitions(_errors, meta=error_meta)
    return DaskFeed(frames, error_frame, tuple(dict.fromkeys(block.file for block in blocks)))


# ---------------------------------------------------------------- planning


def _block_size(blocksize: int | str | None) -> int | None:
    if blocksize is None:
        return None
    size = parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError('blocksize must be a positive number of bytes ("128MiB", 1 << 27) or None')
    return size


def _expand(paths: Any, storage_options: dict[str, Any] | None) -> tuple[Any, list[str]]:
    """The file system and the files: globs expanded and sorted, lists kept in order."""
    if isinstance(paths, (str, os.PathLike)):
        given: list[str] = [os.fspath(paths)]
    else:
        given = [os.fspath(path) for path in paths]
    if not given:
        raise ValueError("read_feed needs at least one path")
    fs, _, files = fsspec.core.get_fs_token_paths(given if len(given) > 1 else given[0], mode="rb",
                                                  storage_options=storage_options or {})
    if not files:
        raise FileNotFoundError(errno.ENOENT, "no file matches", given[0] if len(given) == 1 else str(given))
    return fs, list(files)


def _display_name(fs: Any, path: str) -> str:
    return path if isinstance(fs, LocalFileSystem) else str(fs.unstrip_protocol(path))


def _plan(fs: Any, files: list[str], block_bytes: int | None, compression: str | None) -> list[_Block]:
    """The blocks of every file in order, each with its first line's number."""
    pending: list[tuple[str, str, int, int, int | None, str | None]] = []
    for path in files:
        name = _display_name(fs, path)
        try:
            info = fs.info(path)
        except OSError as failure:
            raise _named(failure, name) from None
        if info.get("type", "file") != "file":
            raise IsADirectoryError(errno.EISDIR, "not a file", name)
        size = int(info["size"])
        codec = infer_compression(path) if compression == "infer" else compression
        if codec is not None or block_bytes is None or size <= block_bytes:
            pending.append((name, path, size, 0, None if codec else size, codec))
            continue
        for start in range(0, size, block_bytes):
            pending.append((name, path, size, start, min(start + block_bytes, size), None))

    # Lines of every block that is followed by another of its file.
    counted = [i for i in range(len(pending) - 1) if pending[i + 1][0] == pending[i][0] and pending[i + 1][3] > 0]
    counts = dask.compute(*[dask.delayed(_count_block, pure=True)(fs, *pending[i][:5]) for i in counted])
    lines_in = dict(zip(counted, counts))
    blocks: list[_Block] = []
    first_line = 1
    for ordinal, (name, path, size, start, end, codec) in enumerate(pending):
        if start == 0:
            first_line = 1
        blocks.append(_Block(ordinal, name, path, size, start, end, first_line, codec))
        first_line += lines_in.get(ordinal, 0)
    return blocks


def _count_block(fs: Any, name: str, path: str, size: int, start: int, end: int | None) -> int:
    """The number of lines that begin in [start, end) of the file."""
    assert end is not None
    try:
        if isinstance(fs, LocalFileSystem):
            # A mapping: the count reads only the range's pages, without the
            # interpreter lock.
            with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
                _check_size(name, size, len(data))
                return count_lines(data, (start, end))
        with fs.open(path, "rb") as file:
            # The file object's first byte is the one before the range, whose
            # "\n" (or not) tells whether a line begins at `start`.
            base = start - 1 if start > 0 else 0
            file.seek(base)
            return count_lines(file, (start - base, end - base))
    except OSError as failure:
        raise _named(failure, name) from None


# ---------------------------------------------------------------- the tasks


def _read_block(block: _Block, reading: _Reading) -> pandas.DataFrame:
    """Reads one block into a one-row frame holding its _Part."""
    mode: Literal["raise", "collect"] = "raise" if reading.raise_errors else "collect"
    frames: dict[str, pandas.DataFrame] = {}
    errors = _empty_frame(dict(zip(ERROR_COLUMNS, map(pandas.ArrowDtype, _ERROR_TYPES))))
    first_error = _NO_ERROR
    byte_range = None if block.end is None else (block.start, block.end)
    try:
        if isinstance(reading.fs, LocalFileSystem) and block.compression is None:
            _check_size(block.file, block.size, os.stat(block.path).st_size)
            feed = read(block.path, reading.schema, errors=mode, byte_range=byte_range,
                        first_line_number=block.first_line, **reading.options)
        else:
            with reading.fs.open(block.path, "rb", compression=block.compression) as file:
                if block.compression is None:
                    _check_size(block.file, block.size, _size_of(reading.fs, block.path, file))
                feed = read(file, reading.schema, errors=mode, byte_range=byte_range,
                            first_line_number=block.first_line, **reading.options)
    except FeedError as failure:
        # errors="raise": the frames are not needed, only this line.
        first_error = _block_error_key(block, failure.error)
        frames = {kind: _empty_frame(reading.dtypes[kind]) for kind in reading.kinds}
    except OSError as failure:
        raise _named(failure, block.file) from None
    else:
        for kind in reading.kinds:
            frames[kind] = _to_pandas(pyarrow.table(feed[kind]), reading.dtypes[kind], block.file)
        if len(feed.errors):
            table = pyarrow.table(feed.errors)
            table = table.add_column(0, "file", pyarrow.array([block.file] * table.num_rows, pyarrow.string()))
            errors = table.cast(pyarrow.schema(list(zip(ERROR_COLUMNS, _ERROR_TYPES)))).to_pandas(
                use_threads=False, types_mapper=pandas.ArrowDtype)
    return pandas.DataFrame({"part": pandas.Series([_Part(frames, errors, first_error)], dtype=object)})


def _part(parts: pandas.DataFrame) -> _Part:
    part: _Part = parts["part"].iloc[0]
    return part


def _frame(parts: pandas.DataFrame, kind: str) -> pandas.DataFrame:
    return _part(parts).frames[kind]


def _errors(parts: pandas.DataFrame) -> pandas.DataFrame:
    return _part(parts).errors


def _block_error_key(block: _Block, error: LineError) -> str:
    """A key for a bad line that sorts in file order (by block, and a block
    has one), holding what FileFeedError needs."""
    return f"{block.ordinal:012d}" + json.dumps([block.file, *error])


def _first_error(parts: pandas.DataFrame) -> pandas.Series:
    return pandas.Series([_part(parts).first_error], dtype=pandas.ArrowDtype(pyarrow.string()))


def _raise_first(key: str) -> None:
    if key != _NO_ERROR:
        file, *fields = json.loads(key[12:])
        raise FileFeedError(file, LineError(*fields))


def _checked_frame(parts: pandas.DataFrame, first: pandas.Series, kind: str) -> pandas.DataFrame:
    _raise_first(first.iloc[0])
    return _part(parts).frames[kind]


def _checked_errors(parts: pandas.DataFrame, first: pandas.Series) -> pandas.DataFrame:
    _raise_first(first.iloc[0])
    return _part(parts).errors


# ---------------------------------------------------------------- columns


def _dtypes(schema: Schema, kind: str, arrow_schema: pyarrow.Schema) -> dict[str, Any]:
    """The pandas dtype of each column of a kind: Arrow-backed, a dictionary
    as a categorical of the schema's values."""
    values = _enum_values(schema, kind)
    dtypes: dict[str, Any] = {}
    for position, field in enumerate(arrow_schema):
        if pyarrow.types.is_dictionary(field.type):
            dtypes[field.name] = pandas.CategoricalDtype(values[position])
        else:
            dtypes[field.name] = pandas.ArrowDtype(field.type)
    return dtypes


def _enum_values(schema: Schema, kind: str) -> list[list[str]]:
    """Per field of a kind, the distinct values of a STR_ENUM in order (the
    dictionary the reader gives its column)."""
    document = json.loads(schema.text)
    line = next(line for line in document["lines"] if line["name"] == kind)
    result: list[list[str]] = []
    for field in line["fields"]:
        values = field.get("values") if isinstance(field, dict) else None
        result.append(list(dict.fromkeys(values)) if isinstance(values, list) else [])
    return result


def _to_pandas(table: pyarrow.Table, dtypes: dict[str, Any], file: str) -> pandas.DataFrame:
    # Dask runs the blocks in parallel already: no threads of pyarrow's own.
    frame = table.to_pandas(use_threads=False, types_mapper=lambda type_: None if pyarrow.types.is_dictionary(type_)
                            else pandas.ArrowDtype(type_))
    for name, dtype in dtypes.items():
        if isinstance(dtype, pandas.CategoricalDtype):
            column = table.column(name)
            if column.num_chunks and column.chunk(0).dictionary.to_pylist() != list(dtype.categories):
                raise RuntimeError(f"{file}: column {name} holds other values than the schema's")
            frame[name] = frame[name].astype(dtype)
    return frame


def _empty_frame(dtypes: dict[str, Any]) -> pandas.DataFrame:
    return pandas.DataFrame({name: pandas.Series([], dtype=dtype) for name, dtype in dtypes.items()})


# ---------------------------------------------------------------- files


def _size_of(fs: Any, path: str, file: Any) -> int:
    size = getattr(file, "size", None)
    return int(size) if isinstance(size, int) else int(fs.size(path))


def _check_size(name: str, planned: int, now: int) -> None:
    if now != planned:
        raise OSError(errno.ESTALE, f"the file changed after its blocks were planned ({planned} bytes then, "
                                    f"{now} now)", name)


def _named(failure: OSError, name: str) -> OSError:
    """The failure, with the file's name in its message."""
    if name in str(failure):
        return failure
    try:
        named = type(failure)(failure.errno, failure.strerror or str(failure), name)
    except TypeError:
        named = OSError(failure.errno, failure.strerror or str(failure), name)
    named.__cause__ = failure
    return named
