"""Schema: a kelvane schema read once for the feed reader, with column names and types."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import NamedTuple

from . import _native as native

# {"D": {"amount": "decimal128(38, 4)", 3: "large_utf8"}}: per record kind, a
# column name or 1-based field position and the column type to use.
ColumnTypes = Mapping[str, Mapping["str | int", str]]


class Column(NamedTuple):
    """One column of a record kind: its name, Arrow type, and field kind."""

    name: str
    type: str
    nullable: bool
    field_kind: str


class LintFinding(NamedTuple):
    """One finding of ``Schema.lint()``: where it is, what kind it is, and why.

    ``line`` and ``column`` count as the schema's own messages do (column is
    the 1-based byte in the line) and point at the key or value concerned;
    ``path`` is the same place as a path into the document, such as
    ``lines[1].fields[0].max_vale`` (indices from 0); ``code`` names the kind
    of finding (``"unknown-key"``, ``"unknown-zone"``, ...).
    """

    line: int
    column: int
    path: str
    code: str
    message: str

    def __str__(self) -> str:
        return f"line {self.line} column {self.column}: {self.path}: {self.message}"


class Schema:
    """A schema document read with the same reader and messages as ``kelvane.Parser``.

    Immutable, usable from any thread, and picklable (by its text). The
    optional ``"name"`` key of a field description names its column (default
    ``f1``, ``f2``, ... by position); the optional ``"column_type"`` key chooses
    its Arrow type (for example ``"decimal128(38, 4)"``). ``kelvane.Parser``
    skips both keys as unknown, so one schema file serves both.
    """

    __slots__ = ("_native", "_layouts")

    _native: native.Schema
    _layouts: dict[tuple[tuple[str, str | int, str], ...], native.Layout]

    def __init__(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError(f"Schema() takes the schema text as a str, not {type(text).__name__}")
        object.__setattr__(self, "_native", native.Schema(text))
        object.__setattr__(self, "_layouts", {})

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Schema:
        """Reads the schema document from a UTF-8 file."""
        with open(path, encoding="utf-8") as file:
            return cls(file.read())

    @property
    def text(self) -> str:
        """The schema document as given."""
        return self._native.text

    @property
    def kinds(self) -> tuple[str, ...]:
        """The record kinds: the first Line of each name, in schema order."""
        return tuple(kind for kind, _ in self._layout(None).describe())

    def columns(self, kind: str, column_types: ColumnTypes | None = None) -> list[Column]:
        """The columns of record kind ``kind``, with ``column_types`` applied."""
        for name, columns in self._layout(column_types).describe():
            if name == kind:
                return [Column(*column) for column in columns]
        raise KeyError(kind)

    def lint(self) -> list[LintFinding]:
        """What ``kelvane.Parser`` accepts silently but is almost certainly a
        mistake, in text order: unknown keys (with the key probably meant), a
        ``time_zone`` not in the built-in database, a ``format`` that is
        malformed or can never read a value, a delimiter or quote that is not
        one byte, a line name already taken, repeated enum values, and bounds
        whose minimum is above their maximum. Advice only: never raises, and
        an empty list means nothing was found."""
        return [LintFinding(*finding) for finding in self._native.lint()]

    def _layout(self, column_types: ColumnTypes | None) -> native.Layout:
        overrides = _overrides(column_types)
        layout = self._layouts.get(overrides)
        if layout is None:
            layout = self._native.layout(overrides)
            self._layouts[overrides] = layout
        return layout

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Schema objects are immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Schema objects are immutable")

    def __reduce__(self) -> tuple[type[Schema], tuple[str]]:
        return (Schema, (self.text,))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Schema) and other.text == self.text

    def __hash__(self) -> int:
        return hash(self.text)

    def __repr__(self) -> str:
        return f"<kelvane_feed.Schema kinds={list(self.kinds)!r}>"


def _overrides(column_types: ColumnTypes | None) -> tuple[tuple[str, str | int, str], ...]:
    if not column_types:
        return ()
    if not isinstance(column_types, Mapping):
        raise TypeError("column_types must map record kinds to {column: type} mappings")
    result: list[tuple[str, str | int, str]] = []
    for kind, columns in column_types.items():
        if not isinstance(kind, str) or not isinstance(columns, Mapping):
            raise TypeError("column_types must map record kinds (str) to {column: type} mappings")
        for column, type_text in columns.items():
            if isinstance(column, bool) or not isinstance(column, (str, int)):
                raise TypeError("a column is given by its name (str) or its 1-based position (int)")
            if not isinstance(type_text, str):
                raise TypeError("a column type is given as text, such as 'decimal128(38, 4)'")
            result.append((kind, column, type_text))
    return tuple(result)


def as_schema(schema: Schema | str) -> Schema:
    if isinstance(schema, Schema):
        return schema
    if isinstance(schema, str):
        return Schema(schema)
    raise TypeError(f"schema must be a kelvane_feed.Schema or schema text, not {type(schema).__name__}")
