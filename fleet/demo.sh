#!/usr/bin/env bash
# fleet/demo.sh: an inventory and a rolling update of three emulated hosts through the playbooks,
# as in the README's "Fleet" section. Uses the build in build/ (bash scripts/demo.sh makes it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/demo-package.sh"
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
demo_package package firmware.bin 50000 6.62 "1d5a 5a3e 1d5a 4c21 Zevorided RAID controller"
cp "$exe" package/zevupdate

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
