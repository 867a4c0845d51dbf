#!/usr/bin/env bash
# emulator/recordings/remake.sh [BUILD_DIR]: records `zevupdate -i` inside the emulated host of a few
# scenarios (redacted) into NAME.json, replays each recording and keeps the inventory document the
# replay gives as NAME.inventory.xml. The replay must answer every request from the recording.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
zevsim=$build/emulator/zevsim
[ -x "$zevsim" ] && [ -x "$build/ra_ZuduzivurOzud/zevupdate" ] || { echo "build zevsim and zevupdate in $build first" >&2; exit 1; }

export TMPDIR=/tmp
work=$(mktemp -d /tmp/zevrecordings.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A copy beside the run, so that the recorded command line names no folder of this machine.
cp "$build/ra_ZuduzivurOzud/zevupdate" "$work/zevupdate"

remake() {  # remake NAME SCENARIO
  local name=$1 scenario=$2
  rm -f "$work/inventory.xml"
  (cd "$work" && "$zevsim" run "$root/emulator/scenarios/$scenario.json" -- \
    "$zevsim" record --redact --output "$here/$name.json" -- ./zevupdate -i -o inventory.xml)
  chmod 0644 "$here/$name.json"
  rm -f "$work/inventory.xml"
  (cd "$work" && "$zevsim" run "$here/$name.json" -- ./zevupdate -i -o inventory.xml) 2>"$work/replay.txt"
  grep -q ' 0 unmatched, 0 recorded entries unused' "$work/replay.txt" || { cat "$work/replay.txt" >&2; exit 1; }
  cp "$work/inventory.xml" "$here/$name.inventory.xml"
  echo "$name: $(cat "$work/replay.txt")"
}

remake hpsa-single one-hpsa
remake smartpqi-single smartpqi
remake aacraid-pair e2e_aacraid_identical
