#!/usr/bin/env bash
# The tool's main job, end to end: builds it and runs an inventory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "== zevupdate -i" >&2
"$root/build/ra_ZuduzivurOzud/zevupdate" -i
echo
