"""Column types, the Schema object, and the Arrow consumers: pyarrow, polars,
DuckDB and pandas read the tables as they are, with the documented types."""

from __future__ import annotations

import datetime
import decimal
import json
import pickle
import threading

import pyarrow as pa
import pytest

import kelvane
import kelvane_feed


def schema_text(fields, *, name="A", extra_lines=(), quote="'"):
    return json.dumps({
        "delimiter": "|", "quote_str": quote, "trailing_delimiter": False, "coerce_empty_quoted": False,
        "lines": [{"name": name, "fields": fields}, *extra_lines],
    })


EVERY_KIND = [
    ({"kind": "STR", "required": False}, pa.string()),
    ({"kind": "STR", "required": False, "column_type": "large_utf8"}, pa.large_string()),
    ({"kind": "STR_ENUM", "required": False, "values": ["B", "A", "B"]}, pa.dictionary(pa.int8(), pa.string())),
    ({"kind": "STR_ENUM", "required": False, "values": [str(i) for i in range(200)]},
     pa.dictionary(pa.int16(), pa.string())),
    ({"kind": "INT", "required": False}, pa.int64()),
    ({"kind": "INT", "required": False, "min_value": -9.2e18, "max_value": 9.2e18}, pa.int64()),
    ({"kind": "INT", "required": False, "max_value": 1e20}, pa.decimal128(38, 0)),
    ({"kind": "INT", "required": False, "min_value": -1e19}, pa.decimal128(38, 0)),
    ({"kind": "INT_ENUM", "required": False, "values": [1, 2]}, pa.int64()),
    ({"kind": "FLOAT", "required": False}, pa.float64()),
    ({"kind": "DECIMAL", "required": False}, pa.decimal128(38, 9)),
    ({"kind": "DECIMAL", "required": False, "round_decimal_places": 2}, pa.decimal128(38, 2)),
    ({"kind": "DECIMAL", "required": False, "round_decimal_places": 40}, pa.decimal128(38, 28)),
    ({"kind": "DECIMAL", "required": False, "column_type": "decimal128(20, 4)"}, pa.decimal128(20, 4)),
    ({"kind": "BOOL", "required": False, "true_value": "Y"}, pa.bool_()),
    ({"kind": "DATETIME", "required": False, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "Europe/Paris"},
     pa.timestamp("us", "Europe/Paris")),
    ({"kind": "DATETIME", "required": False, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "Mars/Olympus"},
     pa.timestamp("us", "UTC")),
    ({"kind": "DATETIME", "required": False, "format": "%Y", "time_zone": "UTC", "column_type": "timestamp[s]"},
     pa.timestamp("s", "UTC")),
    ({"kind": "DATE", "required": False, "format": "%Y%m%d"}, pa.date32()),
    ({"kind": "TIME", "required": False, "format": "%H%M%S"}, pa.time64("us")),
]


def test_column_types_follow_the_schema():
    fields = [field for field, _ in EVERY_KIND]
    feed = kelvane_feed.read(b"", schema_text(fields))
    table = pa.table(feed["A"])
    assert table.num_rows == 0
    assert [table.schema.field(i).type for i in range(len(fields))] == [arrow for _, arrow in EVERY_KIND]
    assert all(table.schema.field(i).nullable for i in range(len(fields)))
    required = kelvane_feed.read(b"", schema_text([{"kind": "INT", "required": True}]))
    assert not pa.table(required["A"]).schema.field(0).nullable


def test_column_type_overrides_and_their_errors():
    fields = [
        {"kind": "DECIMAL", "required": False, "name": "amount"},
        {"kind": "STR_ENUM", "required": False, "values": ["x"]},
        {"kind": "INT", "required": False},
    ]
    schema = kelvane_feed.Schema(schema_text(fields))
    feed = kelvane_feed.read(b"A|1.23456|x|7\n", schema,
                             column_types={"A": {"amount": "decimal128(38, 5)", 2: "utf8", "f3": "decimal128(10, 2)"}})
    table = pa.table(feed["A"])
    assert table.schema.types == [pa.decimal128(38, 5), pa.string(), pa.decimal128(10, 2)]
    assert table.to_pylist() == [{"amount": decimal.Decimal("1.23456"), "f2": "x", "f3": decimal.Decimal("7.00")}]

    for column_types, message in [
        ({"Z": {"amount": "int64"}}, "column_types: the schema has no record kind 'Z'"),
        ({"A": {"nope": "int64"}}, "column_types: record kind 'A' has no column 'nope'"),
        ({"A": {9: "int64"}}, "column_types: record kind 'A' has no field 9"),
        ({"A": {"amount": "float64"}}, "column_types: column 'amount' of record kind 'A': column type 'float64' "
                                       "does not suit a DECIMAL field (choose one of: decimal128(P, S))"),
        ({"A": {"amount": "decimal128(39, 2)"}}, "does not suit a DECIMAL field"),
    ]:
        with pytest.raises(ValueError) as raised:
            kelvane_feed.read(b"", schema, column_types=column_types)
        assert message in str(raised.value)


@pytest.mark.parametrize("text, marker, message", [
    ('{"kind": "INT", "required": true, "column_type": "utf8"}', '"utf8"',
     "column type 'utf8' does not suit a INT field (choose one of: int64, decimal128(P, S))"),
    ('{"kind": "INT", "required": true, "name": 5}', "5", "the value of `name` must be a string"),
    ('{"kind": "INT", "required": true, "name": ""}', '""', "a column name must not be empty"),
    ('{"kind": "INT", "required": true, "name": "a", "name": "b"}', '"name": "b"', "duplicate field `name`"),
    ('{"kind": "INT", "required": true, "name": "f2"}, {"kind": "INT", "required": true}', '{"kind": "INT", "required": true}',
     "duplicate column name 'f2' in line 'A'"),
])
def test_reader_keys_are_checked_with_their_place(text, marker, message):
    line = "  " + text + "]}]}"
    document = '{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false,\n' \
               ' "lines": [{"name": "A", "fields": [\n' + line
    kelvane.Parser(document)  # the Parser skips both keys
    with pytest.raises(ValueError) as raised:
        kelvane_feed.Schema(document)
    assert str(raised.value) == f"{message} at line 3 column {line.rindex(marker) + 1}"


@pytest.mark.parametrize("document", [
    "", "{", '{"delimiter": "|"}', '{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false, '
    '"lines": [{"name": "A", "fields": [{"kind": "TEXT"}]}]}', "[1, 2]", '{"a": 1} x', '"\\ud800"',
])
def test_schema_messages_are_the_parsers(document):
    with pytest.raises(ValueError) as parser_error:
        kelvane.Parser(document)
    with pytest.raises(ValueError) as schema_error:
        kelvane_feed.Schema(document)
    assert schema_error.value.args == parser_error.value.args


def test_schema_object():
    text = schema_text([{"kind": "INT", "required": True, "name": "id"}, {"kind": "STR", "required": False}],
                       extra_lines=[{"name": "A", "fields": []}, {"name": "B", "fields": []}])
    schema = kelvane_feed.Schema(text)
    assert schema.kinds == ("A", "B")  # the second Line named A is never selected
    assert [(c.name, c.type, c.field_kind) for c in schema.columns("A")] == [("id", "int64", "INT"),
                                                                             ("f2", "utf8", "STR")]
    copy = pickle.loads(pickle.dumps(schema))
    assert copy == schema and hash(copy) == hash(schema) and copy.text == text
    with pytest.raises(AttributeError):
        schema.text = "{}"
    with pytest.raises(TypeError):
        kelvane_feed.Schema(b"{}")
    # One schema, several threads.
    results = []
    threads = [threading.Thread(target=lambda: results.append(kelvane_feed.read(b"A|1|x\n" * 500, schema).counts))
               for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [{"A": 500, "B": 0}] * 4


MISFITS = [
    ({"kind": "INT", "required": True}, "99999999999999999999",
     "Int 99999999999999999999 does not fit the column type int64"),
    ({"kind": "INT", "required": True, "max_value": 1e40}, "-170141183460469231731687303715884105728",
     "Int -170141183460469231731687303715884105728 has more digits than the column type decimal128(38, 0) holds"),
    ({"kind": "DECIMAL", "required": True}, "1.0000000001",
     "Decimal 1.0000000001 has more decimal places than the column type decimal128(38, 9) holds"),
    ({"kind": "DECIMAL", "required": True, "round_decimal_places": 28}, "12345678901",
     "Decimal 12345678901 has more digits than the column type decimal128(38, 28) holds"),
    ({"kind": "DATETIME", "required": True, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "UTC",
      "column_type": "timestamp[ns]"}, "2300-01-01 00:00:00",
     "Datetime 2300-01-01 00:00:00 does not fit the column type timestamp[ns, tz=UTC]"),
]


@pytest.mark.parametrize("field, text, message", MISFITS)
def test_values_the_column_cannot_hold(field, text, message):
    document = schema_text([field, {"kind": "DATE", "required": False, "format": "%Y"}])
    assert kelvane.Parser(document).parse_line("A|" + text + "|")  # the Parser takes it
    feed = kelvane_feed.read(("A|" + text + "|\n").encode(), document, errors="collect")
    assert [(e.field, e.message) for e in feed.errors] == [(1, message)]
    # A later failure of the same line is the Parser's, and wins.
    feed = kelvane_feed.read(("A|" + text + "|0000\n").encode(), document, errors="collect")
    with pytest.raises(ValueError) as parser_error:
        kelvane.Parser(document).parse_line("A|" + text + "|0000")
    assert [(e.field, e.message) for e in feed.errors] == [(2, str(parser_error.value))]


@pytest.fixture(scope="module")
def feed():
    text = schema_text([
        {"kind": "INT", "required": True, "name": "id"},
        {"kind": "STR_ENUM", "required": False, "values": ["BUY", "SELL"], "name": "side"},
        {"kind": "DECIMAL", "required": False, "round_decimal_places": 2, "name": "amount"},
        {"kind": "DATETIME", "required": False, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "Europe/Paris",
         "name": "at"},
        {"kind": "DATE", "required": False, "format": "%Y%m%d", "name": "day"},
        {"kind": "TIME", "required": False, "format": "%H:%M:%S%.f", "name": "time"},
        {"kind": "BOOL", "required": False, "true_value": "Y", "false_value": "N", "name": "flag"},
        {"kind": "FLOAT", "required": False, "name": "ratio"},
    ], extra_lines=[{"name": "T", "fields": []}, {"name": "E", "fields": [{"kind": "STR", "required": False}]}])
    data = b"A|1|BUY|1.5|2024-07-01 12:00:00|20240131|09:30:00.123456|Y|0.25\nA|2||||||N|\nT\nT\n"
    return kelvane_feed.read(data, text, threads=2)


def test_consumers_read_the_tables(feed):
    # Imported here, not at the top: polars' and DuckDB's allocators cannot
    # run under ThreadSanitizer, which runs the rest of this file.
    import duckdb
    import pandas
    import polars

    expected_at = datetime.datetime(2024, 7, 1, 10, 0, tzinfo=datetime.timezone.utc)
    table = pa.table(feed["A"])
    assert table.column("at").to_pylist()[0] == expected_at
    assert table.column("at").type.tz == "Europe/Paris"

    frame = polars.DataFrame(feed["A"])
    assert frame.shape == (2, 8) and frame["side"].to_list() == ["BUY", None]
    assert frame["at"].dtype == polars.Datetime("us", "Europe/Paris")
    assert frame["amount"].to_list() == [decimal.Decimal("1.50"), None]

    a_table = feed["A"]
    rows = duckdb.sql("select id, side, amount, day, flag from a_table order by id").fetchall()
    assert rows == [(1, "BUY", decimal.Decimal("1.50"), datetime.date(2024, 1, 31), True), (2, None, None, None, False)]

    pandas_frame = pandas.DataFrame.from_arrow(feed["A"])
    assert list(pandas_frame["id"]) == [1, 2] and pandas_frame["side"].dtype == "category"
    assert feed["A"].to_pandas()["time"][0] == datetime.time(9, 30, 0, 123456)
    assert feed["A"].to_polars().equals(frame)

    # A kind with no fields: one row per line, no columns (DuckDB refuses
    # tables without columns).
    assert pa.table(feed["T"]).num_rows == 2 and pa.table(feed["T"]).num_columns == 0
    assert polars.DataFrame(feed["T"]).shape == (2, 0)
    # A kind with no lines: no rows, the right columns.
    empty = feed["E"]
    assert pa.table(empty).schema == pa.schema([pa.field("f1", pa.string())])
    assert polars.DataFrame(empty).shape == (0, 1)
    assert duckdb.sql("select count(*) from empty").fetchall() == [(0,)]
    assert pandas.DataFrame.from_arrow(empty).shape == (0, 1)

    # Every call gives a fresh stream; schemas alone are there too.
    assert pa.table(feed["A"]).equals(pa.table(feed["A"]))
    assert pa.schema(feed["A"]) == table.schema
    for batch in feed["A"].batches:
        assert pa.record_batch(batch).num_rows == batch.num_rows


def test_errors_table():
    import duckdb
    import polars

    document = schema_text([{"kind": "INT", "required": True, "name": "id"}])
    feed = kelvane_feed.read(b"A|1\nA|x\nB\nA|\xff\n", document, errors="collect")
    table = pa.table(feed.errors)
    assert table.column_names == ["line", "offset", "record", "field", "field_name", "message", "text"]
    assert table.to_pylist()[0] == {
        "line": 2, "offset": 4, "record": "A", "field": 1, "field_name": "id",
        "message": "Does not parse as int - 'x' given schema: Int(IntField { required: true, min_value: None, "
                   "max_value: None })",
        "text": "A|x",
    }
    assert table.column("text").to_pylist()[2] == "A|\\xff"
    assert table.column("record").to_pylist() == ["A", "B", None]
    assert polars.DataFrame(feed.errors)["line"].to_list() == [2, 3, 4]
    errors = feed.errors
    assert duckdb.sql("select count(*) from errors").fetchall() == [(3,)]
    assert pa.table(kelvane_feed.read(b"A|1\n", document).errors).num_rows == 0
