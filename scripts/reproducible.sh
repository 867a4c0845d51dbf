#!/usr/bin/env bash
# scripts/reproducible.sh [--first <dir>]: builds the Debian packages twice from the same source
# (scripts/deb-build.sh: the files git tracks), in two folders of different names and depths, one
# after the other, the second with another time zone, locale, umask and source file times (older
# than the changelog date, as in an old checkout), and compares every .deb
# byte for byte. Exit 0 when all are identical.
#   --first <dir>  the .deb files an earlier scripts/deb-build.sh left in <dir> stand for the first
#                  build (the test command builds the package once already; this saves a build).
# The second build skips the check step (DEB_BUILD_OPTIONS=nocheck): what is shipped must not depend
# on it either, and it halves the time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
first=""
if [ "${1:-}" = "--first" ]; then
  first=$(cd "$2" && pwd)
  shift 2
fi
[ $# -eq 0 ] || { echo "usage: $0 [--first <dir>]" >&2; exit 2; }

work=$(mktemp -d /tmp/zevrepro.XXXXXX)
trap 'rm -rf "$work"' EXIT
jobs=$(nproc)

if [ -z "$first" ]; then
  first=$work/out-a
  mkdir -p "$work/a"
  ZEV_DEB_WORK=$work/a bash "$root/scripts/deb-build.sh" "$first" -j"$jobs"
fi
# Another folder (longer, deeper path), later, another zone, locale and umask.
second=$work/out-b
mkdir -p "$work/second-build/elsewhere"
( umask 0002
  export TZ=UTC-14 LC_ALL=C.UTF-8 LANG=C.UTF-8 ZEV_DEB_SOURCE_MTIME="2001-02-03 04:05:06"
  export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
  ZEV_DEB_WORK=$work/second-build/elsewhere bash "$root/scripts/deb-build.sh" "$second" -j"$jobs" )

status=0
compared=0
for a in "$first"/*.deb; do
  name=$(basename "$a")
  b=$second/$name
  if [ ! -f "$b" ]; then
    echo "FAIL: $name was built only the first time"; status=1; continue
  fi
  compared=$((compared + 1))
  if cmp -s "$a" "$b"; then
    echo "ok: $name identical ($(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -d' ' -f1))"
    continue
  fi
  status=1
  echo "FAIL: $name differs"
  # Where: control fields, then the files whose contents or metadata differ.
  diff <(dpkg-deb -I "$a") <(dpkg-deb -I "$b") | head -20 || true
  diff <(dpkg-deb -c "$a") <(dpkg-deb -c "$b") | head -20 || true
  mkdir -p "$work/x/a" "$work/x/b"
  dpkg-deb -x "$a" "$work/x/a/$name"
  dpkg-deb -x "$b" "$work/x/b/$name"
  diff <(cd "$work/x/a/$name" && find . -type f -exec sha256sum {} + | sort -k2) \
       <(cd "$work/x/b/$name" && find . -type f -exec sha256sum {} + | sort -k2) || true
done
for b in "$second"/*.deb; do
  [ -f "$first/$(basename "$b")" ] || { echo "FAIL: $(basename "$b") was built only the second time"; status=1; }
done
[ "$compared" -gt 0 ] || { echo "FAIL: no package to compare in $first"; status=1; }
[ $status -eq 0 ] && echo "reproducible: $compared packages identical"
exit $status
