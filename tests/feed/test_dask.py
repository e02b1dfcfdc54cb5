"""kelvane_feed.dask against kelvane_feed.read: random feeds over several files,
cut into many small blocks and read on Dask's threads and processes schedulers
and on a two-worker distributed cluster, give the rows and the located errors
of one plain read of each file, row for row; bad lines, missing, changed and
unreadable files fail the computation with the file's name."""

from __future__ import annotations

import concurrent.futures
import errno
import gzip
import multiprocessing
import random
import subprocess
import sys
import time

import dask
import distributed
import fsspec
import pandas as pd
import pyarrow as pa
import pytest
from fsspec.implementations.memory import MemoryFileSystem

import kelvane_feed
import kelvane_feed.dask as kd
from feedgen import random_feed, random_schema


def write_feeds(directory, seed, files=3, lines=250):
    """Random feeds of one random schema; returns (schema text, paths, newline)."""
    rng = random.Random(seed)
    generated = random_schema(rng)
    paths = []
    for index in range(files):
        data = random_feed(rng, generated, rng.randrange(lines // 2, lines))
        if index == 1:
            data = b"\xef\xbb\xbf" + data
        path = directory / f"feed-{index}.txt"
        path.write_bytes(data)
        paths.append(str(path))
    (directory / "feed-3.txt").write_bytes(b"")  # an empty file is a partition without lines
    paths.append(str(directory / "feed-3.txt"))
    return generated.text, paths, rng.choice(["crlf", "lf"])


def expected(schema_text, paths, newline):
    """What kelvane_feed.read says about each file, concatenated in file order."""
    rows: dict = {}
    errors = []
    for path in paths:
        feed = kelvane_feed.read(path, schema_text, errors="collect", newline=newline)
        for kind in feed:
            rows.setdefault(kind, []).extend(pa.table(feed[kind]).to_pylist())
        errors += [(path, *error) for error in feed.errors]
    return rows, errors


def first_failure(schema_text, paths, newline):
    for path in paths:
        try:
            kelvane_feed.read(path, schema_text, newline=newline)
        except kelvane_feed.FeedError as failure:
            return path, failure
    return None


def as_rows(frame):
    # Arrow-backed columns go back to Arrow as they are; categoricals become
    # dictionaries, whose values to_pylist gives.
    return pa.Table.from_pandas(frame, preserve_index=False).to_pylist() if len(frame.columns) else [{}] * len(frame)


def check_against_read(feed, schema_text, paths, newline, **compute):
    rows, errors = expected(schema_text, paths, newline)
    # Each partition's column types, computed with the frames (one read per block).
    types = [feed[kind].map_partitions(lambda frame: pd.Series([repr(frame.dtypes.to_dict())]), meta=(None, object))
             for kind in feed]
    results = dask.compute(*feed.values(), feed.errors, *types, **compute)
    frames, error_frame, types = results[: len(feed)], results[len(feed)], results[len(feed) + 1 :]
    assert feed.npartitions > 3 * len(paths)
    for kind, frame, partition_types in zip(feed, frames, types):
        # Types come from the schema alone; every partition has them.
        assert set(partition_types) == {repr(feed[kind].dtypes.to_dict())}
        reference = pa.schema(kelvane_feed.read(b"", schema_text)[kind])
        for field in reference:
            dtype = frame.dtypes[field.name]
            assert getattr(dtype, "pyarrow_dtype", None) == field.type or pa.types.is_dictionary(field.type)
        # repr: NaN equals NaN, -0.0 differs from 0.0.
        assert repr(as_rows(frame)) == repr(rows[kind]), kind
    assert list(error_frame.columns) == list(kd.ERROR_COLUMNS)
    assert [tuple(row.values()) for row in as_rows(error_frame)] == errors


@pytest.fixture(scope="module")
def process_pool():
    """One pool of spawned workers for the processes scheduler (a pool per
    computation would start the interpreters again each time)."""
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield pool


@pytest.mark.parametrize(("scheduler", "seeds"), [("threads", range(2)), ("processes", [2])],
                         ids=["threads", "processes"])
def test_blocks_read_as_one_read_of_each_file(tmp_path, scheduler, seeds, request):
    compute = {"scheduler": scheduler}
    if scheduler == "processes":
        compute["pool"] = request.getfixturevalue("process_pool")
    for seed in seeds:
        directory = tmp_path / str(seed)
        directory.mkdir()
        schema_text, paths, newline = write_feeds(directory, seed)
        blocksize = random.Random(seed).choice([900, 1200, 1500])
        feed = kd.read_feed(str(directory / "feed-*.txt"), schema_text, blocksize=blocksize, newline=newline)
        assert feed.files == tuple(paths) and feed.kinds == kelvane_feed.Schema(schema_text).kinds
        check_against_read(feed, schema_text, paths, newline, **compute)

        # errors="raise": the first bad line in file order, as read says it
        # for its file, whichever block fails first.
        failing = kd.read_feed(paths, schema_text, blocksize=blocksize, errors="raise", newline=newline)
        path, failure = first_failure(schema_text, paths, newline)
        assert failure is not None
        with pytest.raises(kd.FileFeedError) as raised:
            dask.compute(*failing.values(), failing.errors, **compute)
        assert (raised.value.file, raised.value.error) == (path, failure.error)
        assert str(raised.value) == f"{path}: {failure}"


def test_raise_names_the_first_bad_line_whatever_finishes_first(tmp_path, monkeypatch):
    good = b"D|1||1.00\n" * 40
    data = [good + b"D|x||1\n" + good, good * 3 + b"D|2||-1\n" + good]
    paths = []
    for index, content in enumerate(data):
        paths.append(str(tmp_path / f"f{index}.txt"))
        (tmp_path / f"f{index}.txt").write_bytes(content)
    schema = SCHEMA
    real_read = kd.read

    def slow_early_blocks(source, *args, **options):
        # The blocks of the first file finish last.
        if str(source).endswith("f0.txt"):
            time.sleep(0.1)
        return real_read(source, *args, **options)

    monkeypatch.setattr(kd, "read", slow_early_blocks)
    feed = kd.read_feed(paths, schema, blocksize=64, errors="raise")
    # A pool of our own: Dask would keep one it made for 8 workers.
    with pytest.raises(kd.FileFeedError) as raised, concurrent.futures.ThreadPoolExecutor(8) as pool:
        feed["D"].compute(scheduler="threads", pool=pool)
    assert raised.value.file == paths[0]
    assert raised.value.error == kelvane_feed.read(data[0], schema, errors="collect").errors[0]
    # The partitions before the bad line are whole.
    assert len(feed["D"].partitions[0].compute(scheduler="threads")) == kelvane_feed.count_lines(data[0], (0, 64))


SCHEMA = """{"delimiter": "|", "quote_str": null, "trailing_delimiter": false, "coerce_empty_quoted": false,
 "lines": [{"name": "D", "fields": [{"kind": "INT", "required": true, "name": "id"},
   {"kind": "STR", "required": false}, {"kind": "DECIMAL", "required": true, "min_value": "0"}]}]}"""


class Unreadable(MemoryFileSystem):
    """A file system whose files cannot be opened, as on a bucket without
    read permission."""

    protocol = "kelvane-unreadable"

    @classmethod
    def _strip_protocol(cls, path):
        return super()._strip_protocol(path.replace(f"{cls.protocol}://", "memory://", 1))

    def _open(self, path, mode="rb", *args, **kwargs):
        if mode == "rb":
            raise PermissionError(errno.EACCES, "Permission denied")
        return super()._open(path, mode, *args, **kwargs)


def test_bad_files_fail_with_their_name(tmp_path):
    good = tmp_path / "good.txt"
    good.write_bytes(b"D|1||1\n" * 100)
    other = tmp_path / "other.txt"
    other.write_bytes(b"D|2||2\n" * 100)
    missing = tmp_path / "missing.txt"

    with pytest.raises(FileNotFoundError, match="missing.txt"):
        kd.read_feed([good, missing], SCHEMA, blocksize=100)
    with pytest.raises(FileNotFoundError, match="nothing-"):
        kd.read_feed(str(tmp_path / "nothing-*.txt"), SCHEMA)

    # After the blocks were planned: gone, changed, unreadable.
    feed = kd.read_feed([good, other], SCHEMA, blocksize=100)
    other.unlink()
    with pytest.raises(FileNotFoundError, match="other.txt"):
        feed["D"].compute(scheduler="threads")
    other.write_bytes(b"D|2||2\n" * 101)
    with pytest.raises(OSError, match="other.txt") as changed:
        feed["D"].compute(scheduler="threads")
    assert changed.value.errno == errno.ESTALE

    fsspec.register_implementation(Unreadable.protocol, Unreadable, clobber=True)
    Unreadable().pipe_file("/feeds/a.txt", b"D|1||1\n" * 100)
    url = f"{Unreadable.protocol}:///feeds/a.txt"
    with pytest.raises(PermissionError, match=url):  # in the first pass, counting lines
        kd.read_feed(f"{Unreadable.protocol}://feeds/*.txt", SCHEMA, blocksize=100)
    feed = kd.read_feed(f"{Unreadable.protocol}://feeds/*.txt", SCHEMA)  # one block: nothing to count
    with pytest.raises(PermissionError, match=url):
        feed["D"].compute(scheduler="threads")


def test_fsspec_urls_and_compressed_files(tmp_path):
    schema_text, paths, newline = write_feeds(tmp_path, 7, files=2)
    memory = fsspec.filesystem("memory")
    urls = []
    for index, path in enumerate(paths):
        data = open(path, "rb").read()
        name = f"/kelvane-test/feed-{index}.txt" + (".gz" if index == 1 else "")
        memory.pipe_file(name, gzip.compress(data) if index == 1 else data)
        urls.append(f"memory://{name}")
    try:
        feed = kd.read_feed("memory://kelvane-test/feed-*", schema_text, blocksize=200, newline=newline)
        assert feed.files == tuple(urls)
        rows, errors = expected(schema_text, paths, newline)
        *frames, error_frame = dask.compute(*feed.values(), feed.errors, scheduler="threads")
        assert {kind: repr(as_rows(frame)) for kind, frame in zip(feed, frames)} == {
            kind: repr(r) for kind, r in rows.items()}
        assert [(paths[urls.index(row["file"])], *list(row.values())[1:]) for row in as_rows(error_frame)] == errors
    finally:
        memory.rm("/kelvane-test", recursive=True)


def test_distributed_cluster(tmp_path):
    schema_text, paths, newline = write_feeds(tmp_path, 3)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, distributed.Client(cluster):
        # The first pass counts the lines on the workers too.
        feed = kd.read_feed(paths, schema_text, blocksize=1200, newline=newline)
        check_against_read(feed, schema_text, paths, newline)
        failing = kd.read_feed(paths, schema_text, blocksize=1200, errors="raise", newline=newline)
        path, failure = first_failure(schema_text, paths, newline)
        with pytest.raises(kd.FileFeedError) as raised:
            failing["D" if "D" in failing else failing.kinds[0]].compute()
        assert (raised.value.file, raised.value.error) == (path, failure.error)


def test_importing_kelvane_feed_leaves_dask_out():
    code = "import sys, kelvane_feed; assert 'dask' not in sys.modules and 'kelvane_feed.dask' not in sys.modules"
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
