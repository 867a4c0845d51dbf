#!/usr/bin/env bash
# scripts/deb-build.sh <out dir> [dpkg-buildpackage options...]: builds the Debian packages
# (dpkg-buildpackage -us -uc -b) from a fresh copy of the source tree (the files git tracks, as they
# are in the working copy) and puts the .deb, .buildinfo and .changes files and the build log in
# <out dir>. The copy goes under $ZEV_DEB_WORK (default: a new folder in /tmp) and is removed
# afterwards, so the working copy and its parent folder stay clean. ZEV_DEB_SOURCE_MTIME (a date
# touch(1) takes) gives every copied file that time, as a checkout made at another time would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 <out dir> [dpkg-buildpackage options...]" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
shift

work=${ZEV_DEB_WORK:-}
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/zevdeb.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
src=$work/zevupdate
rm -rf "$src"
mkdir -p "$src"

# Tracked and new (not ignored) files; a build tree or an earlier package build is never copied.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard \
    | while IFS= read -r -d '' f; do [ -e "$root/$f" ] && printf '%s\0' "$f"; done \
    | tar -C "$root" --null -T - -cf - | tar -C "$src" -xf -
else
  tar -C "$root" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$src" -xf -
fi

# A copy made at another time: the files' own times must not reach the packages.
if [ -n "${ZEV_DEB_SOURCE_MTIME:-}" ]; then
  find "$src" -exec touch --no-dereference --date="$ZEV_DEB_SOURCE_MTIME" {} +
fi

echo "building the Debian packages in $src" >&2
log=$out/build.log
if ! (cd "$src" && dpkg-buildpackage -us -uc -b "$@") >"$log" 2>&1; then
  tail -n 60 "$log" >&2
  echo "dpkg-buildpackage failed; the whole log is $log" >&2
  exit 1
fi
rm -f "$out"/*.deb "$out"/*.buildinfo "$out"/*.changes
mv "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out"/
ls -l "$out"/*.deb >&2
