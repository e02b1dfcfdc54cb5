"""The built-in zone database: the generated tables' figures, zone-name lookup,
placement of local times with gaps and overlaps, and a differential check
against zoneinfo reading the same tzdata 2024.1 package."""
import collections
import datetime
import importlib.resources
import importlib.util
import json
import pathlib
import random
import sys
import zoneinfo

import pytest

import kelvane

ROOT = pathlib.Path(__file__).resolve().parent.parent
UTC = datetime.timezone.utc
PATTERN = "%Y-%m-%d %H:%M:%S"
EPOCH = datetime.datetime(1970, 1, 1)


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_zones", ROOT / "tools" / "gen_zones.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["gen_zones"] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


gen_zones = load_generator()


@pytest.fixture(scope="module")
def database():
    return gen_zones.load_database()


def schema(zone, required=True, pattern=PATTERN):
    field = {"kind": "DATETIME", "required": required, "format": pattern, "time_zone": zone}
    return json.dumps({"delimiter": "|", "quote_str": "'", "trailing_delimiter": False,
                       "coerce_empty_quoted": False, "lines": [{"name": "A", "fields": [field]}]})


class Reader:
    """One DATETIME field in one zone; returns the aware datetime or None when
    the local time is refused."""

    def __init__(self, zone, pattern=PATTERN):
        self.parser = kelvane.Parser(schema(zone, pattern=pattern))

    def __call__(self, text):
        try:
            return self.parser.parse_line("A|" + text)[1]
        except ValueError as error:
            assert str(error).startswith("Does not parse as datetime - '"), str(error)
            return None


def offset(zone, text):
    value = Reader(zone)(text)
    return None if value is None else value.utcoffset()


def hours(h, m=0, s=0):
    return datetime.timedelta(hours=h, minutes=m, seconds=s)


def description(zone, required=True, pattern=PATTERN):
    return f'Datetime(DatetimeField {{ required: {str(required).lower()}, format: "{pattern}", time_zone: "{zone}" }})'


def local_text(local_seconds):
    d = EPOCH + datetime.timedelta(seconds=local_seconds)
    return f"{d.year:04d}-{d.month:02d}-{d.day:02d} {d.hour:02d}:{d.minute:02d}:{d.second:02d}"


def tzdata_zone(name):
    """zoneinfo over the tzdata package's file, never the host's."""
    with importlib.resources.files("tzdata.zoneinfo").joinpath(*name.split("/")).open("rb") as f:
        return zoneinfo.ZoneInfo.from_file(f, key=name)


def zoneinfo_offset(zone, naive):
    """The offset where the local time is unique, None in a gap or overlap."""
    first = naive.replace(tzinfo=zone, fold=0).utcoffset()
    second = naive.replace(tzinfo=zone, fold=1).utcoffset()
    return first if first == second else None


# ------------------------------------------------------------ generated tables


class TestFigures:
    def test_release_figures(self, database):
        names, periods, raw = database
        found = gen_zones.figures(names, periods, raw)
        assert found["names"] == 596
        assert found["distinct_zones"] == 351
        assert found["london_periods"] == found["largest"] == 367
        assert found["last_in_2099"] == 200
        assert found["ending_2087"] == ("Africa/Casablanca", "Africa/El_Aaiun")
        assert found["beyond_2099"] == []
        # 65,753 as the release is sometimes counted; see the generator
        assert found["total_periods"] == 65_722

    def test_factory_excluded(self, database):
        names, _, _ = database
        assert "Factory" not in names and len(set(names)) == len(names)

    def test_marks_of_2024a(self, database):
        _, periods, _ = database
        almaty = periods["Asia/Almaty"]
        assert almaty.starts[-1] == int(datetime.datetime(2024, 2, 29, 18, tzinfo=UTC).timestamp())
        assert almaty.types[-1].utoff == 5 * 3600
        assert periods["EST"].starts == [] and periods["EST"].types[0].utoff == -5 * 3600
        choibalsan, ulaanbaatar = periods["Asia/Choibalsan"], periods["Asia/Ulaanbaatar"]
        assert [t.utoff for t in choibalsan.types] != [t.utoff for t in ulaanbaatar.types]

    @pytest.mark.parametrize("link, target", [
        ("US/Eastern", "America/New_York"), ("Europe/Kiev", "Europe/Kyiv"),
        ("America/Montreal", "America/Toronto"), ("GB", "Europe/London"), ("Zulu", "Etc/UTC"),
    ])
    def test_links_have_their_targets_periods(self, database, link, target):
        _, periods, _ = database
        assert periods[link] == periods[target]

    def test_no_daylight_saving_rule_runs_past_2099(self, database):
        names, periods, _ = database
        end = int(datetime.datetime(2100, 1, 1, tzinfo=UTC).timestamp())
        assert all(not periods[n].starts or periods[n].starts[-1] < end for n in names)

    def test_wrong_tzdata_version_refused(self, monkeypatch):
        import tzdata
        monkeypatch.setattr(tzdata, "__version__", "2024.2")
        with pytest.raises(gen_zones.GenerationError, match="2024.1"):
            gen_zones.load_database()

    def test_generated_figures_are_checked(self, database, monkeypatch):
        names, periods, raw = database
        found = gen_zones.figures(names, periods, raw)
        gen_zones.check_figures(found)
        monkeypatch.setattr(gen_zones, "EXPECTED_LAST_IN_2099", 199)
        with pytest.raises(gen_zones.GenerationError, match="last_in_2099"):
            gen_zones.check_figures(found)

    @pytest.mark.parametrize("text, std, dst, start, end", [
        ("EST5", -18000, None, None, None),
        ("<+0545>-5:45", 20700, None, None, None),
        ("IST-1GMT0,M10.5.0,M3.5.0/1", 3600, 0, (10, 5, 0, 7200), (3, 5, 0, 3600)),
        ("<-02>2<-01>,M3.5.0/-1,M10.5.0/0", -7200, -3600, (3, 5, 0, -3600), (10, 5, 0, 0)),
        ("EET-2EEST,M3.4.4/50,M10.4.4/50", 7200, 10800, (3, 4, 4, 180000), (10, 4, 4, 180000)),
        ("<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", 45900, 49500, (9, 5, 0, 9900), (4, 1, 0, 13500)),
    ])
    def test_posix_rules(self, text, std, dst, start, end):
        rule = gen_zones.parse_posix_tz(text)
        assert rule.std.utoff == std
        assert (rule.dst.utoff if rule.dst else None) == dst
        as_tuple = lambda d: d and (d.month, d.week, d.weekday, d.seconds)  # noqa: E731
        assert as_tuple(rule.start) == start and as_tuple(rule.end) == end

    def test_perfect_hash_places_every_name(self, database):
        names, _, _ = database
        encoded = [n.encode() for n in names]
        displacements, slots = gen_zones.build_perfect_hash(encoded, 256, 1024)
        assert sorted(s for s in slots if s >= 0) == list(range(len(names)))


# ----------------------------------------------------------------- name lookup


class TestNames:
    def test_every_name_is_found_and_matches_zoneinfo(self, database):
        names, _, _ = database
        for name in names:
            zone = tzdata_zone(name)
            read = Reader(name)
            for when in (datetime.datetime(2024, 1, 15, 12), datetime.datetime(1960, 7, 15, 12)):
                expected = zoneinfo_offset(zone, when)
                value = read(when.strftime(PATTERN))
                assert (value and value.utcoffset()) == expected, name

    @pytest.mark.parametrize("name", [
        "utc", " UTC", "UTC ", "Europe/paris", "EUROPE/PARIS", "+01:00", "GMT+1", "CEST", "BST",
        "Factory", "", "UTC\0", "\0UTC", "Europe/London\0x", "Europe/London/", "Europe//London",
        "Europe", "posix/Europe/London", "right/UTC", "zone.tab", "tzdata.zi", "Europe/Zürich",
        "America/Argentina/Buenos_Aires2", "A" * 100_000, "Etc/GMT+13", "Etc/GMT-15",
    ])
    def test_unknown_names(self, name):
        parser = kelvane.Parser(schema(name))
        with pytest.raises(ValueError) as caught:
            parser.parse_line("A|2024-01-15 12:00:00")
        assert str(caught.value).startswith("Invalid timezone - '2024-01-15 12:00:00' given schema: ")

    @pytest.mark.parametrize("name", ["CET", "EST", "GMT", "Etc/GMT-1", "Etc/GMT-14", "Etc/GMT+12",
                                      "EST5EDT", "US/Eastern", "America/Argentina/ComodRivadavia"])
    def test_short_and_odd_names_exist(self, name):
        assert Reader(name)("2024-01-15 12:00:00") is not None

    def test_zone_checked_before_the_text(self):
        parser = kelvane.Parser(schema("utc"))
        with pytest.raises(ValueError) as caught:
            parser.parse_line("A|not a date")
        assert str(caught.value) == "Invalid timezone - 'not a date' given schema: " + description("utc")

    def test_unknown_zone_fails_every_line_but_not_an_absent_field(self):
        parser = kelvane.Parser(schema("Mars/Olympus", required=False))
        assert parser.parse_line("A|") == ("A", None)
        for _ in range(3):
            with pytest.raises(ValueError, match="^Invalid timezone - '2024-01-15 12:00:00' "):
                parser.parse_line("A|2024-01-15 12:00:00")


# ------------------------------------------------------------------- placement


class TestPlacement:
    @pytest.mark.parametrize("zone, text, expected", [
        ("Europe/Paris", "2024-03-31 01:59:59", hours(1)),
        ("Europe/Paris", "2024-03-31 02:00:00", None),
        ("Europe/Paris", "2024-03-31 02:30:00", None),
        ("Europe/Paris", "2024-03-31 02:59:59", None),
        ("Europe/Paris", "2024-03-31 03:00:00", hours(2)),
        ("Europe/Paris", "2024-10-27 01:59:59", hours(2)),
        ("Europe/Paris", "2024-10-27 02:00:00", None),
        ("Europe/Paris", "2024-10-27 02:30:00", None),
        ("Europe/Paris", "2024-10-27 02:59:59", None),
        ("Europe/Paris", "2024-10-27 03:00:00", hours(1)),
        ("Europe/Paris", "1850-01-01 00:00:00", hours(0, 9, 21)),
        ("America/New_York", "2024-03-10 02:00:00", None),
        ("America/New_York", "2024-03-10 01:59:59", hours(-5)),
        ("America/New_York", "2024-03-10 03:00:00", hours(-4)),
        ("America/New_York", "2024-11-03 01:00:00", None),
        ("America/New_York", "2024-11-03 01:30:00", None),
        ("America/New_York", "2024-11-03 00:59:59", hours(-4)),
        ("America/New_York", "2024-11-03 02:00:00", hours(-5)),
        ("America/New_York", "2099-07-01 12:00:00", hours(-4)),
        ("America/New_York", "2099-11-01 01:30:00", None),
        ("America/New_York", "2100-07-01 12:00:00", hours(-5)),
        ("America/New_York", "2100-03-14 02:30:00", hours(-5)),
        ("America/New_York", "9999-12-31 23:59:59", hours(-5)),
        ("America/New_York", "0001-01-01 00:00:00", hours(-4, -56, -2)),
        ("Australia/Sydney", "2099-07-01 12:00:00", hours(10)),
        ("Australia/Sydney", "2100-07-01 12:00:00", hours(11)),
        ("Asia/Almaty", "2024-03-01 12:00:00", hours(5)),
        ("Asia/Almaty", "2024-02-29 23:30:00", None),
        ("Asia/Almaty", "2024-02-29 22:59:59", hours(6)),
        ("Asia/Almaty", "2024-03-01 00:00:00", hours(5)),
        ("Europe/Dublin", "2024-01-15 12:00:00", hours(0)),
        ("Europe/Dublin", "2024-07-15 12:00:00", hours(1)),
        ("Europe/London", "2021-03-28 01:30:00", None),
        ("Europe/London", "2021-10-31 01:30:00", None),
        ("Europe/London", "1970-01-01 12:00:00", hours(1)),
        ("Etc/GMT+5", "2024-07-01 12:00:00", hours(-5)),
        ("Etc/GMT-14", "2024-07-01 12:00:00", hours(14)),
        ("EST", "1800-07-01 12:00:00", hours(-5)),
        ("Africa/Casablanca", "2087-06-01 12:00:00", hours(1)),
        ("Africa/Casablanca", "2095-01-01 12:00:00", hours(1)),
        ("Australia/Lord_Howe", "2024-01-15 12:00:00", hours(11)),
        ("Australia/Lord_Howe", "2024-07-15 12:00:00", hours(10, 30)),
        ("Pacific/Chatham", "2024-07-15 12:00:00", hours(12, 45)),
        ("Pacific/Kiritimati", "2024-07-15 12:00:00", hours(14)),
    ])
    def test_local_times(self, zone, text, expected):
        assert offset(zone, text) == expected

    @pytest.mark.parametrize("zone", ["UTC", "Etc/UTC", "Zulu", "GMT", "Etc/GMT+0"])
    @pytest.mark.parametrize("text", ["0001-01-01 00:00:00", "1850-06-01 12:00:00", "2024-03-31 02:30:00",
                                      "9999-12-31 23:59:59"])
    def test_zero_offset_is_the_utc_singleton(self, zone, text):
        assert Reader(zone)(text).tzinfo is UTC

    def test_result_keeps_the_wall_clock(self):
        value = Reader("Europe/Paris")("2024-07-01 12:00:00")
        assert value == datetime.datetime(2024, 7, 1, 12, tzinfo=datetime.timezone(hours(2)))
        assert (value.hour, value.minute, value.second, value.microsecond, value.fold) == (12, 0, 0, 0, 0)

    def test_leap_second_and_fraction_are_dropped(self):
        assert Reader("UTC")("2024-06-30 23:59:60") == datetime.datetime(2024, 6, 30, 23, 59, 59, tzinfo=UTC)
        fractional = Reader("Europe/Paris", PATTERN + "%.f")("2024-01-15 10:30:00.987654")
        assert fractional == datetime.datetime(2024, 1, 15, 10, 30, tzinfo=datetime.timezone(hours(1)))

    def test_leap_second_placed_as_59_before_a_gap(self):
        # 23:59:60 is placed as 23:59:59, the last second before Nuuk's change
        # whose clocks skip from 23:00 to 00:00 on 2024-03-30: the instant
        # after 23:59:60 exists, yet the reading is refused
        read = Reader("America/Nuuk")
        assert read("2024-03-30 22:59:60").utcoffset() == hours(-2)
        assert read("2024-03-30 23:59:60") is None
        assert read("2024-03-31 00:00:00").utcoffset() == hours(-1)

    def test_gap_and_overlap_fail_with_the_parse_message(self):
        parser = kelvane.Parser(schema("Europe/Paris"))
        for text in ("2024-03-31 02:30:00", "2024-10-27 02:30:00"):
            with pytest.raises(ValueError) as caught:
                parser.parse_line("A|" + text)
            assert str(caught.value) == (
                f"Does not parse as datetime - '{text}' given schema: " + description("Europe/Paris"))


# ------------------------------------------------------------- differential


# Zones whose rules exercise the unusual corners: negative daylight saving,
# 30- and 45-minute offsets, rule times past 24:00 or before 00:00, explicit
# tables ending in 2086/2087, southern hemisphere, double summer time.
CORNER_ZONES = [
    "Europe/London", "Europe/Dublin", "Africa/Casablanca", "Africa/Windhoek", "Asia/Gaza",
    "America/Nuuk", "America/Santiago", "Pacific/Chatham", "Australia/Lord_Howe", "America/Havana",
    "Africa/Cairo", "Asia/Jerusalem", "Europe/Moscow", "America/Argentina/Buenos_Aires", "Asia/Almaty",
    "Europe/Kyiv", "Europe/Lisbon", "America/St_Johns", "Antarctica/Troll", "Pacific/Apia",
    "Asia/Tehran", "Europe/Prague", "America/Asuncion", "Antarctica/Macquarie", "Asia/Kolkata",
]


def probe_times(starts, offsets, rng):
    """Local times at and around every transition from 1850 to 2099, plus
    random ones between."""
    low = int((datetime.datetime(1850, 1, 1) - EPOCH).total_seconds())
    high = int((datetime.datetime(2099, 12, 31) - EPOCH).total_seconds())
    probes = [rng.randrange(low, high) for _ in range(40)]
    for k, start in enumerate(starts):
        before, after = offsets[k], offsets[k + 1]
        for edge in (start + before, start + after):
            probes += [edge - 1, edge, edge + 1]
        probes.append(start + (before + after) // 2)
    return sorted(p for p in probes if low <= p <= high)


def test_placement_matches_zoneinfo(database):
    names, periods, _ = database
    rng = random.Random(20240131)
    sample = sorted(set(CORNER_ZONES) | set(rng.sample(names, 40)))
    checked = refused = 0
    for name in sample:
        zone, read = tzdata_zone(name), Reader(name)
        table = periods[name]
        offsets = [t.utoff for t in table.types]
        for local in probe_times(table.starts, offsets, rng):
            naive = EPOCH + datetime.timedelta(seconds=local)
            expected = zoneinfo_offset(zone, naive)
            value = read(local_text(local))
            assert (value and value.utcoffset()) == expected, (name, naive)
            checked += 1
            refused += expected is None
    assert checked > 20_000 and refused > 5_000


# ---------------------------------------------- the release's own source text
#
# The package also carries the release's rules as text (tzdata.zi). Compiling
# them here, independently of the compiled files and their POSIX footers,
# must give the generator's periods exactly, through 2099.

MONTHS = ["Ja", "F", "Mar", "Ap", "May", "Jun", "Jul", "Au", "S", "O", "N", "D"]
WEEKDAYS = ["M", "Tu", "W", "Th", "F", "Sa", "Su"]


def source_seconds(text):
    sign = -1 if text.startswith("-") else 1
    parts = [int(p) for p in text.lstrip("+-").split(":")] + [0, 0]
    return sign * (parts[0] * 3600 + parts[1] * 60 + parts[2])


def source_month(text):
    return next(i + 1 for i, m in enumerate(MONTHS) if m.startswith(text) or text.startswith(m))


def source_weekday(text):
    return next(i for i, d in enumerate(WEEKDAYS) if text.startswith(d))


def source_day(year, month, text):
    if text.isdigit():
        return datetime.date(year, month, int(text))
    if text.startswith("last"):
        day = datetime.date(year + month // 12, month % 12 + 1, 1) - datetime.timedelta(days=1)
        step, weekday = -1, source_weekday(text[4:])
    else:
        name, bound = text.replace("<=", ">=").split(">=")
        day = datetime.date(year, month, int(bound))
        step, weekday = (1 if ">=" in text else -1), source_weekday(name)
    while day.weekday() != weekday:
        day += datetime.timedelta(days=step)
    return day


def source_moment(year, month="Ja", day="1", time="0"):
    """Local seconds and the clock they are read on: w(all), s(tandard), u(niversal)."""
    clock = time[-1] if time[-1].isalpha() else "w"
    seconds = source_seconds(time.rstrip("wsugz"))
    date = source_day(year, source_month(month), day)
    return (date - EPOCH.date()).days * 86400 + seconds, "u" if clock in "gz" else clock


def to_utc(moment, std, save):
    local, clock = moment
    return local - (0 if clock == "u" else std if clock == "s" else std + save)


def compile_source(text, last_year=2099):
    """Zone name -> [(start or None, total offset, daylight saving, abbreviation)]."""
    rules, zones, links = collections.defaultdict(list), {}, {}
    for line in text.splitlines():
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        if fields[0] == "R":
            rules[fields[1]].append(fields[2:])
        elif fields[0] == "L":
            links[fields[2]] = fields[1]
        elif fields[0] == "Z":
            current = zones[fields[1]] = [fields[2:]]
        else:
            current.append(fields)

    def events(rule_name, until_year):
        found = []
        for first, last, _, month, day, time, save, letters in rules[rule_name]:
            last = first if last == "o" else str(last_year) if last == "ma" else last
            for year in range(int(first), min(int(last), until_year) + 1):
                found.append((source_moment(year, month, day, time), source_seconds(save), letters))
        return sorted(found, key=lambda e: e[0][0])

    def abbreviation(form, save, letters):
        if "/" in form:
            return form.split("/")[save != 0]
        return form.replace("%s", "" if letters == "-" else letters)

    compiled = {}
    for name, zone_lines in zones.items():
        periods = []  # (start, std, save, abbreviation)
        start, previous_std, previous_save = None, 0, 0
        for std_text, rule, form, *until in zone_lines:
            std = source_seconds(std_text)
            end = source_moment(int(until[0]), *until[1:]) if until else None
            if rule == "-" or rule[-1].isdigit():
                save = 0 if rule == "-" else source_seconds(rule)
                periods.append((start, std, save, abbreviation(form, save, "")))
            else:
                pending = events(rule, min(last_year, int(until[0]) + 1) if until else last_year)
                save = 0
                letters = next((e[2] for e in pending if e[1] == 0), "-")
                # The rule in effect when the line starts, judged on the clock
                # of the line before.
                while start is not None and pending and to_utc(pending[0][0], previous_std, previous_save) <= start:
                    (_, save, letters), pending = pending[0], pending[1:]
                periods.append((start, std, save, abbreviation(form, save, letters)))
                for moment, new_save, new_letters in pending:
                    instant = to_utc(moment, std, save)
                    if end and instant >= to_utc(end, std, save):
                        break
                    periods.append((instant, std, new_save, abbreviation(form, new_save, new_letters)))
                    save = new_save
            if end:
                start, previous_std, previous_save = to_utc(end, std, save), std, save
        result = []
        for start, std, save, abbr in periods:
            period = (start, std + save, save != 0, abbr)
            if result and result[-1][1:] == period[1:]:
                continue
            if result and start is not None and result[-1][0] is not None and start <= result[-1][0]:
                result[-1] = period
                continue
            result.append(period)
        compiled[name] = result
    return compiled, links


def test_periods_match_the_release_source(database):
    names, periods, _ = database
    text = importlib.resources.files("tzdata.zoneinfo").joinpath("tzdata.zi").read_text()
    assert text.startswith("# version 2024a\n")
    compiled, links = compile_source(text)
    assert sorted(set(compiled) - {"Factory"} | set(links)) == sorted(names)
    for name in names:
        table = periods[name]
        ours = [(None, table.types[0].utoff, table.types[0].isdst, table.types[0].abbr)]
        ours += [(s, t.utoff, t.isdst, t.abbr) for s, t in zip(table.starts, table.types[1:])]
        assert ours == compiled[links.get(name, name)], name
