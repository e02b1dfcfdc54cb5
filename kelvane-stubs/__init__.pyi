"""Strict, fast parsing of delimited text records into typed Python values.

Type information for the ``kelvane`` extension module (which carries none
itself). Build a :class:`Parser` once from a JSON schema, then hand it lines::

    parser = kelvane.Parser(schema_text)
    parser.parse_line("D|1|BUY|19.995\\n")   # ('D', 1, 'BUY', Decimal('20.00'))
    parser.parse_first("D|1|BUY|19.995")    # 'D'

Every rule that a line or schema breaks raises ``ValueError`` with an exact
message. The documentation is in the project's ``docs/`` folder.
"""

from typing import Any, final

__all__ = ["Parser"]

@final
class Parser:
    """A parser of delimited text lines under one JSON schema.

    ``Parser(schema_json_str)`` reads the schema (a ``str`` holding JSON:
    ``delimiter``, ``quote_str``, ``trailing_delimiter``,
    ``coerce_empty_quoted`` and the record kinds under ``lines``). A schema
    that is not valid raises ``ValueError`` whose message ends in
    ``" at line L column C"``; an argument that is not a ``str`` raises
    ``TypeError``. Separator lengths, zone names and formats are not checked
    here but on every line.

    A ``Parser`` never changes after it is built and may be shared by
    threads. It cannot be pickled: in other processes, build one from the
    schema text.
    """

    def __new__(cls, schema_json_str: str) -> Parser: ...
    def parse_line(self, line: str) -> tuple[Any, ...]:
        """Split ``line``, select its record kind by the first field and
        convert every field.

        Returns ``(record_name, value1, value2, ...)``: the name as ``str``,
        then one value per field of the record kind, in schema order, or
        ``None`` for an empty optional field. By the field's kind, a value is
        a ``str`` (``STR``, ``STR_ENUM``), an ``int`` (``INT``, 128-bit;
        ``INT_ENUM``, 64-bit), a ``float`` (``FLOAT``), a ``decimal.Decimal``
        (``DECIMAL``), a ``bool`` (``BOOL``), an aware ``datetime.datetime``
        with a fixed-offset ``datetime.timezone`` (``DATETIME``), a
        ``datetime.date`` (``DATE``) or a naive ``datetime.time`` (``TIME``);
        which one depends on the schema, hence ``Any``. Line feeds at the end
        of the line are ignored.

        Raises ``ValueError`` with an exact message when the line breaks a
        rule (separators, trailing delimiter, unknown record name, number of
        fields, or a field that fails its kind's checks; field messages name
        the field's text and its schema description). Nothing is returned
        partially. A ``TIME`` value holding a leap second comes back as
        second 59 with a ``UserWarning``.
        """

    def parse_first(self, line: str) -> str:
        """Return the first field of ``line`` (its record name) without
        selecting a record kind or converting anything.

        A first field that begins with the quote character runs to the next
        quote character; otherwise it runs to the first delimiter. Line feeds
        are kept. Raises ``ValueError`` only when the schema's quote or
        delimiter is not one byte long.
        """
