#!/usr/bin/env bash
# fleet/demo.sh: an inventory and a rolling update of three emulated hosts through the playbooks,
# as in the README's "Fleet" section. Uses the build in build/ (bash scripts/demo.sh makes it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" ansible-core
exe=$root/build/ra_ZuduzivurOzud/zevupdate
zevsim=$root/build/emulator/zevsim
[ -x "$exe" ] && [ -x "$zevsim" ] || { echo "build the tree first: bash scripts/build.sh build" >&2; exit 1; }
export TMPDIR=/tmp ANSIBLE_COLLECTIONS_PATH=$root/fleet ANSIBLE_NOCOLOR=1
work=$(mktemp -d /tmp/zevfleetdemo.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Three emulated hosts, each its own scenario and report.
host() {  # host NAME SCENARIO
  printf '    %s:\n      zevupdate_command_prefix: ["%s", run, "%s", --report, "%s", --]\n' \
    "$1" "$zevsim" "$root/emulator/scenarios/$2" "$work/$1.report.json"
}
{
  echo "all:"
  echo "  hosts:"
  host rack1-a demo_two_controllers.json
  host rack1-b e2e_three_drivers.json
  host rack2-a e2e_hpsa_identical.json
  echo "  vars:"
  echo "    ansible_connection: local"
  echo "    ansible_python_interpreter: /usr/bin/python3"
  echo "    zevupdate_executable: $exe"
} >hosts.yml

# The package: the tool, one image, a package.xml for the RAID controllers.
mkdir -p package/payload
cp "$exe" package/zevupdate
{ yes zevorided-demo-image || true; } | head -c 50000 >package/payload/firmware.bin
cat >package/package.xml <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<SoftwareComponent vendorVersion="6.62">
  <ComponentType value="FRMW"><Display lang="en">Firmware</Display></ComponentType>
  <SupportedDevices>
    <Device componentID="1">
      <PCIInfo vendorID="1d5a" deviceID="5a3e" subVendorID="1d5a" subDeviceID="4c21"/>
      <Display lang="en">Zevorided RAID controller</Display>
    </Device>
  </SupportedDevices>
</SoftwareComponent>
XML

echo '$ ansible-playbook -i hosts.yml fleet/playbooks/inventory.yml -e zevupdate_report_dir=reports'
ansible-playbook -i hosts.yml "$root/fleet/playbooks/inventory.yml" -e zevupdate_report_dir="$work/reports"
echo '$ cat reports/fleet-inventory.md'
cat reports/fleet-inventory.md
echo
echo '$ ansible-playbook -i hosts.yml fleet/playbooks/update.yml -e zevupdate_report_dir=reports -e zevupdate_package=package -e zevupdate_serial=2 --check'
ansible-playbook -i hosts.yml "$root/fleet/playbooks/update.yml" -e zevupdate_report_dir="$work/reports" \
  -e zevupdate_package="$work/package" -e zevupdate_serial=2 --check
echo '$ cat reports/fleet-update-plan.csv'
cat reports/fleet-update-plan.csv
echo
echo '$ ansible-playbook -i hosts.yml fleet/playbooks/update.yml -e zevupdate_report_dir=reports -e zevupdate_package=package -e zevupdate_serial=2'
ansible-playbook -i hosts.yml "$root/fleet/playbooks/update.yml" -e zevupdate_report_dir="$work/reports" \
  -e zevupdate_package="$work/package" -e zevupdate_serial=2
echo '$ cat reports/fleet-update.csv'
cat reports/fleet-update.csv
echo '$ ls reports/results'
ls reports/results
