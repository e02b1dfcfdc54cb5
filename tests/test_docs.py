"""Every example in README.md and docs/*.md runs, so none can go stale.

Fenced blocks must name their language. In each file, in order:
- ```python blocks run in one namespace per file; a block written with `>>>`
  prompts is a doctest, whose shown results and exceptions are checked;
- ```python script blocks are whole programs, run on their own by the
  interpreter (multiprocessing forced to "spawn", the strictest start method);
  a ```text output block right after one holds its exact standard output;
- ```json blocks must be valid JSON; a schema or field description among them
  must build a Parser; one written ```json file=NAME is also saved as NAME in
  the working directory, for the blocks after it;
- ```console blocks are shell sessions: each `$ ` line runs in bash with
  `kelvane` (the command line) on PATH, and the lines up to the next `$ ` are
  its exact output, standard error included; `$ echo $?` shows the exit
  status of the command before it;
- ```sh and ```text blocks are shell commands or plain text, never run;
- a table headed `| specifier | reads | kind | format | text | value |` holds
  examples of formats: each text is read under its format as a field of its
  kind (DATETIME in zone UTC) and must give the value's str(), or fail.
All the Python is also checked with `mypy --strict` against the kelvane
stubs, and the stubs against the module.
"""

import dataclasses
import doctest
import io
import json
import os
import re
import subprocess
import sys
import sysconfig
import types
from pathlib import Path

import pytest

import kelvane

ROOT = Path(__file__).resolve().parent.parent
DOC_FILES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
LANGUAGES = {"python", "json", "sh", "console", "text"}
STUBS = ROOT / "kelvane-stubs" / "__init__.pyi"
FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})(.*)$")


@dataclasses.dataclass
class Block:
    path: Path
    line: int  # of the opening fence, 1-based
    language: str
    options: list[str]
    text: str
    output: "Block | None" = None  # the ```text output block of a script

    @property
    def where(self) -> str:
        return f"{self.path.relative_to(ROOT)}:{self.line}"

    @property
    def is_doctest(self) -> bool:
        return self.text.lstrip().startswith(">>>")


def read_blocks(path: Path) -> list[Block]:
    """The fenced blocks of a Markdown file; malformed fences fail."""
    blocks: list[Block] = []
    lines = path.read_text(encoding="utf-8").splitlines()
    index = 0
    while index < len(lines):
        match = FENCE.match(lines[index])
        if not match:
            index += 1
            continue
        indent, fence, info = match.groups()
        where = f"{path.relative_to(ROOT)}:{index + 1}"
        assert not indent, f"{where}: fenced blocks start at the left margin (an indented one would not run)"
        words = info.split()
        assert words and words[0] in LANGUAGES, f"{where}: a fenced block names one of {sorted(LANGUAGES)}"
        end = index + 1
        while end < len(lines) and lines[end].rstrip() != fence:
            end += 1
        assert end < len(lines), f"{where}: unclosed fence"
        blocks.append(Block(path, index + 1, words[0], words[1:], "\n".join(lines[index + 1 : end]) + "\n"))
        index = end + 1
    for block, following in zip(blocks, blocks[1:]):
        if following.language == "text" and following.options == ["output"]:
            assert block.options == ["script"], f"{following.where}: an output block follows a ```python script block"
            block.output = following
    allowed = {"python": ([], ["script"]), "text": ([], ["output"]), "json": ([],), "console": ([],), "sh": ([],)}
    for block in blocks:
        file_option = block.language == "json" and len(block.options) == 1 and block.options[0].startswith("file=")
        assert file_option or block.options in allowed[block.language], f"{block.where}: unknown option"
    return blocks


def example_environment() -> dict[str, str]:
    """The environment of programs the examples run: the same kelvane and
    kelvane_feed as this test, wherever they live."""
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(
        [str(Path(kelvane.__file__).parent), *filter(None, [environment.get("PYTHONPATH")])]
    )
    return environment


@pytest.fixture
def docs_dir(tmp_path, monkeypatch):
    """A working directory where the examples' relative paths resolve."""
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_doctest(block: Block, namespace: dict) -> None:
    parser = doctest.DocTestParser()
    test = parser.get_doctest(block.text, namespace, block.where, str(block.path), block.line)
    test.globs = namespace  # not the copy doctest makes: later blocks see what this one defines
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    result = runner.run(test, out=report.write, clear_globs=False)
    assert result.failed == 0, f"{block.where}: doctest failed\n{report.getvalue()}"


def run_script(block: Block, directory: Path) -> None:
    script = directory / f"example_{block.line}.py"
    script.write_text(block.text, encoding="utf-8")
    # The spawn start method re-imports the script in every worker, so the
    # example must work where nothing is inherited (macOS, Windows, 3.14+).
    launcher = (
        "import multiprocessing, runpy, sys; multiprocessing.set_start_method('spawn'); "
        "sys.argv = [sys.argv[1]]; runpy.run_path(sys.argv[0], run_name='__main__')"
    )
    completed = subprocess.run(
        [sys.executable, "-c", launcher, str(script)], capture_output=True, text=True, env=example_environment(),
        timeout=300,
    )
    assert completed.returncode == 0, f"{block.where}: the program failed\n{completed.stdout}{completed.stderr}"
    if block.output is not None:
        assert completed.stdout == block.output.text, f"{block.where}: output differs from {block.output.where}"


def run_console(block: Block, directory: Path) -> None:
    """Runs each `$ ` command of a shell session and compares its output."""
    shims = directory / ".bin"
    shims.mkdir(exist_ok=True)
    kelvane_command = shims / "kelvane"
    kelvane_command.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m kelvane_feed "$@"\n')
    kelvane_command.chmod(0o755)
    environment = example_environment()
    environment["PATH"] = os.pathsep.join([str(shims), environment.get("PATH", "")])
    environment["LC_ALL"] = "C"  # the order `ls` lists in
    lines = block.text.splitlines(keepends=True)
    assert lines and lines[0].startswith("$ "), f"{block.where}: a session starts with a `$ ` command"
    commands: list[tuple[str, str]] = []
    for line in lines:
        if line.startswith("$ "):
            commands.append((line[2:].rstrip("\n"), ""))
        else:
            commands[-1] = (commands[-1][0], commands[-1][1] + line)
    status = 0
    for command, expected in commands:
        if command == "echo $?":
            output = f"{status}\n"
        else:
            completed = subprocess.run(
                ["bash", "-c", command], cwd=directory, env=environment, stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT, text=True, timeout=300,
            )
            status, output = completed.returncode, completed.stdout
        assert output == expected, f"{block.where}: `{command}` wrote\n{output}\ninstead of\n{expected}"


def check_json(block: Block) -> None:
    try:
        value = json.loads(block.text)
    except json.JSONDecodeError as error:
        pytest.fail(f"{block.where}: not valid JSON: {error}")
    kinds = {"STR", "STR_ENUM", "INT", "INT_ENUM", "FLOAT", "DECIMAL", "BOOL", "DATETIME", "DATE", "TIME"}
    if isinstance(value, dict) and "lines" in value or isinstance(value, list) and len(value) == 5 and value[0] not in kinds:
        kelvane.Parser(block.text)
    elif isinstance(value, dict) and "kind" in value or isinstance(value, list) and value and value[0] in kinds:
        settings = {"delimiter": "|", "trailing_delimiter": False, "coerce_empty_quoted": False}
        kelvane.Parser(json.dumps({**settings, "lines": [{"name": "A", "fields": [value]}]}))


FORMAT_TABLE = ["specifier", "reads", "kind", "format", "text", "value"]


def format_table_rows(path: Path) -> list[tuple[str, list[str]]]:
    """The rows of the format example tables of a file, with their places."""
    rows: list[tuple[str, list[str]]] = []
    in_table = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")] if line.startswith("|") else None
        if cells == FORMAT_TABLE:
            in_table = True
        elif cells is None:
            in_table = False
        elif in_table and not set(line) <= set("|-: "):
            assert len(cells) == len(FORMAT_TABLE), f"{path.relative_to(ROOT)}:{number}: a cell holds a '|'"
            rows.append((f"{path.relative_to(ROOT)}:{number}", cells))
    return rows


def code(cell: str) -> str:
    assert len(cell) > 2 and cell[0] == cell[-1] == "`", cell
    return cell[1:-1]


def check_format_row(where: str, cells: list[str]) -> None:
    kind, format, text, value = cells[2], code(cells[3]), code(cells[4]), cells[5]
    field = {"kind": kind, "required": True, "format": format, **({"time_zone": "UTC"} if kind == "DATETIME" else {})}
    document = {"delimiter": "|", "trailing_delimiter": False, "coerce_empty_quoted": False,
                "lines": [{"name": "A", "fields": [field]}]}
    parser = kelvane.Parser(json.dumps(document))
    if value == "fails":
        with pytest.raises(ValueError, match=f"^Does not parse as {kind.lower()} - "):
            parser.parse_line("A|" + text)
    else:
        assert str(parser.parse_line("A|" + text)[1]) == code(value), where


@pytest.mark.parametrize("path", DOC_FILES, ids=lambda path: str(path.relative_to(ROOT)))
def test_examples_run(path, docs_dir):
    blocks = read_blocks(path)
    for where, cells in format_table_rows(path):
        check_format_row(where, cells)
    module = types.ModuleType(f"kelvane_docs_{path.stem.lower()}")
    sys.modules[module.__name__] = module  # functions defined by examples can then be pickled
    try:
        for block in blocks:
            if block.language == "json":
                check_json(block)
                if block.options:
                    (docs_dir / block.options[0].removeprefix("file=")).write_text(block.text, encoding="utf-8")
            elif block.language == "console":
                run_console(block, docs_dir)
            elif block.language != "python":
                continue
            elif block.options == ["script"]:
                run_script(block, docs_dir)
            elif block.is_doctest:
                run_doctest(block, module.__dict__)
            else:
                exec(compile(block.text, block.where, "exec"), module.__dict__)
    finally:
        del sys.modules[module.__name__]


def mypy_environment(tmp_path: Path) -> dict[str, str]:
    """mypy reads the installed kelvane-stubs and kelvane_feed when kelvane is
    installed, the repository's copies otherwise (a development build on
    PYTHONPATH)."""
    environment = dict(os.environ)
    installed = Path(kelvane.__file__).parent in {Path(sysconfig.get_paths()[key]) for key in ("purelib", "platlib")}
    if not installed:
        (tmp_path / "stubs" / "kelvane").mkdir(parents=True)
        (tmp_path / "stubs" / "kelvane" / "__init__.pyi").write_text(STUBS.read_text(encoding="utf-8"))
        environment["MYPYPATH"] = os.pathsep.join([str(tmp_path / "stubs"), str(ROOT / "python")])
    return environment


def test_installed_stubs_are_the_repository_stubs():
    site = {Path(sysconfig.get_paths()[key]) for key in ("purelib", "platlib")}
    if Path(kelvane.__file__).parent not in site:
        pytest.skip("kelvane runs from a development build, not an installed distribution")
    installed = [directory / "kelvane-stubs" / "__init__.pyi" for directory in site]
    assert any(stub.is_file() and stub.read_text() == STUBS.read_text() for stub in installed), installed


def test_examples_and_stubs_pass_mypy_strict(tmp_path):
    sources = tmp_path / "sources"
    sources.mkdir()
    for path in DOC_FILES:
        module: list[str] = []
        for block in (block for block in read_blocks(path) if block.language == "python"):
            if block.options == ["script"]:
                (sources / f"{path.stem.lower()}_script_{block.line}.py").write_text(block.text)
            elif block.is_doctest:
                examples = doctest.DocTestParser().get_examples(block.text)
                module += [example.source for example in examples]
            else:
                module.append(block.text)
        if module:
            (sources / f"{path.stem.lower()}_examples.py").write_text("".join(module))
    environment = mypy_environment(tmp_path)
    # mypy reads files only: it needs none of a sanitizer run's settings.
    for name in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        environment.pop(name, None)
    files = sorted(str(path) for path in sources.iterdir())
    # The Arrow consumers kelvane_feed converts to ship without type
    # information; a user's mypy sees the same. Dask and fsspec are typed in
    # part only (untyped functions, names not re-exported): they are read as
    # untyped too.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n[mypy-pandas.*,pyarrow.*,polars.*,duckdb.*]\nignore_missing_imports = True\n"
                      "[mypy-dask.*,distributed.*,fsspec.*]\nfollow_imports = skip\nignore_missing_imports = True\n")
    command = [sys.executable, "-m", "mypy", "--strict", "--config-file", str(config),
               "--cache-dir", str(ROOT / "build" / "mypy-cache"), *files]
    completed = subprocess.run(command, capture_output=True, text=True, env=environment, cwd=sources, timeout=600)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    # kelvane_feed as a whole (its command line is in no example).
    package = subprocess.run(command[:-len(files)] + ["-p", "kelvane_feed"], capture_output=True, text=True,
                             env=environment, cwd=sources, timeout=600)
    assert package.returncode == 0, package.stdout + package.stderr
    # The stubs themselves, under the module's name (errors inside an
    # installed package would not be reported through the examples).
    (tmp_path / "stubcheck" / "kelvane").mkdir(parents=True)
    (tmp_path / "stubcheck" / "kelvane" / "__init__.pyi").write_text(STUBS.read_text(encoding="utf-8"))
    stubs = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache"), "kelvane"],
        capture_output=True, text=True, env=environment, cwd=tmp_path / "stubcheck", timeout=600,
    )
    assert stubs.returncode == 0, stubs.stdout + stubs.stderr


def test_stubs_match_the_module(tmp_path):
    """stubtest compares every name and signature of the stubs with the module
    as imported (so this run's build, sanitizer settings included)."""
    environment = mypy_environment(tmp_path)
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kelvane", "--mypy-config-file", os.devnull],
        capture_output=True, text=True, env=environment, timeout=600,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
