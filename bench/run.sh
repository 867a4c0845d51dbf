#!/usr/bin/env bash
# bench/run.sh [BUILD_DIR]: builds what the benchmarks need and runs the three of them, each printed
# beside its baseline:
#   flash     - zevupdate -u flashing a 64 MiB image into one emulated controller, against a floor
#               program that sends the identical ioctl sequence through the same emulator (alternating);
#   memory    - peak resident memory of that update, against the image size plus 8 MiB;
#   discovery - zevupdate -i on 1, 8 and 32 emulated controllers with 256 disks each, against the time
#               of 1 controller scaled by the number of controllers plus devices. Wall time includes the
#               emulator's answers (another process); the tool's own processor time is printed beside it;
#   logging   - processor time per command of that update with logging off. With LOG_BASELINE set to a
#               git revision, zevupdate built from that revision runs alternately with this one and both
#               figures are printed side by side.
# REPEAT (default 5) sets the number of alternating flash runs, DISCOVERY_REPEAT (default 3) the rest;
# ONLY=flash or ONLY=discovery runs one part alone.
set -euo pipefail
. "$(dirname "$0")/common.sh"
repeat=${REPEAT:-5}
drepeat=${DISCOVERY_REPEAT:-3}
only=${ONLY:-}
case "$only" in ""|flash|discovery) ;; *) echo "ONLY must be flash or discovery" >&2; exit 2 ;; esac

bench_build "${1:-$root/build-bench}" zevupdate zevsim bench_measure bench_flash_floor
bench_workdir zevbench

# ---- flash and memory ----
cat >"$work/flash.json" <<'JSON'
{
  "description": "One hpsa controller for the flash benchmark",
  "controllers": [
    {"id": "c0", "driver": "hpsa",
     "pci": {"address": "0000:03:00.0", "vendor": "0x1d5a", "device": "0x5a3e", "subsystem_vendor": "0x1d5a", "subsystem_device": "0x4c21"}}
  ]
}
JSON
app=$work/app
mkdir -p "$app/payload"
cp "$zevupdate" "$app/zevupdate"
image_bytes=$((64 * 1024 * 1024))
head -c "$image_bytes" /dev/urandom >"$app/payload/firmware.bin"
cat >"$app/package.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<SoftwareComponent vendorVersion="1.0"><ComponentType value="FRMW"/><SupportedDevices>
<Device componentID="1"><PCIInfo deviceID="5a3e" subDeviceID="4c21" vendorID="1d5a" subVendorID="1d5a"/></Device>
</SupportedDevices></SoftwareComponent>
XML

cd "$app"
if [ "$only" != discovery ]; then
# A recorded run gives the floor its command sequence, and proves the update works.
"$zevsim" run "$work/flash.json" --report "$work/recorded.json" -- "$app/zevupdate" -u -o "$work/result.xml"
grep -q 'Success: The operation was successful' "$work/result.xml" || { echo "the recorded update failed" >&2; cat "$work/result.xml" >&2; exit 1; }
commands=$(grep -c '"seq"' "$work/recorded.json")

for _ in $(seq "$repeat"); do
  "$zevsim" run "$work/flash.json" -- "$measure" "$work/tool.txt" -- "$app/zevupdate" -u -o "$work/result.xml"
  "$zevsim" run "$work/flash.json" -- "$measure" "$work/floor.txt" -- "$floor" "$work/recorded.json" c0 "$app/payload/firmware.bin"
done
if awk '$3 != 0 {bad=1} END {exit !bad}' "$work/tool.txt" "$work/floor.txt"; then
  echo "a measured run failed" >&2; exit 1
fi
tool_ns=$(cut -d' ' -f1 "$work/tool.txt" | median)
floor_ns=$(cut -d' ' -f1 "$work/floor.txt" | median)
rss_kib=$(cut -d' ' -f2 "$work/tool.txt" | sort -n | tail -1)
limit_kib=$(( (image_bytes + 8 * 1024 * 1024) / 1024 ))

echo "flash: 64 MiB image, one controller, $commands ioctls per run, median of $repeat alternating runs"
printf '  %-28s %12s ms\n' "zevupdate -u" "$(ms "$tool_ns")"
printf '  %-28s %12s ms\n' "floor (same ioctls)" "$(ms "$floor_ns")"
printf '  %-28s %12s    (target <= 1.10)\n' "ratio" "$(awk -v a="$tool_ns" -v b="$floor_ns" 'BEGIN {printf "%.3f", a/b}')"
echo "memory: peak resident memory of zevupdate -u (largest of $repeat runs)"
printf '  %-28s %12s KiB\n' "zevupdate -u" "$rss_kib"
printf '  %-28s %12s KiB   (target: at most this)\n' "image + 8 MiB" "$limit_kib"

# ---- logging ----
# No marker file in the working directory: logging is off, and each log call should cost a flag test.
[ ! -e "$app/zepdebuglog" ] || { echo "the logging marker is present in $app" >&2; exit 1; }
per_command() { awk -v ns="$1" -v n="$commands" 'BEGIN {printf "%.2f", ns / n / 1e3}'; }
tool_cpu=$(cut -d' ' -f4 "$work/tool.txt" | median)
echo "logging: processor time of zevupdate -u per command with logging off, median of $repeat runs"
if [ -n "${LOG_BASELINE:-}" ]; then
  base_src=$work/baseline-src
  base_build=$work/baseline-build
  mkdir -p "$base_src"
  git -C "$root" archive "$LOG_BASELINE" | tar -x -C "$base_src"
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$base_src" -B "$base_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEV_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
  cmake --build "$base_build" --target zevupdate >/dev/null
  base_app=$work/app-baseline
  mkdir -p "$base_app/payload"
  cp "$base_build/ra_ZuduzivurOzud/zevupdate" "$base_app/zevupdate"
  ln "$app/payload/firmware.bin" "$base_app/payload/firmware.bin"
  cp "$app/package.xml" "$base_app/package.xml"
  rm -f "$work/log_base.txt" "$work/log_tool.txt"
  for _ in $(seq "$repeat"); do
    (cd "$base_app" && "$zevsim" run "$work/flash.json" -- "$measure" "$work/log_base.txt" -- "$base_app/zevupdate" -u -o "$work/result.xml")
    "$zevsim" run "$work/flash.json" -- "$measure" "$work/log_tool.txt" -- "$app/zevupdate" -u -o "$work/result.xml"
  done
  if awk '$3 != 0 {bad=1} END {exit !bad}' "$work/log_base.txt" "$work/log_tool.txt"; then
    echo "a measured run failed" >&2; exit 1
  fi
  base_cpu=$(cut -d' ' -f4 "$work/log_base.txt" | median)
  tool_cpu=$(cut -d' ' -f4 "$work/log_tool.txt" | median)
  printf '  %-28s %12s us/command\n' "before ($LOG_BASELINE)" "$(per_command "$base_cpu")"
fi
printf '  %-28s %12s us/command\n' "after (this tree)" "$(per_command "$tool_cpu")"

fi
[ "$only" = flash ] && exit 0

# ---- discovery ----
scenario() {  # scenario COUNT NODES FILE: COUNT hpsa controllers with 256 disks each (NODES: disk /dev nodes)
  local count=$1 nodes=$2 file=$3 disks c
  disks=$(for t in $(seq 0 255); do printf '{"address": "0:%d:0", "node": %s},' "$t" "$nodes"; done); disks=${disks%,}
  {
    echo '{"description": "discovery benchmark", "controllers": ['
    for c in $(seq "$count"); do
      [ "$c" -gt 1 ] && echo ','
      printf '{"driver": "hpsa", "disks": [%s]}' "$disks"
    done
    echo ']}'
  } >"$file"
}
discovery() {  # discovery NODES
  local nodes=$1 n t cpu items base_ns=0 base_cpu=0 linear cpu_linear found
  printf '  %-12s %8s %10s %14s %10s %14s %12s\n' controllers items "wall ms" "wall linear" "cpu ms" "cpu linear" "cpu us/item"
  for n in 1 8 32; do
    scenario "$n" "$nodes" "$work/disc$n.json"
    rm -f "$work/disc$n.txt"
    # One emulated host serves every repetition (building a host of thousands of devices is slow);
    # each zevupdate run discovers it afresh.
    "$zevsim" run "$work/disc$n.json" -- sh -c 'for _ in $(seq "$1"); do "$2" "$3" -- "$4" -i -o "$5" || exit 1; done' \
      sh "$drepeat" "$measure" "$work/disc$n.txt" "$app/zevupdate" "$work/inventory$n.xml"
    found=$(grep -o '<Device ' "$work/inventory$n.xml" | wc -l)
    [ "$found" -eq "$n" ] || { echo "inventory of $n controllers listed $found" >&2; exit 1; }
    t=$(cut -d' ' -f1 "$work/disc$n.txt" | median)
    cpu=$(cut -d' ' -f4 "$work/disc$n.txt" | median)
    items=$((n + n * 256))
    if [ "$n" -eq 1 ]; then base_ns=$t; base_cpu=$cpu; fi
    linear=$(awk -v b="$base_ns" -v i="$items" 'BEGIN {printf "%.1f", b * i / 257 / 1e6}')
    cpu_linear=$(awk -v b="$base_cpu" -v i="$items" 'BEGIN {printf "%.1f", b * i / 257 / 1e6}')
    printf '  %-12s %8s %10s %14s %10s %14s %12s\n' "$n" "$items" "$(ms "$t")" "$linear" "$(ms "$cpu")" "$cpu_linear" \
      "$(awk -v t="$cpu" -v i="$items" 'BEGIN {printf "%.1f", t / i / 1e3}')"
  done
}
echo "discovery: zevupdate -i, 256 disks per controller, median of $drepeat runs; linear = the 1-controller figure"
echo "scaled by controllers + devices. Wall time includes the emulator's answers to the tool's ioctls."
echo " disks with their /dev/sg nodes:"
discovery true
echo " disks in sysfs only (no /dev/sg node; discovery reads sysfs only):"
discovery false
