# Emulated fleets on one machine (one scenario and one report per host, in one Ansible inventory),
# driven by the real ansible-playbook: shared by the fleet tests and the fleet benchmark.

import csv
import io
import json
import os
import shutil
import subprocess
import sys

FLEET = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(FLEET)
sys.path.insert(0, FLEET)

# Flash-sequence BMIC commands: free/write the collect buffer, flash the collected image.
FLASH_COMMANDS = (0xD2, 0xD3, 0xF7)


def build_dir():
    return os.environ.get("ZEV_BUILD_DIR", os.path.join(ROOT, "build"))


def hex_text(value):
    """How the tool writes a PCI identifier: lower-case hexadecimal, no leading zeros."""
    return "%x" % int(value, 16)


class Controller:
    """One emulated controller, and what the tool reports about it."""

    def __init__(self, cid, driver, ids, product, family, slot, serial, version, faults=None, address=None):
        self.cid, self.driver, self.ids = cid, driver, ids
        self.product, self.family, self.slot = product, family, slot
        self.serial, self.version, self.faults = serial, version, faults or []
        self.address = address

    def scenario(self, index):
        return {
            "id": self.cid,
            "driver": self.driver,
            "pci": {"address": self.address or "0000:%02x:00.0" % (3 + 2 * index), "vendor": self.ids[0],
                    "device": self.ids[1], "subsystem_vendor": self.ids[2], "subsystem_device": self.ids[3]},
            "firmware": {
                "identify": {"firmware_version": self.version, "product_id": self.product,
                             "family_id": self.family, "slot": self.slot},
                "subsystem_parameters": {"serial": self.serial},
            },
            "faults": self.faults,
        }

    def expected(self):
        return {
            "vendor_id": hex_text(self.ids[0]), "device_id": hex_text(self.ids[1]),
            "subvendor_id": hex_text(self.ids[2]), "subdevice_id": hex_text(self.ids[3]),
            "display": "%s %s Controller Slot Number %d" % (self.family, self.product, self.slot),
            "serial": self.serial, "firmware_version": self.version,
        }


RAID_IDS = ("0x1d5a", "0x5a3e", "0x1d5a", "0x4c21")
HBA_IDS = ("0x9005", "0x028f", "0x9005", "0x0800")
SAS_IDS = ("0x9005", "0x02ad", "0x9005", "0x0a54")


def raid(serial, slot=1, version="6.60", **kw):
    return Controller(serial.lower(), "hpsa", RAID_IDS, "ZR-840i", "Zevorided RAID", slot, serial, version, **kw)


def hba(serial, slot=3, version="4.11", **kw):
    return Controller(serial.lower(), "smartpqi", HBA_IDS, "ZH-1208i", "Zevorided HBA", slot, serial, version, **kw)


def sas(serial, slot=5, version="7.20", **kw):
    return Controller(serial.lower(), "aacraid", SAS_IDS, "ZS-800", "Zevorided SAS", slot, serial, version, **kw)


# A fault that makes a controller refuse the second chunk of its first flash pass.
MID_FLASH_FAULT = {"match": {"bmic": 0xD2}, "nth": 2, "scsi_status": 2, "sense": "700005000000000a00000000240000"}


def csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def package_xml(id_sets):
    devices = "".join(
        '<Device componentID="%d"><PCIInfo vendorID="%s" deviceID="%s" subVendorID="%s" subDeviceID="%s"/>'
        "<Display>Controller</Display></Device>\n" % ((100 + n,) + tuple(i[2:] for i in ids))
        for n, ids in enumerate(id_sets))
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<SoftwareComponent vendorVersion="9.90">'
            '<ComponentType value="FRMW"><Display>Firmware</Display></ComponentType>\n'
            "<SupportedDevices>\n%s</SupportedDevices>\n</SoftwareComponent>\n" % devices)


def make_package(folder, exe, package_text, image_size=40000):
    """An update package folder: the executable, payload/ with one image, package.xml."""
    os.makedirs(os.path.join(folder, "payload"))
    shutil.copy2(exe, os.path.join(folder, "zevupdate"))
    with open(os.path.join(folder, "payload", "firmware.bin"), "wb") as f:
        f.write(bytes((i * 7 + 3) & 0xFF for i in range(image_size)))
    with open(os.path.join(folder, "package.xml"), "w") as f:
        f.write(package_text)
    return folder


class Fleet:
    """Emulated hosts on this machine, each with its own scenario and report, in one inventory."""

    def __init__(self, work, tools, hosts, executable=None, host_vars=None):
        self.work, self.tools, self.hosts = work, tools, hosts
        self.reports = os.path.join(work, "reports")
        # The hosts' temporary folders, kept apart to see what is left behind; short, as the
        # emulator's socket paths must be.
        self.tmp = os.path.join(work, "t")
        os.makedirs(self.tmp)
        os.makedirs(os.path.join(work, "scenarios"))
        lines = ["all:", "  hosts:"]
        for name, controllers in hosts.items():
            scenario = os.path.join(work, "scenarios", name + ".json")
            with open(scenario, "w") as f:
                json.dump({"description": "fleet host " + name,
                           "controllers": [c.scenario(i) for i, c in enumerate(controllers)]}, f)
            prefix = [tools["zevsim"], "run", scenario, "--report", self.report_path(name), "--"]
            lines += ["    %s:" % name,
                      "      zevupdate_command_prefix: %s" % json.dumps(prefix),
                      "      zevupdate_executable: %s" % json.dumps((executable or {}).get(name, tools["zevupdate"]))]
            lines += ["      %s: %s" % (k, json.dumps(v)) for k, v in (host_vars or {}).get(name, {}).items()]
        lines += ["  vars:", "    ansible_connection: local",
                  "    ansible_python_interpreter: %s" % sys.executable]
        self.inventory = os.path.join(work, "hosts.yml")
        with open(self.inventory, "w") as f:
            f.write("\n".join(lines) + "\n")

    def report_path(self, name):
        return os.path.join(self.work, name + ".report.json")

    def emulator_report(self, name):
        """The emulator's report of the host's last run, or None when the host never ran."""
        path = self.report_path(name)
        if not os.path.exists(path):
            return None
        with open(path) as f:
            return json.load(f)

    def flash_commands(self, name):
        """Flash-sequence commands per controller id in the host's last run."""
        report = self.emulator_report(name)
        return {c["id"]: sum(1 for cmd in c["commands"] if cmd.get("bmic", {}).get("command") in FLASH_COMMANDS)
                for c in report["controllers"]}

    def images(self, name):
        return {c["id"]: len(c["images"]) for c in self.emulator_report(name)["controllers"]}

    def playbook(self, name, *args, forks=8, timeout=300):
        env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=FLEET, ANSIBLE_NOCOLOR="1", ANSIBLE_FORKS=str(forks),
                   ANSIBLE_LOCAL_TEMP=os.path.join(self.work, "ansible-local"),
                   ANSIBLE_REMOTE_TEMP=os.path.join(self.work, "ansible-remote"),
                   ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_HOST_KEY_CHECKING="0",
                   TMPDIR=self.tmp)
        argv = ["ansible-playbook", "-i", self.inventory, os.path.join(FLEET, "playbooks", name),
                "-e", "zevupdate_report_dir=" + self.reports] + list(args)
        return subprocess.run(argv, env=env, cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=timeout)

    def leftovers(self):
        """Temporary folders of the modules and the role that a run left behind."""
        return sorted(n for n in os.listdir(self.tmp) if n.startswith("zevupdate"))

    def report_file(self, name):
        with open(os.path.join(self.reports, name)) as f:
            return f.read()
