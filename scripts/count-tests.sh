#!/bin/sh
# Counts the test cases of a build: ctest's entries, and every GoogleTest program's leaf cases
# (parameterised rows included), so that a clean-up of the tests can show none was dropped.
# Usage: scripts/count-tests.sh [BUILD_DIR]   (default: build)
set -eu
build=${1:-build}
ctest_count=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')
gtest_count=0
for program in $(find "$build/tests" -type f -perm -u+x -name '*_tests' | sort); do
  # Leaf entries are indented; suite lines are not.
  n=$("$program" --gtest_list_tests | grep -c '^  ' || true)
  printf '%6d %s\n' "$n" "${program#"$build"/}"
  gtest_count=$((gtest_count + n))
done
echo "ctest entries: $ctest_count"
echo "gtest cases: $gtest_count"
