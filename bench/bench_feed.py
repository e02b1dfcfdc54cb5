"""The feed reader against its peers, in one run, on generated feeds.

Two files of --lines detail lines (13 fields mixing every field kind, some
quoted): a feed with a header and a trailer, and a single-kind file of the same
detail lines. Contenders run interleaved for --rounds rounds; the figures are
medians. "cpu" is the process's CPU time (user + system, every thread), which
other load on a shared machine does not inflate; "wall" is elapsed time.

  kelvane_feed.read, 1 thread and every core, on both files
  for line in f: parser.parse_line(line)   (tuples only), on the feed
  pyarrow.csv.read_csv with the closest column_types, threads off and on
  polars.read_csv and DuckDB read_csv with explicit types, then the same
  conversions kelvane does (dates, times, the zone, Y/N), into Arrow

Memory (separate processes): peak RSS growth of read() against the size of
the Arrow data it returns, and of read_batches() over files of 1x and 3x the
lines (flat means the same).

Run: python bench/bench_feed.py [--lines 1000000] [--rounds 3]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import kelvane
import kelvane_feed

DETAIL_FIELDS = [
    {"kind": "INT", "required": True, "min_value": 1, "name": "id"},
    {"kind": "STR_ENUM", "required": True, "values": ["BUY", "SELL"], "name": "side"},
    {"kind": "STR", "required": True, "max_length": 16, "name": "account"},
    {"kind": "STR", "required": False, "name": "description"},
    {"kind": "DECIMAL", "required": True, "round_decimal_places": 2, "name": "amount"},
    {"kind": "DECIMAL", "required": False, "round_decimal_places": 6, "name": "price"},
    {"kind": "FLOAT", "required": False, "name": "rate"},
    {"kind": "INT_ENUM", "required": True, "values": [1, 2, 3], "name": "status"},
    {"kind": "BOOL", "required": True, "true_value": "Y", "false_value": "N", "name": "confirmed"},
    {"kind": "DATE", "required": True, "format": "%Y%m%d", "name": "trade_date"},
    {"kind": "TIME", "required": False, "format": "%H:%M:%S%.f", "name": "trade_time"},
    {"kind": "DATETIME", "required": True, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "Europe/London",
     "name": "settled_at"},
    {"kind": "STR", "required": True, "min_length": 3, "max_length": 3, "name": "currency"},
]
SCHEMA = {
    "delimiter": "|",
    "quote_str": '"',
    "trailing_delimiter": False,
    "coerce_empty_quoted": False,
    "lines": [
        {"name": "H", "fields": [{"kind": "STR", "required": True, "name": "source"},
                                 {"kind": "DATE", "required": True, "format": "%Y%m%d", "name": "day"}]},
        {"name": "D", "fields": DETAIL_FIELDS},
        {"name": "T", "fields": [{"kind": "INT", "required": True, "name": "count"}]},
    ],
}
COLUMNS = ["record"] + [field["name"] for field in DETAIL_FIELDS]


def detail_lines(count: int, seed: int = 1):
    rng = random.Random(seed)
    descriptions = ["plain widget", '"Widget, large|blue"', "", "spare part 7", '"bolt; M8"', "nut"]
    for i in range(1, count + 1):
        # Hours 1..23 on the zone's changeover days keep every line valid.
        yield (
            f"D|{i}|{rng.choice(('BUY', 'SELL'))}|ACC{rng.randrange(100000):05d}|{rng.choice(descriptions)}|"
            f"{rng.randrange(10**7)}.{rng.randrange(100):02d}|{rng.randrange(1000)}.{rng.randrange(10**6):06d}|"
            f"{rng.random():.6f}|{rng.randrange(1, 4)}|{rng.choice('YN')}|"
            f"2024{rng.randrange(1, 13):02d}{rng.randrange(1, 29):02d}|"
            f"{rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d}.{rng.randrange(10**6):06d}|"
            f"2024-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d} {rng.randrange(3, 24):02d}:"
            f"{rng.randrange(60):02d}:{rng.randrange(60):02d}|{rng.choice(('EUR', 'USD', 'GBP'))}\n"
        )


def write_files(directory: Path, count: int) -> dict[str, Path]:
    paths = {"schema": directory / "schema.json", "feed": directory / "feed.txt", "single": directory / "single.txt"}
    paths["schema"].write_text(json.dumps(SCHEMA, indent=1))
    with open(paths["feed"], "w") as feed, open(paths["single"], "w") as single:
        feed.write("H|ACME|20240131\n")
        for line in detail_lines(count):
            feed.write(line)
            single.write(line)
        feed.write(f"T|{count}\n")
    return paths


def cpu_seconds() -> float:
    times = os.times()
    return times.user + times.system


def measure(run) -> tuple[float, float]:
    start_wall, start_cpu = time.perf_counter(), cpu_seconds()
    run()
    return time.perf_counter() - start_wall, cpu_seconds() - start_cpu


def contenders(paths, threads: int):
    schema = kelvane_feed.Schema(paths["schema"].read_text())
    parser = kelvane.Parser(paths["schema"].read_text())

    def read(path, count):
        def run():
            feed = kelvane_feed.read(path, schema, threads=count)
            assert not feed.errors
        return run

    def loop():
        with open(paths["feed"], encoding="utf-8", newline="") as f:
            for line in f:
                parser.parse_line(line)

    found = {
        "feed: read, 1 thread": ("feed", read(paths["feed"], 1)),
        f"feed: read, {threads} threads": ("feed", read(paths["feed"], threads)),
        "feed: parse_line loop": ("feed", loop),
        "single: read, 1 thread": ("single", read(paths["single"], 1)),
        f"single: read, {threads} threads": ("single", read(paths["single"], threads)),
    }
    try:
        import pyarrow as pa
        import pyarrow.csv as csv

        # The closest pyarrow can come: it reads neither "%Y%m%d" into date32
        # nor a wall clock in a named zone, so those become naive timestamps.
        types = {"record": pa.string(), "id": pa.int64(), "side": pa.dictionary(pa.int32(), pa.string()),
                 "account": pa.string(), "description": pa.string(), "amount": pa.decimal128(38, 2),
                 "price": pa.decimal128(38, 6), "rate": pa.float64(), "status": pa.int64(),
                 "confirmed": pa.bool_(), "trade_date": pa.timestamp("s"), "trade_time": pa.time64("us"),
                 "settled_at": pa.timestamp("us"), "currency": pa.string()}

        def pyarrow_csv(use_threads):
            def run():
                csv.read_csv(
                    paths["single"],
                    read_options=csv.ReadOptions(column_names=COLUMNS, use_threads=use_threads),
                    parse_options=csv.ParseOptions(delimiter="|", quote_char='"'),
                    convert_options=csv.ConvertOptions(column_types=types, true_values=["Y"], false_values=["N"],
                                                       timestamp_parsers=["%Y%m%d", "%Y-%m-%d %H:%M:%S"],
                                                       strings_can_be_null=False))
            return run

        found["single: pyarrow.csv, threads off"] = ("single", pyarrow_csv(False))
        found["single: pyarrow.csv, threads on"] = ("single", pyarrow_csv(True))
    except ImportError:
        pass
    try:
        import polars as pl

        def polars_csv():
            frame = pl.read_csv(
                paths["single"], has_header=False, separator="|", quote_char='"', new_columns=COLUMNS,
                schema_overrides={"id": pl.Int64, "amount": pl.Decimal(38, 2), "price": pl.Decimal(38, 6),
                                  "rate": pl.Float64, "status": pl.Int64, "record": pl.Utf8, "side": pl.Utf8,
                                  "account": pl.Utf8, "description": pl.Utf8, "confirmed": pl.Utf8,
                                  "trade_date": pl.Utf8, "trade_time": pl.Utf8, "settled_at": pl.Utf8,
                                  "currency": pl.Utf8})
            frame.with_columns(
                pl.col("side").cast(pl.Enum(["BUY", "SELL"])),
                pl.col("confirmed") == "Y",
                pl.col("trade_date").str.strptime(pl.Date, "%Y%m%d"),
                pl.col("trade_time").str.strptime(pl.Time, "%H:%M:%S%.f"),
                pl.col("settled_at").str.strptime(pl.Datetime("us"), "%Y-%m-%d %H:%M:%S")
                .dt.replace_time_zone("Europe/London", ambiguous="null", non_existent="null"),
            ).to_arrow()

        found[f"single: polars.read_csv, {threads} threads"] = ("single", polars_csv)
    except ImportError:
        pass
    try:
        import duckdb

        def duckdb_csv(count):
            def run():
                connection = duckdb.connect()
                connection.execute(f"SET threads = {count}")
                connection.execute("SET TimeZone = 'UTC'")
                columns = ("{'record': 'VARCHAR', 'id': 'BIGINT', 'side': 'VARCHAR', 'account': 'VARCHAR', "
                           "'description': 'VARCHAR', 'amount': 'DECIMAL(38,2)', 'price': 'DECIMAL(38,6)', "
                           "'rate': 'DOUBLE', 'status': 'BIGINT', 'confirmed': 'VARCHAR', 'trade_date': 'DATE', "
                           "'trade_time': 'TIME', 'settled_at': 'TIMESTAMP', 'currency': 'VARCHAR'}")
                result = connection.sql(
                    f"select * replace (confirmed = 'Y' as confirmed, "
                    f"timezone('Europe/London', settled_at) as settled_at) "
                    f"from read_csv('{paths['single']}', delim='|', quote='\"', header=false, "
                    f"columns={columns}, dateformat='%Y%m%d')").arrow()
                # Newer DuckDB hands back a lazy reader: read it all.
                if hasattr(result, "read_all"):
                    result.read_all()
                connection.close()
            return run

        found["single: duckdb read_csv, 1 thread"] = ("single", duckdb_csv(1))
        found[f"single: duckdb read_csv, {threads} threads"] = ("single", duckdb_csv(threads))
    except ImportError:
        pass
    return found


MEMORY_CHILD = r"""
import sys, kelvane_feed
schema = kelvane_feed.Schema(open(sys.argv[2]).read())
def peak():
    # VmHWM starts afresh at exec (ru_maxrss would carry the parent's peak).
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
before = peak()
if sys.argv[1] == "read":
    feed = kelvane_feed.read(sys.argv[3], schema, threads=int(sys.argv[4]))
    size = sum(table.nbytes for table in feed.values())
else:
    size = 0
    for batch in kelvane_feed.read_batches(sys.argv[3], schema, threads=int(sys.argv[4])):
        size = max(size, batch.nbytes)
print(peak() - before, size)
"""


def memory(paths, threads: int, directory: Path, count: int) -> None:
    def child(mode, path):
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, mode, str(paths["schema"]), str(path), str(threads)],
                             check=True, capture_output=True, text=True).stdout.split()
        return int(out[0]), int(out[1])

    growth, arrow = child("read", paths["single"])
    print(f"read, {threads} threads: peak RSS growth {growth / 2**20:.0f} MiB for {arrow / 2**20:.0f} MiB of Arrow "
          f"data: {growth / arrow:.2f}x (goal <= 1.5x plus a constant)")
    triple = directory / "triple.txt"
    with open(triple, "w") as out:
        for _ in range(3):
            out.write(paths["single"].read_text())
    for name, path, lines in [("1x", paths["single"], count), ("3x", triple, 3 * count)]:
        growth, largest = child("batches", path)
        print(f"read_batches over {lines:>9,} lines ({path.stat().st_size / 2**20:5.0f} MiB): "
              f"peak RSS growth {growth / 2**20:.0f} MiB (largest batch {largest / 2**20:.1f} MiB)")
    triple.unlink()


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    options.add_argument("--lines", type=int, default=1_000_000)
    options.add_argument("--rounds", type=int, default=3)
    options.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    options.add_argument("--skip-memory", action="store_true")
    args = options.parse_args()

    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        paths = write_files(directory, args.lines)
        sizes = {kind: paths[kind].stat().st_size for kind in ("feed", "single")}
        lines = {"feed": args.lines + 2, "single": args.lines}
        runs = contenders(paths, args.threads)
        results: dict[str, list[tuple[float, float]]] = {label: [] for label in runs}
        labels = list(runs)
        for round_number in range(args.rounds):
            shift = round_number % len(labels)
            for label in labels[shift:] + labels[:shift]:
                results[label].append(measure(runs[label][1]))

        print(f"{args.lines:,} detail lines; feed {sizes['feed'] / 2**20:.0f} MiB, single-kind "
              f"{sizes['single'] / 2**20:.0f} MiB; {args.rounds} interleaved rounds, medians; "
              f"{args.threads} threads available")
        print(f"{'contender':42} {'wall s':>7} {'cpu s':>7} {'lines/s':>11} {'MB/s':>7}")
        medians = {}
        for label, samples in results.items():
            file = runs[label][0]
            wall = statistics.median(s[0] for s in samples)
            cpu = statistics.median(s[1] for s in samples)
            medians[label] = (wall, cpu)
            print(f"{label:42} {wall:7.3f} {cpu:7.3f} {lines[file] / wall:11,.0f} {sizes[file] / wall / 1e6:7.1f}")

        def ratio(a, b, index):
            return medians[b][index] / medians[a][index] if a in medians and b in medians else float("nan")

        t = args.threads
        print()
        print(f"read 1 thread vs parse_line loop (cpu):       {ratio('feed: read, 1 thread', 'feed: parse_line loop', 1):5.2f}x"
              "  (goal >= 5x)")
        print(f"read 1 thread vs pyarrow.csv threads off (cpu): "
              f"{ratio('single: read, 1 thread', 'single: pyarrow.csv, threads off', 1):5.2f}x  (goal >= 1x)")
        print(f"read {t} threads vs pyarrow.csv threads on (wall): "
              f"{ratio(f'single: read, {t} threads', 'single: pyarrow.csv, threads on', 0):5.2f}x  (goal >= 1x)")
        print(f"read {t} threads vs read 1 thread (wall), feed:   "
              f"{ratio(f'feed: read, {t} threads', 'feed: read, 1 thread', 0):5.2f}x  (goal >= {0.7 * t:.1f}x)")
        if not args.skip_memory:
            print()
            memory(paths, args.threads, directory, args.lines)


if __name__ == "__main__":
    main()
