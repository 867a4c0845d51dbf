#!/usr/bin/python3
# Fleet inventory benchmark: fleet/playbooks/inventory.yml over 1, 8 and 32 emulated hosts (two
# controllers each) with forks 8; the median wall time of each fleet size beside the 1-host time
# scaled linearly by the number of hosts.
#   bench/fleet_inventory.py [BUILD_DIR]      (REPEAT, default 3: runs per fleet size)

import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fleet", "tests"))
from fleetlib import ROOT, Fleet, csv_rows, hba, raid  # noqa: E402

SIZES = (1, 8, 32)
FORKS = 8


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
    tools = {"zevupdate": os.path.join(build, "ra_ZuduzivurOzud", "zevupdate"),
             "zevsim": os.path.join(build, "emulator", "zevsim")}
    for path in tools.values():
        if not os.access(path, os.X_OK):
            sys.exit("missing %s: build the tree first" % path)
    repeat = int(os.environ.get("REPEAT", "3"))
    print("fleet inventory: inventory.yml, forks %d, two emulated controllers per host, median of %d runs;"
          % (FORKS, repeat))
    print("linear = the 1-host time times the number of hosts")
    print("  %-6s %12s %12s %8s" % ("hosts", "wall s", "linear s", "ratio"))
    base = None
    for size in SIZES:
        work = tempfile.mkdtemp(prefix="zevbenchfleet.", dir="/tmp")
        try:
            hosts = dict(("host%02d" % i, [raid("R%02d" % i), hba("H%02d" % i)]) for i in range(size))
            fleet = Fleet(work, tools, hosts)
            times = []
            for _ in range(repeat):
                start = time.monotonic()
                run = fleet.playbook("inventory.yml", forks=FORKS, timeout=1800)
                times.append(time.monotonic() - start)
                if run.returncode != 0:
                    sys.exit("inventory of %d hosts failed:\n%s" % (size, run.stdout))
                rows = csv_rows(fleet.report_file("fleet-inventory.csv"))
                if len(rows) != 2 * size:
                    sys.exit("inventory of %d hosts listed %d controllers" % (size, len(rows)))
            wall = statistics.median(times)
            base = wall if base is None else base
            print("  %-6d %12.2f %12.2f %8.2f" % (size, wall, base * size, wall / (base * size)))
            sys.stdout.flush()
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
