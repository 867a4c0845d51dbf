#!/usr/bin/env bash
# scripts/format.sh [--check]: formats every C and C++ source git tracks with .clang-format, or with
# --check fails (listing the files) when any of them is not formatted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
[ ${#files[@]} -gt 0 ] || { echo "format: no sources found" >&2; exit 1; }
if [ "${1:-}" = "--check" ]; then
  clang-format --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} sources formatted"
else
  clang-format -i "${files[@]}"
fi
