# Sourced by the bench scripts: the Release build they measure and the paths of its programs, a
# scratch folder removed on exit, and the median and milliseconds of a column of nanoseconds.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# bench_build BUILD_DIR TARGET...: configures the build when it is missing and builds the targets.
bench_build() {
  build=$1
  shift
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEV_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$build" --target "$@" >/dev/null
  zevupdate=$build/ra_ZuduzivurOzud/zevupdate
  zevsim=$build/emulator/zevsim
  measure=$build/bench/bench_measure
  floor=$build/bench/bench_flash_floor
}

# bench_workdir NAME: sets work to a new folder under /tmp, removed on exit.
bench_workdir() {
  export TMPDIR=/tmp
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

median() { sort -n | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else printf "%d\n", (v[NR/2]+v[NR/2+1])/2}'; }
ms() { awk -v ns="$1" 'BEGIN {printf "%.1f", ns/1e6}'; }
