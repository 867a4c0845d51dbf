#!/usr/bin/env bash
# fuzz/run.sh [seconds per target]: builds every libFuzzer target with clang (ASan+UBSan) in
# build-fuzz and runs each one for a bounded time (default 15 s) from a copy of its seed corpus.
# Any finding (crash, sanitizer report, leak, timeout, out-of-memory) fails the script; the input
# that caused it is kept under build-fuzz/fuzz/findings/.
# Environment: ZEV_FUZZ_SECONDS, ZEV_FUZZ_BUILD_DIR, ZEV_FUZZ_JOBS (build jobs, default 2),
# ZEV_FUZZ_RUNS (stop each target after this many executions, within the time bound),
# ZEV_FUZZ_TARGETS (space-separated names: run only these).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-${ZEV_FUZZ_SECONDS:-15}}
build=${ZEV_FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${ZEV_FUZZ_JOBS:-2}

if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZEV_FUZZ=ON -DZEV_SANITIZE=ON -DZEV_BUILD_TESTS=OFF -DZEV_BUILD_EMULATOR=OFF -DZEV_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target zev_fuzzers -j "$jobs"

targets="$build/fuzz/fuzz_targets.txt"
[ -s "$targets" ] || { echo "fuzz: no target list in $targets" >&2; exit 1; }
findings="$build/fuzz/findings"
mkdir -p "$findings"
# Each run gets an empty working directory: no package.xml, no logging marker around.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

runs=()
[ -n "${ZEV_FUZZ_RUNS:-}" ] && runs=(-runs="$ZEV_FUZZ_RUNS")

failed=0
while read -r name; do
  [ -n "$name" ] || continue
  if [ -n "${ZEV_FUZZ_TARGETS:-}" ] && [[ " $ZEV_FUZZ_TARGETS " != *" $name "* ]]; then continue; fi
  corpus="$work/corpus-$name"
  mkdir -p "$corpus"
  if [ -d "$root/fuzz/corpus/$name" ]; then
    cp -R "$root/fuzz/corpus/$name/." "$corpus/"
  fi
  dict=()
  [ -f "$root/fuzz/$name.dict" ] && dict=(-dict="$root/fuzz/$name.dict")
  log="$work/$name.log"
  rc=0
  (cd "$work" && "$build/fuzz/fuzz_$name" "${dict[@]}" "${runs[@]}" -max_total_time="$secs" -timeout=10 \
     -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 -artifact_prefix="$findings/$name-" \
     "$corpus") >"$log" 2>&1 || rc=$?
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  if [ "$rc" -ne 0 ]; then
    echo "fuzz_$name: FINDING (exit $rc) after ${executed:-?} executions; input kept under $findings" >&2
    tail -n 40 "$log" >&2
    failed=1
  else
    echo "fuzz_$name: ${executed:-?} executions in ${took:-$secs} s, no findings"
  fi
done <"$targets"
exit "$failed"
