"""Small builders for schema documents used across the tests."""
import json

import kelvane


def schema_json(lines, delimiter="|", quote_str="'", trailing_delimiter=False, coerce_empty_quoted=False):
    """A schema document; `lines` maps record names to lists of field dicts."""
    document = {
        "delimiter": delimiter,
        "quote_str": quote_str,
        "trailing_delimiter": trailing_delimiter,
        "coerce_empty_quoted": coerce_empty_quoted,
        "lines": [{"name": name, "fields": fields} for name, fields in lines.items()],
    }
    return json.dumps(document)


def parser(lines, **settings):
    return kelvane.Parser(schema_json(lines, **settings))


def field_parser(field, **settings):
    """A parser with one record `A` holding the single field `field`."""
    return parser({"A": [field]}, **settings)


def parse_field(field, text, **settings):
    """The value of `text` read as the one field of record `A`."""
    return field_parser(field, **settings).parse_line("A|" + text)[1]


def mismatches(cases, actual, expected, same=lambda got, want: got == want):
    """Differential check of `actual` against an oracle: the cases, with both
    outcomes, where actual(case) and expected(case) differ. A ValueError from
    `actual` is the outcome None. Fails outright when no case gave a value,
    since a run where every outcome is a refusal checks nothing."""
    wrong = []
    values = 0
    for case in cases:
        try:
            got = actual(case)
        except ValueError:
            got = None
        want = expected(case)
        values += got is not None
        if (got is None) != (want is None) or (got is not None and not same(got, want)):
            wrong.append((case, want, got))
    assert values > 0, "no case gave a value"
    return wrong
