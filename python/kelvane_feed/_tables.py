"""The results of a read: Feed, the per-kind Table, Batch, and the located errors."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar, overload

from . import _native

if TYPE_CHECKING:
    import pandas
    import polars
    import pyarrow


class LineError(NamedTuple):
    """One rejected line.

    ``message`` is exactly the ``ValueError`` text ``kelvane.Parser.parse_line``
    raises for the line (or the reader's own text for invalid UTF-8 and for a
    value the column type cannot hold). ``field`` is the 1-based position of
    the field that failed, None when no field did. ``text`` is the line
    without its line end (bytes that are not UTF-8 shown as ``\\xNN``).
    """

    line: int
    offset: int
    record: str | None
    field: int | None
    field_name: str | None
    message: str
    text: str

    def __str__(self) -> str:
        return f"line {self.line}: {self.message}"


class FeedError(ValueError):
    """Raised by ``errors="raise"`` at the first bad line: ``"line N: " + message``.

    The located error is ``error``.
    """

    def __init__(self, error: LineError) -> None:
        super().__init__(str(error))
        self.error = error


def _import(module: str, purpose: str) -> Any:
    try:
        return __import__(module)
    except ImportError:
        raise ImportError(f"{purpose} needs {module}: pip install {module}") from None


class _TableExports:
    """to_arrow/to_pandas/to_polars of an object that exports an Arrow stream;
    `_shown_as` names it in the message when a library is missing."""

    __slots__ = ()
    _shown_as: str

    def to_arrow(self) -> pyarrow.Table:
        return _import("pyarrow", f"{self._shown_as}.to_arrow()").table(self)

    def to_pandas(self, **options: Any) -> pandas.DataFrame:
        """A pandas DataFrame (through pyarrow; ``options`` go to ``pyarrow.Table.to_pandas``)."""
        frame: pandas.DataFrame = self.to_arrow().to_pandas(**options)
        return frame

    def to_polars(self) -> polars.DataFrame:
        frame: polars.DataFrame = _import("polars", f"{self._shown_as}.to_polars()").DataFrame(self)
        return frame


class Batch:
    """Rows of one record kind from one chunk of the input, as an Arrow record batch.

    Implements the Arrow PyCapsule interface (``__arrow_c_array__``), so
    ``pyarrow.record_batch(batch)`` takes it without copying.
    """

    __slots__ = ("_native",)

    def __init__(self, native: _native.Batch) -> None:
        self._native = native

    @property
    def kind(self) -> str:
        return self._native.kind

    @property
    def num_rows(self) -> int:
        return self._native.num_rows

    @property
    def nbytes(self) -> int:
        """Bytes of Arrow buffers the batch holds."""
        return self._native.nbytes

    def __len__(self) -> int:
        return self._native.num_rows

    def __arrow_c_schema__(self) -> object:
        return self._native.__arrow_c_schema__()

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        return self._native.__arrow_c_array__(requested_schema)

    def to_arrow(self) -> pyarrow.RecordBatch:
        return _import("pyarrow", "Batch.to_arrow()").record_batch(self)

    def __repr__(self) -> str:
        return f"<kelvane_feed.Batch kind={self.kind!r} rows={self.num_rows}>"


class Table(_TableExports):
    """The accepted lines of one record kind, in file order: one column per field.

    Implements the Arrow PyCapsule interface (``__arrow_c_stream__``, a fresh
    stream on every call), so ``pyarrow.table(t)``, ``polars.DataFrame(t)``
    and DuckDB take it without copying row by row.
    """

    __slots__ = ("_layout", "_index", "kind", "batches")
    _shown_as = "Table"

    def __init__(self, layout: _native.Layout, index: int, kind: str, batches: Sequence[Batch]) -> None:
        self._layout = layout
        self._index = index
        self.kind = kind
        self.batches = tuple(batches)

    @property
    def num_rows(self) -> int:
        return sum(batch.num_rows for batch in self.batches)

    @property
    def nbytes(self) -> int:
        """Bytes of Arrow buffers the table holds."""
        return sum(batch.nbytes for batch in self.batches)

    @property
    def column_names(self) -> list[str]:
        return [name for name, _, _, _ in self._layout.describe()[self._index][1]]

    @property
    def column_types(self) -> dict[str, str]:
        return {name: type_name for name, type_name, _, _ in self._layout.describe()[self._index][1]}

    def __len__(self) -> int:
        return self.num_rows

    def __arrow_c_schema__(self) -> object:
        return self._layout.schema_capsule(self._index)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._layout.stream_capsule(self._index, [batch._native for batch in self.batches])


    def __repr__(self) -> str:
        return f"<kelvane_feed.Table kind={self.kind!r} rows={self.num_rows} columns={self.column_names!r}>"


class ErrorList(_TableExports, Sequence[LineError]):
    """The rejected lines, in file order. Also an Arrow table (columns line,
    offset, record, field, field_name, message, text) through the PyCapsule
    interface, so ``pyarrow.table(errors)`` and ``polars.DataFrame(errors)``
    take it directly."""

    __slots__ = ("_errors",)
    _shown_as = "errors"

    def __init__(self, errors: Iterable[LineError] = ()) -> None:
        self._errors: list[LineError] = list(errors)

    def _append(self, error: LineError) -> None:
        self._errors.append(error)

    def _extend(self, errors: Iterable[LineError]) -> None:
        self._errors.extend(errors)

    @overload
    def __getitem__(self, index: int) -> LineError: ...
    @overload
    def __getitem__(self, index: slice) -> list[LineError]: ...
    def __getitem__(self, index: int | slice) -> LineError | list[LineError]:
        return self._errors[index]

    def __len__(self) -> int:
        return len(self._errors)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, ErrorList):
            return self._errors == other._errors
        if isinstance(other, list):
            return self._errors == other
        return NotImplemented

    def __repr__(self) -> str:
        return f"ErrorList({self._errors!r})"

    def __arrow_c_schema__(self) -> object:
        return _native.error_schema_capsule()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return _native.error_stream_capsule(self._errors)



_Value = TypeVar("_Value")


class KindMapping(Mapping[str, _Value]):
    """One value per record kind of the schema, in schema order."""

    def __init__(self, by_kind: dict[str, _Value]) -> None:
        self._by_kind = by_kind

    def __getitem__(self, kind: str) -> _Value:
        try:
            return self._by_kind[kind]
        except KeyError:
            raise KeyError(f"the schema has no record kind {kind!r}") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._by_kind)

    def __len__(self) -> int:
        return len(self._by_kind)

    @property
    def kinds(self) -> tuple[str, ...]:
        return tuple(self._by_kind)


class Feed(KindMapping[Table]):
    """What ``read`` returns: a Table per record kind (``feed["D"]``), the
    rejected lines (``feed.errors``) and counts."""

    def __init__(
        self,
        tables: dict[str, Table],
        errors: ErrorList,
        lines: int,
        skipped_blank: int,
        complete: bool,
    ) -> None:
        super().__init__(tables)
        self.errors = errors
        #: Lines read, rejected and skipped ones included.
        self.lines = lines
        #: Blank lines skipped (``skip_blank=True``).
        self.skipped_blank = skipped_blank
        #: False when ``max_errors`` stopped the read before the end.
        self.complete = complete

    @property
    def counts(self) -> dict[str, int]:
        """Accepted rows per record kind."""
        return {kind: table.num_rows for kind, table in self._by_kind.items()}

    def __repr__(self) -> str:
        return f"<kelvane_feed.Feed lines={self.lines} rows={self.counts!r} errors={len(self.errors)}>"
