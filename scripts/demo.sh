#!/usr/bin/env bash
# The tool's main job, end to end, against an emulated host with two controllers: builds the tool,
# lays out an update package (executable, payload/, package.xml), runs an inventory and an update under
# zevsim and shows both documents and what each emulated controller programmed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/demo-package.sh
bash scripts/deps.sh
bash scripts/build.sh build >/dev/null

scenario="$root/emulator/scenarios/demo_two_controllers.json"
zevsim="$root/build/emulator/zevsim"
work=$(mktemp -d /tmp/zevdemo.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The update package: the executable beside payload/ with one image, package.xml in the working directory.
cp "$root/build/ra_ZuduzivurOzud/zevupdate" "$work/"
demo_package "$work" controller-firmware.bin 200000 7.20 "1d5a 5a3e 1d5a 4c21 Zevorided RAID controller" \
  "9005 028f 9005 0800 Zevorided HBA controller"
cd "$work"

echo "== zevupdate -i (inventory document on standard output)"
"$zevsim" run "$scenario" -- ./zevupdate -i
echo
echo
echo "== zevupdate -u -o result.xml (update result document)"
"$zevsim" run "$scenario" --report report.json -- ./zevupdate -u -o result.xml
cat result.xml
echo
echo
echo "== what the emulated controllers programmed (payload SHA-256: $(sha256sum payload/controller-firmware.bin | cut -d' ' -f1))"
python3 - report.json <<'PY' 2>/dev/null || cat report.json
import json, sys
report = json.load(open(sys.argv[1]))
for c in report.get("controllers", []):
    images = c.get("images", [])
    print(f"{c.get('id')}: {len(c.get('commands', []))} commands, {len(images)} images programmed")
    for img in images:
        print(f"  {img.get('size')} bytes, sha256 {img.get('sha256')}")
PY
