#!/usr/bin/env bash
# bench/record.sh [BUILD_DIR]: what recording costs, on the inventory of one emulated hpsa controller
# with 256 disks (each with its /dev/sg node), printed side by side:
#   size - bytes of the recording of that inventory (and with --redact);
#   time - wall time of `zevupdate -i` without and with `zevsim record` around it, run alternately in
#          one emulated host, median of REPEAT (default 7) runs each. The recorded figure includes
#          writing the recording (the journals' merge and the file); `zevsim record -- true` beside
#          them is the fixed part (starting zevsim and the command, writing an empty recording).
set -euo pipefail
. "$(dirname "$0")/common.sh"
repeat=${REPEAT:-7}
bench_build "${1:-$root/build-bench}" zevupdate zevsim zev_recorder bench_measure
bench_workdir zevbench-rec

# One hpsa controller with 256 disks, as bench/run.sh builds its discovery case.
disks=$(for t in $(seq 0 255); do printf '{"address": "0:%d:0", "node": true},' "$t"; done)
printf '{"description": "recording benchmark", "controllers": [{"driver": "hpsa", "disks": [%s]}]}\n' \
  "${disks%,}" >"$work/host.json"

# One emulated host serves every run; plain and recorded inventories alternate inside it.
"$zevsim" run "$work/host.json" -- sh -c '
  for _ in $(seq "$1"); do
    "$2" "$3/plain.txt" -- "$4" -i -o "$3/plain.xml" || exit 1
    "$2" "$3/recorded.txt" -- "$5" record --output "$3/rec.json" -- "$4" -i -o "$3/recorded.xml" || exit 1
    "$2" "$3/fixed.txt" -- "$5" record --output "$3/true.json" -- true || exit 1
  done
  "$5" record --redact --output "$3/redacted.json" -- "$4" -i -o "$3/redacted.xml"' \
  sh "$repeat" "$measure" "$work" "$zevupdate" "$zevsim"

if awk '$3 != 0 {bad=1} END {exit !bad}' "$work/plain.txt" "$work/recorded.txt" "$work/fixed.txt"; then
  echo "a measured run failed" >&2; exit 1
fi
cmp -s "$work/plain.xml" "$work/recorded.xml" || { echo "the recorded inventory differs from the plain one" >&2; exit 1; }
plain=$(cut -d' ' -f1 "$work/plain.txt" | median)
recorded=$(cut -d' ' -f1 "$work/recorded.txt" | median)
fixed=$(cut -d' ' -f1 "$work/fixed.txt" | median)
ioctls=$(grep -c '"request"' "$work/rec.json" || true)

echo "recording: zevupdate -i on 1 emulated controller with 256 disks, median of $repeat alternating runs"
printf '  %-34s %12s bytes  (%s ioctls)\n' "recording" "$(stat -c %s "$work/rec.json")" "$ioctls"
printf '  %-34s %12s bytes\n' "recording, --redact" "$(stat -c %s "$work/redacted.json")"
printf '  %-34s %12s ms\n' "zevupdate -i" "$(ms "$plain")"
printf '  %-34s %12s ms\n' "zevsim record -- zevupdate -i" "$(ms "$recorded")"
printf '  %-34s %12s ms\n' "zevsim record -- true" "$(ms "$fixed")"
printf '  %-34s %12s ms   (ratio %s)\n' "added by recording" "$(ms $((recorded - plain)))" \
  "$(awk -v a="$recorded" -v b="$plain" 'BEGIN {printf "%.2f", a/b}')"
