"""The schema document: JSON syntax messages and positions, record structure,
array forms, number classing and conversion, nesting and NUL bytes."""
import json

import pytest

import kelvane

MINIMAL = '{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false, "lines": []}'
FIELDS_PREFIX = ('{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false, '
                 '"lines": [{"name": "A", "fields": [')
FIELDS_SUFFIX = "]}]}"


def error(text):
    with pytest.raises(ValueError) as info:
        kelvane.Parser(text)
    assert len(info.value.args) == 1
    return info.value.args[0]


def column_after(text, piece, occurrence=0):
    """1-based column of the last byte of `piece` (single-line texts)."""
    start = -1
    for _ in range(occurrence + 1):
        start = text.index(piece, start + 1)
    return start + len(piece)


def fields_doc(fields_text):
    return FIELDS_PREFIX + fields_text + FIELDS_SUFFIX


def field_error(fields_text):
    """A field description's error: placed past the description and the
    separator after it."""
    message = error(fields_doc(fields_text))
    suffix = f" at line 1 column {len(FIELDS_PREFIX) + len(fields_text) + 1}"
    assert message.endswith(suffix), message
    return message[: -len(suffix)]


def description(field):
    """The field's description as the line parser prints it after a failure."""
    doc = {"delimiter": "|", "trailing_delimiter": False, "coerce_empty_quoted": False,
           "lines": [{"name": "A", "fields": [field]}]}
    parser = kelvane.Parser(json.dumps(doc))
    with pytest.raises(ValueError) as info:
        parser.parse_line("A|\x01")
    return info.value.args[0].split(" given schema: ", 1)[1]


# --- valid documents -------------------------------------------------------

def probe(message, field_description):
    """What a line of one unparseable piece gives under a field: the field's
    message with its description."""
    return message + " - '\x01' given schema: " + field_description


@pytest.mark.parametrize("text, line, outcome", [
    (MINIMAL, "A", "No schema line matching 'A'"),
    ('{"lines": [], "coerce_empty_quoted": true, "trailing_delimiter": true, "delimiter": ","}', "A,",
     "No schema line matching 'A'"),
    ('{"delimiter": "||", "quote_str": "", "trailing_delimiter": false, "coerce_empty_quoted": false, "lines": []}',
     "A", "Delimiter needs to be of length 1"),
    ('{"delimiter": "|", "quote_str": null, "trailing_delimiter": false, "coerce_empty_quoted": false, "lines": []}',
     '"A"|x', """No schema line matching '"A"'"""),
    (' \t\r\n' + MINIMAL + ' \n\r\t', "A", "No schema line matching 'A'"),
    ('["|", null, false, false, []]', "A|", "No schema line matching 'A'"),
    ('["|", "\'", true, false, [["A", [["STR", true, null, null, null]]], {"fields": [], "name": "B"}]]',
     "A|'x|y'|", ("A", "x|y")),
    ('["|", "\'", true, false, [["A", [["STR", true, null, null, null]]], {"fields": [], "name": "B"}]]', "B|", ("B",)),
    ('{"comment": [1, {"x": null}], "delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false,'
     ' "lines": [{"name": "A", "note": {"deep": [[[]]]}, "fields": [{"required": true, "comment": [1, {"x": null}],'
     ' "kind": "STR"}]}, {"name": "A", "fields": []}]}', "A|x", ("A", "x")),
    ('{"\\u0064elimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false, "lines": [{"name": "A",'
     ' "fields": [{"kin\\u0064": "STR", "\\u0072equired": true}]}]}', "A|", ("A", "")),
    (fields_doc('{"kind": "DATETIME", "required": true, "format": "%Y", "time_zone": "Not/AZone"}'), "A|\x01",
     probe("Invalid timezone", 'Datetime(DatetimeField { required: true, format: "%Y", time_zone: "Not/AZone" })')),
    (fields_doc('{"kind": "BOOL", "required": false, "true_value": "Y"}'), "A|\x01",
     probe("Value is neither true or false value", 'Bool(BoolField { required: false, true_value: "Y", false_value: None })')),
    (fields_doc('{"kind": "INT", "required": true, "min_value": 1.5, "max_value": 1e300}'), "A|\x01",
     probe("Does not parse as int", "Int(IntField { required: true, min_value: Some(1.5), max_value: Some(1e300) })")),
    (fields_doc('{"kind": "STR_ENUM", "required": true, "values": []}'), "A|\x01",
     probe("Value not in enum", "StrEnum(StrEnumField { required: true, values: [] })")),
    (fields_doc('{"kind": "INT_ENUM", "required": true, "values": [-9223372036854775808, 9223372036854775807]}'),
     "A|\x01", probe("Does not parse as int", "IntEnum(IntEnumField { required: true, values: [-9223372036854775808, 9223372036854775807] })")),
    (fields_doc('{"kind": "STR", "required": true, "min_length": 18446744073709551615, "max_length": 0}'), "A|\x01",
     probe("String is too short", "Str(StrField { required: true, min_length: Some(18446744073709551615), max_length: Some(0), "
           "invalid_characters: None })")),
    (fields_doc('{"kind": "DECIMAL", "required": true, "round_decimal_places": 4294967295}'), "A|\x01",
     probe("Does not parse as decimal", "Decimal(DecimalField { required: true, round_decimal_places: Some(4294967295), min_value: None, "
           "max_value: None })")),
    (fields_doc('{"kind": "DATE", "required": true, "format": "%Y", "kind_of": 1}'), "A|\x01",
     probe("Does not parse as date", 'Date(DateField { required: true, format: "%Y" })')),
    (fields_doc('{"kind": "FLOAT", "required": true, "min_value": 1e-400, "max_value": -0}'), "A|\x01",
     probe("Does not parse as float", "Float(FloatField { required: true, min_value: Some(0.0), max_value: Some(-0.0) })")),
])
def test_valid_documents_are_read(text, line, outcome):
    parser = kelvane.Parser(text)
    try:
        result = parser.parse_line(line)
    except ValueError as caught:
        result = caught.args[0]
    assert result == outcome


@pytest.mark.parametrize("text", [
    MINIMAL,
    MINIMAL.replace('"lines": []', '"quote_str": null, "lines": []'),
    '["|", null, false, false, []]',
])
def test_absent_and_null_quote_mean_no_quote_character(text):
    doc = text.replace('"lines": []', '"lines": [["A", [["STR", true, null, null, null]]]]').replace(
        "false, []]", 'false, [["A", [["STR", true, null, null, null]]]]]')
    assert kelvane.Parser(doc).parse_line('A|"x') == ("A", '"x')


def test_documents_are_read_into_the_records():
    doc = ('["\\u0000", "\\"", true, true, [{"name": "R\\u00e9", "fields": [["STR", false, 1, 3, null],'
           ' {"required": true, "kind": "INT"}]}]]')
    parser = kelvane.Parser(doc)
    assert parser.parse_line('R\u00e9\x00"ab"\x0042\x00') == ("R\u00e9", "ab", 42)


def test_first_line_of_a_name_wins():
    doc = fields_doc('{"kind": "INT", "required": true}').replace(
        FIELDS_SUFFIX, ']}, {"name": "A", "fields": [{"kind": "STR", "required": true}]}]}')
    assert kelvane.Parser(doc).parse_line("A|7") == ("A", 7)


@pytest.mark.parametrize("field, expected", [
    ({"kind": "STR", "required": True, "max_length": 0},
     "Str(StrField { required: true, min_length: None, max_length: Some(0), invalid_characters: None })"),
    (["STR", True, None, 0, None],
     "Str(StrField { required: true, min_length: None, max_length: Some(0), invalid_characters: None })"),
    (["STR", False, 2, 18446744073709551615, "a\"b"],
     'Str(StrField { required: false, min_length: Some(2), max_length: Some(18446744073709551615), '
     'invalid_characters: Some("a\\"b") })'),
    ({"kind": "BOOL", "required": False, "true_value": "Y", "false_value": None},
     'Bool(BoolField { required: false, true_value: "Y", false_value: None })'),
    (["DATETIME", True, "%Y", "Nowhere"],
     'Datetime(DatetimeField { required: true, format: "%Y", time_zone: "Nowhere" })'),
    ({"kind": "INT_ENUM", "required": True, "values": [3, -9223372036854775808]},
     "IntEnum(IntEnumField { required: true, values: [3, -9223372036854775808] })"),
])
def test_field_records_hold_the_document_members(field, expected):
    assert description(field) == expected


# --- number classing and conversion ----------------------------------------

@pytest.mark.parametrize("bound, shown", [
    ("9007199254740993", "9007199254740992.0"),          # nearest binary64, ties to even
    ("18446744073709551615", "1.8446744073709552e19"),
    ("-9223372036854775808", "-9.223372036854776e18"),
    ("18446744073709551616", "1.8446744073709552e19"),   # beyond u64: read as a float
    ("0.1", "0.1"),
    ("-0", "-0.0"),
    ("1e-400", "0.0"),
    ("-1e-400", "-0.0"),
    ("1.5", "1.5"),
    ("123456789012345678901234567890e-10", "1.2345678901234567e19"),
])
def test_int_bounds_become_binary64(bound, shown):
    text = fields_doc('{"kind": "INT", "required": true, "min_value": ' + bound + '}')
    with pytest.raises(ValueError) as info:
        kelvane.Parser(text).parse_line("A|x")
    assert info.value.args[0].endswith(f"min_value: Some({shown}), max_value: None }})")


@pytest.mark.parametrize("bound, shown", [
    ("18446744073709551615", "18446744073709551615"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("0.1", "0.1"),
    ("1.10", "1.1"),
    ("100.0", "100"),
    ("-0", "0"),
    ("1e-30", "0.0000000000000000000000000000"),
    ("2.5e3", "2500"),
    ('"1.50"', "1.50"),
    ('"1.5E-3"', "0.0015"),
    ('"2.50e1"', "25.0"),
    ('"-0.00"', "0.00"),
])
def test_decimal_bounds(bound, shown):
    text = fields_doc('{"kind": "DECIMAL", "required": true, "max_value": ' + bound + '}')
    with pytest.raises(ValueError) as info:
        kelvane.Parser(text).parse_line("A|x")
    assert info.value.args[0].endswith(f"min_value: None, max_value: Some({shown}) }})")


def test_decimal_bound_from_json_float_is_its_shortest_text():
    parser = kelvane.Parser(fields_doc('{"kind": "DECIMAL", "required": true, "min_value": 0.1, "max_value": 0.1}'))
    assert str(parser.parse_line("A|0.1")[1]) == "0.1"


def test_float_bound_matches_field_text():
    parser = kelvane.Parser(fields_doc('{"kind": "FLOAT", "required": true, "max_value": 0.1}'))
    assert parser.parse_line("A|0.1") == ("A", 0.1)


DECIMAL_EXPECTED = "expected a Decimal type representing a fixed-point number"


@pytest.mark.parametrize("field, message", [
    ('{"kind": "STR", "required": true, "min_length": -1}', "invalid value: integer `-1`, expected usize"),
    ('{"kind": "STR", "required": true, "min_length": 1.0}', "invalid type: floating point `1.0`, expected usize"),
    ('{"kind": "STR", "required": true, "min_length": -0}', "invalid type: floating point `-0.0`, expected usize"),
    ('{"kind": "STR", "required": true, "max_length": 18446744073709551616}',
     "invalid type: floating point `1.8446744073709552e19`, expected usize"),
    ('{"kind": "STR", "required": true, "max_length": "5"}', 'invalid type: string "5", expected usize'),
    ('{"kind": "DECIMAL", "required": true, "round_decimal_places": 4294967296}',
     "invalid value: integer `4294967296`, expected u32"),
    ('{"kind": "DECIMAL", "required": true, "round_decimal_places": -3}',
     "invalid value: integer `-3`, expected u32"),
    ('{"kind": "DECIMAL", "required": true, "round_decimal_places": 2e0}',
     "invalid type: floating point `2.0`, expected u32"),
    ('{"kind": "INT_ENUM", "required": true, "values": [1, 9223372036854775808]}',
     "invalid value: integer `9223372036854775808`, expected i64"),
    ('{"kind": "INT_ENUM", "required": true, "values": [-9223372036854775809]}',
     "invalid type: floating point `-9.223372036854776e18`, expected i64"),
    ('{"kind": "INT_ENUM", "required": true, "values": [-0]}', "invalid type: floating point `-0.0`, expected i64"),
    ('{"kind": "INT_ENUM", "required": true, "values": [1.5]}', "invalid type: floating point `1.5`, expected i64"),
    ('{"kind": "INT_ENUM", "required": true, "values": [null]}', "invalid type: null, expected i64"),
    ('{"kind": "INT_ENUM", "required": true, "values": {}}', "invalid type: map, expected a sequence"),
    ('{"kind": "STR_ENUM", "required": true, "values": ["a", 1]}', "invalid type: integer `1`, expected a string"),
    ('{"kind": "STR_ENUM", "required": true, "values": "a"}', 'invalid type: string "a", expected a sequence'),
    ('{"kind": "INT", "required": true, "min_value": "1"}', 'invalid type: string "1", expected f64'),
    ('{"kind": "FLOAT", "required": true, "max_value": true}', "invalid type: boolean `true`, expected f64"),
    ('{"kind": "DECIMAL", "required": true, "max_value": 1e29}',
     f"invalid value: floating point `1e29`, {DECIMAL_EXPECTED}"),
    ('{"kind": "DECIMAL", "required": true, "max_value": 100000000000000000000000000000}',
     f"invalid value: floating point `1e29`, {DECIMAL_EXPECTED}"),
    ('{"kind": "DECIMAL", "required": true, "max_value": "1e29"}', f'invalid value: string "1e29", {DECIMAL_EXPECTED}'),
    ('{"kind": "DECIMAL", "required": true, "min_value": "1.2.3"}',
     f'invalid value: string "1.2.3", {DECIMAL_EXPECTED}'),
    ('{"kind": "DECIMAL", "required": true, "min_value": "1e"}', f'invalid value: string "1e", {DECIMAL_EXPECTED}'),
    ('{"kind": "DECIMAL", "required": true, "min_value": "e5"}', f'invalid value: string "e5", {DECIMAL_EXPECTED}'),
    ('{"kind": "DECIMAL", "required": true, "min_value": false}', f"invalid type: boolean `false`, {DECIMAL_EXPECTED}"),
    ('{"kind": "DECIMAL", "required": true, "min_value": []}', f"invalid type: sequence, {DECIMAL_EXPECTED}"),
])
def test_number_and_type_errors_in_field_records(field, message):
    assert field_error(field) == message


@pytest.mark.parametrize("number", ["1e400", "-1e309", "1" + "0" * 400, "1000e306", "-0.1e310"])
@pytest.mark.parametrize("template", [
    fields_doc('{"kind": "INT", "required": true, "max_value": %s}'),
    fields_doc('{"kind": "STR", "required": true, "note": [%s]}'),
    '{"note": {"x": [%s]}}',
    '{"delimiter": %s}',
])
def test_numbers_too_large_for_binary64(number, template):
    column = template.index("%s") + 1
    assert error(template % number) == f"number out of range at line 1 column {column}"


# --- found phrases ---------------------------------------------------------

@pytest.mark.parametrize("value, found", [
    ("true", "boolean `true`"),
    ("false", "boolean `false`"),
    ("null", "null"),
    ("0", "integer `0`"),
    ("-5", "integer `-5`"),
    ("18446744073709551615", "integer `18446744073709551615`"),
    ("123.5", "floating point `123.5`"),
    ("1E2", "floating point `100.0`"),
    ("1e16", "floating point `1e16`"),
    ("-0.0", "floating point `-0.0`"),
    ('"a\\"b\\\\c\\n\\r\\t\\u0001\\u007f\\/\\u00e9"', 'string "a\\"b\\\\c\\n\\r\\t\\u{1}\\u{7f}/\u00e9"'),
    ('"\\u0000"', 'string "\\0"'),
    ('"\\u200b\\u00a0x"', 'string "\\u{200b}\\u{a0}x"'),
])
def test_found_phrases(value, found):
    assert error(value) == f"invalid type: {found}, expected struct Schema at line 1 column {len(value.encode())}"


@pytest.mark.parametrize("value, found", [("[1]", "sequence"), ("{}", "map")])
def test_found_phrases_of_containers(value, found):
    assert field_error('{"kind": "STR", "required": ' + value + "}") == f"invalid type: {found}, expected a boolean"


# --- structure of Schema and Line ------------------------------------------

def schema_error_cases():
    def at(text, piece, occurrence=0):
        return text, column_after(text, piece, occurrence)

    cases = []
    t = '{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false}'
    cases.append(("missing field `lines`", *at(t, "}")))
    t = '{"delimiter": "|", "coerce_empty_quoted": false, "lines": []}'
    cases.append(("missing field `trailing_delimiter`", *at(t, "}")))
    t = '{"lines": []}'
    cases.append(("missing field `delimiter`", *at(t, "}")))
    t = '{"delimiter": "|", "delimiter": "|"}'
    cases.append(("duplicate field `delimiter`", *at(t, '"delimiter"', 1)))
    t = '{"delimiter": "|", "trailing_delimiter": 0}'
    cases.append(("invalid type: integer `0`, expected a boolean", *at(t, "0")))
    t = '{"delimiter": "|", "trailing_delimiter": "false"}'
    cases.append(('invalid type: string "false", expected a boolean', *at(t, '"false"')))
    t = '{"delimiter": "|", "trailing_delimiter": null}'
    cases.append(("invalid type: null, expected a boolean", *at(t, "null")))
    t = '{"delimiter": null}'
    cases.append(("invalid type: null, expected a string", *at(t, "null")))
    t = '{"delimiter": "|", "quote_str": 1.5}'
    cases.append(("invalid type: floating point `1.5`, expected a string", *at(t, "1.5")))
    t = '{"delimiter": {"a": 1}}'
    cases.append(("invalid type: map, expected a string", *at(t, "{", 1)))
    t = '{"delimiter": "|", "coerce_empty_quoted": [true]}'
    cases.append(("invalid type: sequence, expected a boolean", *at(t, "[")))
    t = '{"lines": {}}'
    cases.append(("invalid type: map, expected a sequence", *at(t, "{", 1)))
    t = '{"lines": null}'
    cases.append(("invalid type: null, expected a sequence", *at(t, "null")))
    t = '{"lines": [5]}'
    cases.append(("invalid type: integer `5`, expected struct Line", *at(t, "5")))
    t = '{"lines": [{"name": "A"}]}'
    cases.append(("missing field `fields`", *at(t, "}")))
    t = '{"lines": [{"fields": []}]}'
    cases.append(("missing field `name`", *at(t, "}")))
    t = '{"lines": [{"name": "A", "name": "B"}]}'
    cases.append(("duplicate field `name`", *at(t, '"name"', 1)))
    t = '{"lines": [{"name": "A", "fields": "x"}]}'
    cases.append(('invalid type: string "x", expected a sequence', *at(t, '"x"')))
    t = '{"lines": [{"name": 1, "fields": []}]}'
    cases.append(("invalid type: integer `1`, expected a string", *at(t, "1")))
    t = '{"lines": [["A"]]}'
    cases.append(("invalid length 1, expected struct Line with 2 elements", *at(t, "]")))
    t = '{"lines": [[]]}'
    cases.append(("invalid length 0, expected struct Line with 2 elements", *at(t, "]")))
    t = '{"lines": [["A", [], 1]]}'
    cases.append(("trailing characters", *at(t, "1")))
    t = '{"lines": [["A", [],]]}'
    cases.append(("trailing comma", *at(t, "]", 1)))
    t = '["|", null, false]'
    cases.append(("invalid length 3, expected struct Schema with 5 elements", *at(t, "]")))
    t = '["|", null, false, false, [], "x"]'
    cases.append(("trailing characters", t, t.index('"x"') + 1))  # the extra element's first byte
    t = '["|", null, false, false, [],  ]'
    cases.append(("trailing comma", *at(t, "]", 1)))
    t = '[null]'
    cases.append(("invalid type: null, expected a string", *at(t, "null")))
    t = '5'
    cases.append(("invalid type: integer `5`, expected struct Schema", *at(t, "5")))
    t = '"x"'
    cases.append(('invalid type: string "x", expected struct Schema', *at(t, '"x"')))
    t = 'null'
    cases.append(("invalid type: null, expected struct Schema", *at(t, "null")))
    # The first error wins: nothing after a wrong value is examined.
    t = '{"delimiter": 1, "x": }'
    cases.append(("invalid type: integer `1`, expected a string", *at(t, "1")))
    return cases


@pytest.mark.parametrize("message, text, column", schema_error_cases())
def test_schema_and_line_structure(message, text, column):
    assert error(text) == f"{message} at line 1 column {column}"


# --- field descriptions ----------------------------------------------------

VARIANTS = ("expected one of `STR`, `STR_ENUM`, `INT`, `INT_ENUM`, `FLOAT`, `DECIMAL`, `BOOL`, `DATETIME`, "
            "`DATE`, `TIME`")


@pytest.mark.parametrize("field, message", [
    ('{"kind": "STR"}', "missing field `required`"),
    ('{"required": true, "kind": "STR", "required": false}', "duplicate field `required`"),
    ('{"kind": "BOOL", "required": true}', "missing field `true_value`"),
    ('{"kind": "DATETIME", "required": true, "format": "%Y"}', "missing field `time_zone`"),
    ('{"kind": "DATE", "required": true}', "missing field `format`"),
    ('{"kind": "TIME", "required": null, "format": "%H"}', "invalid type: null, expected a boolean"),
    ('{"kind": "STR_ENUM", "required": true}', "missing field `values`"),
    ('{"kind": "STR", "required": 1, "min_length": -1}', "invalid type: integer `1`, expected a boolean"),
    ('{"kind": "STR", "min_length": -1, "required": 1}', "invalid value: integer `-1`, expected usize"),
    ('{"kind": "STR", "min_length": 1, "min_length": 2, "required": 1}', "duplicate field `min_length`"),
    ('{"kind": "DATETIME", "required": true, "format": "%Y", "time_zone": null}',
     "invalid type: null, expected a string"),
    ('{"kind": "BOOL", "required": true, "true_value": "Y", "false_value": 0}',
     "invalid type: integer `0`, expected a string"),
    ('["STR", true]', "invalid length 1, expected struct StrField with 4 elements"),
    ('["INT"]', "invalid length 0, expected struct IntField with 3 elements"),
    ('["DECIMAL", true, null, null]', "invalid length 3, expected struct DecimalField with 4 elements"),
    ('["TIME", true, "%H", null]', "invalid length 3, expected 2 elements in sequence"),
    ('["STR", true, null, null, null, 1, 2]', "invalid length 6, expected 4 elements in sequence"),
    ('["STR", null, null, null, null]', "invalid type: null, expected a boolean"),
    ('["BOOL", true, null, null]', "invalid type: null, expected a string"),
    ('["STR", "yes"]', 'invalid type: string "yes", expected a boolean'),
    ("5", "invalid type: integer `5`, expected internally tagged enum Field"),
    ('"STR"', 'invalid type: string "STR", expected internally tagged enum Field'),
    ("null", "invalid type: null, expected internally tagged enum Field"),
    ("true", "invalid type: boolean `true`, expected internally tagged enum Field"),
])
def test_field_description_errors(field, message):
    assert field_error(field) == message


# Keys met before the tag are kept for whichever record it selects; keys the
# selected record lacks are skipped whatever they hold.
@pytest.mark.parametrize("field, message", [
    ('{"values": [1, "a"], "kind": "STR_ENUM", "required": true}', "invalid type: integer `1`, expected a string"),
    ('{"values": ["a", 1], "kind": "INT_ENUM", "required": true}', 'invalid type: string "a", expected i64'),
    ('{"values": [2, 9223372036854775808, "x"], "kind": "INT_ENUM", "required": true}',
     "invalid value: integer `9223372036854775808`, expected i64"),
    ('{"values": [[1], "a"], "kind": "STR_ENUM", "required": true}', "invalid type: sequence, expected a string"),
    ('{"values": [{"a": [1]}], "kind": "INT_ENUM", "required": true}', "invalid type: map, expected i64"),
    ('{"values": "abc", "kind": "INT_ENUM", "required": true}', 'invalid type: string "abc", expected a sequence'),
    ('{"format": 1, "format": "%Y", "kind": "DATE", "required": true}', "invalid type: integer `1`, expected a string"),
    ('{"format": "%Y", "format": 1, "format": [], "kind": "DATE", "required": true}', "duplicate field `format`"),
    ('{"values": ["a", "b"], "required": 1, "kind": "STR_ENUM", "values": 5}',
     "invalid type: integer `1`, expected a boolean"),
    ('{"values": [1], "values": 2, "kind": "STR", "required": true, "min_length": -1}',
     "invalid value: integer `-1`, expected usize"),
    ('{"kind": "STR", "required": true, "values": [1, "a", {"b": 2}], "format": {"x": [1]}, "max_length": "5"}',
     'invalid type: string "5", expected usize'),
    ('{"required": true, "min_value": "1.5", "kind": "INT"}', 'invalid type: string "1.5", expected f64'),
    ('{"min_value": {"x": 1}, "kind": "FLOAT", "required": true}', "invalid type: map, expected f64"),
    ('{"true_value": [], "kind": "BOOL", "required": true}', "invalid type: sequence, expected a string"),
    ('["STR_ENUM", true, ["a", [1, 2]]]', "invalid type: sequence, expected a string"),
    ('["INT_ENUM", true, [1], {"x": 1}]', "invalid length 3, expected 2 elements in sequence"),
])
def test_keys_held_until_the_record_is_known(field, message):
    assert field_error(field) == message


def test_field_description_error_is_placed_past_the_separator():
    fields = '{"kind": "STR"} ,\n  {"kind": "INT", "required": true}'
    doc = fields_doc(fields)
    assert error(doc) == "missing field `required` at line 1 column " + str(len(FIELDS_PREFIX) + 17)
    fields = '{"kind": "INT", "required": true}, ["STR"]\n\t]}]}'
    doc = FIELDS_PREFIX + fields
    assert error(doc) == "invalid length 0, expected struct StrField with 4 elements at line 2 column 2"


@pytest.mark.parametrize("field, message, piece", [
    ('{"kind": "TEXT"}', f"unknown variant `TEXT`, {VARIANTS}", '"TEXT"'),
    ('{"required": true, "kind": "str"}', f"unknown variant `str`, {VARIANTS}", '"str"'),
    ('{"kind": " STR"}', f"unknown variant ` STR`, {VARIANTS}", '" STR"'),
    ('{"kind": "STR", "kind": "STR"}', "duplicate field `kind`", '"kind"'),
    ('{"kind": 1}', "invalid type: integer `1`, expected variant identifier", "1"),
    ('{"kind": null}', "invalid type: null, expected variant identifier", "null"),
    ('{"kind": ["STR"]}', "invalid type: sequence, expected variant identifier", "["),
    ('{"kind": {}}', "invalid type: map, expected variant identifier", ": {"),
    ('{"required": true}', "missing field `kind`", "}"),
    ("{}", "missing field `kind`", "}"),
    ("[]", "missing field `kind`", "]"),
    ('[1, true]', "invalid type: integer `1`, expected variant identifier", "1"),
    ('["BOOLEAN", true]', f"unknown variant `BOOLEAN`, {VARIANTS}", '"BOOLEAN"'),
])
def test_kind_errors_are_placed_at_the_tag(field, message, piece):
    occurrence = 1 if message == "duplicate field `kind`" else 0
    column = len(FIELDS_PREFIX) + column_after(field, piece, occurrence)
    assert error(fields_doc(field)) == f"{message} at line 1 column {column}"


# --- JSON syntax -----------------------------------------------------------

@pytest.mark.parametrize("text, message", [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   \n  ", "EOF while parsing a value at line 2 column 2"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ("{\n", "EOF while parsing an object at line 1 column 2"),
    ('{"delimiter"', "EOF while parsing an object at line 1 column 12"),
    ('{"delimiter":', "EOF while parsing a value at line 1 column 13"),
    ('{"delimiter": "|"', "EOF while parsing an object at line 1 column 17"),
    ('{"delimiter": "|', "EOF while parsing a string at line 1 column 16"),
    ('{"delimiter": "\\', "EOF while parsing a string at line 1 column 16"),
    ('{"delimiter": "\\u00', "EOF while parsing a string at line 1 column 19"),
    ('{"delimiter": "\\ud800\\u', "EOF while parsing a string at line 1 column 23"),
    ('{"lines": [', "EOF while parsing a list at line 1 column 11"),
    ('{"lines": [{"name": "A", "fields": []}', "EOF while parsing a list at line 1 column 38"),
    ('{"lines": [{"name": "A", "fields": []},', "EOF while parsing a value at line 1 column 39"),
    ('{"x": tru', "EOF while parsing a value at line 1 column 9"),
    ('{"x": -', "EOF while parsing a value at line 1 column 7"),
    ('{"x": 1.', "EOF while parsing a value at line 1 column 8"),
    ('["|", null, false, false, [],\n', "EOF while parsing a value at line 1 column 30"),
    (MINIMAL + " x", f"trailing characters at line 1 column {len(MINIMAL) + 2}"),
    (MINIMAL + "\n{}", "trailing characters at line 2 column 1"),
    (MINIMAL + MINIMAL, f"trailing characters at line 1 column {len(MINIMAL) + 1}"),
    ('{"x": 1,}', "trailing comma at line 1 column 9"),
    ('{"x": [1,\n  ]}', "trailing comma at line 2 column 3"),
    ('{"x": [,]}', "expected value at line 1 column 8"),
    ('{"x": }', "expected value at line 1 column 7"),
    ('{"x": tru}', "expected value at line 1 column 10"),
    ('{"x": nul}', "expected value at line 1 column 10"),
    ("{'x': 1}", "key must be a string at line 1 column 2"),
    ('{"x": 1, 2: 3}', "key must be a string at line 1 column 10"),
    ('{"x" 1}', "expected `:` at line 1 column 6"),
    ('{"x": 1 "y": 2}', "expected `,` or `}` at line 1 column 9"),
    ('{"x": [1 2]}', "expected `,` or `]` at line 1 column 10"),
    ('{"x": 01}', "expected `,` or `}` at line 1 column 8"),
    ('{"x": -a}', "invalid number at line 1 column 8"),
    ('{"x": 1.e5}', "invalid number at line 1 column 9"),
    ('{"x": 1e+}', "invalid number at line 1 column 10"),
    ('{"x": .5}', "expected value at line 1 column 7"),
    ('{"x": +1}', "expected value at line 1 column 7"),
    ('{"x": NaN}', "expected value at line 1 column 7"),
    ('{"x": Infinity}', "expected value at line 1 column 7"),
    ('{"x": "\\x"}', "invalid escape at line 1 column 8"),
    ('{"x": "\\u12g4"}', "invalid escape at line 1 column 8"),
    ('{"x": "\\U0041"}', "invalid escape at line 1 column 8"),
    ('{"x": "a\tb"}', "control character (\\u0009) found while parsing a string at line 1 column 9"),
    ('{"x": "a\nb"}', "control character (\\u000a) found while parsing a string at line 1 column 9"),
    ('{"x": "\\ud800"}', "lone leading surrogate in hex escape at line 1 column 8"),
    ('{"x": "\\ud800\\u0041"}', "lone leading surrogate in hex escape at line 1 column 8"),
    ('{"x": "\\udc00"}', "lone trailing surrogate in hex escape at line 1 column 14"),
    ('{"x": 1 // c\n}', "expected `,` or `}` at line 1 column 9"),
    ('{"x": 1 /* c */}', "expected `,` or `}` at line 1 column 9"),
    ("\ufeff{}", "expected value at line 1 column 1"),
])
def test_syntax_errors(text, message):
    assert error(text) == message


def test_multibyte_characters_count_as_bytes_in_columns():
    assert error('{"\u00e9\u00e9": 1 x}') == "expected `,` or `}` at line 1 column 12"


def test_valid_escapes_decode():
    doc = ('{"delimiter": "\\t", "quote_str": "\\/", "trailing_delimiter": false, "coerce_empty_quoted": false,'
           ' "lines": [{"name": "\\ud83d\\ude00\\b\\f\\n\\r\\"\\\\", "fields": [["STR", true, null, null, null]]}]}')
    parser = kelvane.Parser(doc)
    assert parser.parse_line('\U0001F600\b\f\n\r"\\\t/x/') == ("\U0001F600\b\f\n\r\"\\", "x")


# --- nesting ---------------------------------------------------------------

def nested(depth_inside):
    return "[" * depth_inside + "]" * depth_inside


@pytest.mark.parametrize("template, outer", [
    ('{"x": %s, "delimiter": "|"}', 1),
    ('{"lines": [{"x": %s}]}', 3),
    ('{"lines": [{"name": "A", "fields": [{"x": %s}]}]}', 5),
    ('{"lines": [{"name": "A", "fields": [["STR", true, null, null, %s]]}]}', 5),
])
def test_nesting_limit(template, outer):
    allowed = template % nested(127 - outer)
    message = error(allowed)
    assert "recursion limit exceeded" not in message
    too_deep = template % nested(128 - outer)
    column = template.index("%s") + (128 - outer)
    assert error(too_deep) == f"recursion limit exceeded at line 1 column {column}"


def test_very_deep_nesting_fails_cleanly():
    assert error('{"x": ' + "[" * 200000).startswith("recursion limit exceeded at line 1 column 133")
    assert error("[" * 200000) == "invalid type: sequence, expected a string at line 1 column 2"


# --- NUL bytes -------------------------------------------------------------

@pytest.mark.parametrize("text, message", [
    (MINIMAL + "\x00", f"trailing characters at line 1 column {len(MINIMAL) + 1}"),
    (MINIMAL + " \x00 {}", f"trailing characters at line 1 column {len(MINIMAL) + 2}"),
    ("\x00" + MINIMAL, "expected value at line 1 column 1"),
    ('{"delimiter": "|"\x00}', "expected `,` or `}` at line 1 column 18"),
    ('{"delimiter": "a\x00b"}', "control character (\\u0000) found while parsing a string at line 1 column 17"),
    ('{"x": [1,\x00]}', "expected value at line 1 column 10"),
])
def test_raw_nul_bytes(text, message):
    assert error(text) == message


def test_escaped_nul_is_ordinary_text():
    doc = '["\\u0000", null, false, false, [["A", [["STR", true, null, null, null]]]]]'
    assert kelvane.Parser(doc).parse_line("A\x00x") == ("A", "x")
    doc = '["|", null, false, false, [["A", [["STR", true, null, null, "\\u0000"]]]]]'
    parser = kelvane.Parser(doc)
    assert parser.parse_line("A|xy") == ("A", "xy")
    with pytest.raises(ValueError, match="^String contains invalid characters"):
        parser.parse_line("A|x\x00y")
