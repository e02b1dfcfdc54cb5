#!/usr/bin/env python3
"""Generates the built-in zone tables from the compiled zone files of the
pinned `tzdata` package, checks them against the release's known figures and
writes them as C++ with a perfect hash over the zone names.

Usage: gen_zones.py OUTPUT_DIR     (writes zone_tables.h and zone_tables.cpp)
       gen_zones.py --report       (prints the figures, writes nothing)

Only the package's own files are read, through importlib.resources, never the
host's zone files, so the result does not depend on the build machine.
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import datetime
import importlib.resources
import os
import struct
import sys

EXPECTED_TZDATA = "2024.1"
EXPECTED_IANA = "2024a"
LAST_RULE_YEAR = 2099  # recurring rules are expanded through this year, no further

# What the tables must hold for this release; a mismatch stops the build.
# Periods are counted as build_periods makes them: a period starts where the
# offset, the daylight-saving flag or the abbreviation changes, so a compiled
# transition that changes none of them (London on 1996-01-01, for one) starts
# none. Dropping those changes no placement, since the periods on either side
# have the same total offset.
EXPECTED_NAMES = 596
EXPECTED_DISTINCT_ZONES = 351  # names whose compiled files differ
EXPECTED_TOTAL_PERIODS = 65_722  # tests/test_zones.py compiles the same from the rule text (tzdata.zi)
EXPECTED_LONDON_PERIODS = 367
EXPECTED_LAST_IN_2099 = 200
EXPECTED_ENDING_2087 = ("Africa/Casablanca", "Africa/El_Aaiun")

MASK64 = (1 << 64) - 1


class GenerationError(Exception):
    pass


# ---------------------------------------------------------------- TZif reading


@dataclasses.dataclass(frozen=True)
class LocalType:
    utoff: int
    isdst: bool
    abbr: str


@dataclasses.dataclass
class CompiledZone:
    transitions: list[int]  # instants, strictly increasing
    types: list[LocalType]  # one more than transitions: types[0] holds before the first
    footer: str


def read_tzif(data: bytes, name: str) -> CompiledZone:
    """Reads the 64-bit (version 2+) section and the footer of a TZif file."""

    def header(offset: int) -> tuple[int, ...]:
        if data[offset : offset + 4] != b"TZif":
            raise GenerationError(f"{name}: not a TZif file")
        return struct.unpack(">6l", data[offset + 20 : offset + 44])

    if data[4:5] < b"2":
        raise GenerationError(f"{name}: TZif version 1 has no 64-bit data")
    isut, isstd, leap, timecnt, typecnt, charcnt = header(0)
    offset = 44 + timecnt * 5 + typecnt * 6 + charcnt + leap * 8 + isstd + isut
    isut, isstd, leap, timecnt, typecnt, charcnt = header(offset)
    if leap:
        raise GenerationError(f"{name}: leap second records are not expected")
    pos = offset + 44
    times = list(struct.unpack(f">{timecnt}q", data[pos : pos + 8 * timecnt]))
    pos += 8 * timecnt
    indexes = list(data[pos : pos + timecnt])
    pos += timecnt
    raw_types = [struct.unpack(">lBB", data[pos + 6 * i : pos + 6 * i + 6]) for i in range(typecnt)]
    pos += 6 * typecnt
    chars = data[pos : pos + charcnt]
    pos += charcnt + isstd + isut
    footer = data[pos:]
    if footer[:1] != b"\n" or footer[-1:] != b"\n":
        raise GenerationError(f"{name}: missing TZ string footer")

    def local_type(i: int) -> LocalType:
        utoff, isdst, abbrind = raw_types[i]
        abbr = chars[abbrind : chars.index(b"\0", abbrind)].decode("ascii")
        return LocalType(utoff, bool(isdst), abbr)

    if any(b <= a for a, b in zip(times, times[1:])):
        raise GenerationError(f"{name}: transitions not strictly increasing")
    types = [local_type(0)] + [local_type(i) for i in indexes]
    return CompiledZone(times, types, footer[1:-1].decode("ascii"))


# ------------------------------------------------------- POSIX TZ footer rules


@dataclasses.dataclass(frozen=True)
class RuleDate:
    month: int
    week: int  # 1..5, 5 = last
    weekday: int  # 0 = Sunday
    seconds: int  # local time of day, may be negative or beyond 24h


@dataclasses.dataclass(frozen=True)
class PosixRule:
    std: LocalType
    dst: LocalType | None
    start: RuleDate | None  # into daylight saving, in standard local time
    end: RuleDate | None  # back to standard, in daylight-saving local time


class _TzText:
    def __init__(self, text: str):
        self.text = text
        self.pos = 0

    def fail(self, what: str) -> GenerationError:
        return GenerationError(f"TZ string {self.text!r}: {what} at {self.pos}")

    def peek(self) -> str:
        return self.text[self.pos : self.pos + 1]

    def name(self) -> str:
        if self.peek() == "<":
            close = self.text.index(">", self.pos)
            result = self.text[self.pos + 1 : close]
            self.pos = close + 1
            return result
        start = self.pos
        while self.peek().isalpha():
            self.pos += 1
        if self.pos - start < 3:
            raise self.fail("short zone abbreviation")
        return self.text[start : self.pos]

    def hms(self) -> int:
        sign = 1
        if self.peek() in "+-":
            sign = -1 if self.peek() == "-" else 1
            self.pos += 1
        parts = []
        while True:
            start = self.pos
            while self.peek().isdigit():
                self.pos += 1
            if start == self.pos:
                raise self.fail("number expected")
            parts.append(int(self.text[start : self.pos]))
            if self.peek() != ":" or len(parts) == 3:
                break
            self.pos += 1
        parts += [0] * (3 - len(parts))
        return sign * (parts[0] * 3600 + parts[1] * 60 + parts[2])

    def rule_date(self) -> RuleDate:
        if self.peek() != "M":
            raise self.fail("only Mm.w.d rule dates occur in this data")
        self.pos += 1
        fields = []
        for _ in range(3):
            start = self.pos
            while self.peek().isdigit():
                self.pos += 1
            fields.append(int(self.text[start : self.pos]))
            if self.peek() == ".":
                self.pos += 1
        seconds = 7200
        if self.peek() == "/":
            self.pos += 1
            seconds = self.hms()
        return RuleDate(fields[0], fields[1], fields[2], seconds)


def parse_posix_tz(text: str) -> PosixRule:
    reader = _TzText(text)
    std_name = reader.name()
    std = LocalType(-reader.hms(), False, std_name)
    if reader.pos == len(text):
        return PosixRule(std, None, None, None)
    dst_name = reader.name()
    dst_utoff = std.utoff + 3600
    if reader.peek() not in (",", ""):
        dst_utoff = -reader.hms()
    dst = LocalType(dst_utoff, True, dst_name)
    if reader.peek() != ",":
        raise reader.fail("daylight saving without rules")
    reader.pos += 1
    start = reader.rule_date()
    if reader.peek() != ",":
        raise reader.fail("second rule expected")
    reader.pos += 1
    end = reader.rule_date()
    if reader.pos != len(text):
        raise reader.fail("trailing text")
    return PosixRule(std, dst, start, end)


def days_from_civil(year: int, month: int, day: int) -> int:
    return (datetime.date(year, month, day) - datetime.date(1970, 1, 1)).days


def rule_local_seconds(year: int, rule: RuleDate) -> int:
    """Local seconds (as if UTC) of a rule's moment in the given year."""
    first = days_from_civil(year, rule.month, 1)
    first_weekday = (first + 4) % 7  # 1970-01-01 was a Thursday
    day = first + (rule.weekday - first_weekday) % 7 + 7 * (rule.week - 1)
    next_month = days_from_civil(year + rule.month // 12, rule.month % 12 + 1, 1)
    while day >= next_month:
        day -= 7
    return day * 86400 + rule.seconds


def expand_rule(rule: PosixRule, first_year: int) -> list[tuple[int, LocalType]]:
    """Transitions the rule makes in the years first_year..LAST_RULE_YEAR."""
    if rule.dst is None:
        return []
    assert rule.start and rule.end
    result = []
    for year in range(first_year, LAST_RULE_YEAR + 1):
        result.append((rule_local_seconds(year, rule.start) - rule.std.utoff, rule.dst))
        result.append((rule_local_seconds(year, rule.end) - rule.dst.utoff, rule.std))
    result.sort(key=lambda item: item[0])
    return result


# --------------------------------------------------------------------- periods


@dataclasses.dataclass
class Periods:
    """A zone as periods: types[0] holds from the beginning of time, types[k]
    from starts[k - 1] on."""

    starts: list[int]
    types: list[LocalType]


def build_periods(zone: CompiledZone) -> Periods:
    """The compiled transitions, then the footer's rule through LAST_RULE_YEAR.

    A transition is kept when the local type changes in offset, daylight-saving
    flag or abbreviation. The files also carry transitions where only the
    compiler's bookkeeping changes (for example a switch between rule sets whose
    times are given in universal rather than wall-clock time): those are no
    transitions of the zone and are dropped. The release's figures (367
    periods for Europe/London) count periods this way.
    """
    starts: list[int] = []
    types = [zone.types[0]]
    events = list(zip(zone.transitions, zone.types[1:]))
    rule = parse_posix_tz(zone.footer)
    if zone.transitions:
        last = zone.transitions[-1]
        first_year = datetime.datetime.fromtimestamp(last, datetime.UTC).year - 1
        if zone.types[-1] not in (rule.std, rule.dst):
            raise GenerationError(f"footer {zone.footer!r} does not continue the last period")
    else:
        last = None
        first_year = LAST_RULE_YEAR + 1
        if rule.dst is not None or zone.types[0] != rule.std:
            raise GenerationError(f"footer {zone.footer!r} disagrees with the only type")
    events += [(t, ty) for t, ty in expand_rule(rule, first_year) if last is None or t > last]
    for instant, local_type in events:
        if local_type != types[-1]:
            starts.append(instant)
            types.append(local_type)
    return Periods(starts, types)


def local_ranges(periods: Periods) -> tuple[list[int | None], list[int | None]]:
    """The local (wall-clock) range [begin, end) of each period: period k
    (k >= 1) begins at its start plus its own offset, and period k (before the
    last) ends at the next start plus its own offset. The first period has no
    begin and the last no end (None)."""
    offsets = [t.utoff for t in periods.types]
    begin = [None] + [s + offsets[k + 1] for k, s in enumerate(periods.starts)]
    end = [s + offsets[k] for k, s in enumerate(periods.starts)] + [None]
    return begin, end


def check_local_ranges(name: str, periods: Periods) -> None:
    """The placement's binary search relies on these: every local range is
    non-empty, range beginnings and ends both increase, and only neighbours
    overlap."""
    offsets = [t.utoff for t in periods.types]
    for offset in offsets:
        if not -86400 < offset < 86400:
            raise GenerationError(f"{name}: offset {offset} out of range")
    for s in periods.starts:
        if not -(1 << 62) < s < (1 << 62):
            raise GenerationError(f"{name}: transition {s} out of range")
    begin, end = local_ranges(periods)
    n = len(offsets)
    for k in range(1, n - 1):
        if not begin[k] < end[k]:
            raise GenerationError(f"{name}: empty local range in period {k}")
    for k in range(1, n - 1):
        if not (begin[k] < begin[k + 1] and end[k - 1] < end[k]):
            raise GenerationError(f"{name}: local ranges not increasing at period {k}")
    for k in range(n - 2):
        if end[k] > begin[k + 2]:
            raise GenerationError(f"{name}: periods {k} and {k + 2} overlap")


# ----------------------------------------------------------------- perfect hash

FNV_BASIS = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
GOLDEN = 0x9E3779B97F4A7C15


def name_hash(name: bytes) -> int:
    h = FNV_BASIS
    for byte in name:
        h = ((h ^ byte) * FNV_PRIME) & MASK64
    return h


def mix(h: int) -> int:
    h = ((h ^ (h >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    h = ((h ^ (h >> 27)) * 0x94D049BB133111EB) & MASK64
    return h ^ (h >> 31)


def slot_of(h: int, displacement: int, slot_count: int) -> int:
    return mix((h + displacement * GOLDEN) & MASK64) % slot_count


def build_perfect_hash(names: list[bytes], bucket_count: int, slot_count: int) -> tuple[list[int], list[int]]:
    """Hash and displace: each bucket of names gets the smallest displacement
    that puts all its names in free slots. Returns (displacements, slots)."""
    hashes = [name_hash(n) for n in names]
    if len(set(hashes)) != len(hashes):
        raise GenerationError("two zone names share a 64-bit hash")
    buckets: dict[int, list[int]] = collections.defaultdict(list)
    for index, h in enumerate(hashes):
        buckets[(h >> 32) % bucket_count].append(index)
    displacements = [0] * bucket_count
    slots = [-1] * slot_count
    for bucket, members in sorted(buckets.items(), key=lambda item: -len(item[1])):
        for displacement in range(1 << 16):
            wanted = {slot_of(hashes[i], displacement, slot_count) for i in members}
            if len(wanted) == len(members) and all(slots[s] < 0 for s in wanted):
                break
        else:
            raise GenerationError(f"no displacement for hash bucket {bucket}")
        displacements[bucket] = displacement
        for i in members:
            slots[slot_of(hashes[i], displacement, slot_count)] = i
    return displacements, slots


# ------------------------------------------------------------------- the data


def load_database() -> tuple[list[str], dict[str, Periods], dict[str, bytes]]:
    try:
        import tzdata
    except ImportError as error:
        raise GenerationError(f"the tzdata=={EXPECTED_TZDATA} package is required to build") from error
    version = getattr(tzdata, "__version__", "?")
    iana = getattr(tzdata, "IANA_VERSION", "?")
    if version != EXPECTED_TZDATA or iana != EXPECTED_IANA:
        raise GenerationError(f"tzdata {version} (IANA {iana}) found, {EXPECTED_TZDATA} ({EXPECTED_IANA}) required")
    root = importlib.resources.files("tzdata")
    names = [n for n in root.joinpath("zones").read_text("ascii").split() if n != "Factory"]
    periods: dict[str, Periods] = {}
    raw: dict[str, bytes] = {}
    for name in names:
        data = root.joinpath("zoneinfo", *name.split("/")).read_bytes()
        raw[name] = data
        try:
            periods[name] = build_periods(read_tzif(data, name))
        except GenerationError as error:
            raise GenerationError(f"{name}: {error}") from error
        check_local_ranges(name, periods[name])
    return names, periods, raw


def figures(names: list[str], periods: dict[str, Periods], raw: dict[str, bytes]) -> dict:
    def last_year(p: Periods) -> int | None:
        if not p.starts:
            return None
        return datetime.datetime.fromtimestamp(p.starts[-1], datetime.UTC).year

    years = {n: last_year(periods[n]) for n in names}
    return {
        "names": len(names),
        "distinct_zones": len({raw[n] for n in names}),
        "total_periods": sum(len(periods[n].types) for n in names),
        "london_periods": len(periods["Europe/London"].types),
        "largest": max(len(periods[n].types) for n in names),
        "last_in_2099": sum(1 for y in years.values() if y == LAST_RULE_YEAR),
        "ending_2087": tuple(sorted(n for n, y in years.items() if y == 2087)),
        "beyond_2099": sorted(n for n, y in years.items() if y is not None and y > LAST_RULE_YEAR),
    }


def check_figures(found: dict) -> None:
    expected = {
        "names": EXPECTED_NAMES,
        "distinct_zones": EXPECTED_DISTINCT_ZONES,
        "total_periods": EXPECTED_TOTAL_PERIODS,
        "london_periods": EXPECTED_LONDON_PERIODS,
        "largest": EXPECTED_LONDON_PERIODS,
        "last_in_2099": EXPECTED_LAST_IN_2099,
        "ending_2087": EXPECTED_ENDING_2087,
        "beyond_2099": [],
    }
    wrong = [f"{key}: expected {value!r}, got {found[key]!r}" for key, value in expected.items() if found[key] != value]
    if wrong:
        raise GenerationError("zone tables differ from the release's figures:\n  " + "\n  ".join(wrong))


# ------------------------------------------------------------------ C++ output

BANNER = (
    "// generated, do not edit: written by tools/gen_zones.py from the tzdata {tzdata} package\n"
    "// (IANA time zone database {iana}), rules expanded through {year}.\n"
)


def write_sources(out_dir: str, names: list[str], periods: dict[str, Periods]) -> None:
    # Names with the same offsets at the same instants (links, and zones that
    # compiled to the same data) share one table.
    table_of: dict[str, int] = {}
    tables: list[tuple[tuple[int, ...], tuple[int, ...]]] = []
    index_of_key: dict[tuple, int] = {}
    for name in names:
        p = periods[name]
        key = (tuple(p.starts), tuple(t.utoff for t in p.types))
        if key not in index_of_key:
            index_of_key[key] = len(tables)
            tables.append(key)
        table_of[name] = index_of_key[key]

    encoded = [n.encode("ascii") for n in names]
    longest = max(len(n) for n in encoded)
    bucket_count, slot_count = 256, 1024
    displacements, slots = build_perfect_hash(encoded, bucket_count, slot_count)

    banner = BANNER.format(tzdata=EXPECTED_TZDATA, iana=EXPECTED_IANA, year=LAST_RULE_YEAR)
    header = [
        banner,
        "#pragma once\n",
        "#include <cstddef>",
        "#include <cstdint>\n",
        '#include "values/zone_db.h"\n',
        "namespace kelvane::zone_tables {\n",
        f'inline constexpr char iana_version[] = "{EXPECTED_IANA}";',
        f"inline constexpr std::size_t name_count = {len(names)};",
        f"inline constexpr std::size_t zone_count = {len(tables)};",
        f"inline constexpr std::size_t longest_name = {longest};",
        f"inline constexpr std::size_t bucket_count = {bucket_count};",
        f"inline constexpr std::size_t slot_count = {slot_count};",
        "inline constexpr uint16_t empty_slot = 0xFFFF;\n",
        "struct NameEntry {",
        "    uint16_t offset;  // into name_bytes",
        "    uint8_t length;",
        "    uint16_t zone;    // into zones",
        "};\n",
        "extern const char name_bytes[];",
        "extern const NameEntry names[name_count];",
        "extern const uint16_t displacements[bucket_count];",
        "extern const uint16_t slots[slot_count];  // index into names, or empty_slot",
        "extern const Zone zones[zone_count];\n",
        "}  // namespace kelvane::zone_tables",
    ]
    with open(os.path.join(out_dir, "zone_tables.h"), "w") as f:
        f.write("\n".join(header) + "\n")

    lines = [banner, '#include "zone_tables.h"\n', '#include <limits>\n', '#include "values/zone_hash.h"\n',
             "namespace kelvane::zone_tables {\n"]
    lines.append("namespace {\n")
    lines.append("constexpr int64_t no_begin = std::numeric_limits<int64_t>::min();")
    lines.append("constexpr int64_t no_end = std::numeric_limits<int64_t>::max();\n")
    all_begins: list[str] = []
    all_ends: list[str] = []
    all_offsets: list[int] = []
    zone_entries = []
    for starts, offsets in tables:
        zone_entries.append((len(all_offsets), len(offsets)))
        begin, end = local_ranges(Periods(list(starts), [LocalType(o, False, "") for o in offsets]))
        all_begins += ["no_begin" if b is None else int64_literal(b) for b in begin]
        all_ends += ["no_end" if e is None else int64_literal(e) for e in end]
        all_offsets.extend(offsets)
    lines.append(f"constexpr int64_t local_begins[{len(all_begins)}] = {{")
    lines += wrap(all_begins)
    lines.append("};")
    lines.append(f"constexpr int64_t local_ends[{len(all_ends)}] = {{")
    lines += wrap(all_ends)
    lines.append("};")
    lines.append(f"constexpr int32_t total_offsets[{len(all_offsets)}] = {{")
    lines += wrap(str(v) for v in all_offsets)
    lines.append("};\n")
    lines.append("}  // namespace\n")
    lines.append("const Zone zones[zone_count] = {")
    for first, count in zone_entries:
        lines.append(f"    {{local_begins + {first}, local_ends + {first}, total_offsets + {first}, {count}}},")
    lines.append("};\n")

    blob = bytearray()
    entries = []
    for name in encoded:
        position = blob.find(name)
        if position < 0:
            position = len(blob)
            blob += name
        entries.append((position, len(name)))
    if len(blob) >= 1 << 16:
        raise GenerationError("name bytes exceed 16-bit offsets")
    lines.append("const char name_bytes[] =")
    for i in range(0, len(blob), 96):
        lines.append('    "' + blob[i : i + 96].decode("ascii") + '"')
    lines.append(";\n")
    lines.append("const NameEntry names[name_count] = {")
    for name, (position, length) in zip(names, entries):
        lines.append(f"    {{{position}, {length}, {table_of[name]}}},  // {name}")
    lines.append("};\n")
    lines.append("const uint16_t displacements[bucket_count] = {")
    lines += wrap(str(d) for d in displacements)
    lines.append("};\n")
    lines.append("const uint16_t slots[slot_count] = {")
    lines += wrap("empty_slot" if s < 0 else str(s) for s in slots)
    lines.append("};\n")
    # The hash is written twice, here and in zone_hash.h: a disagreement
    # between the two must stop the build, not lose names at run time.
    lines.append("// The C++ hash must put every name where this generator did.")
    for name in ("Europe/London", "UTC", "America/Argentina/ComodRivadavia", "Etc/GMT-14", "Zulu"):
        h = name_hash(name.encode())
        bucket = (h >> 32) % bucket_count
        slot = slot_of(h, displacements[bucket], slot_count)
        lines.append(f'static_assert(zone_slot("{name}", {displacements[bucket]}, slot_count) == {slot});')
        lines.append(f'static_assert(zone_bucket("{name}", bucket_count) == {bucket});')
    lines.append("\n}  // namespace kelvane::zone_tables")
    with open(os.path.join(out_dir, "zone_tables.cpp"), "w") as f:
        f.write("\n".join(lines) + "\n")


def int64_literal(value: int) -> str:
    return str(value) + "LL" if value < -(2**31) else str(value)


def wrap(items, width: int = 100):
    line = "   "
    for item in items:
        if len(line) + len(item) + 2 > width:
            yield line
            line = "   "
        line += " " + item + ","
    if line.strip():
        yield line


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", nargs="?")
    parser.add_argument("--report", action="store_true", help="print the figures and write nothing")
    args = parser.parse_args(argv)
    try:
        names, periods, raw = load_database()
        found = figures(names, periods, raw)
        if args.report:
            distinct_tables = len({(tuple(p.starts), tuple(t.utoff for t in p.types)) for p in periods.values()})
            for key, value in found.items():
                print(f"{key}: {value}")
            print(f"distinct_tables: {distinct_tables}")
            return 0
        check_figures(found)
        if not args.out_dir:
            parser.error("OUTPUT_DIR is required")
        os.makedirs(args.out_dir, exist_ok=True)
        write_sources(args.out_dir, names, periods)
    except GenerationError as error:
        print(f"gen_zones.py: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
