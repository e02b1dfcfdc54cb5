# DECIMAL fields end to end: the exact text grammar and its limits, the
# scale reaching Python, bounds compared by value, half-even rounding, and
# the bound texts the schema accepts (rounding and exponent forms).
import random
import re
from decimal import ROUND_HALF_EVEN, ROUND_HALF_UP, Decimal, localcontext

import pytest

from builders import field_parser, mismatches

MAX_COEFFICIENT = 2**96 - 1


def make_parser(**field):
    return field_parser({"kind": "DECIMAL", "required": True, **field}, quote_str=None)


def convert(parser, text):
    return parser.parse_line("A|" + text)[1]


def description(parser):
    """The field description, as shown by a failing conversion."""
    with pytest.raises(ValueError) as caught:
        convert(parser, "x")
    return str(caught.value).split(" given schema: ", 1)[1]


PLAIN_DESCRIPTION = "Decimal(DecimalField { required: true, round_decimal_places: None, min_value: None, max_value: None })"


@pytest.fixture(scope="module")
def plain_parser():
    return make_parser()


def same(result, expected):
    """Equal value and equal exponent and sign: what the text form carries."""
    return type(result) is Decimal and result.as_tuple() == expected.as_tuple()


# ---------------------------------------------------------------- oracle

DECIMAL_GRAMMAR = re.compile(r"[+-]?(?:[0-9][0-9_]*(?:\.[0-9_]*)?|\.(?:[0-9][0-9_]*)?)", re.ASCII)


def expected_decimal(text):
    """decimal.Decimal's reading of a text inside the grammar and the limits;
    None for any other text. Zero is never negative."""
    if not DECIMAL_GRAMMAR.fullmatch(text):
        return None
    fraction = text.partition(".")[2]
    fraction_digits = len(fraction.replace("_", ""))
    if fraction_digits > 28 or (fraction_digits == 28 and fraction.endswith("_")):
        return None
    cleaned = text.replace("_", "")
    if not any(c.isdigit() for c in cleaned):
        return None
    value = Decimal(cleaned)
    if int(cleaned.replace(".", "").lstrip("+-") or "0") > MAX_COEFFICIENT:
        return None
    return value.copy_abs() if value.is_zero() else value


def random_decimal_texts(rng, count):
    texts = []
    for _ in range(count):
        roll = rng.random()
        if roll < 0.4:
            whole = "".join(rng.choice("0123456789") for _ in range(rng.randint(0, 16)))
            fraction = "".join(rng.choice("0123456789") for _ in range(rng.randint(0, 16)))
            text = rng.choice(["", "+", "-"]) + whole + rng.choice([".", "."]) + fraction
        elif roll < 0.65:
            # Around the limits: 28 or 29 digits after the point, coefficients
            # near 2^96.
            coefficient = rng.choice([MAX_COEFFICIENT, MAX_COEFFICIENT + 1, 10**28, 10**29 - 1])
            coefficient += rng.randint(-3, 3)
            digits = str(coefficient)
            point = rng.randint(0, len(digits))
            text = rng.choice(["", "-"]) + digits[:point] + "." + digits[point:]
            if rng.random() < 0.3:
                text = rng.choice(["", "-"]) + "0." + "0" * rng.randint(25, 28) + str(rng.randint(0, 99))
        elif roll < 0.8:
            # Underscores anywhere, leading zeros.
            text = "".join(rng.choice("0123456789__.") for _ in range(rng.randint(1, 14)))
            text = rng.choice(["", "", "+", "-"]) + "0" * rng.choice([0, 0, 30]) + text
        else:
            text = "".join(rng.choice("0123456789._+-eE ,") for _ in range(rng.randint(0, 8)))
        texts.append(text)
    return texts


# ------------------------------------------------------------ field texts

@pytest.mark.parametrize(
    "text, shown",
    [
        ("1.50", "1.50"),
        ("1.5", "1.5"),
        ("1.500", "1.500"),
        ("5.", "5"),
        (".5", "0.5"),
        ("-.5", "-0.5"),
        ("+7", "7"),
        ("1_000.000_1", "1000.0001"),
        ("1_000", "1000"),
        ("1__0", "10"),
        ("1_", "1"),
        ("1._5", "1.5"),
        ("-0", "0"),
        ("+0.00", "0.00"),
        ("-0.000", "0.000"),
        ("0" * 100 + "12.5", "12.5"),
        ("0.0000000000000000000000000001", "0.0000000000000000000000000001"),
        ("0.0000000000000000000000000000", "0.0000000000000000000000000000"),
        ("79228162514264337593543950335", "79228162514264337593543950335"),
        ("-79228162514264337593543950335", "-79228162514264337593543950335"),
        ("7.9228162514264337593543950335", "7.9228162514264337593543950335"),
        ("-0.0000000000000000000000000001", "-0.0000000000000000000000000001"),
    ],
)
def test_decimal_values_keep_their_scale(plain_parser, text, shown):
    assert same(convert(plain_parser, text), Decimal(shown))


@pytest.mark.parametrize(
    "text",
    [
        "", "-", "+", ".", "-.", "_1", "-_1", "._1", "1,000", " 1", "1 ", "1e3", "1.2.3", "+-1", "--1",
        "1-", "0x10", "١", "1.5\u00a0", "0.00000000000000000000000000001", "0.0000000000000000000000000000_",
        "0.0000000000000000000000000001_", "79228162514264337593543950336", "10.0000000000000000000000000000",
        "-79228162514264337593543950336", "7.92281625142643375935439503355", "inf", "nan",
    ],
)
def test_decimal_refusals(plain_parser, text):
    with pytest.raises(ValueError) as caught:
        convert(plain_parser, text)
    assert str(caught.value) == f"Does not parse as decimal - '{text}' given schema: {PLAIN_DESCRIPTION}"


def test_decimal_differential(plain_parser):
    texts = random_decimal_texts(random.Random(424242), 4000)
    assert mismatches(texts, lambda text: convert(plain_parser, text), expected_decimal, same) == []


# --------------------------------------------------------------- rounding

@pytest.mark.parametrize(
    "places, text, shown",
    [
        (2, "1.005", "1.00"),
        (2, "1.015", "1.02"),
        (2, "-0.004", "0.00"),
        (2, "2", "2"),
        (2, "0.000", "0.00"),
        (2, "0.125", "0.12"),
        (2, "0.135", "0.14"),
        (2, "-0.015", "-0.02"),
        (2, "9.995", "10.00"),
        (3, "1.5", "1.5"),
        (1, "0.000", "0.0"),
        (1, "2.45", "2.4"),
        (1, "2.55", "2.6"),
        (1, "2.4500001", "2.5"),
        (0, "0.5", "0"),
        (0, "1.5", "2"),
        (0, "2.5", "2"),
        (0, "-1.5", "-2"),
        (0, "-2.5", "-2"),
        (0, "-3.5", "-4"),
        (0, "-0.5", "0"),
        (0, "7.9228162514264337593543950335", "8"),
        (27, "7.9228162514264337593543950335", "7.922816251426433759354395034"),
        (0, "79228162514264337593543950335", "79228162514264337593543950335"),
        (4294967295, "1.25", "1.25"),
    ],
)
def test_round_decimal_places(places, text, shown):
    assert same(convert(make_parser(round_decimal_places=places), text), Decimal(shown))


def quantize_half_even(value, places):
    if -value.as_tuple().exponent <= places:
        return value
    with localcontext() as context:
        context.prec = 100
        result = value.quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_EVEN)
    return result.copy_abs() if result.is_zero() else result


def test_round_differential():
    rng = random.Random(31337)
    parsers = {places: make_parser(round_decimal_places=places) for places in range(0, 30)}
    cases = [(text, rng.randrange(30)) for text in random_decimal_texts(rng, 3000) if expected_decimal(text) is not None]
    assert mismatches(cases, lambda case: convert(parsers[case[1]], case[0]),
                      lambda case: quantize_half_even(expected_decimal(case[0]), case[1]), same) == []


# ----------------------------------------------------------------- bounds

@pytest.mark.parametrize("text", ["1.50", "1.5", "1.500"])
def test_bounds_ignore_scale(text):
    parser = make_parser(min_value="1.5", max_value="1.50")
    assert same(convert(parser, text), Decimal(text))


@pytest.mark.parametrize(
    "field, text, outcome",
    [
        ({"round_decimal_places": 2, "min_value": "1.00"}, "0.999", "Decimal is too small"),
        ({"round_decimal_places": 2, "max_value": "1.00"}, "1.004", "Decimal is too large"),
        ({"round_decimal_places": 2, "max_value": "1.00"}, "1.000", "1.00"),
        ({"min_value": 0.1}, "0.1", "0.1"),
        ({"min_value": 0.1}, "0.0999999999999999999999999999", "Decimal is too small"),
        ({"max_value": 0.1}, "0.1000000000000000000000000001", "Decimal is too large"),
        ({"min_value": 0}, "-0.000", "0.000"),
        ({"max_value": -0.0}, "-0.0000000000000000000000000001", "-0.0000000000000000000000000001"),
        ({"min_value": -5}, "-5.0000000000000000000000000001", "Decimal is too small"),
        ({"max_value": 18446744073709551615}, "18446744073709551615.0", "18446744073709551615.0"),
        ({"max_value": 18446744073709551615}, "18446744073709551616", "Decimal is too large"),
        ({"max_value": "79228162514264337593543950335"}, "0.0000000000000000000000000001", "0.0000000000000000000000000001"),
        ({"min_value": "79228162514264337593543950335"}, "7.9228162514264337593543950335", "Decimal is too small"),
        ({"min_value": "-79228162514264337593543950335"}, "-7.9228162514264337593543950335", "-7.9228162514264337593543950335"),
    ],
)
def test_bounds_use_the_unrounded_value(field, text, outcome):
    parser = make_parser(**field)
    if outcome.startswith("Decimal is"):
        with pytest.raises(ValueError, match="^" + outcome + " - "):
            convert(parser, text)
    else:
        assert same(convert(parser, text), Decimal(outcome))


def test_compare_differential():
    rng = random.Random(2718)
    texts = [t for t in random_decimal_texts(rng, 1500) if expected_decimal(t) is not None]
    cases = []
    for _ in range(300):
        bound, text = rng.choice(texts), rng.choice(texts)
        if rng.random() < 0.2 and expected_decimal(bound + "0" if "." in bound else bound + ".0") is not None:
            text = bound + "0" if "." in bound else bound + ".0"  # same value, larger scale
        cases.append((bound, text))

    def accepted(case):
        bound, text = case
        try:
            return convert(make_parser(min_value=bound), text)
        except ValueError as error:
            assert str(error).startswith("Decimal is too small - ")
            raise

    def expected(case):
        bound, text = case
        return None if expected_decimal(text) < expected_decimal(bound) else expected_decimal(text)

    assert mismatches(cases, accepted, expected, same) == []


# ------------------------------------------------- bound texts of the schema

@pytest.mark.parametrize(
    "bound, shown",
    [
        ("1.50", "1.50"),
        (5, "5"),
        (-9223372036854775808, "-9223372036854775808"),
        (18446744073709551615, "18446744073709551615"),
        (0.1, "0.1"),
        (1.10, "1.1"),
        (100.0, "100"),
        (2.5e3, "2500"),
        (1e-7, "0.0000001"),
        (1e21, "1000000000000000000000"),
        (1e-30, "0.0000000000000000000000000000"),
        (-1e-30, "0.0000000000000000000000000000"),
        (1.5e-28, "0.0000000000000000000000000002"),
        ("0.00000000000000000000000000015", "0.0000000000000000000000000002"),
        ("0.00000000000000000000000000015xyz", "0.0000000000000000000000000002"),
        ("0.00000000000000000000000000014", "0.0000000000000000000000000001"),
        ("-0.00000000000000000000000000004", "0.0000000000000000000000000000"),
        ("7.92281625142643375935439503355", "7.922816251426433759354395034"),
        ("7.92281625142643375935439503354", "7.9228162514264337593543950335"),
        ("7922816251426433759354395033.59", "7922816251426433759354395034"),
        ("79228162514264337593543950335.4", "79228162514264337593543950335"),
        ("1.5E-3", "0.0015"),
        ("2.50e1", "25.0"),
        ("1.50e1", "15.0"),
        ("1.5e2", "150"),
        ("2E3", "2000"),
        ("-2e+3", "-2000"),
        ("1e-+5", "0.00001"),
        ("1.5e0000000000002", "150"),
        ("1e28", "10000000000000000000000000000"),
        ("7.9228162514264337593543950335e28", "79228162514264337593543950335"),
        ("0.5e-27", "0.0000000000000000000000000005"),
    ],
)
def test_schema_bound_texts(bound, shown):
    parser = make_parser(min_value=bound)
    assert description(parser) == (
        f"Decimal(DecimalField {{ required: true, round_decimal_places: None, min_value: Some({shown}), max_value: None }})"
    )


def expected_float_bound(value):
    """A JSON float bound: its shortest round-trip text in plain notation,
    read with rounding at 28 places; None when refused."""
    with localcontext() as context:
        context.prec = 400
        exact = Decimal(repr(value)).normalize()
        if exact.as_tuple().exponent < -28:
            exact = exact.quantize(Decimal("1e-28"), rounding=ROUND_HALF_UP)
        text = format(exact.copy_abs() if exact.is_zero() else exact, "f")
        return None if int(text.replace(".", "").lstrip("-")) > MAX_COEFFICIENT else text


def test_float_bounds_differential():
    rng = random.Random(1618)
    values = [rng.uniform(-1000, 1000) for _ in range(60)]
    values += [rng.choice([-1, 1]) * 10 ** rng.uniform(-34, 30) for _ in range(120)]
    values += [float(rng.randint(-(10**6), 10**6)) / 8 for _ in range(20)]

    def shown(value):
        try:
            parser = make_parser(max_value=value)
        except ValueError as error:
            assert "expected a Decimal type representing a fixed-point number" in str(error)
            raise
        return description(parser).split("max_value: Some(")[1][:-4]

    assert mismatches(values, shown, expected_float_bound) == []


def test_bound_rendering_in_messages():
    parser = make_parser(round_decimal_places=2, min_value="1.00", max_value=5)
    with pytest.raises(ValueError) as caught:
        convert(parser, "0.999")
    assert str(caught.value) == (
        "Decimal is too small - '0.999' given schema: Decimal(DecimalField { required: true, "
        "round_decimal_places: Some(2), min_value: Some(1.00), max_value: Some(5) })"
    )


@pytest.mark.parametrize(
    "bound, found",
    [
        (1e29, "floating point `1e29`"),
        ("1e29", 'string "1e29"'),
        ("1.2.3", 'string "1.2.3"'),
        ("1e", 'string "1e"'),
        ("e5", 'string "e5"'),
        ("1.5e-4294967295", 'string "1.5e-4294967295"'),
        ("1.5e-4294967296", 'string "1.5e-4294967296"'),
        ("1e-29", 'string "1e-29"'),
        ("0e29", 'string "0e29"'),
        ("8e28", 'string "8e28"'),
        ("79228162514264337593543950335.5", 'string "79228162514264337593543950335.5"'),
        ("79228162514264337593543950336", 'string "79228162514264337593543950336"'),
    ],
)
def test_schema_bound_refusals(bound, found):
    with pytest.raises(ValueError) as caught:
        make_parser(min_value=bound)
    assert re.fullmatch(
        "invalid value: " + re.escape(found) + ", expected a Decimal type representing a fixed-point number"
        r" at line \d+ column \d+",
        str(caught.value),
    )
