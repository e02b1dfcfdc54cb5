"""The set-up scripts on machines made up for the test: fake pyenv roots,
interpreters, compilers, apt-get and sudo on a PATH of the test's own, so
that what the scripts would install, and how, is seen without installing."""

import importlib.metadata
import os
import shutil
import stat
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

import pytest

import kelvane

ROOT = Path(__file__).resolve().parent.parent
BASH = shutil.which("bash")


def executable(path: Path, text: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!" + BASH + "\n" + text)
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


def fake_python(path: Path, version: str, prefix: str = "/usr", venv: bool = True, headers: bool = True) -> Path:
    """An interpreter answering the scripts' probes as a Python `version` would."""
    probe = f'echo "{version} {prefix} {int(venv)} {int(headers)}"'
    return executable(path, f"""
case "$1" in
  -c) echo "{version} {path}" ;;   # scripts/pythons: version and executable
  -) cat >/dev/null; {probe} ;;   # scripts/prerequisites: version, prefix, venv, headers
esac
""")


def run(script: str, path_dirs: list[Path], *arguments: str, **environment: str) -> subprocess.CompletedProcess:
    # Only the test's own tools, plus the basic utilities the scripts use.
    basics = path_dirs[0].parent / "basics"
    basics.mkdir(exist_ok=True)
    for tool in ("cat", "dirname", "grep", "ls", "sed", "sort", "tr"):
        if not (basics / tool).exists():
            (basics / tool).symlink_to(shutil.which(tool))
    env = {"PATH": os.pathsep.join(str(directory) for directory in [*path_dirs, basics]), **environment}
    return subprocess.run([BASH, str(ROOT / "scripts" / script), *arguments], capture_output=True, text=True, env=env)


def test_pythons_prefers_the_newest_pyenv_release_then_path(tmp_path):
    root = tmp_path / "pyenv-root"
    for release in ("3.12.1", "3.12.10", "3.13.0", "3.11.7"):
        fake_python(root / "versions" / release / "bin" / f"python{release[:4]}", release[:4])
    executable(tmp_path / "bin" / "pyenv", f'[ "$1" = root ] && echo {root}\n')
    found = run("pythons", [tmp_path / "bin"])
    assert found.returncode == 0, found.stderr
    assert found.stdout.split() == [
        str(root / "versions/3.12.10/bin/python3.12"), str(root / "versions/3.13.0/bin/python3.13")]

    # Without pyenv, python3.12 and python3.13 on PATH; a shim that does not
    # run (pyenv's when that version is not selected) is passed over.
    executable(tmp_path / "path" / "python3.12", "exit 127\n")
    fake_python(tmp_path / "path" / "python3.13", "3.13")
    found = run("pythons", [tmp_path / "path"])
    assert found.stdout.split() == [str(tmp_path / "path" / "python3.13")]

    missing = run("pythons", [tmp_path / "empty"])
    assert missing.returncode == 1 and "set KELVANE_PYTHONS" in missing.stderr

    chosen = run("pythons", [tmp_path / "path"], KELVANE_PYTHONS=str(tmp_path / "path" / "python3.13"))
    assert chosen.stdout.split() == [str(tmp_path / "path" / "python3.13")]
    old = fake_python(tmp_path / "old" / "python3", "3.11")
    refused = run("pythons", [tmp_path / "path"], KELVANE_PYTHONS=str(old))
    assert refused.returncode == 1 and "which is Python 3.11" in refused.stderr


def machine(tmp_path: Path, root: bool, rapidjson: bool, sudo: bool = True) -> Path:
    """A PATH with a compiler (finding RapidJSON or not), apt-get, id and sudo
    that log what they are asked to do into apt.log."""
    bin = tmp_path / "bin"
    log = tmp_path / "apt.log"
    found = "exit 0" if rapidjson else "exit 1"
    executable(bin / "c++", f'[ "$1" = -E ] && {{ cat >/dev/null; {found}; }}\nexit 0\n')
    executable(bin / "id", f'echo {0 if root else 1000}\n')
    executable(bin / "apt-get", f'echo "apt-get $*" >>{log}\n')
    if sudo:
        executable(bin / "sudo", f'echo "sudo" >>{log}\n"$@"\n')
    return bin


@pytest.mark.parametrize("root", [True, False], ids=["root", "user"])
def test_prerequisites_installs_what_is_missing_with_sudo_when_not_root(tmp_path, root):
    bin = machine(tmp_path, root=root, rapidjson=False)
    system = fake_python(tmp_path / "usr" / "python3.12", "3.12", venv=False, headers=False)
    done = run("prerequisites", [bin], str(system))
    # The probe for the headers still fails after the fake install.
    assert done.returncode == 1 and "still not found" in done.stderr
    log = (tmp_path / "apt.log").read_text().splitlines()
    wanted = "python3.12-venv python3.12-dev rapidjson-dev"
    expected = ["apt-get update -qq", f"apt-get install -y -qq --no-install-recommends {wanted}"]
    if not root:
        expected = ["sudo", expected[0], "sudo", expected[1]]
    assert log == expected
    said = done.stderr.splitlines()[0]
    assert said.startswith(f"scripts/prerequisites: installing {wanted} with {'' if root else 'sudo '}apt-get")
    assert "Python 3.12's venv module" in said and "the RapidJSON headers" in said


def test_prerequisites_does_nothing_on_a_ready_machine_and_explains_what_it_cannot_fix(tmp_path):
    bin = machine(tmp_path, root=False, rapidjson=True, sudo=False)
    ready = fake_python(tmp_path / "usr" / "python3.13", "3.13")
    done = run("prerequisites", [bin], str(ready))
    assert (done.returncode, done.stderr, (tmp_path / "apt.log").exists()) == (0, "", False)

    # An interpreter of its own (pyenv, a source build) cannot be fixed by packages.
    built = fake_python(tmp_path / "pyenv" / "python3.13", "3.13", prefix=str(tmp_path / "pyenv"), headers=False)
    refused = run("prerequisites", [bin], str(built))
    assert refused.returncode == 1 and "has no C headers" in refused.stderr

    # Not root and no sudo: the command to run, and nothing attempted.
    bare = fake_python(tmp_path / "usr" / "python3.12", "3.12", venv=False)
    refused = run("prerequisites", [bin], str(bare))
    assert refused.returncode == 1
    assert refused.stderr.strip().endswith("as root, run: apt-get install python3.12-venv")
    assert len(refused.stderr.splitlines()) == 1


def test_installed_distribution_carries_its_version():
    """When kelvane is installed (scripts/test), the version comes from the
    distribution metadata, equal to pyproject.toml's."""
    site = {Path(sysconfig.get_paths()[key]) for key in ("purelib", "platlib")}
    if Path(kelvane.__file__).parent not in site:
        pytest.skip("kelvane runs from a development build, not an installed distribution")
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert importlib.metadata.version("kelvane") == declared
    assert not hasattr(kelvane, "__version__")  # the module's surface stays as it is
