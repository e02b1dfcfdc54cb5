#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) into
# build/fuzz and runs one target, or all of them, for SECONDS each:
#   fuzz/run.sh TARGET|all SECONDS [extra libFuzzer options]
# Targets: schema line time numbers decimal feed lint. The working corpus lives in
# fuzz/out/corpus/TARGET (seeded from fuzz/seeds.py and fuzz/regressions);
# crashes land in fuzz/out/crashes. `fuzz/run.sh all 10` is the quick check.
# KELVANE_FUZZ_CXX names the clang++ to use (default: clang++ on PATH).
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: fuzz/run.sh TARGET|all SECONDS}
seconds=${2:?usage: fuzz/run.sh TARGET|all SECONDS}
shift 2
all_targets="schema line time numbers decimal feed lint"

# clang and its libFuzzer runtime, from the distribution when missing; the
# runtime package carries clang's major version in its name.
cxx=${KELVANE_FUZZ_CXX:-clang++}
fuzzer_runtime() {
  local dir
  dir=$("$cxx" -print-runtime-dir 2>/dev/null) && [ -f "$dir/libclang_rt.fuzzer-x86_64.a" ]
}
if ! command -v "$cxx" >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi
if ! fuzzer_runtime; then
  major=$("$cxx" -dumpversion | cut -d. -f1)
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
fi
# The configure step needs CMake, Ninja and the pinned tzdata (zone tables).
py=${PYTHON:-$(scripts/dev-python)}
export PATH="$(dirname "$py"):$PATH"

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DPython_EXECUTABLE="$py" -DKELVANE_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_all >&2

# Inputs may be large (a schema of a megabyte holds long strings and deep
# arrays); memory is bounded so that a blow-up is reported, not endured.
limits=(-rss_limit_mb=2048 -malloc_limit_mb=1024)
max_len() {
  case $1 in
    schema) echo 1048576 ;;
    line | lint) echo 65536 ;;
    *) echo 4096 ;;
  esac
}

"$py" fuzz/seeds.py fuzz/out/seeds
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$PWD/fuzz/ubsan.supp
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
mkdir -p fuzz/out/crashes
[ "$target" = all ] && targets=$all_targets || targets=$target
status=0
for name in $targets; do
  corpus=fuzz/out/corpus/$name
  mkdir -p "$corpus"
  seeds=(fuzz/out/seeds/$name)
  [ -d fuzz/regressions/$name ] && seeds+=(fuzz/regressions/$name)
  dict=()
  [ -f fuzz/$name.dict ] && dict=(-dict=fuzz/$name.dict)
  echo "== fuzz_$name for ${seconds}s" >&2
  log=fuzz/out/fuzz_$name.log
  if ! "$build/fuzz_$name" "$corpus" "${seeds[@]}" "${dict[@]}" -max_total_time="$seconds" \
       -max_len="$(max_len "$name")" "${limits[@]}" \
       -artifact_prefix=fuzz/out/crashes/"$name"- -print_final_stats=1 "$@" >"$log" 2>&1; then
    status=1
    echo "!! fuzz_$name failed; see $log" >&2
    grep -m5 -E "ERROR|check failed|runtime error" "$log" >&2 || true
  fi
  grep -E "^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+ +DONE" "$log" >&2 || true
done
exit $status
