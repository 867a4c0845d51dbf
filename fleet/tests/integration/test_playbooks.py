# The playbooks with the real ansible-playbook against emulated hosts on this machine: each host is
# local, and its zevupdate runs inside its own emulated host through zevupdate_command_prefix.

import json
import os
import stat
import subprocess
import sys

from fleetlib import (FLEET, HBA_IDS, MID_FLASH_FAULT, RAID_IDS, SAS_IDS, Fleet, csv_rows, hba, make_package,
                      package_xml, raid, sas)

OK = "Success: The operation was successful"
FAILED = "ERROR: Failed to update Firmware"


def md_rows(text):
    """Body rows of the Markdown table, as lists of cells."""
    rows = [line.strip("|").split(" | ") for line in text.splitlines() if line.startswith("| ")]
    return [[cell.strip() for cell in row] for row in rows[1:]]  # past the header


def planned_rows(text):
    return sorted((r["host"], r["display"], r["serial"]) for r in csv_rows(text) if r["action"] == "would update")


SIX_HOSTS = {
    "alpha": [raid("A-RAID-1", slot=0)],
    "bravo": [raid("B-RAID-1", slot=1), hba("B-HBA-1", slot=2)],
    "charlie": [raid("C-RAID-1", slot=1), hba("C-HBA-1", slot=2, version="4.12"), sas("C-SAS-1", slot=4)],
    "delta": [sas("D-SAS-1", slot=6, version="7.30")],
    "echo": [hba("E-HBA-1", slot=0), hba("E-HBA-2", slot=1, address="0000:09:00.0")],
    "foxtrot": [raid("F-RAID-1", slot=2, version="6.62"), sas("F-SAS-1", slot=3), hba("F-HBA-1", slot=5)],
}


def test_inventory_of_six_hosts_lists_exactly_their_controllers(tools, workdir):
    fleet = Fleet(workdir, tools, SIX_HOSTS)
    run = fleet.playbook("inventory.yml")
    assert run.returncode == 0, run.stdout

    expected = sorted((host, c.expected()["display"], c.expected()["serial"], c.version)
                      for host, ctrls in SIX_HOSTS.items() for c in ctrls)
    rows = csv_rows(fleet.report_file("fleet-inventory.csv"))
    assert sorted((r["host"], r["display"], r["serial"], r["firmware_version"]) for r in rows) == expected
    assert sorted(tuple(r) for r in md_rows(fleet.report_file("fleet-inventory.md"))) == expected

    versions = {}
    for row in expected:
        versions[row[3]] = versions.get(row[3], 0) + 1
    summary = ["hosts: 6 inventoried", "controllers: %d" % len(expected)]
    summary += ["firmware %s: %d" % v for v in sorted(versions.items())]
    for line in summary:
        assert '"%s"' % line in run.stdout
    for host in SIX_HOSTS:
        assert set(fleet.flash_commands(host).values()) == {0}


def test_rolling_update_stops_after_the_batch_that_failed(tools, workdir):
    # Batches of two: (a1, a2) succeed; in (b1, b2) one controller of b1 fails mid-flash; (c1, c2) never start.
    hosts = {
        "a1": [raid("A1-RAID")],
        "a2": [hba("A2-HBA"), sas("A2-SAS", slot=4)],
        "b1": [raid("B1-RAID", faults=[MID_FLASH_FAULT]), hba("B1-HBA")],
        "b2": [sas("B2-SAS")],
        "c1": [raid("C1-RAID")],
        "c2": [hba("C2-HBA")],
    }
    fleet = Fleet(workdir, tools, hosts)
    assert fleet.playbook("inventory.yml").returncode == 0  # every host now has a report with no flash in it
    package = make_package(os.path.join(workdir, "package"), tools["zevupdate"],
                           package_xml([RAID_IDS, HBA_IDS, SAS_IDS]), image_size=20000)

    run = fleet.playbook("update.yml", "-e", "zevupdate_package=" + package, "-e", "zevupdate_serial=2")
    assert run.returncode != 0, run.stdout

    flashed = {"a1": ["a1-raid"], "a2": ["a2-hba", "a2-sas"], "b1": ["b1-hba"], "b2": ["b2-sas"], "c1": [], "c2": []}
    for host, ctrls in hosts.items():
        images = fleet.images(host)
        for c in ctrls:
            assert images[c.cid] == (2 if c.cid in flashed[host] else 0), (host, c.cid)
        if host.startswith("c"):
            assert set(fleet.flash_commands(host).values()) == {0}, host
    assert fleet.flash_commands("b1")["b1-raid"] > 0  # it was asked, and refused

    rows = [(r["host"], r["display"], r["serial"], r["result"], r["message"])
            for r in csv_rows(fleet.report_file("fleet-update.csv"))]
    exp = {c.serial: c.expected()["display"] for ctrls in hosts.values() for c in ctrls}
    assert rows == [
        ("a1", exp["A1-RAID"], "A1-RAID", "true", OK),
        ("a2", exp["A2-SAS"], "A2-SAS", "true", OK),   # the tool's order: aacraid before smartpqi
        ("a2", exp["A2-HBA"], "A2-HBA", "true", OK),
        ("b1", exp["B1-RAID"], "B1-RAID", "false", FAILED),
        ("b1", exp["B1-HBA"], "B1-HBA", "true", OK),
        ("b2", exp["B2-SAS"], "B2-SAS", "true", OK),
        ("c1", "", "", "not attempted", ""),
        ("c2", "", "", "not attempted", ""),
    ]
    results = sorted(os.listdir(os.path.join(fleet.reports, "results")))
    assert results == ["a1.xml", "a2.xml", "b1.xml", "b2.xml"]
    with open(os.path.join(fleet.reports, "results", "b1.xml")) as f:
        assert FAILED in f.read()
    assert fleet.leftovers() == []


def test_unreachable_host_stops_the_rollout_like_a_failed_one(tools, workdir):
    # Left alone, Ansible would not count an unreachable host against max_fail_percentage.
    hosts = {"up": [raid("UP-RAID")], "down": [raid("DOWN-RAID")], "later": [raid("LATER-RAID")]}
    closed_port = {"ansible_connection": "ssh", "ansible_host": "127.0.0.1", "ansible_port": 9,
                   "ansible_user": "nobody", "ansible_ssh_common_args": "-o ConnectTimeout=5 -o BatchMode=yes"}
    fleet = Fleet(workdir, tools, hosts, host_vars={"down": closed_port})
    package = make_package(os.path.join(workdir, "package"), tools["zevupdate"], package_xml([RAID_IDS]),
                           image_size=16384)

    run = fleet.playbook("update.yml", "-e", "zevupdate_package=" + package)
    assert run.returncode != 0, run.stdout
    rows = [(r["host"], r["result"], r["message"]) for r in csv_rows(fleet.report_file("fleet-update.csv"))]
    assert rows[0] == ("up", "true", OK) and rows[2] == ("later", "not attempted", "")
    assert rows[1][:2] == ("down", "false") and rows[1][2].startswith("host unreachable, nothing was flashed: ")
    assert fleet.images("up") == {"up-raid": 2}
    assert fleet.emulator_report("later") is None  # never started
    assert fleet.leftovers() == []


def test_check_mode_flashes_nothing_and_plans_what_the_update_flashes(tools, workdir):
    hosts = {
        "one": [raid("ONE-RAID"), hba("ONE-HBA")],
        "two": [hba("TWO-HBA"), sas("TWO-SAS")],
        "three": [sas("THREE-SAS"), raid("THREE-RAID", slot=2)],
    }
    fleet = Fleet(workdir, tools, hosts)
    package = make_package(os.path.join(workdir, "package"), tools["zevupdate"], package_xml([RAID_IDS, SAS_IDS]),
                           image_size=16384)

    check = fleet.playbook("update.yml", "--check", "-e", "zevupdate_package=" + package, "-e", "zevupdate_serial=2")
    assert check.returncode == 0, check.stdout
    for host in hosts:
        assert set(fleet.flash_commands(host).values()) == {0}, host
    assert not os.path.exists(os.path.join(fleet.reports, "fleet-update.csv"))
    assert fleet.leftovers() == []
    plan_text = fleet.report_file("fleet-update-plan.csv")
    plan = planned_rows(plan_text)

    update = fleet.playbook("update.yml", "-e", "zevupdate_package=" + package, "-e", "zevupdate_serial=2")
    assert update.returncode == 0, update.stdout
    serials = {c.cid: (host, c.expected()["display"], c.serial) for host, ctrls in hosts.items() for c in ctrls}
    programmed = sorted(serials[cid] for host in hosts for cid, n in fleet.images(host).items() if n)
    assert plan == programmed == sorted(serials[cid] for cid in ("one-raid", "two-sas", "three-sas", "three-raid"))
    assert sorted((r["host"], r["display"], r["serial"]) for r in csv_rows(fleet.report_file("fleet-update.csv"))
                  if r["result"] == "true") == plan


def write_script(path, body):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return path


# Stand-ins for the tool, each going wrong in its own way. "$3" is the -o FILE of "-i -o FILE" / "-u -o FILE".
GOOD_INVENTORY = ('<?xml version="1.0" encoding="UTF-8"?><PXRInventory lang="en"><Device  vendorID="9005" '
                  'deviceID="28f" subVendorID="9005" subDeviceID="800"  display="HBA" enum = "Serial Number: S1" >'
                  '<Application componentType="FRMW"  version="4.11"  display="HBA Firmware"/></Device></PXRInventory>')
FAKE_TOOLS = {
    "malformed": 'printf \'<?xml version="1.0"?><PXRInventory lang="en"><Device vendorID="9005"\' > "$3"\n',
    "exit-one": 'echo "usage: zevupdate -i|-u" >&2\nexit 1\n',
    "no-document": "exit 0\n",
    "wrong-document": 'printf \'<PXRExecution lang="en"></PXRExecution>\' > "$3"\n',
}


def test_tool_failures_are_clear_inventory_task_failures(tools, workdir):
    executables = {"missing": os.path.join(workdir, "nowhere", "zevupdate")}
    for name, body in FAKE_TOOLS.items():
        executables[name] = write_script(os.path.join(workdir, name + ".sh"), body)
    hosts = dict((name, []) for name in executables)
    hosts["good"] = [raid("GOOD-RAID")]
    fleet = Fleet(workdir, tools, hosts, executable=executables)
    run = fleet.playbook("inventory.yml")
    assert run.returncode == 2, run.stdout  # some hosts failed

    complaints = {
        "missing": "zevupdate executable not found: " + executables["missing"],
        "malformed": "the inventory document is not well-formed XML",
        "exit-one": "failed (exit status 1); stderr: usage: zevupdate -i|-u",
        "no-document": "zevupdate wrote no inventory document",
        "wrong-document": "expected an inventory document (PXRInventory), found <PXRExecution>",
    }
    failed = [line for line in run.stdout.splitlines() if line.startswith("fatal: [")]
    for host, complaint in complaints.items():
        lines = [line for line in failed if line.startswith("fatal: [%s]: FAILED!" % host)]
        assert len(lines) == 1 and complaint in lines[0], (host, failed)
    assert [r["host"] for r in csv_rows(fleet.report_file("fleet-inventory.csv"))] == ["good"]
    assert "hosts: 1 inventoried, 5 failed" in run.stdout


def test_inventory_where_every_host_fails_leaves_no_report_behind(tools, workdir):
    fleet = Fleet(workdir, tools, {"x": [], "y": []},
                  executable={"x": "/nonexistent/zevupdate", "y": "/nonexistent/zevupdate"})
    os.makedirs(fleet.reports)
    for name in ("fleet-inventory.csv", "fleet-inventory.md"):
        with open(os.path.join(fleet.reports, name), "w") as f:
            f.write("host,display,serial,firmware_version\nold,an earlier run,S,1.0\n")
    run = fleet.playbook("inventory.yml")
    assert run.returncode == 2, run.stdout
    assert os.listdir(fleet.reports) == []


def test_tool_failures_are_clear_update_task_failures(tools, workdir):
    # Ad hoc runs of the module on local hosts, each with a package whose tool goes wrong in one way.
    update_fakes = {
        "malformed-result": 'case "$1" in -i) printf \'%s\' > "$3";; '
                            '*) printf \'<PXRExecution lang="en"><SPStatus result\' > "$3";; esac\n' % GOOD_INVENTORY,
        "killed": 'case "$1" in -i) printf \'%s\' > "$3";; *) kill -9 $$;; esac\n' % GOOD_INVENTORY,
        "empty-result": 'case "$1" in -i) printf \'%s\' > "$3";; *) : > "$3";; esac\n' % GOOD_INVENTORY,
    }
    complaints = {
        "no-executable": "zevupdate executable not found",
        "malformed-result": "the update result document is not well-formed XML",
        "killed": "killed by signal 9",
        "empty-result": "the update result document is empty",
    }
    lines = ["all:", "  hosts:"]
    for name in complaints:
        folder = os.path.join(workdir, name)
        os.makedirs(os.path.join(folder, "payload"))
        if name in update_fakes:
            write_script(os.path.join(folder, "zevupdate"), update_fakes[name])
        lines += ["    %s:" % name, "      pkg: %s" % folder]
    lines += ["  vars:", "    ansible_connection: local", "    ansible_python_interpreter: %s" % sys.executable]
    inventory = os.path.join(workdir, "hosts.yml")
    with open(inventory, "w") as f:
        f.write("\n".join(lines) + "\n")
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=FLEET, ANSIBLE_LOCAL_TEMP=os.path.join(workdir, "tmp-local"),
               ANSIBLE_REMOTE_TEMP=os.path.join(workdir, "tmp-remote"))
    tree = os.path.join(workdir, "tree")  # one JSON result per host
    run = subprocess.run(["ansible", "all", "-i", inventory, "--tree", tree, "-m", "zevorided.firmware.controller_update",
                          "-a", "package_dir={{ pkg }} timeout=30"], env=env, cwd=workdir, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True, timeout=120)
    assert run.returncode == 2, run.stdout
    outcome = {}
    for host in os.listdir(tree):
        with open(os.path.join(tree, host)) as f:
            outcome[host] = json.load(f)
    assert sorted(outcome) == sorted(complaints)
    for host, complaint in complaints.items():
        assert "%s | FAILED! =>" % host in run.stdout and complaint in outcome[host]["msg"], (host, outcome[host])
        assert outcome[host].get("changed") is False
