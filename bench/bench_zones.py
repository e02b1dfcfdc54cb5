"""Times DATETIME fields in three zones, and a realistic mixed record, against
the standard library doing the same work (csv, int, float, decimal, strptime,
zoneinfo on the tzdata package), in the same run. Run: python bench/bench_zones.py"""
import csv
import datetime
import decimal
import importlib.resources
import json
import random
import timeit
import zoneinfo

import kelvane

PATTERN = "%Y-%m-%d %H:%M:%S"
ZONES = ["UTC", "Europe/Paris", "America/New_York"]
LINES = 2_000


def tzdata_zone(name):
    with importlib.resources.files("tzdata.zoneinfo").joinpath(*name.split("/")).open("rb") as f:
        return zoneinfo.ZoneInfo.from_file(f, key=name)


def schema(fields):
    return json.dumps({"delimiter": "|", "quote_str": '"', "trailing_delimiter": False,
                       "coerce_empty_quoted": False, "lines": [{"name": "R", "fields": fields}]})


def zoned(text, zone):
    """strptime + zoneinfo with the same rules: refuse gaps and overlaps, fixed offset result."""
    naive = datetime.datetime.strptime(text, PATTERN)
    first = naive.replace(tzinfo=zone).utcoffset()
    if naive.replace(tzinfo=zone, fold=1).utcoffset() != first:
        raise ValueError("Does not parse as datetime")
    return naive.replace(tzinfo=datetime.timezone.utc if not first else datetime.timezone(first))


def random_local_times(rng, count):
    start = datetime.datetime(2000, 1, 1)
    return [(start + datetime.timedelta(seconds=rng.randrange(30 * 365 * 86400))).strftime(PATTERN)
            for _ in range(count)]


def per_line(function, lines, repeat=5):
    return min(timeit.repeat(lambda: function(lines), number=1, repeat=repeat)) / len(lines)


def bench_datetimes(rng):
    texts = random_local_times(rng, LINES * 2)
    for name in ZONES:
        zone = tzdata_zone(name)
        valid = []
        for text in texts:
            try:
                zoned(text, zone)
                valid.append(text)
            except ValueError:
                pass
        lines = ["R|" + t for t in valid[:LINES]]
        parse = kelvane.Parser(schema([{"kind": "DATETIME", "required": True, "format": PATTERN,
                                        "time_zone": name}])).parse_line
        assert [parse(line)[1] for line in lines] == [zoned(line.split("|")[1], zone) for line in lines]

        def ours(batch):
            for line in batch:
                parse(line)

        def stdlib(batch):
            for line in batch:
                fields = line.split("|")
                (fields[0], zoned(fields[1], zone))

        mine, theirs = per_line(ours, lines), per_line(stdlib, lines)
        print(f"DATETIME {name:<18} kelvane {mine * 1e9:7.0f} ns  stdlib {theirs * 1e9:8.0f} ns  "
              f"ratio {theirs / mine:6.1f}x")


MIXED_FIELDS = [
    {"kind": "STR", "required": True, "max_length": 40},
    {"kind": "STR_ENUM", "required": True, "values": ["NEW", "OPEN", "CLOSED"]},
    {"kind": "INT", "required": True, "min_value": 0},
    {"kind": "FLOAT", "required": True},
    {"kind": "DECIMAL", "required": True, "round_decimal_places": 2},
    {"kind": "BOOL", "required": True, "true_value": "Y", "false_value": "N"},
    {"kind": "DATE", "required": True, "format": "%Y-%m-%d"},
    {"kind": "DATETIME", "required": True, "format": PATTERN, "time_zone": "Europe/Paris"},
    {"kind": "TIME", "required": True, "format": "%H:%M:%S"},
    {"kind": "STR", "required": False},
    {"kind": "INT", "required": False},
    {"kind": "DATE", "required": False, "format": "%Y-%m-%d"},
]


def mixed_lines(rng, zone):
    lines = []
    while len(lines) < LINES:
        local = random_local_times(rng, 1)[0]
        try:
            zoned(local, zone)
        except ValueError:
            continue
        fields = [
            f"customer {rng.randrange(10**6)} of the north branch",
            rng.choice(["NEW", "OPEN", "CLOSED"]),
            str(rng.randrange(10**9)),
            repr(rng.uniform(-1e6, 1e6)),
            f"{rng.randrange(10**7)}.{rng.randrange(1000):03d}",
            rng.choice("YN"),
            local[:10],
            local,
            local[11:],
            "", "", "",
        ]
        lines.append("R|" + "|".join(fields))
    return lines


def stdlib_mixed(batch, zone):
    quantum = decimal.Decimal("0.01")
    out = []
    for row in csv.reader(batch, delimiter="|", quotechar='"'):
        name, text, status, count, amount, price, flag, day, stamp, clock, note, extra, other = row
        if len(text) > 40:
            raise ValueError("String is too long")
        if status not in ("NEW", "OPEN", "CLOSED"):
            raise ValueError("Value not in enum")
        number = int(count)
        if number < 0:
            raise ValueError("Int is too small")
        if flag not in ("Y", "N"):
            raise ValueError("Value is neither true or false value")
        out.append((
            name, text, status, number, float(amount),
            decimal.Decimal(price).quantize(quantum, rounding=decimal.ROUND_HALF_EVEN),
            flag == "Y",
            datetime.datetime.strptime(day, "%Y-%m-%d").date(),
            zoned(stamp, zone),
            datetime.datetime.strptime(clock, "%H:%M:%S").time(),
            note or None, int(extra) if extra else None,
            datetime.datetime.strptime(other, "%Y-%m-%d").date() if other else None,
        ))
    return out


def bench_mixed(rng):
    zone = tzdata_zone("Europe/Paris")
    lines = mixed_lines(rng, zone)
    parse = kelvane.Parser(schema(MIXED_FIELDS)).parse_line
    assert [parse(line) for line in lines] == stdlib_mixed(lines, zone)

    def ours(batch):
        for line in batch:
            parse(line)

    mine, theirs = per_line(ours, lines), per_line(lambda b: stdlib_mixed(b, zone), lines)
    print(f"mixed record (12 fields)    kelvane {mine * 1e9:7.0f} ns  stdlib {theirs * 1e9:8.0f} ns  "
          f"ratio {theirs / mine:6.1f}x (goal >= 10x)")


def main():
    rng = random.Random(7)
    bench_datetimes(rng)
    bench_mixed(rng)


if __name__ == "__main__":
    main()
