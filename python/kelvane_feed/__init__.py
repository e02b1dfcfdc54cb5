"""kelvane_feed: whole feeds read strictly into Arrow tables, on every core.

``read(source, schema)`` parses every line exactly as ``kelvane.Parser.parse_line``
does, into one Arrow table per record kind, and reports each rejected line
with its line number, byte offset, record, field and the Parser's message.
"""

from importlib.metadata import PackageNotFoundError, version

from ._read import BatchReader, RecordIterator, count_lines, iter_records, read, read_batches
from ._schema import Column, LintFinding, Schema
from ._tables import Batch, ErrorList, Feed, FeedError, LineError, Table

try:
    __version__ = version("kelvane")
except PackageNotFoundError:  # a build tree, not an installed distribution
    __version__ = "0+unknown"

__all__ = [
    "Batch",
    "BatchReader",
    "Column",
    "ErrorList",
    "Feed",
    "FeedError",
    "LineError",
    "LintFinding",
    "RecordIterator",
    "Schema",
    "Table",
    "count_lines",
    "iter_records",
    "read",
    "read_batches",
]
