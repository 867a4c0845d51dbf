#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every stage.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# The fleet tests' Ansible and pytest, and the Debian packaging tools (hardening-check, from
# devscripts, runs in CTest already).
bash scripts/deps.sh ansible-core python3-pytest debhelper devscripts dpkg-dev lintian man-db
jobs=$(nproc)

echo "== formatting: every C and C++ source as .clang-format says (scripts/format.sh to apply it)"
bash scripts/format.sh --check

echo "== build and unit/end-to-end tests"
bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== fleet: Ansible collection, its unit tests and playbook runs against emulated hosts (pytest, build/)"
fleet_status=0
ZEV_BUILD_DIR="$root/build" PYTHONDONTWRITEBYTECODE=1 timeout --kill-after=30 900 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider fleet/tests || fleet_status=$?
if [ "$fleet_status" -eq 5 ]; then
  echo "fleet: pytest collected no tests" >&2; exit 1
elif [ "$fleet_status" -ne 0 ]; then
  echo "fleet: tests failed (status $fleet_status)" >&2; exit 1
fi

echo "== Debian package: dpkg-buildpackage (lean check step), lintian, contents and hardening, installed"
rm -rf build-deb
bash scripts/deb-build.sh build-deb -j"$jobs"
lintian --fail-on error,warning build-deb/*.deb
bash tests/docs/deb_package.sh build-deb/zevupdate_*.deb build-deb/zevupdate-dbgsym_*.deb
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
$sudo_cmd bash tests/docs/installed_package.sh build-deb/zevupdate_*.deb build/emulator/zevsim build/ra_ZuduzivurOzud/zevupdate

echo "== reproducible package: one more build in another folder, later, compared byte for byte"
bash scripts/reproducible.sh --first build-deb

echo "== fuzz targets (clang libFuzzer, bounded time each)"
bash fuzz/run.sh

echo "== emulated host under valgrind (umockdev writes into client memory, which ASan does not see)"
TMPDIR=/tmp LD_PRELOAD="$root/build/emulator/libzev_emulator_preload.so:libumockdev-preload.so.0" \
  valgrind -q --errors-for-leak-kinds=definite --leak-check=full --show-possibly-lost=no --error-exitcode=9 \
  --suppressions=emulator/valgrind.supp \
  build/tests/emulator/emulator_host_tests --gtest_filter='EmuHost.*:EmuReplay.*' --gtest_brief=1

echo "== storage core against the emulated host under valgrind (replies are written by umockdev)"
TMPDIR=/tmp LD_PRELOAD="$root/build/emulator/libzev_emulator_preload.so:libumockdev-preload.so.0" \
  valgrind -q --errors-for-leak-kinds=definite --leak-check=full --show-possibly-lost=no --error-exitcode=9 \
  --suppressions=emulator/valgrind.supp \
  build/tests/storagecore/storagecore_emulated_tests --gtest_brief=1

echo "== devices behind the controllers against the emulated host under valgrind (replies are written by umockdev)"
TMPDIR=/tmp LD_PRELOAD="$root/build/emulator/libzev_emulator_preload.so:libumockdev-preload.so.0" \
  valgrind -q --errors-for-leak-kinds=definite --leak-check=full --show-possibly-lost=no --error-exitcode=9 \
  --suppressions=emulator/valgrind.supp \
  build/tests/devices/devices_storage_tests --gtest_brief=1

echo "== end-to-end runs of the real zevupdate under valgrind, inside the emulated host"
# Memory errors only: the run driver drops the device records it gets back (they live until exit by
# design), so leaks are left to the unit tests' leak checks.
# The recorded-host cases run the tool without the runner (they compare runs, not memory): left to ctest.
ZEV_E2E_RUNNER="valgrind -q --leak-check=no --error-exitcode=9 --suppressions=$root/emulator/valgrind.supp" \
  build/tests/e2e_emulated/e2e_emulated_tests --gtest_brief=1 --gtest_filter='-RecordedRun.*'

echo "== whole suite under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan)"
bash scripts/build.sh build-asan -DZEV_SANITIZE=ON -DZEV_BUILD_BENCH=OFF
ctest --test-dir build-asan --output-on-failure -j "$jobs"
