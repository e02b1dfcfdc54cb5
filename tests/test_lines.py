"""Line splitting, record selection, the field count, and parse_first."""
import random

import pytest

import kelvane
from builders import parser, schema_json

STR = {"kind": "STR", "required": False}


def str_parser(count, **settings):
    return parser({"A": [STR] * count, "": [], "H": [{"kind": "INT", "required": False}, STR]}, **settings)


@pytest.mark.parametrize(
    "line, pieces",
    [
        ("A|1|2", ("1", "2")),
        ("A|1|2\n", ("1", "2")),
        ("A|1|2\n\n\n", ("1", "2")),
        ("A|1|2\r\n", ("1", "2\r")),
        ("A| 1 |\t2", (" 1 ", "\t2")),
        ("A|'1|2'", ("1|2",)),
        ("A|'1|2'|3", ("1|2", "3")),
        ("A||", (None, None)),
        ("A|'1|2", ("1|2",)),
        ("A|ab'c|d'e", ("abc|de",)),
        ("A|'a''b'", ("ab",)),
        ("A|''", (None,)),
        ("'A'|x", ("x",)),
        ("A|é|ü", ("é", "ü")),
    ],
)
def test_split(line, pieces):
    p = parser({"A": [STR] * len(pieces)})
    assert p.parse_line(line) == ("A", *pieces)


@pytest.mark.parametrize(
    "line, pieces",
    [
        ("A|1|2|", ("1", "2")),
        ("A|1|2|\n", ("1", "2")),
        ("A|1|2||", ("1", "2", None)),
    ],
)
def test_trailing_delimiter(line, pieces):
    p = parser({"A": [STR] * len(pieces)}, trailing_delimiter=True)
    assert p.parse_line(line) == ("A", *pieces)


@pytest.mark.parametrize("line", ["A|1|2", "A|1|2|\r\n", "", "\n", "A|1|2|\r"])
def test_missing_trailing_delimiter(line):
    p = parser({"A": [STR, STR]}, trailing_delimiter=True)
    with pytest.raises(ValueError) as info:
        p.parse_line(line)
    assert str(info.value) == "Line doesn't have trailing delimiter"


def test_trailing_delimiter_off_keeps_empty_last_field():
    p = parser({"A": [STR, STR]})
    assert p.parse_line("A|1|") == ("A", "1", None)


def test_example_record():
    p = str_parser(0)
    assert p.parse_line("H|42|abc\n") == ("H", 42, "abc")
    assert p.parse_line("H||abc") == ("H", None, "abc")


@pytest.mark.parametrize(
    "line, message",
    [
        ("B|1", "No schema line matching 'B'"),
        ("a", "No schema line matching 'a'"),
        (" A", "No schema line matching ' A'"),
        ("'B|C'|1", "No schema line matching 'B|C'"),
        ("é\n", "No schema line matching 'é'"),
        ("A|1|2", "Mismatched line length, schema length: 3, actual length: (header=1) + 2"),
        ("A|1|2|3|4", "Mismatched line length, schema length: 3, actual length: (header=1) + 4"),
        ("A", "Mismatched line length, schema length: 3, actual length: (header=1) + 0"),
    ],
)
def test_selection_failures(line, message):
    p = parser({"A": [STR] * 3})
    with pytest.raises(ValueError) as info:
        p.parse_line(line)
    assert str(info.value) == message


def test_empty_line_without_empty_name():
    p = parser({"A": []})
    with pytest.raises(ValueError, match="^No schema line matching ''$"):
        p.parse_line("")
    assert parser({"": []}).parse_line("") == ("",)


def test_first_matching_line_wins():
    p = kelvane.Parser(schema_json({"A": [STR]}).replace('"lines": [', '"lines": [{"name": "A", "fields": []}, '))
    assert p.parse_line("A") == ("A",)
    with pytest.raises(ValueError, match="schema length: 0"):
        p.parse_line("A|x")


def test_line_without_fields():
    p = parser({"A": []})
    assert p.parse_line("A\n") == ("A",)
    with pytest.raises(ValueError, match=r"^Mismatched line length, schema length: 0, actual length: \(header=1\) \+ 1$"):
        p.parse_line("A|")


def test_no_quote_character():
    assert parser({"A": [STR, STR]}, quote_str=None).parse_line("A|'x|y'") == ("A", "'x", "y'")


def test_quote_equal_to_delimiter_never_splits():
    p = parser({"A": []}, quote_str="|")
    assert p.parse_line("A|||") == ("A",)


@pytest.mark.parametrize(
    "settings, message",
    [
        ({"delimiter": "||"}, "Delimiter needs to be of length 1"),
        ({"delimiter": ""}, "Delimiter needs to be of length 1"),
        ({"delimiter": "§"}, "Delimiter needs to be of length 1"),
        ({"quote_str": ""}, "Quote needs to be of length 1"),
        ({"quote_str": "''"}, "Quote needs to be of length 1"),
        ({"delimiter": "||", "quote_str": ""}, "Delimiter needs to be of length 1"),
    ],
)
@pytest.mark.parametrize("line", ["A|x", "", "'A'"])
def test_separator_checks_on_every_line(settings, message, line):
    p = parser({"A": [STR]}, **settings)
    with pytest.raises(ValueError) as info:
        p.parse_line(line)
    assert str(info.value) == message


def reference_split(text, delimiter="|", quote="'"):
    """The split as written: a quote flips in-quotes and marks the piece, a delimiter outside quotes ends it."""
    pieces, current, quoted, in_quotes = [], [], False, False
    for c in text:
        if c == quote:
            in_quotes, quoted = not in_quotes, True
        elif c == delimiter and not in_quotes:
            pieces.append("".join(current))
            current, quoted = [], False
        else:
            current.append(c)
    pieces.append("".join(current))
    return pieces


@pytest.mark.parametrize("quote", ["'", "|"])
def test_split_against_reference(quote):
    # Quotes anywhere: pieces of one span, of several spans (copied), open to
    # the end of the line, many to a line; a quote that is the delimiter too.
    rng = random.Random(12)
    for _ in range(400):
        line = "".join(rng.choice("ab|'é ") for _ in range(rng.randint(0, 120)))
        name, *pieces = reference_split(line, quote=quote)
        expected = (name, *(piece or None for piece in pieces))
        assert parser({name: [STR] * len(pieces)}, quote_str=quote).parse_line(line) == expected, line


def test_many_fields_and_long_lines():
    p = parser({"A": [STR] * 300})
    values = tuple(str(i) * (i % 7) or None for i in range(300))
    line = "A|" + "|".join(v or "" for v in values)
    assert p.parse_line(line) == ("A", *values)
    quoted = "A|" + "|".join(f"'{v}|'" if v else "" for v in values)
    assert p.parse_line(quoted) == ("A", *(v + "|" if v else None for v in values))


class TestParseFirst:
    @pytest.mark.parametrize(
        "line, first",
        [
            ("A|1|2", "A"),
            ("|1", ""),
            ("", ""),
            ("A", "A"),
            ("A\n", "A\n"),
            ("A|1\n", "A"),
            ("'A|B'|1", "A|B"),
            ("'A", "A"),
            ("'", ""),
            ("'ab'cd|x", "ab"),
            ("'a''b'|x", "a"),
            ("x'A|B'|1", "x'A"),
            ("NOPE|1", "NOPE"),
            ("é|1", "é"),
        ],
    )
    def test_first_field(self, line, first):
        p = parser({"A": []}, trailing_delimiter=True)
        assert p.parse_first(line) == first

    @pytest.mark.parametrize("line", ["A|1", "", "'A'"])
    def test_empty_quote_always_fails(self, line):
        p = parser({"A": []}, quote_str="")
        with pytest.raises(ValueError, match="^Quote needs to be of length 1$"):
            p.parse_first(line)

    def test_bad_delimiter_only_fails_unquoted_lines(self):
        p = parser({"A": []}, delimiter="||")
        assert p.parse_first("'A||B'||x") == "A||B"
        for line in ["A||x", "", "x'y'"]:
            with pytest.raises(ValueError, match="^Delimiter needs to be of length 1$"):
                p.parse_first(line)

    def test_without_quote_character(self):
        p = parser({"A": []}, quote_str=None)
        assert p.parse_first("'A|B'|1") == "'A"
