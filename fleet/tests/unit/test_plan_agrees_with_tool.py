# The check-mode plan against the tool itself: for every package of the end-to-end cases (and the
# awkward spellings a package may use), the controllers the plan names are exactly those the real
# zevupdate goes on to flash, in its order. The tool runs inside the emulated host with a payload
# that is a folder, so it selects and checks each controller but never sends an image.

import os
import re
import shutil
import subprocess

import pytest

from fleetlib import ROOT
from ansible_collections.zevorided.firmware.plugins.module_utils import zevupdate_docs as docs

SCENARIOS = os.path.join(ROOT, "emulator", "scenarios")

# (device, subdevice, vendor, subvendor) as the end-to-end cases spell them.
HPSA = ("5A3E", "4c21", "1D5A", "1D5A")
AAC = ("02ad", "0a54", "9005", "9005")
PQI = ("028f", "0800", "9005", "9005")
PQI_OPEN = ("028f", "0801", "9005", "9005")


def e2e_package(*ids):
    devices = "".join(
        '  <Device componentID="%d"><PCIInfo deviceID="%s" subDeviceID="%s" vendorID="%s" subVendorID="%s"/>'
        "<Display>Controller</Display></Device>\n" % ((1001 + n,) + i) for n, i in enumerate(ids))
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<SoftwareComponent vendorVersion="6.62"><ComponentType '
            'value="FRMW"><Display>Firmware</Display></ComponentType>\n<SupportedDevices>\n%s</SupportedDevices>\n'
            "</SoftwareComponent>\n" % devices)


def raw_package(devices):
    return "<SoftwareComponent><SupportedDevices>%s</SupportedDevices></SoftwareComponent>" % devices


CASES = [
    # The packages of the end-to-end cases, each on the scenario it runs against.
    ("e2e_three_drivers.json", e2e_package(HPSA, AAC)),
    ("e2e_three_drivers.json", e2e_package(PQI)),
    ("e2e_hpsa_identical.json", e2e_package(HPSA)),
    ("e2e_aacraid_identical.json", e2e_package(AAC)),
    ("e2e_hpsa_identical_second_refuses.json", e2e_package(HPSA)),
    ("e2e_locked_then_open.json", e2e_package(PQI, PQI_OPEN)),
    ("e2e_hpsa_single.json", None),
    ("e2e_hpsa_single.json", e2e_package(PQI)),
    # Spellings the rule must see through, or must refuse.
    ("e2e_three_drivers.json", raw_package('<Device componentID="1"><PCIInfo vendorID="0x1D5A" deviceID=" 5a3e" '
                                           'subVendorID="1d5a" subDeviceID="0X4C21"/></Device>')),
    ("e2e_three_drivers.json", raw_package('<Device componentID="1"><pciinfo vendorID="9005" deviceID="28f" '
                                           'subVendorID="9005" subDeviceID="800"/><PCIInfo vendorID="9005" '
                                           'deviceID="2ad" subVendorID="9005" subDeviceID="a54"/></Device>')),
    ("e2e_three_drivers.json", raw_package('<Device componentID="1"><PCIInfo vendorID="9005" deviceID="28f" '
                                           'subVendorID="9005"/></Device>')),
    ("e2e_three_drivers.json", raw_package('<Device componentID="1"><PCIInfo vendorID="9005" deviceID="28f" '
                                           'subVendorID="9005" subDeviceID="800h"/></Device>')),
    ("e2e_three_drivers.json", '<SoftwareComponent xmlns="urn:z"><SupportedDevices><Device componentID="1">'
                               '<PCIInfo vendorID="9005" deviceID="28f" subVendorID="9005" subDeviceID="800"/>'
                               "</Device></SupportedDevices></SoftwareComponent>"),
    ("e2e_three_drivers.json", e2e_package(HPSA)[:-40]),
]

FLASHED = re.compile(r"Update: DeviceID    = ([^\n]*)\n.*?Update: SubDeviceID = ([^\n]*)\n.*?"
                     r"Update: VendorID    = ([^\n]*)\n.*?Update: SubvendorID = ([^\n]*)\n", re.S)


def tool_run(tools, work, scenario, *args):
    argv = [tools["zevsim"], "run", os.path.join(SCENARIOS, scenario), "--", os.path.join(work, "zevupdate")]
    proc = subprocess.run(argv + list(args), cwd=work, env=dict(os.environ, TMPDIR="/tmp"), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr


CASE_IDS = ["three drivers, hpsa and aacraid listed", "three drivers, smartpqi listed", "identical hpsa pair",
            "identical aacraid pair", "hpsa pair, second refuses", "locked then open", "no package.xml",
            "package for another controller", "0x prefixes, blank, upper case", "two PCIInfo, lower-case name",
            "missing subDeviceID", "trailing letter", "namespaced", "malformed"]


@pytest.mark.parametrize("scenario, package_text", CASES, ids=CASE_IDS)
def test_plan_names_what_the_tool_selects(tools, workdir, scenario, package_text):
    shutil.copy2(tools["zevupdate"], os.path.join(workdir, "zevupdate"))
    os.makedirs(os.path.join(workdir, "payload", "image"))  # checked, never sent
    if package_text is not None:
        with open(os.path.join(workdir, "package.xml"), "w") as f:
            f.write(package_text)

    tool_run(tools, workdir, scenario, "-i", "-o", "inventory.xml")
    tool_run(tools, workdir, scenario, "-u", "-d", "-o", "result.xml")
    with open(os.path.join(workdir, "inventory.xml")) as f:
        controllers = docs.parse_inventory(f.read())
    with open(os.path.join(workdir, "debug_update.log")) as f:
        selected = FLASHED.findall(f.read())
    with open(os.path.join(workdir, "result.xml")) as f:
        records = docs.parse_execution(f.read())

    plan = docs.plan_update(controllers, docs.parse_package((package_text or "").encode()))
    assert [(c["device_id"], c["subdevice_id"], c["vendor_id"], c["subvendor_id"]) for c in plan] == selected
    if plan:
        assert len(records) == len(plan) and not any(r["result"] for r in records)
    else:
        assert records == [{"result": False, "message": "No matching device found (PCI mismatch)."}]
