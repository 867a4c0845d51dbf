#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every stage.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
jobs=$(nproc)

echo "== build and unit/end-to-end tests"
bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== fuzz targets (clang libFuzzer, bounded time each)"
bash fuzz/run.sh
