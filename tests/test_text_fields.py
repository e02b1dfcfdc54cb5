"""STR, STR_ENUM and BOOL fields, the presence rule, field messages and the
field description shown in them."""
import importlib.util
import pathlib

import pytest

from builders import field_parser, parse_field


def failure(field, text, **settings):
    with pytest.raises(ValueError) as info:
        field_parser(field, **settings).parse_line("A|" + text)
    return str(info.value)


def STR(**keys):
    return {"kind": "STR", "required": False, **keys}


class TestStr:
    @pytest.mark.parametrize(
        "keys, text, value",
        [
            ({}, "abc", "abc"),
            ({"min_length": 3}, "abc", "abc"),
            ({"min_length": 3}, "äb", "äb"),  # three bytes
            ({"max_length": 2}, "ä", "ä"),
            ({"min_length": 3}, "", None),  # empty and optional: absent, no check
            ({"invalid_characters": "é"}, "ã", "ã"),  # shared lead byte, different character
            ({"invalid_characters": "xyz"}, "abc", "abc"),
            ({"invalid_characters": ""}, "abc", "abc"),
        ],
    )
    def test_accepted(self, keys, text, value):
        assert parse_field(STR(**keys), text) == value

    @pytest.mark.parametrize(
        "keys, text, message",
        [
            ({"min_length": 3}, "ab", "String is too short"),
            ({"max_length": 2}, "abc", "String is too long"),
            ({"max_length": 1}, "ä", "String is too long"),
            ({"invalid_characters": "xé"}, "caé", "String contains invalid characters"),
            ({"invalid_characters": "|"}, "'a|b'", "String contains invalid characters"),
            ({"invalid_characters": "😀"}, "a😀", "String contains invalid characters"),
            ({"min_length": 5, "max_length": 1}, "abc", "String is too short"),
        ],
    )
    def test_refused(self, keys, text, message):
        assert failure(STR(**keys), text).startswith(message + " - '")

    def test_message_composition(self):
        assert failure(STR(min_length=3), "ab") == (
            "String is too short - 'ab' given schema: "
            "Str(StrField { required: false, min_length: Some(3), max_length: None, invalid_characters: None })"
        )

    def test_message_shows_text_without_quotes(self):
        assert failure(STR(max_length=1), "'a|b'").startswith("String is too long - 'a|b' given")

    def test_required_empty_gives_empty_text(self):
        assert parse_field(STR(required=True), "") == ""
        assert failure(STR(required=True, min_length=1), "").startswith("String is too short - '' given")

    @pytest.mark.parametrize(
        "coerce, text, value",
        [(True, "''", ""), (False, "''", None), (True, "", None), (True, "'a'", "a"), (True, "a''", "a")],
    )
    def test_coerce_empty_quoted(self, coerce, text, value):
        assert parse_field(STR(), text, coerce_empty_quoted=coerce) == value

    def test_coerce_empty_quoted_applies_to_str_only(self):
        for field in [
            {"kind": "INT", "required": False},
            {"kind": "STR_ENUM", "required": False, "values": ["", "''"]},
            {"kind": "BOOL", "required": False, "true_value": "''"},
        ]:
            assert parse_field(field, "''", coerce_empty_quoted=True) is None

    def test_coerced_empty_text_is_checked(self):
        assert failure(STR(min_length=1), "''", coerce_empty_quoted=True).startswith("String is too short - '' given")


class TestStrEnum:
    def field(self, values, required=False):
        return {"kind": "STR_ENUM", "required": required, "values": values}

    @pytest.mark.parametrize(
        "values, text, value",
        [
            (["A", "B"], "A", "A"),
            (["A", "B"], "'B'", "B"),
            (["'A'"], "A", "'A'"),  # the quoted form, quote characters included
            (["'A'"], "'A'", "'A'"),
            (["A", "'A'"], "A", "A"),  # plain text first
            (["'A'", "A"], "A", "A"),
            (["", "x"], "", None),
        ],
    )
    def test_accepted(self, values, text, value):
        assert parse_field(self.field(values), text) == value

    def test_required_empty_matches_empty_entry(self):
        assert parse_field(self.field([""], required=True), "") == ""
        assert parse_field(self.field(["''"], required=True), "") == "''"

    @pytest.mark.parametrize("values, text", [(["A"], "a"), (["A"], "A "), ([], "A"), (["'A'"], "B"), (["''A''"], "A")])
    def test_refused(self, values, text):
        assert failure(self.field(values), text).startswith("Value not in enum - ")

    def test_no_quote_character_quoted_form_is_text(self):
        assert parse_field(self.field(["'A'"]), "'A'", quote_str=None) == "'A'"
        assert failure(self.field(["'A'"]), "A", quote_str=None).startswith("Value not in enum")

    def test_message(self):
        assert failure(self.field(["A", "B"], required=True), "C") == (
            "Value not in enum - 'C' given schema: StrEnum(StrEnumField { required: true, values: [\"A\", \"B\"] })"
        )


class TestBool:
    def field(self, true_value="Y", false_value=None, required=False):
        field = {"kind": "BOOL", "required": required, "true_value": true_value}
        if false_value is not None:
            field["false_value"] = false_value
        return field

    @pytest.mark.parametrize(
        "keys, text, value",
        [
            ({}, "Y", True),
            ({}, "", None),
            ({"false_value": "N"}, "N", False),
            ({"false_value": "N"}, "'N'", False),
            ({"true_value": "'Y'"}, "Y", True),
            ({"true_value": "X", "false_value": "X"}, "X", True),  # true value tried first
            ({"true_value": "", "false_value": "N"}, "", None),
        ],
    )
    def test_values(self, keys, text, value):
        result = parse_field(self.field(**keys), text)
        assert result is value

    def test_required_empty(self):
        assert parse_field(self.field(true_value="", required=True), "") is True
        assert failure(self.field(required=True), "").startswith("Value is neither true or false value - '' given")

    def test_without_false_value_everything_else_fails(self):
        assert failure(self.field(), "N") == (
            "Value is neither true or false value - 'N' given schema: "
            'Bool(BoolField { required: false, true_value: "Y", false_value: None })'
        )


class TestPresence:
    @pytest.mark.parametrize(
        "field",
        [
            {"kind": "INT", "required": False},
            {"kind": "FLOAT", "required": False},
            {"kind": "DECIMAL", "required": False},
            {"kind": "DATE", "required": False, "format": "%Y"},
            {"kind": "TIME", "required": False, "format": "%H"},
            {"kind": "DATETIME", "required": False, "format": "%Y", "time_zone": "Nowhere/Unknown"},
            {"kind": "INT_ENUM", "required": False, "values": []},
        ],
    )
    @pytest.mark.parametrize("text", ["", "''"])
    def test_empty_optional_is_none(self, field, text):
        assert parse_field(field, text, coerce_empty_quoted=True) is None

    def test_required_empty_int_fails_conversion(self):
        assert failure({"kind": "INT", "required": True}, "") == (
            "Does not parse as int - '' given schema: "
            "Int(IntField { required: true, min_value: None, max_value: None })"
        )

    def test_earlier_failure_wins(self):
        p = field_parser(STR(max_length=1))
        with pytest.raises(ValueError, match="^String is too long - 'ab'"):
            p.parse_line("A|ab")


@pytest.mark.parametrize(
    "field, description",
    [
        (
            {"kind": "STR", "required": True, "min_length": 0, "max_length": 18446744073709551615,
             "invalid_characters": "a\"b\\c\td\re\nf\u0000g'h\u0001ié\u0301\u00a0😀"},
            'Str(StrField { required: true, min_length: Some(0), max_length: Some(18446744073709551615), '
            'invalid_characters: Some("a\\"b\\\\c\\td\\re\\nf\\0g\'h\\u{1}ié\\u{301}\\u{a0}😀") })',
        ),
        ({"kind": "STR_ENUM", "required": False, "values": []}, "StrEnum(StrEnumField { required: false, values: [] })"),
        (
            {"kind": "INT_ENUM", "required": False, "values": [-9223372036854775808, 0, 7]},
            "IntEnum(IntEnumField { required: false, values: [-9223372036854775808, 0, 7] })",
        ),
        (
            {"kind": "INT", "required": False, "min_value": 5, "max_value": 2.5},
            "Int(IntField { required: false, min_value: Some(5.0), max_value: Some(2.5) })",
        ),
        (
            {"kind": "FLOAT", "required": False, "min_value": 1e16, "max_value": 1.5e-5},
            "Float(FloatField { required: false, min_value: Some(1e16), max_value: Some(1.5e-5) })",
        ),
        (
            {"kind": "DECIMAL", "required": False, "round_decimal_places": 2, "min_value": "1.50"},
            "Decimal(DecimalField { required: false, round_decimal_places: Some(2), min_value: Some(1.50), max_value: None })",
        ),
        (
            {"kind": "BOOL", "required": False, "true_value": "T", "false_value": "F"},
            'Bool(BoolField { required: false, true_value: "T", false_value: Some("F") })',
        ),
        (
            {"kind": "DATETIME", "required": False, "format": "%Y", "time_zone": "Nowhere"},
            'Datetime(DatetimeField { required: false, format: "%Y", time_zone: "Nowhere" })',
        ),
        ({"kind": "DATE", "required": False, "format": "%d"}, 'Date(DateField { required: false, format: "%d" })'),
        ({"kind": "TIME", "required": False, "format": "%H"}, 'Time(TimeField { required: false, format: "%H" })'),
    ],
)
def test_field_descriptions(field, description):
    """Every record renders with its keys in order; the text after the marker
    is the description."""
    # A text that fails every kind: a character no field accepts.
    message = failure(field, "\x01x")
    assert message.split(" given schema: ", 1)[1] == description


ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_escape_table_regenerates_unchanged():
    """The committed table of escaped characters is what its generator writes
    from the Unicode version it names."""
    spec = importlib.util.spec_from_file_location("gen_unicode_tables", ROOT / "tools" / "gen_unicode_tables.py")
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    committed = (ROOT / "src" / "values" / "unicode_tables.cpp").read_text()
    assert f"from Unicode {generator.UNICODE_VERSION};" in committed.splitlines()[0]
    database = generator.database()
    if database is None:
        pytest.skip(f"Unicode {generator.UNICODE_VERSION} is Python 3.12's (or unicodedata2's); the 3.12 run checks")
    assert generator.generate(database) == committed
