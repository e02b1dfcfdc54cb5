# Shared by scripts/demo, scripts/test and scripts/wheel (sourced, not run):
# virtual environments with the build tools, and an incremental install of
# kelvane that shows the build's progress.
#
# Builds run without pip's build isolation, so CMake, Ninja and the pinned
# tzdata keep the same paths from one run to the next, in a build directory of
# each environment's own (build/venv-3.12, ...): a run with no change rebuilds
# nothing.

say() { echo "== $*" >&2; }
fail() { echo "${0##*/}: $*" >&2; exit 1; }

python_version() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

# The build requirements of pyproject.toml plus CMake and Ninja, one a line.
build_tools() {
  "$1" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"] + ["cmake>=3.20", "ninja"]))'
}

# ensure_venv PYTHON DIR: DIR is a virtual environment of PYTHON holding the
# build tools. A stamp records which tools were installed, so that later runs
# skip pip entirely until pyproject.toml asks for something else.
ensure_venv() {
  local py=$1 venv=$2 tools requirements
  if [ ! -x "$venv/bin/python" ] || [ "$(python_version "$venv/bin/python" 2>/dev/null)" != "$(python_version "$py")" ]; then
    say "creating $venv (Python $(python_version "$py"))"
    rm -rf "$venv"
    "$py" -m venv "$venv" || fail "could not create $venv with $py"
  fi
  tools=$(build_tools "$venv/bin/python")
  if [ "$(cat "$venv/.kelvane-build-tools" 2>/dev/null)" != "$tools" ]; then
    say "installing the build tools into $venv"
    mapfile -t requirements <<<"$tools"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "${requirements[@]}" \
      || fail "could not install the build tools into $venv"
    echo "$tools" >"$venv/.kelvane-build-tools"
  fi
}

# pip_build VENV COMMAND [pip arguments...]: runs `pip COMMAND` (install or
# wheel) on the project in VENV's build directory, printing the build's steps;
# the whole output is kept in build/logs/ and its end shown on failure.
pip_build() {
  local venv=$1 command=$2 log
  shift 2
  mkdir -p build/logs
  log=build/logs/$command-${venv#.}.log
  if ! "$venv/bin/python" -m pip "$command" -v --disable-pip-version-check --no-build-isolation \
       --config-settings=build-dir="build/${venv#.}" "$@" 2>&1 \
       | tee "$log" | sed -u -n -E 's/^ *(\*\*\* .*|\[[0-9]+\/[0-9]+\] .*)$/   \1/p' >&2; then
    tail -n 40 "$log" >&2
    fail "pip $command in $venv failed (full log: $log)"
  fi
}

# install_kelvane VENV [pip arguments...]: builds and installs the project
# (e.g. ".[test]") into VENV.
install_kelvane() {
  say "building and installing kelvane into $1 (incremental)"
  pip_build "$1" install "${@:2}"
}
