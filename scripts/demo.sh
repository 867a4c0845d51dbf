#!/usr/bin/env bash
# The tool's main job, end to end, against an emulated host with two controllers: builds the tool,
# lays out an update package (executable, payload/, package.xml), runs an inventory and an update under
# zevsim and shows both documents and what each emulated controller programmed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build >/dev/null

scenario="$root/emulator/scenarios/demo_two_controllers.json"
zevsim="$root/build/emulator/zevsim"
work=$(mktemp -d /tmp/zevdemo.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The update package: the executable beside payload/ with one image, package.xml in the working directory.
cp "$root/build/ra_ZuduzivurOzud/zevupdate" "$work/"
mkdir "$work/payload"
# A stand-in image: any bytes will do, the emulated firmware only checks how it arrives.
{ yes zevorided-demo-image || true; } | head -c 200000 >"$work/payload/controller-firmware.bin"
cat >"$work/package.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<SoftwareComponent vendorVersion="7.20">
  <ComponentType value="FRMW"><Display lang="en">Firmware</Display></ComponentType>
  <SupportedDevices>
    <Device componentID="1">
      <PCIInfo vendorID="1d5a" deviceID="5a3e" subVendorID="1d5a" subDeviceID="4c21"/>
      <Display lang="en">Zevorided RAID controller</Display>
    </Device>
    <Device componentID="2">
      <PCIInfo vendorID="9005" deviceID="028f" subVendorID="9005" subDeviceID="0800"/>
      <Display lang="en">Zevorided HBA controller</Display>
    </Device>
  </SupportedDevices>
</SoftwareComponent>
XML
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
