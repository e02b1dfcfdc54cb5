"""DATE, TIME and DATETIME fields: the percent-specifier pattern language, the
resolution of what a pattern reads, and differential checks of both against
Python's own `strftime`, `isocalendar` and timestamps."""
import datetime
import random
import warnings

import pytest

from builders import field_parser

UTC = datetime.timezone.utc


def DATE(pattern):
    return {"kind": "DATE", "required": True, "format": pattern}


def TIME(pattern):
    return {"kind": "TIME", "required": True, "format": pattern}


def DATETIME(pattern, zone="UTC"):
    return {"kind": "DATETIME", "required": True, "format": pattern, "time_zone": zone}


# The texts below hold neither `|` nor a double quote, and never end in a line feed.
def reader(field):
    parse = field_parser(field, quote_str='"').parse_line
    return lambda text: parse("A|" + text)[1]


def read(field, text):
    return reader(field)(text)


def refused(field, text):
    with pytest.raises(ValueError) as info:
        read(field, text)
    return str(info.value)


KIND_MESSAGES = {"DATE": "Does not parse as date", "TIME": "Does not parse as time",
                 "DATETIME": "Does not parse as datetime"}


def assert_refused(field, text):
    message = refused(field, text)
    assert message.startswith(KIND_MESSAGES[field["kind"]] + " - '" + text + "' given schema: "), message


class TestDates:
    @pytest.mark.parametrize(
        "pattern, text, value",
        [
            ("%Y-%m-%d", "2024-1-5", (2024, 1, 5)),
            ("%Y-%m-%d", " 2024-01-05", (2024, 1, 5)),
            ("%Y-%m-%d", "2024- 01-05", (2024, 1, 5)),
            ("%Y%m%d", "20240105", (2024, 1, 5)),
            ("%d/%m/%y", "05/01/69", (2069, 1, 5)),
            ("%d/%m/%y", "05/01/70", (1970, 1, 5)),
            ("%d/%m/%y", "05/01/00", (2000, 1, 5)),
            ("%d/%m/%y", "05/01/99", (1999, 1, 5)),
            ("%Y-%m-%d", "2024-02-29", (2024, 2, 29)),
            ("%Y-%m-%d", "2000-02-29", (2000, 2, 29)),
            ("%Y-%m-%d", "+2024-01-05", (2024, 1, 5)),
            ("%Y-%m-%d", "+0000000000000000002024-01-05", (2024, 1, 5)),
            ("%Y-%m-%d", "1-01-01", (1, 1, 1)),
            ("%Y-%m-%d", "9999-12-31", (9999, 12, 31)),
            ("%C%y-%m-%d", "2024-01-05", (2024, 1, 5)),
            ("%C %y %m %d", "19 5 3 4", (1905, 3, 4)),
            ("%Y %C %y %m %d", "2024 20 24 1 5", (2024, 1, 5)),
            ("%Y %y %m %d", "1924 24 1 5", (1924, 1, 5)),  # a full year beats the 1970..2069 window
            ("%Y %j", "2024 366", (2024, 12, 31)),
            ("%Y%j", "2024060", (2024, 2, 29)),
            ("%j %Y", "1 2023", (2023, 1, 1)),
            ("%Y %U %w", "2024 00 1", (2024, 1, 1)),
            ("%Y %U %a", "2024 01 Sun", (2024, 1, 7)),
            ("%Y %U %w", "2023 00 0", None),  # 2023 begins on a Sunday: no week 0 Sunday
            ("%Y %W %a", "2024 01 Mon", (2024, 1, 1)),
            ("%Y %W %u", "2024 52 7", (2024, 12, 29)),
            ("%Y %W %u", "2024 53 1", (2024, 12, 30)),
            ("%G-W%V-%u", "2020-W53-5", (2021, 1, 1)),
            ("%G-W%V-%u", "2020-W01-1", (2019, 12, 30)),
            ("%g W%V %a", "20 W53 Fri", (2021, 1, 1)),  # two-digit ISO year, 2000..2069
            ("%a %d %b %Y", "Mon 01 Jan 2024", (2024, 1, 1)),
            ("%a %d %b %Y", "mON 01 jAN 2024", (2024, 1, 1)),
            ("%A %d %B %Y", "Monday 01 January 2024", (2024, 1, 1)),
            ("%A %d %B %Y", "WEDNESDAY 04 SEPTEMBER 2024", (2024, 9, 4)),
            ("%A%d%B%Y", "Mon01Jan2024", (2024, 1, 1)),  # full names are optional
            ("%B %d %Y", "january 05 2024", (2024, 1, 5)),
            ("%B %d %Y", "JAN 05 2024", (2024, 1, 5)),
            ("%B %d %Y", "May 05 2024", (2024, 5, 5)),
            ("%B%d %Y", "Mayday05 2024", None),  # "day" is no part of May
            ("%h %e %Y", "Feb  9 2024", (2024, 2, 9)),
            ("%b%Y", "Febr2024", None),  # %b never takes more than three letters
            ("%D", "01/05/24", (2024, 1, 5)),
            ("%x", "12/31/99", (1999, 12, 31)),
            ("%F", "2024-01-05", (2024, 1, 5)),
            ("%F", "-0044-03-15", None),  # year -44 is valid but Python cannot hold it
            ("%v", " 5-Jan-2024", (2024, 1, 5)),
            ("%c", "Mon Jan  1 10:00:00 2024", (2024, 1, 1)),
            ("%c", "Mon Jan 1 10:00:00 2024", (2024, 1, 1)),
            ("%c", "Tue Jan 1 10:00:00 2024", None),
            ("%Y-%m-%d %w %u", "2024-01-07 0 7", (2024, 1, 7)),  # Sunday both ways
            ("%Y %U %u", "2024 01 7", (2024, 1, 7)),
            ("%G %V %w", "2024 01 0", (2024, 1, 7)),
            ("%Y %G %V %u", "2024 2025 01 1", (2024, 12, 30)),  # the ISO year may differ from the year
            ("%-d/%_m/%0Y", "5/1/2024", (2024, 1, 5)),  # padding modifiers have no effect
            ("%Y-%m-%d %H:%M", "2024-01-05 25:00", None),  # unused components are still range-checked
            ("%Y-%m-%d %H:%M", "2024-01-05 23:00", (2024, 1, 5)),
            ("%Y-%m-%d %I", "2024-01-05 10", (2024, 1, 5)),  # ... then ignored
            ("%Y-%m-%d %s", "2024-01-05 0", (2024, 1, 5)),  # the date rule never uses a timestamp
            ("%Y-%m-%d%%", "2024-01-05%", (2024, 1, 5)),
            ("%Y-%m-%d %Z", "2024-01-05 CET", (2024, 1, 5)),
            ("%Y-%m-%d %Z", "2024-01-05 +01", (2024, 1, 5)),
            ("%Y-%m-%d%Z", "2024-01-05", (2024, 1, 5)),
            ("%Y-%m-%d %z", "2024-01-05 +0100", (2024, 1, 5)),
            ("%Y-%m-%d %S", "2024-01-05 60", (2024, 1, 5)),
            ("%Y-%m-%dé", "2024-01-05é", (2024, 1, 5)),
            ("日%Y年%m月%d日", "日2024年01月05日", (2024, 1, 5)),
        ],
    )
    def test_read(self, pattern, text, value):
        if value is None:
            assert_refused(DATE(pattern), text)
        else:
            assert read(DATE(pattern), text) == datetime.date(*value)

    @pytest.mark.parametrize(
        "pattern, text",
        [
            ("%Y-%m-%d", "2024-01-05 "),  # trailing whitespace is left over
            ("%Y-%m-%d", "2024 -01-05"),
            ("%Y-%m-%d", "2024/01/05"),
            ("%Y-%m-%d", "2024-01-5x"),
            ("%Y-%m-%d", "12024-01-01"),  # four digits without a sign
            ("%Y-%m-%d", "2024-01-"),
            ("%Y-%m-%d", ""),
            ("%m%d", "15"),  # month 15
            ("%Y-%m-%d", "2024-00-05"),
            ("%Y-%m-%d", "2024-01-00"),
            ("%Y-%m-%d", "2024-01-32"),
            ("%Y-%m-%d", "2023-02-29"),
            ("%Y-%m-%d", "1900-02-29"),
            ("%Y-%m-%d", "2024-04-31"),
            ("%Y-%m-%d", "+-2024-01-05"),
            ("%Y-%m-%d", "+ 2024-01-05"),
            ("%Y-%m-%d", "-2024-01-05"),
            ("%Y %j", "2023 366"),
            ("%Y %j", "2024 367"),
            ("%Y %j", "2024 0"),
            ("%G-W%V-%u", "2021-W53-1"),  # 2021 has 52 ISO weeks
            ("%G-W%V-%u", "2021-W00-1"),
            ("%G-W%V-%u", "2021-W01-0"),
            ("%G-W%V-%w", "2021-W01-7"),
            ("%Y %U %w", "2024 54 1"),
            ("%Y %W %u", "2024 53 3"),  # past the year's end
            ("%Y %W %u", "2024 00 1"),  # before it: 2024 begins on a Monday
            ("%Y-%m-%d %a", "2024-01-01 Tue"),
            ("%a %Y-%m-%d", "Tue 2024-01-01"),
            ("%Y-%m-%d %j", "2024-01-05 6"),
            ("%Y-%m-%d %U", "2024-01-06 1"),
            ("%Y-%m-%d %W", "2024-01-07 2"),
            ("%Y-%m-%d %V", "2024-12-30 52"),  # ISO week 1 of 2025
            ("%Y-%m-%d %G", "2024-12-30 2024"),
            ("%Y-%m-%d %g", "2024-12-30 24"),
            ("%Y %C %y %m %d", "2024 21 24 1 5"),
            ("%Y %C %y %m %d", "2024 20 23 1 5"),
            ("%Y-W%V-%u", "2021-W01-1"),  # ISO weeks need the ISO year
            ("%G %U %w", "2024 01 0"),  # ... and Sunday/Monday weeks the calendar year
            ("%G %V %u %Y", "2025 01 1 2025"),  # 2024-12-30
            ("%C %m %d", "20 1 5"),  # a century alone is no year
            ("%C %G %V %u", "20 2024 01 1"),
            ("%m %d", "1 5"),  # no default year
            ("%Y %m", "2024 1"),
            ("%Y", "2024"),
            ("%d %d", "05 06"),
            ("%m %b", "01 Feb"),
            ("%a %d %b %Y", "Mo 01 Jan 2024"),
            ("%B %d %Y", "Sept 05 2024"),
            ("%B %d %Y", " January 05 2024"),  # no whitespace skipped before a name
            ("%d.%m.%Y", "05 .01.2024"),  # ... nor before a literal
            ("%Y-%m-%d %z", "2024-01-05 Z"),
            ("%Y %U %w %W", "2024 00 1 0"),  # week numbers of the found date must agree
            ("%Y-%m-%d", "2024\u201301\u201305"),  # en dash is not the literal
            ("%Y年%m月%d日", "2024年01月05"),
        ],
    )
    def test_refused(self, pattern, text):
        assert_refused(DATE(pattern), text)

    def test_message(self):
        assert refused(DATE("%Y-%m-%d"), "2023-02-29") == (
            "Does not parse as date - '2023-02-29' given schema: "
            'Date(DateField { required: true, format: "%Y-%m-%d" })'
        )

    @pytest.mark.parametrize(
        "text",
        ["0000-01-01", "+10000-01-01", "-0001-12-31", "+262142-12-31", "-262143-01-01"],
    )
    def test_years_python_cannot_hold_are_field_failures(self, text):
        # These resolve, but `datetime.date` has no room for them.
        assert_refused(DATE("%Y-%m-%d"), text)

    @pytest.mark.parametrize(
        "text",
        [
            "+262143-01-01",
            "-262144-12-31",
            "+2147483647-01-01",
            "-2147483648-01-01",
            "+2147483648-01-01",  # beyond 32 bits
            "-9223372036854775808-01-01",
            "+9223372036854775807-01-01",
            "+9223372036854775808-01-01",  # beyond 64 bits
            "-9223372036854775809-01-01",
            "+" + "9" * 5000 + "-01-01",
            "-" + "0" * 5000 + "1" + "9" * 5000 + "-01-01",
            "+" + "0" * 5000 + "2024-01-05x",
        ],
    )
    def test_huge_years_fail_cleanly(self, text):
        assert_refused(DATE("%Y-%m-%d"), text)

    def test_long_zero_padded_year_reads(self):
        assert read(DATE("%Y-%m-%d"), "+" + "0" * 5000 + "2024-01-05") == datetime.date(2024, 1, 5)


class TestTimes:
    @pytest.mark.parametrize(
        "pattern, text, value",
        [
            ("%H:%M", "10:30", (10, 30)),
            ("%H:%M:%S", "23:59:59", (23, 59, 59)),
            ("%H%M%S", "000000", (0, 0, 0)),
            ("%H%M%S", "240000", (0, 0, 0)),  # end of day, replaced before reading
            ("%H%M%S", "123456", (12, 34, 56)),
            ("%H%M", "1234", (12, 34)),
            ("%H:%M:%S", " 1: 2: 3", (1, 2, 3)),
            ("%k:%M", " 9:05", (9, 5)),
            ("%l:%M %p", " 9:05 pm", (21, 5)),
            ("%I:%M %p", "12:30 AM", (0, 30)),
            ("%I:%M %p", "12:30 pm", (12, 30)),
            ("%I:%M %p", "01:30 Pm", (13, 30)),
            ("%I:%M%P", "11:59aM", (11, 59)),
            ("%p %I:%M", "PM 3:00", (15, 0)),
            ("%H %I %p:%M", "15 3 PM:00", (15, 0)),  # %H and %I agree
            ("%r", "01:02:03 PM", (13, 2, 3)),
            ("%r", "12:00:00AM", (0, 0, 0)),
            ("%R", "23:05", (23, 5)),
            ("%T", "23:05:01", (23, 5, 1)),
            ("%X", "23:05:01", (23, 5, 1)),
            ("%H:%M:%S%.f", "10:30:00", (10, 30, 0)),
            ("%H:%M:%S%.f", "10:30:00.5", (10, 30, 0, 500000)),
            ("%H:%M:%S%.f", "10:30:00.1234567891", (10, 30, 0, 123456)),
            ("%H:%M:%S%.f", "10:30:00." + "9" * 300, (10, 30, 0, 999999)),
            ("%H:%M:%S%.3f", "10:30:00.000000999", (10, 30, 0, 0)),  # 999 ns truncate to 0 us
            ("%H:%M:%S%.6f", "10:30:00.000001999", (10, 30, 0, 1)),
            ("%H:%M:%S%.9f", "10:30:00.5", (10, 30, 0, 500000)),
            ("%H:%M:%S.%3f", "10:30:00.250", (10, 30, 0, 250000)),
            ("%H:%M:%S.%6f", "10:30:00.250001", (10, 30, 0, 250001)),
            ("%H:%M:%S.%9f", "10:30:00.250001999", (10, 30, 0, 250001)),
            ("%H:%M:%S.%f", "10:30:00.5", (10, 30, 0)),  # %f counts nanoseconds: 5 ns
            ("%H:%M:%S.%f", "10:30:00.123456789", (10, 30, 0, 123456)),
            ("%H:%M:%S.%f", "10:30:00.001000", (10, 30, 0, 1)),  # 1000 ns
            ("%H:%M:%S %z", "10:30:00 +05:00", (10, 30, 0)),  # the offset is never applied
            ("%H:%M:%S%z", "10:30:00\u221205:00", (10, 30, 0)),
            ("%H:%M:%S%:z", "10:30:00+0500", (10, 30, 0)),
            ("%H:%M:%S%::z", "10:30:00+05 00", (10, 30, 0)),
            ("%H:%M:%S%:::z", "10:30:00 -05 : :00", (10, 30, 0)),
            ("%H:%M:%S%z", "10:30:00+9959", (10, 30, 0)),
            ("%H:%M:%S%#z", "10:30:00Z", (10, 30, 0)),
            ("%H:%M:%S%#z", "10:30:00z", (10, 30, 0)),
            ("%H:%M:%S%#z", "10:30:00+05", (10, 30, 0)),
            ("%H:%M:%S%#z", "10:30:00+05:", (10, 30, 0)),
            ("%H:%M:%S%#z", "10:30:00+05:30", (10, 30, 0)),
            ("%H:%M:%S %z %z", "10:30:00 +01:00 +0100", (10, 30, 0)),
            ("%H:%M %Y-%m-%d", "10:30 2023-02-30", (10, 30)),  # the time rule ignores the date
            ("%H:%M %a %d", "10:30 Tue 01", (10, 30)),
            ("%M %H", "5 7", (7, 5)),
            ("%H:%M %s", "10:30 1700000000", (10, 30)),  # the time rule never uses a timestamp
            ("%H:%M:%S %.f", "10:30:00", (10, 30, 0)),  # the blank matches nothing, the fraction is absent
        ],
    )
    def test_read(self, pattern, text, value):
        assert read(TIME(pattern), text) == datetime.time(*value)

    @pytest.mark.parametrize(
        "pattern, text",
        [
            ("%H:%M:%S", "24:00:00"),  # only the exact text 240000 is replaced
            ("%H%M%S", "240001"),
            ("%H%M", "2400"),
            ("%H%M%S", "2400000"),
            ("%H:%M:%S", "240000"),  # replaced, then read as 000000 under a pattern that needs colons
            ("%H:%M", "10:60"),
            ("%H:%M:%S", "10:00:61"),
            ("%I:%M", "10:30"),  # no half of the day
            ("%I:%M %p", "00:30 AM"),
            ("%I:%M %p", "13:30 PM"),
            ("%H:%M %p", "13:00 AM"),
            ("%H %I:%M", "13 2:00"),
            ("%p", "AM"),
            ("%H", "10"),  # no minute
            ("%M:%S", "10:30"),  # no hour
            ("%H:%M%.f", "10:30.5"),  # a fraction needs a second
            ("%H:%M.%3f", "10:30.500"),
            ("%H:%M:%S%.f", "10:30:00."),
            ("%H:%M:%S%.f", "10:30:00.x"),
            ("%H:%M:%S%.f", "10:30:00 .5"),
            ("%H:%M:%S.%3f", "10:30:00.25"),
            ("%H:%M:%S.%3f", "10:30:00.2500"),
            ("%H:%M:%S.%f", "10:30:00.1234567890"),  # ten digits
            ("%H:%M:%S.%f %.f", "10:30:00.5 .5"),  # 5 ns disagrees with 500,000,000 ns
            ("%H:%M:%S%z", "10:30:00Z"),
            ("%H:%M:%S%z", "10:30:00+05"),
            ("%H:%M:%S%z", "10:30:00+5:00"),
            ("%H:%M:%S%z", "10:30:00+05:60"),
            ("%H:%M:%S%z", "10:30:00+05:0"),
            ("%H:%M:%S%z", "10:30:00 05:00"),
            ("%H:%M:%S%z", "10:30:00\u201305:00"),
            ("%H:%M:%S%#z", "10:30:00+05x"),
            ("%H:%M:%S%#z", "10:30:00+05:3"),
            ("%H:%M:%S%#z", "10:30:00Zulu"),
            ("%H:%M:%S %z %z", "10:30:00 +01:00 +0200"),
            ("%H:%M %p", "10:30 a.m."),
            ("%H:%M %p", "10:30 A"),
            ("%s", "1700000000"),
        ],
    )
    def test_refused(self, pattern, text):
        assert_refused(TIME(pattern), text)

    def test_message_shows_original_text(self):
        assert refused(TIME("%H%M%S"), "240001") == (
            "Does not parse as time - '240001' given schema: "
            'Time(TimeField { required: true, format: "%H%M%S" })'
        )

    @pytest.mark.parametrize(
        "pattern, text, value",
        [
            ("%H:%M:%S", "23:59:60", (23, 59, 59)),
            ("%H:%M:%S%.f", "23:59:60.5", (23, 59, 59, 500000)),
            ("%H:%M:%S", "10:15:60", (10, 15, 59)),  # any minute may hold one
            ("%T", "00:00:60", (0, 0, 59)),
        ],
    )
    def test_leap_second_warns(self, pattern, text, value):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert read(TIME(pattern), text) == datetime.time(*value)
        assert [(w.category, str(w.message)) for w in caught] == [
            (UserWarning, "ignored leap-second, `datetime` does not support leap-seconds")
        ]

    def test_second_59_does_not_warn(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert read(TIME("%H:%M:%S"), "23:59:59") == datetime.time(23, 59, 59)


class TestPatterns:
    @pytest.mark.parametrize(
        "pattern",
        [
            "%Q", "%", "%Y-%m-%d%", "%-F", "%#Y", "%#", "%-", "%_", "%0", "%-%", "%_n", "%0z", "%-b",
            "%.", "%.x", "%.2f", "%.3", "%3", "%3x", "%1f", "%4f", "%-3f", "%:", "%:x", "%::::z", "%:Z",
            "%#:z", "%-#z", "%E", "%O", "%Ey", "%i", "%é", "%\u3000", "% ",
        ],
    )
    def test_malformed_specifier_fails_every_text(self, pattern):
        for text in ["", "2024", "x", "2024-01-05", "%", pattern]:
            assert_refused(DATE(pattern), text)
        assert_refused(TIME(pattern), "10:30")

    @pytest.mark.parametrize(
        "pattern, text",
        [
            ("%H:%M%Q", "10:30"),  # the error item is reached after everything else matched
            ("%H:%M %", "10:30 "),
            ("%H:%M%-F", "10:30"),
        ],
    )
    def test_late_malformed_specifier_fails_when_reached(self, pattern, text):
        assert_refused(TIME(pattern), text)

    @pytest.mark.parametrize(
        "pattern, text",
        [
            ("%H:%M", "10:30"),
            ("%-H:%_M", "10:30"),
            ("%0k:%0M", "10:30"),
            ("%H:%M%n", "10:30"),
            ("%H:%M%t", "10:30\t "),
            ("%H%%%M", "10%30"),
            ("%H%n%t%M", "10\u2028\u3000 30"),
            ("%H:%M %Z", "10:30 Europe/Paris"),
        ],
    )
    def test_accepted_forms(self, pattern, text):
        assert read(TIME(pattern), text) == datetime.time(10, 30)


# Every character with the White_Space property, and some that look like it but lack it.
WHITESPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
NOT_WHITESPACE = "\x1c\x1d\x1e\x1f\u180e\u200b\u200c\u2060\ufeff\x00\x7f"


class TestWhitespace:
    @pytest.mark.parametrize("char", WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
    def test_unicode_whitespace_in_text(self, char):
        date = reader(DATE("%Y %m %d"))
        assert date(f"2024{char}01{char * 2}05") == datetime.date(2024, 1, 5)
        assert date(f"{char}2024-01-05".replace("-", " ")) == datetime.date(2024, 1, 5)
        assert read(TIME("%H:%M:%S%z"), f"10:30:00{char}+01{char}00") == datetime.time(10, 30)

    @pytest.mark.parametrize("char", WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
    def test_unicode_whitespace_in_pattern(self, char):
        assert read(DATE(f"%Y{char}%m{char}-%d"), "2024 \t01-05") == datetime.date(2024, 1, 5)
        assert read(DATE(f"%Y{char}%m{char}-%d"), "202401-05") == datetime.date(2024, 1, 5)

    @pytest.mark.parametrize("char", NOT_WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
    def test_lookalikes_are_not_whitespace(self, char):
        assert_refused(DATE("%Y %m %d"), f"2024{char}01 05")
        assert_refused(DATE("%Y-%m-%d"), f"{char}2024-01-05")
        assert_refused(TIME("%H:%M"), f"10:30{char}")

    @pytest.mark.parametrize("char", NOT_WHITESPACE.replace("\x00", ""), ids=lambda c: f"U+{ord(c):04X}")
    def test_lookalikes_in_pattern_are_literals(self, char):
        assert read(DATE(f"%Y{char}%m %d"), f"2024{char}01 05") == datetime.date(2024, 1, 5)
        assert_refused(DATE(f"%Y{char}%m %d"), "2024 01 05")

    @pytest.mark.parametrize("char", WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
    def test_zone_name_stops_at_whitespace(self, char):
        assert read(DATE("%Z %Y-%m-%d"), f"CET{char}2024-01-05") == datetime.date(2024, 1, 5)
        assert_refused(DATE("%Z%Y-%m-%d"), "2024-01-05")  # the name takes everything up to whitespace
        assert read(TIME("%Z %H:%M"), f"CET{char}10:30") == datetime.time(10, 30)

    def test_names_and_literals_skip_nothing(self):
        assert_refused(TIME("%H:%M%p"), "10:30 PM")
        assert_refused(TIME("%H:%M:%S%.f"), "10:30:00 .5")
        assert_refused(TIME("%H:%M:%S.%3f"), "10:30:00. 250")
        assert_refused(DATE("%Y%b%d"), "2024 Jan05")
        assert_refused(DATE("%Y-%m-%d"), "2024 -01-05")
        assert read(DATE("%Y%m%d"), "2024\u3000 01\t05") == datetime.date(2024, 1, 5)


def utc(*fields):
    return datetime.datetime(*fields, tzinfo=UTC)


class TestDatetimes:
    @pytest.mark.parametrize(
        "pattern, text, value",
        [
            ("%Y-%m-%d %H:%M:%S", "2024-01-05 10:00:00", (2024, 1, 5, 10)),
            ("%Y-%m-%d %H:%M:%S", "2024-01-0510:00:00", (2024, 1, 5, 10)),
            ("%Y-%m-%dT%H:%M:%S%z", "2024-01-05T10:00:00+05:00", (2024, 1, 5, 10)),
            ("%Y-%m-%dT%H:%M:%S%z", "2024-01-05T10:00:00\u221205:00", (2024, 1, 5, 10)),
            ("%Y-%m-%dT%H:%M:%S%#z", "2024-01-05T10:00:00Z", (2024, 1, 5, 10)),
            ("%Y-%m-%d %H:%M:%S%.f", "2024-01-15 10:30:00.987654", (2024, 1, 15, 10, 30)),
            ("%Y-%m-%d %H:%M:%S", "2016-12-31 23:59:60", (2016, 12, 31, 23, 59, 59)),
            ("%+", "2024-01-05T10:00:00Z", (2024, 1, 5, 10)),
            ("%+", "2024-01-05 10:00:00.5+01:00", (2024, 1, 5, 10)),
            ("%+", "2024-01-05t10:00:00 utc", (2024, 1, 5, 10)),
            ("%+", "2024-01-05T10:00:00UTC", (2024, 1, 5, 10)),
            ("%+", " 2024- 1- 5T 9: 5: 7 -0130", (2024, 1, 5, 9, 5, 7)),
            ("%+", "+2024-01-05T10:00:00 z", (2024, 1, 5, 10)),
            ("%c", "Fri Jan  5 10:00:00 2024", (2024, 1, 5, 10)),
            ("%s", "1700000000", (2023, 11, 14, 22, 13, 20)),
            ("%s", "0", (1970, 1, 1)),
            ("%s", " 00000000000000000000000000001700000000", (2023, 11, 14, 22, 13, 20)),
            ("%s", "253402300799", (9999, 12, 31, 23, 59, 59)),
            ("%s%.f", "1700000000.75", (2023, 11, 14, 22, 13, 20)),  # a fraction with a timestamp
            ("%s %Y", "1700000000 2023", (2023, 11, 14, 22, 13, 20)),
            ("%s %y %j", "1700000000 23 318", (2023, 11, 14, 22, 13, 20)),
            ("%s %p", "1700000000 PM", (2023, 11, 14, 22, 13, 20)),
            ("%s %a", "1700000000 Tue", (2023, 11, 14, 22, 13, 20)),
            ("%Y-%m-%d %s", "2023-11-14 1700000000", (2023, 11, 14, 22, 13, 20)),
            ("%Y-%m-%d %H:%M:%S %s", "2023-11-14 22:13:20 1700000000", (2023, 11, 14, 22, 13, 20)),
            ("%Y-%m-%d %H:%M %s", "2023-11-14 22:13 1699999980", (2023, 11, 14, 22, 13)),
            # A leap second: the timestamp may count it as the second before or after.
            ("%Y-%m-%d %H:%M:%S %s", "2016-12-31 23:59:60 1483228799", (2016, 12, 31, 23, 59, 59)),
            ("%Y-%m-%d %H:%M:%S %s", "2016-12-31 23:59:60 1483228800", (2016, 12, 31, 23, 59, 59)),
            ("%S %s", "60 1483228799", (2016, 12, 31, 23, 59, 59)),
            ("%S %s", "60 1483228800", (2016, 12, 31, 23, 59, 59)),
            ("%M:%S %s", "59:60 1483228800", (2016, 12, 31, 23, 59, 59)),
        ],
    )
    def test_read(self, pattern, text, value):
        assert read(DATETIME(pattern), text) == utc(*value)

    @pytest.mark.parametrize(
        "pattern, text",
        [
            ("%Y-%m-%d %H:%M:%S", "2024-01-05T10:00:00"),
            ("%Y-%m-%dT%H:%M:%S%z", "2024-01-05T10:00:00Z"),
            ("%Y-%m-%d", "2024-01-05"),  # no time of day
            ("%H:%M:%S", "10:00:00"),  # no date
            ("%Y-%m-%d %H:%M:%S", "2023-02-29 10:00:00"),
            ("%+", "2024-01-05T10:00:00"),  # the offset is required
            ("%+", "2024-01-05T10:00:00+01"),
            ("%+", "2024-01-05T10:00Z"),
            ("%+", "2024-01-05\t10:00:00Z"),
            ("%+", "2024-01-05T10:00:00 CET"),
            ("%+", "2024-01-05X10:00:00Z"),
            ("%+", "2024-01-05T10:00:00Z "),
            ("%+", "2024-01-05T10:00:00.Z"),
            ("%+", "12024-01-05T10:00:00Z"),
            ("%s", "-1"),
            ("%s", "+1700000000"),
            ("%s", ""),
            ("%s", "9223372036854775808"),
            ("%s", "9" * 5000),
            ("%s", "9223372036854775807"),  # far beyond the years a date can hold
            ("%s", "253402300800"),  # year 10000: resolves, but Python cannot hold it
            ("%s %Y", "1700000000 2024"),
            ("%s %m", "1700000000 12"),
            ("%s %a", "1700000000 Wed"),
            ("%s %p", "1700000000 AM"),
            ("%s %M", "1700000000 14"),
            ("%Y-%m-%d %s", "2023-11-15 1700000000"),
            ("%Y-%m-%d %H:%M:%S %s", "2023-11-14 22:13:21 1700000000"),
            ("%Y-%m-%d %H:%M %s", "2023-11-14 22:13 1700000000"),  # both rules succeed: second 0 must match
            ("%Y-%m-%d %H:%M:%S %s", "2023-02-30 22:13:20 1700000000"),  # impossible date: no fallback
            ("%Y-%m-%d %H:%M:%S %s", "2016-12-31 23:59:60 1483228801"),
            ("%Y-%m-%d %H:%M:%S %s", "2016-12-31 23:59:60 1483228798"),
            ("%S %s", "60 1483228801"),
            ("%S %s", "60 1483228830"),
            ("%M:%S %s", "58:60 1483228800"),  # the timestamp moved back is 23:59:59
        ],
    )
    def test_refused(self, pattern, text):
        assert_refused(DATETIME(pattern), text)

    def test_message(self):
        assert refused(DATETIME("%s"), "x") == (
            "Does not parse as datetime - 'x' given schema: "
            'Datetime(DatetimeField { required: true, format: "%s", time_zone: "UTC" })'
        )


# Differential checks: Python formats random values under a pattern whose
# specifiers mean the same here; reading the text back must give the value.
SEED = 20240105


def random_dates(count, low=1, high=9999):
    rng = random.Random(SEED)
    first = datetime.date(low, 1, 1).toordinal()
    last = datetime.date(high, 12, 31).toordinal()
    return [datetime.date.fromordinal(rng.randint(first, last)) for _ in range(count)]


def random_times(count):
    rng = random.Random(SEED + 1)
    return [datetime.time(rng.randrange(24), rng.randrange(60), rng.randrange(60), rng.randrange(1_000_000))
            for _ in range(count)]


class TestAgainstStrftime:
    @pytest.mark.parametrize(
        "python_pattern, pattern, low",
        [
            ("%Y-%m-%d", "%Y-%m-%d", 1),
            ("%Y-%m-%d", "%F", 1),
            ("%d/%m/%Y", "%d/%m/%Y", 1),
            ("%Y%m%d", "%Y%m%d", 1000),
            ("%y%m%d", "%y%m%d", 1970),
            ("%x", "%D", 1970),
            ("%F", "%F", 1000),
            ("%a %d %b %Y", "%a %d %b %Y", 1),
            ("%A, %B %d, %Y", "%A, %B %d, %Y", 1),
            ("%e-%b-%Y", "%v", 1),
            ("%b %e %Y", "%h %e %Y", 1),
            ("%j/%Y", "%j/%Y", 1),
            ("%Y %U %w", "%Y %U %w", 1),
            ("%Y %U %a", "%Y %U %a", 1),
            ("%Y %W %u", "%Y %W %u", 1),
            ("%Y %W %A", "%Y %W %A", 1),
            ("%G-W%V-%u", "%G-W%V-%u", 1000),
            ("%Y-%m-%d %a %j %U %W %G %V %u %w", "%Y-%m-%d %a %j %U %W %G %V %u %w", 1000),
            ("%C%y-%m-%d", "%C%y-%m-%d", 1000),
            ("%c", "%c", 1000),
        ],
    )
    def test_dates(self, python_pattern, pattern, low):
        date = reader(DATE(pattern))
        for value in random_dates(300, low=low, high=2069 if "%y" in python_pattern or "%x" in python_pattern else 9999):
            assert date(value.strftime(python_pattern)) == value, value.strftime(python_pattern)

    @pytest.mark.parametrize(
        "python_pattern, pattern, keep",
        [
            ("%H:%M:%S", "%H:%M:%S", "seconds"),
            ("%H%M%S", "%H%M%S", "seconds"),
            ("%T", "%T", "seconds"),
            ("%X", "%X", "seconds"),
            ("%r", "%r", "seconds"),
            ("%I:%M:%S %p", "%I:%M:%S %P", "seconds"),
            ("%l:%M:%S%p", "%l:%M:%S%p", "seconds"),
            ("%k.%M.%S", "%k.%M.%S", "seconds"),
            ("%R", "%R", "minutes"),
            ("%H:%M:%S.%f", "%H:%M:%S%.f", "microseconds"),
            ("%H:%M:%S.%f", "%H:%M:%S.%6f", "microseconds"),
            ("%H:%M:%S.%f000", "%H:%M:%S.%9f", "microseconds"),
            ("%H:%M:%S.%f", "%H:%M:%S%.6f", "microseconds"),
            ("%c", "%c", "seconds"),
        ],
    )
    def test_times(self, python_pattern, pattern, keep):
        time = reader(TIME(pattern))
        for value in random_times(300):
            expected = value.replace(microsecond=0) if keep != "microseconds" else value
            if keep == "minutes":
                expected = expected.replace(second=0)
            text = datetime.datetime.combine(datetime.date(2024, 1, 5), value).strftime(python_pattern)
            assert time(text) == expected, text

    def test_nanosecond_fractions_truncate_to_microseconds(self):
        time = reader(TIME("%H:%M:%S%.f"))
        rng = random.Random(SEED + 2)
        for _ in range(300):
            nanoseconds = rng.randrange(1_000_000_000)
            digits = f"{nanoseconds:09d}"[: rng.randint(1, 9)]
            scaled = int(digits.ljust(9, "0"))
            assert time(f"01:02:03.{digits}") == datetime.time(1, 2, 3, scaled // 1000), digits

    def test_iso_week_dates_against_isocalendar(self):
        date = reader(DATE("%G %V %u"))
        short = reader(DATE("%g-%V-%a"))
        for value in random_dates(500):
            year, week, weekday = value.isocalendar()
            assert date(f"{year} {week} {weekday}") == value
            if 2000 <= year <= 2069:
                assert short(f"{year % 100:02d}-{week:02d}-{value.strftime('%a')}") == value

    def test_ordinal_dates_against_timetuple(self):
        date = reader(DATE("%Y%j"))
        for value in random_dates(500, low=1000):
            assert date(f"{value.year}{value.timetuple().tm_yday:03d}") == value


class TestTimestampsAgainstPython:
    def test_timestamps(self):
        stamp = reader(DATETIME("%s"))
        rng = random.Random(SEED + 3)
        for _ in range(500):
            seconds = rng.randrange(253402300800)
            assert stamp(str(seconds)) == datetime.datetime.fromtimestamp(seconds, UTC), seconds

    def test_datetimes_agree_with_their_timestamps(self):
        both = reader(DATETIME("%Y-%m-%d %H:%M:%S = %s"))
        rng = random.Random(SEED + 4)
        for _ in range(300):
            value = datetime.datetime.fromtimestamp(rng.randrange(253402300800), UTC)
            text = f"{value:%Y-%m-%d %H:%M:%S} = {int(value.timestamp())}"
            assert both(text) == value
            with pytest.raises(ValueError):
                both(f"{value:%Y-%m-%d %H:%M:%S} = {int(value.timestamp()) + 1}")


# Patterns whose texts have one fixed layout are read straight, others item by
# item. A leading blank changes no reading (numbers skip whitespace
# themselves) but keeps a pattern on the item-by-item reader: each layout is
# checked against that reader on texts in and near the layout.
FIXED_LAYOUTS = ["%Y-%m-%d", "%Y%m%d", "%d/%m/%y", "%H:%M:%S", "%H%M%S", "%H:%M", "%H:%M:%S%.f", "%H:%M:%S.%3f",
                 "%H:%M:%S.%f", "%Y-%m-%dT%H:%M:%S%.f", "%d/%m/%Y %H:%M", "%F %T"]
EDIT_PIECES = ["0", "1", "9", "-", "+", " ", "\t", ".", ":", "/", "T", "\u00a0", "\u3000", "\u2212", "60", "29"]


def in_layout(rng, pattern):
    """A text in the pattern's layout, its numbers sometimes out of range."""
    def number(low, high, width):
        value = rng.randrange(10 ** width) if rng.randrange(8) == 0 else rng.randint(low, high)
        return f"{value:0{width}d}"

    def fraction():
        return "." + "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 12))) if rng.randrange(3) else ""

    tokens = {"%Y": lambda: number(1, 9999, 4), "%y": lambda: number(0, 99, 2), "%m": lambda: number(1, 12, 2),
              "%d": lambda: number(1, 31, 2), "%H": lambda: number(0, 23, 2), "%M": lambda: number(0, 59, 2),
              "%S": lambda: number(0, 60, 2), "%f": lambda: number(0, 10**9 - 1, 9), "%3f": lambda: number(0, 999, 3),
              "%.f": fraction}
    pattern = pattern.replace("%F", "%Y-%m-%d").replace("%T", "%H:%M:%S")
    for token in sorted(tokens, key=len, reverse=True):
        pattern = "\0".join(part.replace(token, "\1" + token + "\1") for part in pattern.split("\0"))
    return "".join(tokens[part]() if part in tokens else part for part in pattern.split("\1"))


def near_layout(rng, text):
    """One to three edits: characters swapped, replaced, dropped or added, the text cut or lengthened."""
    for _ in range(rng.randint(1, 3)):
        at = rng.randrange(len(text) or 1)
        piece = rng.choice(EDIT_PIECES)
        text = rng.choice([
            lambda: text[:at] + text[at + 1:at + 2] + text[at:at + 1] + text[at + 2:],
            lambda: text[:at] + piece + text[at + 1:],
            lambda: text[:at] + text[at + 1:],
            lambda: text[:at] + piece + text[at:],
            lambda: text[:-1],
            lambda: text + piece,
        ])()
    return text.replace("|", "/")


def outcome(parse, text):
    """The value with the warnings issued, or the failure's message without the field description."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return parse("A|" + text)[1], [str(w.message) for w in caught]
        except ValueError as error:
            return str(error).split(" given schema: ")[0], [str(w.message) for w in caught]


def layout_cases():
    """Each layout with the kinds whose values it holds."""
    for pattern in FIXED_LAYOUTS:
        date = any(token in pattern for token in ("%Y", "%y", "%F"))
        time = any(token in pattern for token in ("%H", "%T"))
        for kind, needed in ((DATE, date), (TIME, time), (DATETIME, date and time)):
            if needed:
                yield pytest.param(kind, pattern, id=f"{kind.__name__} {pattern}")


class TestFixedLayouts:
    @pytest.mark.parametrize("kind, pattern", list(layout_cases()))
    def test_same_as_item_by_item(self, kind, pattern):
        straight = field_parser(kind(pattern), quote_str=None).parse_line
        by_items = field_parser(kind(" " + pattern), quote_str=None).parse_line
        rng = random.Random(f"{SEED} {pattern} {kind.__name__}")
        texts = [in_layout(rng, pattern) for _ in range(300)]
        texts += [near_layout(rng, text) for text in texts]
        wrong = [(text, outcome(straight, text), outcome(by_items, text)) for text in texts
                 if outcome(straight, text) != outcome(by_items, text)]
        assert not wrong, wrong[:5]
        assert sum(not isinstance(outcome(straight, text)[0], str) for text in texts) > 100
