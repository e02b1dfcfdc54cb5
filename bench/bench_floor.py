"""parse_line against the floor: splitting the line and building the very same
Python objects through the C API in a C loop (bench/floor.c, compiled here
into a temporary directory with the interpreter's C compiler; every value is
known in advance, so the floor converts nothing and checks nothing). The
floor builds a date-time's zone for each value through the datetime C API
(timedelta, then timezone; timezone.utc for a zero offset); a second,
stricter floor makes each zone object once and reuses it.

Workloads: text (10 STR fields, three of them quoted, one line in four with
an accented letter), numeric (4 INT, two of them bounded, + 3 FLOAT + 3
DECIMAL), temporal (2 DATE + 2 TIME + 3 DATETIME in three zones), mixed (a
realistic record of 13 fields); then every field quoted against
`tuple(line.split("|"))`, a one-field line against
`tuple(line.rstrip("\\n").split("|"))`, and the first against the last of
100,000 enum values and of 1,000 record kinds.

Every contender runs the same loop over the same lines; thread CPU time,
contenders interleaved in each round (their order rotating), medians over the
rounds of each round's ratio. Run:
    PYTHONPATH=build/dev-3.12 python bench/bench_floor.py [--rounds N] [WORKLOAD ...]
"""
import argparse
import datetime
import importlib.util
import json
import os
import random
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

import kelvane

HERE = os.path.dirname(os.path.abspath(__file__))
LINES = 400  # distinct lines of a workload
CALLS = 4000  # calls of one contender in one measurement


def build_floor():
    """Compiles floor.c for this interpreter into a temporary directory and imports it."""
    directory = tempfile.mkdtemp(prefix="kelvane-floor-")
    target = os.path.join(directory, "floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc"
    subprocess.run(compiler.split() + ["-O2", "-fPIC", "-shared", "-I", sysconfig.get_paths()["include"],
                                       os.path.join(HERE, "floor.c"), "-o", target], check=True)
    spec = importlib.util.spec_from_file_location("floor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def schema(fields, lines=None):
    return json.dumps({"delimiter": "|", "quote_str": '"', "trailing_delimiter": False,
                       "coerce_empty_quoted": False, "lines": lines or [{"name": "R", "fields": fields}]})


def floor_steps(fields, values, reuse_zones=False):
    """The floor's plan for one line: each field's value, known in advance. A
    date-time's zone object is built for each value through the C API, as a
    conversion builds it, or with `reuse_zones` given, made once and reused."""
    steps = []
    for field, value in zip(fields, values):
        kind = field["kind"]
        if value is None:
            steps.append(("n", None))
        elif kind in ("STR", "STR_ENUM"):
            steps.append(("s", None))
        elif kind in ("INT", "INT_ENUM"):
            steps.append(("i", value))
        elif kind == "FLOAT":
            steps.append(("f", value))
        elif kind == "DECIMAL":
            steps.append(("d", str(value).encode()))
        elif kind == "BOOL":
            steps.append(("b", value))
        elif kind == "DATE":
            steps.append(("D", (value.year, value.month, value.day)))
        elif kind == "TIME":
            steps.append(("t", (value.hour, value.minute, value.second, value.microsecond)))
        elif kind == "DATETIME":
            parts = (value.year, value.month, value.day, value.hour, value.minute, value.second, value.microsecond)
            if reuse_zones:
                steps.append(("Z", parts + (value.tzinfo,)))
            else:
                steps.append(("T", parts + (int(value.utcoffset().total_seconds()),)))
        else:
            raise ValueError(kind)
    return steps


# ---- workloads: (fields, line generator) ----

WORDS = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel", "india", "juliet",
         "kilo", "lima", "mike", "november", "oscar", "papa"]


def text_line(rng):
    pieces = [" ".join(rng.choice(WORDS) for _ in range(rng.randrange(1, 3))) for _ in range(10)]
    if rng.randrange(4) == 0:
        k = rng.randrange(10)
        pieces[k] = pieces[k].replace("e", "é", 1) if "e" in pieces[k] else pieces[k] + " é"
    for k in (1, 4, 7):
        pieces[k] = f'"{pieces[k]}, {rng.choice(WORDS)}|{rng.randrange(100)}"'
    return "R|" + "|".join(pieces) + "\n"


def numeric_line(rng):
    return "R|" + "|".join([
        str(rng.randrange(10**6)), str(rng.randrange(-10**9, 10**9)), str(rng.randrange(10**12)),
        str(rng.randrange(-10**15, 10**15)),
        repr(rng.uniform(-1e3, 1e3)), repr(round(rng.uniform(0, 100), 2)), repr(rng.uniform(-1e9, 1e9)),
        f"{rng.randrange(10**6)}.{rng.randrange(100):02d}", f"-{rng.randrange(1000)}.{rng.randrange(10**4):04d}",
        f"{rng.randrange(10**9)}.{rng.randrange(10**6):06d}",
    ]) + "\n"


def random_moment(rng):
    return datetime.datetime(2000, 1, 1) + datetime.timedelta(seconds=rng.randrange(30 * 365 * 86400),
                                                               microseconds=rng.randrange(10**6))


def temporal_line(rng):
    a, b, c, d, e = (random_moment(rng) for _ in range(5))
    return "R|" + "|".join([
        a.strftime("%Y-%m-%d"), b.strftime("%Y%m%d"), c.strftime("%H:%M:%S"), d.strftime("%H:%M:%S.%f"),
        e.strftime("%Y-%m-%d %H:%M:%S"), a.strftime("%Y-%m-%dT%H:%M:%S.%f"), b.strftime("%d/%m/%Y %H:%M"),
    ]) + "\n"


def mixed_line(rng):
    moment = random_moment(rng)
    text = f"customer {rng.randrange(10**6)} of the north branch"
    return "R|" + "|".join([
        f'"{text}, {rng.choice(WORDS)}"' if rng.randrange(3) == 0 else text,
        rng.choice(["NEW", "OPEN", "CLOSED"]), str(rng.randrange(10**9)), rng.choice("12358"),
        repr(rng.uniform(-1e6, 1e6)), f"{rng.randrange(10**7)}.{rng.randrange(1000):03d}", rng.choice("YN"),
        moment.strftime("%Y-%m-%d"), moment.strftime("%Y-%m-%d %H:%M:%S"), moment.strftime("%H:%M:%S"),
        rng.choice(["", "note"]), rng.choice(["", "17"]), "",
    ]) + "\n"


WORKLOADS = {
    "text": ([{"kind": "STR", "required": False}] * 10, text_line),
    "numeric": ([{"kind": "INT", "required": True, "min_value": 0},
                 {"kind": "INT", "required": True},
                 {"kind": "INT", "required": True, "min_value": 0, "max_value": 1e12},
                 {"kind": "INT", "required": True}]
                + [{"kind": "FLOAT", "required": True}] * 3
                + [{"kind": "DECIMAL", "required": True}, {"kind": "DECIMAL", "required": True},
                   {"kind": "DECIMAL", "required": True, "round_decimal_places": 2}], numeric_line),
    "temporal": ([{"kind": "DATE", "required": True, "format": "%Y-%m-%d"},
                  {"kind": "DATE", "required": True, "format": "%Y%m%d"},
                  {"kind": "TIME", "required": True, "format": "%H:%M:%S"},
                  {"kind": "TIME", "required": True, "format": "%H:%M:%S%.f"},
                  {"kind": "DATETIME", "required": True, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "UTC"},
                  {"kind": "DATETIME", "required": True, "format": "%Y-%m-%dT%H:%M:%S%.f",
                   "time_zone": "Europe/Paris"},
                  {"kind": "DATETIME", "required": True, "format": "%d/%m/%Y %H:%M",
                   "time_zone": "America/New_York"}], temporal_line),
    "mixed": ([{"kind": "STR", "required": True, "max_length": 60},
               {"kind": "STR_ENUM", "required": True, "values": ["NEW", "OPEN", "CLOSED"]},
               {"kind": "INT", "required": True, "min_value": 0},
               {"kind": "INT_ENUM", "required": True, "values": [1, 2, 3, 5, 8]},
               {"kind": "FLOAT", "required": True},
               {"kind": "DECIMAL", "required": True, "round_decimal_places": 2},
               {"kind": "BOOL", "required": True, "true_value": "Y", "false_value": "N"},
               {"kind": "DATE", "required": True, "format": "%Y-%m-%d"},
               {"kind": "DATETIME", "required": True, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "Europe/Paris"},
               {"kind": "TIME", "required": True, "format": "%H:%M:%S"},
               {"kind": "STR", "required": False},
               {"kind": "INT", "required": False},
               {"kind": "DATE", "required": False, "format": "%Y-%m-%d"}], mixed_line),
}
GOALS = {"text": 1.15, "numeric": 1.10, "temporal": 1.30, "mixed": 1.30}


def drive(pairs):
    for function, line in pairs:
        function(line)


def split_all(pairs):
    for _, line in pairs:
        tuple(line.split("|"))


def strip_split(pairs):
    for _, line in pairs:
        tuple(line.rstrip("\n").split("|"))


def measure(contenders, rounds):
    """{name: (runner, pairs)} -> {name: [ns per call, one per round]}; interleaved, order rotating."""
    names = list(contenders)
    times = {name: [] for name in names}
    for round_ in range(rounds):
        for name in names[round_ % len(names):] + names[:round_ % len(names)]:
            runner, pairs = contenders[name]
            started = time.thread_time_ns()
            runner(pairs)
            times[name].append((time.thread_time_ns() - started) / len(pairs))
    return times


def ratio(times, top, bottom):
    return statistics.median(a / b for a, b in zip(times[top], times[bottom]))


def report(label, times, top, bottom, goal, peer):
    value = ratio(times, top, bottom)
    verdict = "met" if value <= goal else "MISSED"
    print(f"{label:<34} {top:<7} {statistics.median(times[top]):7.0f} ns  {peer:<6} "
          f"{statistics.median(times[bottom]):7.0f} ns  ratio {value:5.2f}  (goal <= {goal:.2f}: {verdict})")


def repeated(pairs):
    return (pairs * (CALLS // len(pairs) + 1))[:CALLS]


def floor_workload(floor, name, rounds, rng):
    fields, make_line = WORKLOADS[name]
    parse = kelvane.Parser(schema(fields)).parse_line
    lines = []
    while len(lines) < LINES:
        line = make_line(rng)
        try:
            parse(line)
        except ValueError:  # a local time in a gap or an overlap
            continue
        lines.append(line)
    zoned = any(field["kind"] == "DATETIME" for field in fields)
    contenders = {"kelvane": [], "floor": [], "floor, zones reused": []}
    for line in lines:
        values = parse(line)
        contenders["kelvane"].append((parse, line))
        for reuse in (False, True) if zoned else (False,):
            function = floor.Floor("|", '"', floor_steps(fields, values[1:], reuse)).parse_line
            assert function(line) == values, (line, function(line), values)
            contenders["floor, zones reused" if reuse else "floor"].append((function, line))
    times = measure({name: (drive, repeated(pairs)) for name, pairs in contenders.items() if pairs}, rounds)
    report(f"{name} ({len(fields)} fields)", times, "kelvane", "floor", GOALS[name], "floor")
    if zoned:
        report("  against the floor, zones reused", times, "kelvane", "floor, zones reused", GOALS[name], "floor")


def quoted_workload(rounds, rng):
    parse = kelvane.Parser(schema([{"kind": "STR", "required": False}] * 10)).parse_line
    lines = ["R|" + "|".join(f'"{rng.choice(WORDS)} {rng.randrange(100)}"' for _ in range(10)) for _ in range(LINES)]
    pairs = repeated([(parse, line) for line in lines])
    times = measure({"kelvane": (drive, pairs), "split": (split_all, pairs)}, rounds)
    report("every field quoted (10 STR)", times, "kelvane", "split", 1.3, "split")


def one_field_workload(rounds, rng):
    parse = kelvane.Parser(schema([{"kind": "STR", "required": False}])).parse_line
    lines = [f"R|{rng.choice(WORDS)} {rng.randrange(1000)}\n" for _ in range(LINES)]
    pairs = repeated([(parse, line) for line in lines])
    times = measure({"kelvane": (drive, pairs), "split": (strip_split, pairs)}, rounds)
    report("one STR field", times, "kelvane", "split", 1.0, "split")


def first_last(label, parse, first, last, rounds):
    times = measure({"last": (drive, repeated([(parse, last)])), "first": (drive, repeated([(parse, first)]))},
                    rounds)
    report(label, times, "last", "first", 2.0, "first")


def lookup_workloads(rounds):
    count = 100_000
    texts = [f"V{i:06d}" for i in range(count)]
    parse = kelvane.Parser(schema([{"kind": "STR_ENUM", "required": True, "values": texts}])).parse_line
    first_last("STR_ENUM, last of 100,000", parse, f"R|{texts[0]}", f"R|{texts[-1]}", rounds)
    numbers = [i * 7919 for i in range(count)]
    parse = kelvane.Parser(schema([{"kind": "INT_ENUM", "required": True, "values": numbers}])).parse_line
    first_last("INT_ENUM, last of 100,000", parse, f"R|{numbers[0]}", f"R|{numbers[-1]}", rounds)
    kinds = [{"name": f"K{i:04d}", "fields": [{"kind": "STR", "required": False}]} for i in range(1000)]
    parse = kelvane.Parser(schema(None, kinds)).parse_line
    first_last("record kind, last of 1,000", parse, "K0000|x", "K0999|x", rounds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("workloads", nargs="*",
                        default=list(WORKLOADS) + ["quoted", "one-field", "lookups"])
    args = parser.parse_args()
    floor = build_floor()
    rng = random.Random(12)
    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds of {CALLS} calls per contender; "
          f"median ns per call and median of the per-round ratios")
    for name in args.workloads:
        if name in WORKLOADS:
            floor_workload(floor, name, args.rounds, rng)
        elif name == "quoted":
            quoted_workload(args.rounds, rng)
        elif name == "one-field":
            one_field_workload(args.rounds, rng)
        elif name == "lookups":
            lookup_workloads(args.rounds)
        else:
            sys.exit(f"unknown workload {name}")


if __name__ == "__main__":
    main()
