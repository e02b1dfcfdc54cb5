"""The Dask path against one plain read, in one run, on a generated feed.

One feed file of about --size-mb megabytes (bench_feed.py's detail lines
between a header and a trailer) is read, interleaved for --rounds rounds:

  read            kelvane_feed.read(path, schema), every core
  read + pandas   the same, then each kind to pandas with read_feed's dtypes
  dask            kelvane_feed.dask.read_feed(path, schema, blocksize) and one
                  dask.compute of every kind and the errors, threads scheduler
                  with a worker per core (read_feed's line-count pass included)

"cpu" is the process's CPU time (user + system, every thread), which other
load on a shared machine does not inflate; "wall" is elapsed time. Figures are
medians. The overhead of partitioning is dask against read + pandas (the same
result, in pandas), and against read alone (Arrow tables, no conversion).

Run: python bench/bench_dask.py [--size-mb 1024] [--blocksize 128MiB] [--rounds 3] [--data DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import tempfile
from pathlib import Path

import dask
import pandas
import pyarrow

import kelvane_feed
import kelvane_feed.dask as kd
from bench_feed import SCHEMA, detail_lines, measure


def write_feed(directory: Path, size_mb: int) -> Path:
    path = directory / f"feed-{size_mb}mb.txt"
    if path.exists():
        return path
    target = size_mb << 20
    written = 0
    count = 0
    with open(path.with_suffix(".part"), "w") as feed:
        feed.write("H|ACME|20240131\n")
        for line in detail_lines(10**12):
            feed.write(line)
            written += len(line)
            count += 1
            if written >= target:
                break
        feed.write(f"T|{count}\n")
    path.with_suffix(".part").rename(path)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=1024)
    parser.add_argument("--blocksize", default="128MiB")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--data", type=Path, help="keep the generated feed in this directory (made once)")
    arguments = parser.parse_args()

    directory = arguments.data or Path(tempfile.mkdtemp(prefix="kelvane-bench-dask-"))
    directory.mkdir(parents=True, exist_ok=True)
    path = write_feed(directory, arguments.size_mb)
    schema = kelvane_feed.Schema(json.dumps(SCHEMA))
    cores = len(os.sched_getaffinity(0))
    dtypes = {kind: kd.read_feed(path, schema, blocksize=None)[kind].dtypes.to_dict() for kind in schema.kinds}

    def read() -> kelvane_feed.Feed:
        feed = kelvane_feed.read(path, schema, errors="collect")
        assert not feed.errors
        return feed

    def read_pandas() -> None:
        feed = read()
        for kind in feed:
            frame = pyarrow.table(feed[kind]).to_pandas(
                types_mapper=lambda type_: None if pyarrow.types.is_dictionary(type_) else pandas.ArrowDtype(type_))
            for name, dtype in dtypes[kind].items():
                if isinstance(dtype, pandas.CategoricalDtype):
                    frame[name] = frame[name].astype(dtype)

    def dask_path() -> None:
        feed = kd.read_feed(path, schema, blocksize=arguments.blocksize)
        *frames, errors = dask.compute(*feed.values(), feed.errors, scheduler="threads", num_workers=cores)
        assert not len(errors) and sum(map(len, frames)) > 0

    contenders = {"read": read, "read + pandas": read_pandas, "dask": dask_path}
    results: dict[str, list[tuple[float, float]]] = {name: [] for name in contenders}
    with dask.config.set({"scheduler": "threads"}):
        dask_path()  # warm the page cache and the imports
        for _ in range(arguments.rounds):
            for name, run in contenders.items():
                results[name].append(measure(run))

    size = path.stat().st_size
    partitions = kd.read_feed(path, schema, blocksize=arguments.blocksize).npartitions
    print(f"{size / 2**20:.0f} MiB, {partitions} blocks of {arguments.blocksize}, {cores} cores, "
          f"{arguments.rounds} rounds (medians)")
    medians = {name: (statistics.median(w for w, _ in runs), statistics.median(c for _, c in runs))
               for name, runs in results.items()}
    print(f"{'':16}{'wall s':>9}{'cpu s':>9}{'MB/s wall':>11}")
    for name, (wall, cpu) in medians.items():
        print(f"{name:16}{wall:9.2f}{cpu:9.2f}{size / 2**20 / wall:11.0f}")
    for peer in ("read + pandas", "read"):
        wall = medians["dask"][0] / medians[peer][0]
        cpu = medians["dask"][1] / medians[peer][1]
        print(f"dask / {peer}: wall {wall:.2f}x, cpu {cpu:.2f}x")


if __name__ == "__main__":
    main()
