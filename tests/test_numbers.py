# INT, INT_ENUM and FLOAT fields end to end: the strict grammars, exact
# integer ranges, correctly rounded floats, bounds and how bounds are shown.
import math
import random
import re
import struct
from decimal import Decimal, localcontext

import pytest

from builders import field_parser, mismatches


def make_parser(field):
    return field_parser(field, quote_str=None)


def convert(parser, text):
    return parser.parse_line("A|" + text)[1]


def bits(value):
    return struct.pack("<d", value)


INT_DESCRIPTION = "Int(IntField { required: true, min_value: None, max_value: None })"
ENUM_DESCRIPTION = "IntEnum(IntEnumField { required: true, values: [] })"
FLOAT_DESCRIPTION = "Float(FloatField { required: true, min_value: None, max_value: None })"


@pytest.fixture(scope="module")
def int_parser():
    return make_parser({"kind": "INT", "required": True})


@pytest.fixture(scope="module")
def float_parser():
    return make_parser({"kind": "FLOAT", "required": True})


def enum_parser(values):
    return make_parser({"kind": "INT_ENUM", "required": True, "values": values})


# ---------------------------------------------------------------- oracles

INT_GRAMMAR = re.compile(r"[+-]?[0-9]+", re.ASCII)
FLOAT_GRAMMAR = re.compile(
    r"[+-]?(?:(?i:inf|infinity|nan)|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)", re.ASCII
)


def expected_int(text, bits_wide):
    """int() on texts inside the grammar and the range; None otherwise."""
    if not INT_GRAMMAR.fullmatch(text):
        return None
    value = int(text)
    limit = 1 << (bits_wide - 1)
    return value if -limit <= value < limit else None


def expected_float(text):
    """float() on texts inside the grammar; None otherwise."""
    return float(text) if FLOAT_GRAMMAR.fullmatch(text) else None


# ------------------------------------------------------- text generators

def random_int_texts(rng, count):
    texts = []
    boundaries = [0, 1, 2**63 - 1, 2**63, 2**64, 2**100, 2**127 - 1, 2**127, 2**128, 10**38, 10**39]
    for _ in range(count):
        roll = rng.random()
        if roll < 0.35:
            value = rng.choice(boundaries) + rng.randint(-2, 2)
            text = str(abs(value))
            sign = "-" if value < 0 else rng.choice(["", "", "+", "-"])
            text = sign + "0" * rng.choice([0, 0, 1, 5, 40]) + text
        elif roll < 0.7:
            text = rng.choice(["", "+", "-"]) + "".join(
                rng.choice("0123456789") for _ in range(rng.randint(1, 45))
            )
        else:
            text = "".join(rng.choice("0123456789+-_ .e,x٣") for _ in range(rng.randint(0, 8)))
        texts.append(text)
    return texts


def double_from_bits(value):
    return struct.unpack("<d", struct.pack("<Q", value))[0]


def exact_midpoint_text(rng, low):
    """The exact decimal value halfway between `low` and the next double up,
    possibly nudged by a tiny amount either way."""
    high = math.nextafter(low, math.inf)
    with localcontext() as context:
        context.prec = 2000
        middle = (Decimal(low) + Decimal(high)) / 2
        nudge = rng.choice([0, 0, 1, -1])
        if nudge:
            middle += nudge * Decimal(high - low) * Decimal("1e-40")
        return format(middle, "f") if rng.random() < 0.5 else format(middle, "e")


def random_float_texts(rng, count):
    texts = []
    specials = ["inf", "infinity", "nan", "infin", "nan0", "infinite", "na", "in", "infinityy"]
    for _ in range(count):
        roll = rng.random()
        if roll < 0.1:
            word = "".join(c.upper() if rng.random() < 0.5 else c for c in rng.choice(specials))
            text = rng.choice(["", "+", "-"]) + word
        elif roll < 0.4:
            whole = "".join(rng.choice("0123456789") for _ in range(rng.randint(0, 22)))
            fraction = "".join(rng.choice("0123456789") for _ in range(rng.randint(0, 22)))
            text = rng.choice(["", "+", "-"]) + whole + rng.choice([".", ".", ""]) + fraction
            if rng.random() < 0.5:
                text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 400))
        elif roll < 0.55:
            # Long digit strings around the rounding boundaries.
            text = "".join(rng.choice("0123456789") for _ in range(rng.randint(20, 900)))
            point = rng.randint(0, len(text))
            text = text[:point] + "." + text[point:]
            if rng.random() < 0.7:
                text += "e" + str(rng.randint(-1200, 400))
        elif roll < 0.75:
            # Halfway points of normal and subnormal doubles.
            if rng.random() < 0.5:
                low = double_from_bits(rng.getrandbits(52))  # subnormal
            else:
                low = double_from_bits(rng.getrandbits(63))
            if math.isinf(low) or math.isnan(low) or math.isinf(math.nextafter(low, math.inf)):
                low = 1.0
            text = exact_midpoint_text(rng, low)
        elif roll < 0.85:
            value = double_from_bits(rng.getrandbits(64))
            text = repr(value)
        else:
            text = "".join(rng.choice("0123456789+-.eE _xi") for _ in range(rng.randint(0, 10)))
        texts.append(text)
    return texts


# ----------------------------------------------------------- integers

@pytest.mark.parametrize(
    "text, value",
    [
        ("+42", 42),
        ("-0", 0),
        ("+0", 0),
        ("-000", 0),
        ("00012", 12),
        ("9223372036854775808", 9223372036854775808),
        ("170141183460469231731687303715884105727", 2**127 - 1),
        ("-170141183460469231731687303715884105728", -(2**127)),
        ("0" * 200 + "170141183460469231731687303715884105727", 2**127 - 1),
        ("-" + "0" * 200 + "170141183460469231731687303715884105728", -(2**127)),
        (str(2**100), 2**100),
        ("-" + str(2**100), -(2**100)),
    ],
)
def test_int_values(int_parser, text, value):
    result = convert(int_parser, text)
    assert type(result) is int and result == value


@pytest.mark.parametrize(
    "text",
    [
        "", "+", "-", "+-5", "--5", "5-", " 42", "42 ", "4_2", "4,2", "42.0", "4e2", "0x2A",
        "١٢", "４２", "170141183460469231731687303715884105728",
        "-170141183460469231731687303715884105729", "340282366920938463463374607431768211456",
        "99999999999999999999999999999999999999999",
    ],
)
def test_int_refusals(int_parser, text):
    with pytest.raises(ValueError) as caught:
        convert(int_parser, text)
    assert str(caught.value) == f"Does not parse as int - '{text}' given schema: {INT_DESCRIPTION}"


@pytest.mark.parametrize(
    "text, value",
    [
        ("9223372036854775807", 2**63 - 1),
        ("-9223372036854775808", -(2**63)),
        ("+0009223372036854775807", 2**63 - 1),
        ("-0", 0),
        ("00012", 12),
    ],
)
def test_enum_int_values(text, value):
    assert convert(enum_parser([value]), text) == value


@pytest.mark.parametrize(
    "text", ["9223372036854775808", "-9223372036854775809", str(2**100), "18446744073709551616", "", "1.0"]
)
def test_enum_int_out_of_range_does_not_parse(text):
    with pytest.raises(ValueError) as caught:
        convert(enum_parser([]), text)
    assert str(caught.value) == f"Does not parse as int - '{text}' given schema: {ENUM_DESCRIPTION}"


def test_int_differential(int_parser):
    texts = random_int_texts(random.Random(20240131), 3000)
    assert mismatches(texts, lambda text: convert(int_parser, text), lambda text: expected_int(text, 128)) == []


def test_enum_int_differential():
    rng = random.Random(7)
    texts = random_int_texts(rng, 2000)
    values = sorted({v for v in (expected_int(t, 64) for t in texts) if v is not None})
    parser = enum_parser(values)

    def read(text):
        try:
            return convert(parser, text)
        except ValueError as error:
            assert str(error).startswith("Does not parse as int - ")
            raise

    assert mismatches(texts, read, lambda text: expected_int(text, 64)) == []


# -------------------------------------------------------------- floats

@pytest.mark.parametrize(
    "text, value",
    [
        (".5", 0.5),
        ("5.", 5.0),
        ("1E+3", 1000.0),
        ("-0", -0.0),
        ("-0.0e5", -0.0),
        ("1e400", math.inf),
        ("-1e400", -math.inf),
        ("-1e-400", -0.0),
        ("1e-400", 0.0),
        ("Infinity", math.inf),
        ("+INF", math.inf),
        ("-inf", -math.inf),
        ("iNfInItY", math.inf),
        ("1.7976931348623157e308", 1.7976931348623157e308),
        ("1.7976931348623158e308", 1.7976931348623157e308),  # rounds down to the largest
        ("1.797693134862315807e308", 1.7976931348623157e308),  # just below the midpoint to 2^1024
        ("1.797693134862315808e308", math.inf),  # just above it
        ("4.9406564584124654e-324", 5e-324),
        ("2.4703282292062327e-324", 0.0),  # just below half the least subnormal
        ("2.4703282292062328e-324", 5e-324),
        ("2.2250738585072011e-308", 2.225073858507201e-308),
        ("9007199254740993", 9007199254740992.0),  # tie to even
        ("9007199254740995", 9007199254740996.0),
        ("1e" + "0" * 40 + "5", 1e5),
        ("1e" + "9" * 40, math.inf),
        ("1e-" + "9" * 40, 0.0),
        ("-1e-" + "9" * 40, -0.0),
        ("0e" + "9" * 40, 0.0),
        ("0." + "0" * 400 + "1e400", 0.1),
        ("1" + "0" * 400 + "e-400", 1.0),
        ("0." + "0" * 5000 + "1e5000", 0.1),
        ("1" + "0" * 1000 + "1e-1001", 1.0),  # sticky digit far beyond the kept ones
    ],
)
def test_float_values(float_parser, text, value):
    result = convert(float_parser, text)
    assert bits(result) == bits(value)


@pytest.mark.parametrize(
    "text, value",
    [
        ("0." + "0" * 70000 + "1e70005", 1e4),
        ("1" + "0" * 70000 + "e-70001", 0.1),
        ("0." + "0" * 70000 + "1e6553600000", math.inf),
        ("0." + "0" * 70000 + "1e-6553600000", 0.0),
        ("-" + "9" * 70000 + "e-" + "9" * 30, -0.0),
    ],
)
def test_float_long_exponents_stay_exact(float_parser, text, value):
    # Long mantissas against exponents of 65536 and more: the result is still
    # the correctly rounded value of the whole text.
    assert bits(convert(float_parser, text)) == bits(value) == bits(float(text))


@pytest.mark.parametrize("text", ["nan", "NaN", "+nan", "NAN"])
def test_float_nan(float_parser, text):
    result = convert(float_parser, text)
    assert math.isnan(result) and math.copysign(1, result) == 1


def test_float_negative_nan_keeps_sign_bit(float_parser):
    result = convert(float_parser, "-nan")
    assert math.isnan(result) and math.copysign(1, result) == -1


@pytest.mark.parametrize(
    "text",
    [
        "", "+", "-", ".", "-.", "1e", "1e+", "e5", ".e5", "1.2.3", "1,5", " 1", "1 ", "1_000", "0x1p3",
        "infinite", "infin", "nan0", "nan ", "infinity ", "nan(1)", "+-1", "--1", "1e5.0", "1ee5",
        "١", "1e١", "inf1", "-", "1.5f", "١.5",
    ],
)
def test_float_refusals(float_parser, text):
    with pytest.raises(ValueError) as caught:
        convert(float_parser, text)
    assert str(caught.value) == f"Does not parse as float - '{text}' given schema: {FLOAT_DESCRIPTION}"


def test_float_differential(float_parser):
    texts = random_float_texts(random.Random(12345), 3000)
    wrong = mismatches(texts, lambda text: convert(float_parser, text), expected_float,
                       lambda got, want: bits(got) == bits(want))
    assert [(text[:80], want, got) for text, want, got in wrong] == []


def short_float_texts(rng, count):
    """Texts of at most 19 significant digits, read by one wide multiplication
    by a power of five when the result is a normal double: random digits over
    every exponent the table covers and past it, shortest forms, ties that 19
    digits can write, texts one unit in the 19th digit off a tie, and the edges
    of the normal range and of subnormals."""

    def scattered(digits, exponent):
        # The same value written with the point elsewhere or as a plain number.
        roll = rng.random()
        if roll < 0.5:
            return f"{digits}e{exponent}"
        point = rng.randint(0, len(digits))
        shifted = exponent + (len(digits) - point)
        body = digits[:point] + "." + digits[point:]
        return body if shifted == 0 and roll < 0.75 else f"{body}e{shifted}"

    def tie(low):
        high = math.nextafter(low, math.inf)
        with localcontext() as context:
            context.prec = 2000
            return (Decimal(low) + Decimal(high)) / 2

    texts = []
    while len(texts) < count:
        roll = rng.random()
        sign = rng.choice(["", "", "-", "+"])
        if roll < 0.3:
            digits = str(rng.randrange(1, 10 ** rng.randint(1, 19)))
            texts.append(sign + scattered(digits, rng.randint(-360, 320)))
        elif roll < 0.45:
            value = double_from_bits(rng.getrandbits(63))
            if not math.isfinite(value):
                continue
            # Shortest forms (up to 17 digits), as repr writes them or moved.
            _, digits, exponent = Decimal(repr(value)).as_tuple()
            shortest = "".join(map(str, digits))
            texts.append(sign + (repr(value) if rng.random() < 0.3 else scattered(shortest, exponent)))
        elif roll < 0.65:
            # Ties that 19 digits write exactly: doubles from 2^49 to 2^64,
            # whose ties have at most 4 decimal places, some with zeros
            # appended, and their neighbours in the last digit.
            e = rng.randint(49, 63)
            low = float(rng.randrange(2**e, 2 ** (e + 1)))
            if e < 52:
                low = double_from_bits(rng.getrandbits(52) | (1023 + e) << 52)
            _, digits, exponent = tie(low).normalize().as_tuple()
            mantissa = int("".join(map(str, digits)))
            zeros = rng.choice([0, 0, 1, 3])
            mantissa, exponent = mantissa * 10**zeros, exponent - zeros
            mantissa += rng.choice([0, 0, 1, -1])
            if len(str(mantissa)) > 19:
                continue
            texts.append(sign + scattered(str(mantissa), exponent))
        elif roll < 0.85:
            # A tie of any double rounded to 19 digits, then moved by 0 or 1
            # in the 19th: the products whose rounding bits come closest to
            # a half.
            value = double_from_bits(rng.getrandbits(63))
            if not math.isfinite(value) or value == 0:
                continue
            middle = tie(value)
            sign_, digits, exponent = middle.as_tuple()
            kept = "".join(map(str, digits[:19]))
            exponent += len(digits) - len(kept)
            kept = str(int(kept) + rng.choice([0, 1, -1]))
            texts.append(sign + scattered(kept, exponent))
        else:
            edges = [
                "1.7976931348623157e308", "1.7976931348623158e308", "1797693134862315807e289",
                "1797693134862315808e289", "1.8e308", "9999999999999999999e289", "2.2250738585072014e-308",
                "2.2250738585072011e-308", "2.225073858507201e-308", "2.2250738585072009e-308",
                "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "5e-324",
                "1e-323", "1e-324", "3e-324", "9999999999999999999e-343", "1e-342", "1e-343", "1e308", "1e309",
                "9007199254740993", "9007199254740993.0", "18446744073709551615", "9223372036854775808",
                "123456789012345678e-30", "0.000000000000000000000000000001",
            ]
            texts.append(sign + rng.choice(edges))
    return texts


def test_float_short_texts_differential(float_parser):
    texts = short_float_texts(random.Random(2024), 40000)
    wrong = mismatches(texts, lambda text: convert(float_parser, text), expected_float,
                       lambda got, want: bits(got) == bits(want))
    assert [(text[:80], want, got) for text, want, got in wrong] == []


# ------------------------------------------------------------- bounds

def int_field(**bounds):
    return make_parser({"kind": "INT", "required": True, **bounds})


@pytest.mark.parametrize(
    "bounds, accepted, refused",
    [
        ({"min_value": 2.5}, ["2", "3"], ["1"]),
        ({"min_value": -2.5}, ["-2"], ["-3"]),
        ({"min_value": 1.5}, ["1"], ["0"]),
        ({"min_value": 0.5}, ["0"], ["-1"]),
        ({"max_value": -0.5}, ["0"], ["1"]),
        ({"max_value": 2.9}, ["2"], ["3"]),
        ({"max_value": 1e300}, [str(2**127 - 1)], []),
        ({"min_value": 1e300}, [str(2**127 - 1)], [str(2**127 - 2)]),
        ({"min_value": -1e300}, [str(-(2**127))], []),
        ({"max_value": -1e300}, [str(-(2**127))], [str(-(2**127) + 1)]),
        ({"max_value": 9007199254740993}, ["9007199254740992"], ["9007199254740993"]),
        ({"max_value": 18446744073709551615}, ["18446744073709551616"], ["18446744073709551617"]),
        ({"min_value": -170141183460469231731687303715884105728}, [str(-(2**127))], []),
    ],
)
def test_int_bounds_truncate_toward_zero(bounds, accepted, refused):
    parser = int_field(**bounds)
    for text in accepted:
        assert convert(parser, text) == int(text)
    for text in refused:
        with pytest.raises(ValueError, match=r"^Int is too (small|large) - "):
            convert(parser, text)


@pytest.mark.parametrize(
    "bounds, text, message",
    [
        (
            {"min_value": 5},
            "4",
            "Int is too small - '4' given schema: Int(IntField { required: true, min_value: Some(5.0), max_value: None })",
        ),
        (
            {"max_value": 1e300},
            str(2**127),
            f"Does not parse as int - '{2**127}' given schema: "
            "Int(IntField { required: true, min_value: None, max_value: Some(1e300) })",
        ),
        (
            {"min_value": -0.5, "max_value": 2.5},
            "3",
            "Int is too large - '3' given schema: Int(IntField { required: true, min_value: Some(-0.5), max_value: Some(2.5) })",
        ),
    ],
)
def test_int_bound_messages(bounds, text, message):
    with pytest.raises(ValueError) as caught:
        convert(int_field(**bounds), text)
    assert str(caught.value) == message


def float_field(**bounds):
    return make_parser({"kind": "FLOAT", "required": True, **bounds})


def test_float_nan_passes_every_bound():
    parser = float_field(min_value=0, max_value=1)
    assert math.isnan(convert(parser, "nan"))
    assert math.isnan(convert(parser, "-NaN"))


@pytest.mark.parametrize(
    "bounds, text, outcome",
    [
        ({"min_value": 0}, "-0.0", "ok"),
        ({"max_value": 0}, "-0", "ok"),
        ({"max_value": 1e308}, "1e400", "Float is too large"),
        ({"min_value": -1e308}, "-inf", "Float is too small"),
        ({"max_value": 0.1}, "0.1", "ok"),
        ({"max_value": 0.1}, "0.10000000000000001", "ok"),  # same binary64 value
        ({"max_value": 0.1}, "0.10000000000000002", "Float is too large"),
        ({"min_value": 1, "max_value": 0}, "0.5", "Float is too small"),  # smaller is tested first
    ],
)
def test_float_bounds(bounds, text, outcome):
    parser = float_field(**bounds)
    if outcome == "ok":
        assert bits(convert(parser, text)) == bits(float(text))
    else:
        with pytest.raises(ValueError, match="^" + outcome + " - "):
            convert(parser, text)


def python_float_description(value):
    """The float form used in descriptions, built from Python's repr, which
    switches to exponents at the same magnitudes."""
    text = repr(value)
    if "e" in text:
        mantissa, exponent = text.split("e")
        return mantissa + "e" + str(int(exponent))
    return {"nan": "NaN"}.get(text, text)


@pytest.mark.parametrize(
    "value, shown",
    [
        (5, "5.0"),
        (5.0, "5.0"),
        (-2.5, "-2.5"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1e16, "1e16"),
        (1.5e-5, "1.5e-5"),
        (-1e-7, "-1e-7"),
        (0.0001, "0.0001"),
        (9999999999999998.0, "9999999999999998.0"),
        (1e15, "1000000000000000.0"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
        (5e-324, "5e-324"),
        (0.1, "0.1"),
        (123456789.125, "123456789.125"),
        (18446744073709551615, "1.8446744073709552e19"),
    ],
)
def test_float_bound_rendering(value, shown):
    with pytest.raises(ValueError) as caught:
        convert(float_field(max_value=value), "inf")
    assert str(caught.value).endswith(f"min_value: None, max_value: Some({shown}) }})")


def test_float_bound_rendering_differential():
    rng = random.Random(99)
    values = [double_from_bits(rng.getrandbits(64)) for _ in range(150)]
    values += [rng.uniform(-1e-3, 1e-3) for _ in range(50)] + [rng.uniform(1e14, 1e18) for _ in range(50)]
    values += [float(rng.randint(-(10**17), 10**17)) for _ in range(50)]
    values = [value for value in values if not (math.isinf(value) or math.isnan(value))]

    def shown(value):
        """The bound as the message renders it; "inf" is above every finite bound."""
        try:
            convert(float_field(max_value=value), "inf")
        except ValueError as error:
            return str(error).rsplit("Some(", 1)[1][:-4]
        return "accepted"

    assert mismatches(values, shown, python_float_description) == []
