"""One Parser shared between threads; the module in a second interpreter; re-import."""
import random
import sys
import threading
import warnings

import pytest

import kelvane
from builders import schema_json

SCHEMA = schema_json(
    {
        "R": [
            {"kind": "INT", "required": True, "min_value": 0},
            {"kind": "DECIMAL", "required": False, "round_decimal_places": 2},
            {"kind": "FLOAT", "required": False},
            {"kind": "STR_ENUM", "required": False, "values": ["A", "B"]},
            {"kind": "BOOL", "required": False, "true_value": "Y", "false_value": "N"},
            {"kind": "DATETIME", "required": False, "format": "%Y-%m-%d %H:%M:%S", "time_zone": "Europe/Paris"},
            {"kind": "DATE", "required": False, "format": "%Y%m%d"},
            {"kind": "TIME", "required": False, "format": "%H:%M:%S%.f"},
        ],
        "S": [{"kind": "STR", "required": True, "max_length": 5}],
    }
)


def sample_lines():
    rng = random.Random(8)
    lines = []
    for i in range(300):
        fields = [
            rng.choice([str(i), "-1", "x", "170141183460469231731687303715884105727", ""]),
            rng.choice(["1.005", "-0.015", "", "1e3", "79228162514264337593543950335"]),
            rng.choice(["0.1", "nan", "-0", "1e400", "", "1_0"]),
            rng.choice(["A", "B", "C", "'A'", ""]),
            rng.choice(["Y", "N", "", "y"]),
            rng.choice(["2024-07-01 12:00:00", "2024-03-31 02:30:00", "2024-01-15 10:30:00", ""]),
            rng.choice(["20240229", "20230229", "", "00010101"]),
            rng.choice(["09:30:00.123456789", "24:00:00", "", "12:00:00"]),
        ]
        lines.append("R|" + "|".join(fields))
        lines.append("S|" + "abcdefg"[: rng.randrange(8)])
    lines += ["", "X|1", "R|1", "'S'|abc\n\n"]
    return lines


def outcome(parser, line):
    """The result of parse_line and parse_first as comparable values."""
    results = []
    for method in (parser.parse_line, parser.parse_first):
        try:
            results.append(("ok", method(line)))
        except ValueError as error:
            results.append((type(error), error.args))
    return results


def test_shared_parser_matches_single_thread():
    parser = kelvane.Parser(SCHEMA)
    lines = sample_lines()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = [outcome(parser, line) for line in lines]
    assert any(result[0][0] == "ok" for result in expected)
    assert any(result[0][0] is ValueError for result in expected)

    barrier = threading.Barrier(8)
    mismatches = []
    errors = []

    def work(seed):
        order = list(range(len(lines)))
        random.Random(seed).shuffle(order)
        try:
            barrier.wait()
            for _ in range(5):
                for index in order:
                    got = outcome(parser, lines[index])
                    # NaN never equals itself: compare such floats by repr.
                    if repr(got) != repr(expected[index]):
                        mismatches.append((lines[index], got, expected[index]))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert errors == []
    assert mismatches[:3] == []


def _run_in_subinterpreter(code):
    """Runs `code` in a new interpreter that shares the main one's settings
    (so the interpreter itself does not refuse single-phase modules) and
    returns (exception type name, message) or None."""
    if sys.version_info >= (3, 13):
        try:
            import _interpreters
        except ImportError:
            pytest.skip("no sub-interpreter support in this interpreter")
        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.run_string(interp, code)
        finally:
            _interpreters.destroy(interp)
        return None if failure is None else (failure.type.__name__, failure.msg)
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        pytest.skip("no sub-interpreter support in this interpreter")
    interp = interpreters.create(isolated=False)
    try:
        interpreters.run_string(interp, code)
    except interpreters.RunFailedError as error:
        name, _, message = str(error).partition(": ")
        return name.strip("<>").removeprefix("class ").strip("'"), message
    finally:
        interpreters.destroy(interp)
    return None


def test_subinterpreter_import_refused():
    code = "import sys\nsys.path[:0] = %r\nimport kelvane\n" % sys.path
    failure = _run_in_subinterpreter(code)
    assert failure is not None
    name, message = failure
    assert name == "ImportError"
    assert "sub-interpreters" in message
    # The main interpreter keeps working.
    assert kelvane.Parser(SCHEMA).parse_first("S|x") == "S"
