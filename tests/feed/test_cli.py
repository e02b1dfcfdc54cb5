"""The kelvane command line. check against kelvane_feed.read; convert's files
read back against the tables (Parquet, Arrow) and kelvane.Parser (CSV, JSON
lines); hostile record names and line texts; exit codes and one-line errors
through a real process (missing files, bad schemas and options, a closed
pipe, Ctrl-C, SIGTERM during a conversion)."""

from __future__ import annotations

import bz2
import datetime
import decimal
import gzip
import io
import json
import lzma
import math
import os
import random
import signal
import subprocess
import sys
import time
import tomllib
import unicodedata
import warnings
from pathlib import Path

import pytest

import kelvane
import kelvane_feed
from feedgen import random_feed, random_schema
from kelvane_feed import cli

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE_SCHEMA = ROOT / "examples" / "schema.json"
EXAMPLE_FEED = ROOT / "examples" / "records.txt"


def environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(kelvane.__file__).parent), *filter(None, [env.get("PYTHONPATH")])])
    return env


def kelvane_process(*args: str, stdin: bytes | None = None, preamble: str = "") -> tuple[int, str, str]:
    """The command line in a process of its own, as `python -m kelvane_feed`
    (after `preamble`, when given): status, standard output and error."""
    command = [sys.executable, "-m", "kelvane_feed", *args]
    if preamble:
        command = [sys.executable, "-c", f"{preamble}; from kelvane_feed.cli import main; sys.exit(main())", *args]
    return _decoded(subprocess.run(command, input=stdin, capture_output=True, env=environment(), timeout=300))


def _decoded(completed: subprocess.CompletedProcess[bytes]) -> tuple[int, str, str]:
    return completed.returncode, completed.stdout.decode(), completed.stderr.decode()


def run(*args: str, capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    """The command line in this process."""
    status = cli.main([str(arg) for arg in args])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def one_error_line(stderr: str) -> str:
    assert "Traceback" not in stderr
    lines = stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("kelvane: error: "), stderr
    return lines[0].removeprefix("kelvane: error: ")


COMPRESSORS = {"": lambda data: data, ".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}


def zstd_compress(data: bytes) -> bytes:
    import zstandard

    return zstandard.ZstdCompressor().compress(data)


COMPRESSORS[".zst"] = zstd_compress


# ---------------------------------------------------------------- check against read


@pytest.mark.parametrize("seed", range(12))
def test_check_reports_what_read_collects(seed, tmp_path, capsys):
    rng = random.Random(seed)
    generated = random_schema(rng)
    data = random_feed(rng, generated, rng.randrange(0, 300))
    schema_path = tmp_path / "schema.json"
    schema_path.write_text(generated.text, encoding="utf-8")
    suffix = list(COMPRESSORS)[seed % len(COMPRESSORS)]
    feed_path = tmp_path / f"feed.txt{suffix}"
    feed_path.write_bytes(COMPRESSORS[suffix](data))
    options = ["--newline", "lf"] if seed % 3 == 0 else []
    options += ["--skip-blank"] if seed % 4 == 1 else []
    feed = kelvane_feed.read(data, generated.text, errors="collect", threads=2,
                             newline="lf" if "lf" in options else "crlf", skip_blank="--skip-blank" in options)

    status, out, err = run("check", schema_path, feed_path, "--format", "json", "--threads", "2", *options, capsys=capsys)
    assert err == ""
    records = [json.loads(line) for line in out.splitlines()]
    assert [r for r in records if r["type"] == "error"] == [
        {"type": "error", "file": str(feed_path), **error._asdict()} for error in feed.errors
    ]
    summary = records[-1]
    assert summary["type"] == "summary" and summary["lines"] == feed.lines and summary["rejected"] == len(feed.errors)
    for kind, counts in summary["kinds"].items():
        rejected = sum(1 for error in feed.errors if error.record == kind)
        assert counts == {"lines": feed.counts[kind] + rejected, "rejected": rejected}
    assert status == (1 if feed.errors else 0)

    # The text form says the same, one located line and the line's text per error.
    status_text, text, _ = run("check", schema_path, feed_path, *options, capsys=capsys)
    assert status_text == status
    lines = text.splitlines()
    for index, error in enumerate(feed.errors):
        where = f"[{error.record}, field {error.field} {error.field_name}] " if error.field else (
            f"[{error.record}] " if error.record is not None else "")
        assert lines[2 * index] == cli.terminal_text(f"{feed_path}:{error.line}: {where}{error.message}")
        assert lines[2 * index + 1] == "    " + cli.terminal_text(error.text[:200]) + (
            f"... ({len(error.text)} characters)" if len(error.text) > 200 else "")
    assert lines[2 * len(feed.errors)].startswith(f"{feed_path}: {feed.lines} line")


def test_check_several_files_and_stdin(tmp_path):
    good = tmp_path / "good.txt"
    good.write_bytes(b"T|1\n")
    status, out, err = kelvane_process("check", str(EXAMPLE_SCHEMA), str(good), "-", str(tmp_path / "missing.txt"),
                                       stdin=EXAMPLE_FEED.read_bytes())
    assert status == 2  # an unreadable file outweighs rejected lines
    assert one_error_line(err) == f"{tmp_path / 'missing.txt'}: No such file or directory"
    assert f"{good}: 1 line, 0 rejected" in out and "<stdin>: 7 lines, 3 rejected" in out
    assert "<stdin>:5: [D, field 2 f2] Value not in enum - 'HOLD'" in out


def test_check_max_errors_stops(tmp_path, capsys):
    status, out, _ = run("check", EXAMPLE_SCHEMA, EXAMPLE_FEED, "--max-errors", "2", capsys=capsys)
    assert status == 1
    assert f"{EXAMPLE_FEED}: 5 lines, 2 rejected; stopped at rejected line 2 (--max-errors)" in out.splitlines()


# ---------------------------------------------------------------- hostile texts and names

HOSTILE_LINE = "D|1|\x1b]0;owned\x07\x1b[2J\u202eSELL\u2066|x\x00y\u2028|\x9b31m|1|1|Y|\r"


def test_hostile_line_texts_are_escaped(tmp_path, capsys):
    feed = tmp_path / "hostile\x1b[31m.txt"
    feed.write_bytes(HOSTILE_LINE.encode() + b"\n" + b"D|\xff\x1b[0m\n" + ("\u202eX|" * 500).encode() + b"\n")
    status, out, err = run("check", EXAMPLE_SCHEMA, feed, "--newline", "lf", capsys=capsys)
    assert status == 1 and err == ""
    for line in out.splitlines():
        assert all(unicodedata.category(c) not in ("Cc", "Cf", "Zl", "Zp") for c in line), repr(line)
    lines = out.splitlines()
    assert lines[0].startswith(f"{tmp_path}/hostile\\x1b[31m.txt:1: [D, field 2 f2] Value not in enum - ")
    assert lines[1] == (
        "    D|1|\\x1b]0;owned\\x07\\x1b[2J\\u202eSELL\\u2066|x\\x00y\\u2028|\\x9b31m|1|1|Y|\\r"
    )
    assert lines[3] == "    D|\\xff\\x1b[0m"  # the reader shows bytes that are not UTF-8 as \xNN
    assert lines[5].endswith("... (1500 characters)") and lines[5].count("\\u202e") == 67  # 200 characters shown
    # JSON lines are ASCII, and give back the exact texts.
    status, out, _ = run("check", EXAMPLE_SCHEMA, feed, "--newline", "lf", "--format", "json", capsys=capsys)
    assert out.isascii() and "\x7f" not in out
    records = [json.loads(line) for line in out.splitlines()]
    assert records[0]["text"] == HOSTILE_LINE
    assert records[0]["file"] == str(feed)


HOSTILE_NAMES = ["D", "d", "../../escape", "/etc/passwd", "a/b", "..", ".", "", "CON", "nul.txt", "_rejects",
                 "_manifest", "\x1b[2J", "\u202egnp.exe", "C:\\x", "x" * 300, "%2F", "D~2", "Ω", "ω", "é", "e\u0301"]


def hostile_schema() -> str:
    lines = [{"name": name, "fields": [{"kind": "INT", "required": True, "name": "n"},
                                       {"kind": "STR", "required": False, "name": "s"}]} for name in HOSTILE_NAMES]
    return json.dumps({"delimiter": "|", "quote_str": '"', "trailing_delimiter": False, "coerce_empty_quoted": False,
                       "lines": lines})


def hostile_feed() -> bytes:
    rows = [f'"{name}"|{n}|"{name}"' for n, name in enumerate(HOSTILE_NAMES)]
    return ("\n".join(rows * 2 + ["NOPE|1", "D|x|y"]) + "\n").encode()


def test_output_names_are_safe_and_distinct():
    stems = cli.output_stems(HOSTILE_NAMES)
    folded = [stem.lower() for stem in stems.values()]
    assert len(set(folded)) == len(HOSTILE_NAMES) and not {"_rejects", "_manifest"} & set(folded)
    for name, stem in stems.items():
        assert stem and len(stem) <= 130 and stem.isascii()
        assert not set(stem) & set('/\\:*?"<>|\x00 ') and not stem.startswith(".") and not stem.endswith(".")
        assert stem.split(".")[0].lower() not in {"con", "nul", "prn", "aux"}
        if 0 < len(name) < 100 and all(c.isascii() and (c.isalnum() or c in "-_") for c in name):
            assert stem in (name, f"{name}~2")  # plain names stay readable
    assert stems["D"] == "D" and stems["d"] == "d~2" and stems["../../escape"] == "%2E.%2F..%2Fescape"
    assert stems[""] == "~empty" and stems["%2F"] == "%252F" and stems["D~2"] == "D%7E2"
    assert stems["_rejects"] == "_rejects~2" and stems["CON"] == "CON~2"


# ---------------------------------------------------------------- convert, read back

def parser_rows(schema_text: str, data: bytes) -> tuple[dict[str, list[tuple[object, ...]]], kelvane_feed.ErrorList]:
    records = kelvane_feed.iter_records(data, schema_text, errors="collect")
    rows: dict[str, list[tuple[object, ...]]] = {kind: [] for kind in kelvane_feed.Schema(schema_text).kinds}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # leap seconds
        for _, record in records:
            rows[record[0]].append(record[1:])
    return rows, records.errors


def same_text_value(text: str | None, value: object) -> bool:
    """A CSV or JSON text (None for null) against a Parser value."""
    if value is None:
        return text is None
    if isinstance(value, bool):
        return text == ("true" if value else "false")
    if isinstance(value, float):
        return text is not None and (math.isnan(value) and text == "nan" or float(text) == value)
    if isinstance(value, decimal.Decimal):
        return text is not None and "E" not in text.upper() and decimal.Decimal(text) == value and \
            decimal.Decimal(text).as_tuple().exponent == value.as_tuple().exponent
    if isinstance(value, datetime.datetime):
        return text is not None and datetime.datetime.fromisoformat(text) == value and \
            datetime.datetime.fromisoformat(text).utcoffset() == value.utcoffset()
    if isinstance(value, datetime.date):
        return text is not None and datetime.date.fromisoformat(text) == value
    if isinstance(value, datetime.time):
        return text is not None and datetime.time.fromisoformat(text) == value
    return text == str(value)


def read_text_output(path: Path, form: str) -> tuple[list[str], list[list[str | None]]]:
    """Column names and cells (None for null) of a CSV or JSON lines output."""
    raw = path.read_text(encoding="utf-8")
    if form == "jsonl":
        objects = [json.loads(line, parse_float=str, parse_int=str) for line in raw.splitlines()]
        names = list(objects[0]) if objects else []
        cells = [[None if v is None else str(v).lower() if isinstance(v, bool) else str(v) for v in o.values()]
                 for o in objects]
        return names, cells
    lines = raw.split("\n")
    assert lines.pop() == ""
    if not lines[0]:  # no columns: an empty header, and an empty line a row
        assert set(lines[1:]) <= {""}
        return [], [[] for _ in lines[1:]]
    table = [csv_cells(line) for line in lines]
    return [cell or "" for cell in table[0]], table[1:]


def csv_cells(line: str) -> list[str | None]:
    """One CSV line (no line breaks inside: feed lines have none): a quoted
    cell is text, with quotes doubled; an empty bare cell is null."""
    cells: list[str | None] = []
    at = 0
    while True:
        if line.startswith('"', at):
            end = at + 1
            while True:
                end = line.index('"', end)
                if line.startswith('""', end):
                    end += 2
                else:
                    break
            cells.append(line[at + 1 : end].replace('""', '"'))
            at = end + 1
        else:
            end = line.find(",", at)
            end = len(line) if end < 0 else end
            cells.append(line[at:end] or None)
            at = end
        if at == len(line):
            return cells
        assert line[at] == ",", line
        at += 1


@pytest.mark.parametrize("form", ["parquet", "arrow", "csv", "jsonl"])
@pytest.mark.parametrize("seed", range(4))
def test_convert_reads_back(form, seed, tmp_path, capsys):
    import pyarrow
    import pyarrow.ipc
    import pyarrow.parquet

    rng = random.Random(1000 + seed)
    if seed == 0:
        schema_text, data = hostile_schema(), hostile_feed()
    else:
        generated = random_schema(rng)
        schema_text, data = generated.text, random_feed(rng, generated, rng.randrange(0, 200))
    schema_path = tmp_path / "schema.json"
    schema_path.write_text(schema_text, encoding="utf-8")
    feed_path = tmp_path / "feed.txt.gz"
    feed_path.write_bytes(gzip.compress(data))
    out = tmp_path / "out"
    status, printed, err = run("convert", schema_path, feed_path, "--to", form, "--out", out, capsys=capsys)
    assert err == ""

    schema = kelvane_feed.Schema(schema_text)
    stems = cli.output_stems(schema.kinds)
    extension = {"parquet": "parquet", "arrow": "arrow", "csv": "csv", "jsonl": "jsonl"}[form]
    expected_files = {f"{stem}.{extension}" for stem in stems.values()} | {f"_rejects.{extension}", "_manifest.json"}
    assert {p.name for p in out.iterdir()} == expected_files  # nothing else, nothing outside
    manifest = json.loads((out / "_manifest.json").read_text(encoding="utf-8"))
    for line in printed.splitlines():
        assert all(unicodedata.category(c) not in ("Cc", "Cf") for c in line)

    if form in ("parquet", "arrow"):
        feed = kelvane_feed.read(data, schema_text, errors="collect")

        def load(path: Path) -> pyarrow.Table:
            if form == "parquet":
                return pyarrow.parquet.read_table(path)
            return pyarrow.ipc.open_file(path).read_all()

        for kind in schema.kinds:
            expected = pyarrow.table(feed[kind])
            written = load(out / f"{stems[kind]}.{extension}")
            assert manifest["kinds"][kind] == {"file": f"{stems[kind]}.{extension}", "rows": expected.num_rows}
            if expected.num_columns == 0:
                continue  # a table without columns: Parquet keeps no row count; the manifest has it
            if form == "parquet":  # Parquet keeps the types but writes dictionaries back with int32 indices
                written = written.cast(expected.schema)
            assert written.schema.equals(expected.schema) and rows_of(written) == rows_of(expected), kind
        assert load(out / f"_rejects.{extension}").equals(pyarrow.table(feed.errors))
        errors = feed.errors
    else:
        rows, errors = parser_rows(schema_text, data)
        for kind in schema.kinds:
            names, cells = read_text_output(out / f"{stems[kind]}.{extension}", form)
            columns = [column.name for column in schema.columns(kind)]
            assert names == columns or (form == "jsonl" and not cells)  # JSON lines name columns in rows
            assert len(cells) == len(rows[kind]) == manifest["kinds"][kind]["rows"]
            for got, want in zip(cells, rows[kind]):
                assert len(got) == len(want) and all(same_text_value(t, v) for t, v in zip(got, want)), (got, want)
        names, cells = read_text_output(out / f"_rejects.{extension}", form)
        assert names == list(kelvane_feed.LineError._fields)
        assert [[same_text_value(t, v) for t, v in zip(got, want)] for got, want in zip(cells, errors)] == \
            [[True] * 7] * len(errors)
    assert manifest["rejects"]["rows"] == len(errors) and manifest["lines"] == feed_lines(data)
    assert status == (1 if errors else 0)


def rows_of(table: "pyarrow.Table") -> list[tuple[object, ...]]:
    """The rows, NaN made comparable."""
    return [tuple("NaN" if isinstance(v, float) and math.isnan(v) else v for v in row.values())
            for row in table.to_pylist()]


def feed_lines(data: bytes) -> int:
    return kelvane_feed.count_lines(data)


def test_csv_tells_null_from_empty_text(tmp_path, capsys):
    schema = tmp_path / "s.json"
    schema.write_text(json.dumps({"delimiter": "|", "quote_str": "'", "trailing_delimiter": False,
                                  "coerce_empty_quoted": True, "lines": [{"name": "A", "fields": [
                                      {"kind": "STR", "required": False, "name": "t"},
                                      {"kind": "DECIMAL", "required": False, "name": "d"},
                                      {"kind": "FLOAT", "required": False, "name": "f"}]}]}))
    feed = tmp_path / "f.txt"
    feed.write_text("A||1_000|nan\nA|''||-inf\nA|say \"hi\"|-0.50|1e16\n")
    assert run("convert", schema, feed, "--to", "csv", "--out", tmp_path / "o", capsys=capsys)[0] == 0
    assert (tmp_path / "o" / "A.csv").read_text() == '"t","d","f"\n,1000,nan\n"",,-inf\n"say ""hi""",-0.50,1e+16\n'
    assert run("convert", schema, feed, "--to", "jsonl", "--out", tmp_path / "j", capsys=capsys)[0] == 0
    assert (tmp_path / "j" / "A.jsonl").read_text() == (
        '{"t": null, "d": 1000, "f": "nan"}\n{"t": "", "d": null, "f": "-inf"}\n'
        '{"t": "say \\"hi\\"", "d": -0.50, "f": 1e+16}\n'
    )


# ---------------------------------------------------------------- errors, exit codes, interruptions


@pytest.mark.parametrize(
    "args, message",
    [
        (["check", "missing.json", str(EXAMPLE_FEED)], "missing.json: No such file or directory"),
        (["check", "{bad}", str(EXAMPLE_FEED)], "{bad}: EOF while parsing an object at line 1 column 1"),
        (["check", "notutf8", str(EXAMPLE_FEED)], "notutf8: the schema is not UTF-8 text (byte 2)"),
        (["check", str(EXAMPLE_SCHEMA), "."], ".: is a directory"),
        (["check", str(EXAMPLE_SCHEMA), "truncated.gz"],
         "truncated.gz: cannot read: Compressed file ended before the end-of-stream marker was reached"),
        (["check", str(EXAMPLE_SCHEMA), "plain.gz"], "plain.gz: cannot read: Not a gzipped file (b'H|')"),
        (["check", str(EXAMPLE_SCHEMA), str(EXAMPLE_FEED), "--threads", "0"],
         "argument --threads: must be at least 1: '0' (see kelvane check --help)"),
        (["check", str(EXAMPLE_SCHEMA), str(EXAMPLE_FEED), "--max-errors", "x"],
         "argument --max-errors: not a whole number: 'x' (see kelvane check --help)"),
        (["convert", str(EXAMPLE_SCHEMA), str(EXAMPLE_FEED), "--to", "xml", "--out", "o"],
         "argument --to: invalid choice: 'xml' (choose from 'arrow', 'csv', 'jsonl', 'parquet') "
         "(see kelvane convert --help)"),
        (["convert", str(EXAMPLE_SCHEMA), str(EXAMPLE_FEED), "--to", "csv", "--out", "file.txt"],
         "file.txt: File exists"),
        (["frobnicate"], "argument COMMAND: invalid choice: 'frobnicate' (choose from 'check', 'convert', 'lint') "
                         "(see kelvane --help)"),
        ([], "the following arguments are required: COMMAND (see kelvane --help)"),
    ],
)
def test_errors_are_one_line_with_status_2(args, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "{bad}").write_text("{")
    (tmp_path / "notutf8").write_bytes(b"{\xff}")
    (tmp_path / "truncated.gz").write_bytes(gzip.compress(EXAMPLE_FEED.read_bytes())[:60])
    (tmp_path / "plain.gz").write_bytes(EXAMPLE_FEED.read_bytes())
    (tmp_path / "file.txt").write_text("")
    status, out, err = _decoded(subprocess.run([sys.executable, "-m", "kelvane_feed", *args], capture_output=True,
                                               env=environment(), timeout=300))
    assert status == 2
    assert one_error_line(err) == message


def test_zst_without_zstandard(tmp_path):
    path = tmp_path / "feed.txt.zst"
    path.write_bytes(zstd_compress(EXAMPLE_FEED.read_bytes()))
    status, _, err = kelvane_process("check", str(EXAMPLE_SCHEMA), str(path),
                                     preamble="import sys; sys.modules['zstandard'] = None")
    assert status == 2
    assert one_error_line(err) == f"{path}: reading .zst files needs zstandard: pip install 'kelvane[zstd]'"
    status, out, _ = kelvane_process("check", str(EXAMPLE_SCHEMA), str(path))
    assert status == 1 and f"{path}: 7 lines, 3 rejected" in out


def test_parquet_without_pyarrow(tmp_path):
    status, _, err = kelvane_process("convert", str(EXAMPLE_SCHEMA), str(EXAMPLE_FEED), "--to", "parquet", "--out",
                                     str(tmp_path / "o"), preamble="import sys; sys.modules['pyarrow'] = None")
    assert status == 2 and one_error_line(err) == "--to parquet needs pyarrow: pip install 'kelvane[arrow]'"
    assert not (tmp_path / "o").exists()


def big_feed(path: Path, lines: int) -> None:
    block = EXAMPLE_FEED.read_bytes() * 1000
    with open(path, "wb") as file:
        for _ in range(lines // 7000):
            file.write(block)


def test_closed_pipe(tmp_path):
    feed = tmp_path / "big.txt"
    big_feed(feed, 70_000)
    process = subprocess.Popen([sys.executable, "-m", "kelvane_feed", "check", str(EXAMPLE_SCHEMA), str(feed)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment())
    assert process.stdout is not None and process.stderr is not None
    process.stdout.readline()
    process.stdout.close()  # as `| head -1` does
    err = process.stderr.read().decode()
    assert process.wait(timeout=300) == 2
    assert one_error_line(err) == "standard output was closed before the end (broken pipe)"


@pytest.mark.parametrize("form, signal_number", [("csv", signal.SIGINT), ("jsonl", signal.SIGTERM)])
def test_interrupted_convert_leaves_nothing(form, signal_number, tmp_path):
    feed = tmp_path / "big.txt"
    big_feed(feed, 700_000)  # seconds of work through the Parser
    out = tmp_path / "out"
    out.mkdir()
    (out / "_manifest.json").write_text("{}")  # a finished earlier conversion stays as it was
    process = subprocess.Popen(
        [sys.executable, "-m", "kelvane_feed", "convert", str(EXAMPLE_SCHEMA), str(feed), "--to", form, "--out",
         str(out), "--threads", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment())
    deadline = time.monotonic() + 120
    while not any(p.name.startswith(".kelvane-convert-") and any(p.iterdir()) for p in out.iterdir()):
        assert time.monotonic() < deadline and process.poll() is None, "the conversion never started writing"
        time.sleep(0.05)
    time.sleep(0.2)
    process.send_signal(signal_number)
    _, err = process.communicate(timeout=300)
    assert process.returncode == 130
    assert one_error_line(err.decode()) == "interrupted"
    assert [p.name for p in out.iterdir()] == ["_manifest.json"]
    assert (out / "_manifest.json").read_text() == "{}"


def test_max_errors_convert_writes_nothing(tmp_path, capsys):
    status, out, err = run("convert", EXAMPLE_SCHEMA, EXAMPLE_FEED, "--to", "jsonl", "--out", tmp_path / "o",
                           "--max-errors", "1", capsys=capsys)
    assert status == 1 and out == ""
    assert one_error_line(err) == f"{EXAMPLE_FEED}: stopped at rejected line 1 (--max-errors): nothing written"
    assert list((tmp_path / "o").iterdir()) == []


# ---------------------------------------------------------------- lint, progress, entry point


def test_lint_command(tmp_path, capsys):
    schema = tmp_path / "s.json"
    schema.write_text('{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false,\n'
                      ' "lines": [{"name": "A", "fields": [{"kind": "INT", "required": true, "max_vale": 1}]}]}\n')
    status, out, _ = run("lint", schema, capsys=capsys)
    assert status == 1
    assert out.splitlines() == [
        f"{schema}:2:71: lines[0].fields[0].max_vale: unknown key `max_vale` in a field of kind INT; "
        "did you mean `max_value`?",
        f"{schema}: 1 finding",
    ]
    status, out, _ = run("lint", schema, "--format", "json", capsys=capsys)
    assert [json.loads(line) for line in out.splitlines()] == [
        {"type": "finding", "file": str(schema), **finding._asdict()} for finding in kelvane_feed.Schema.from_file(schema).lint()
    ]
    assert run("lint", EXAMPLE_SCHEMA, capsys=capsys) == (0, f"{EXAMPLE_SCHEMA}: no findings\n", "")


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_bar_only_on_a_terminal(tmp_path, capsys, monkeypatch):
    feed = tmp_path / "feed.txt"
    big_feed(feed, 7000)
    quiet = run("check", EXAMPLE_SCHEMA, feed, capsys=capsys)
    assert quiet[2] == ""  # standard error is a pipe here: no bar
    monkeypatch.setattr(cli, "PROGRESS_DELAY", 0)
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    status = cli.main(["check", str(EXAMPLE_SCHEMA), str(feed)])
    assert (status, capsys.readouterr().out) == quiet[:2]  # the same report
    assert "B/s" in terminal.getvalue() or "iB" in terminal.getvalue()
    terminal.truncate(0)
    assert cli.main(["check", str(EXAMPLE_SCHEMA), str(feed), "--format", "json"]) == 1
    assert cli.main(["check", str(EXAMPLE_SCHEMA), str(feed), "--no-progress"]) == 1
    assert terminal.getvalue().strip("\x00") == ""


def test_console_script_is_the_command_line():
    scripts = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
    module, _, function = scripts["kelvane"].partition(":")
    assert (module, function) == ("kelvane_feed.cli", "main") and cli.main is kelvane_feed.cli.main
    status, out, err = kelvane_process("--version")
    assert (status, out, err) == (0, f"kelvane {kelvane_feed.__version__}\n", "")
