# Reading the tool's documents and package.xml, and choosing the controllers an update flashes.

import pytest

from ansible_collections.zevorided.firmware.plugins.module_utils import zevupdate_docs as docs

DECL = '<?xml version="1.0" encoding="UTF-8"?>'
RAID = ('<Device  vendorID="1d5a" deviceID="5a3e" subVendorID="1d5a" subDeviceID="4c21"  display="Zevorided RAID '
        'ZR-840i Controller Slot Number 0" enum = "Serial Number: ZR0A1B2C3D4E5F" ><Application componentType="FRMW"'
        '  version="6.60"  display="Zevorided RAID ZR-840i Controller Firmware"/></Device>')
HBA = ('<Device  vendorID="9005" deviceID="28f" subVendorID="9005" subDeviceID="800"  display="Zevorided HBA ZH-1208i '
       'Controller Slot Number 3" enum = "Serial Number: 7A4263EAB3C" ><Application componentType="FRMW"  '
       'version="4.11"  display="Zevorided HBA ZH-1208i Controller Firmware"/></Device>')
RAID_FIELDS = {"vendor_id": "1d5a", "device_id": "5a3e", "subvendor_id": "1d5a", "subdevice_id": "4c21",
               "display": "Zevorided RAID ZR-840i Controller Slot Number 0", "serial": "ZR0A1B2C3D4E5F",
               "firmware_version": "6.60"}
HBA_FIELDS = {"vendor_id": "9005", "device_id": "28f", "subvendor_id": "9005", "subdevice_id": "800",
              "display": "Zevorided HBA ZH-1208i Controller Slot Number 3", "serial": "7A4263EAB3C",
              "firmware_version": "4.11"}


def inventory(*devices):
    return DECL + '<PXRInventory lang="en">' + "".join(devices) + "</PXRInventory>"


def updated(fields):
    return ('<Device  vendorID="%(vendor_id)s" deviceID="%(device_id)s" subVendorID="%(subvendor_id)s" '
            'subDeviceID="%(subdevice_id)s" display="%(display)s" enum = "Serial Number: %(serial)s" >'
            '<Application componentType="FRMW" version="%(firmware_version)s" display="x" ><SPStatus result = "true" >'
            '<Message id="0" >Success: The operation was successful</Message></SPStatus></Application></Device>'
            % fields)


def failure(message):
    return '<SPStatus result = "false" ><Message id="0" >%s</Message></SPStatus>' % message


def execution(*fragments):
    return DECL + '<PXRExecution lang="en">' + "".join(fragments) + "</PXRExecution>"


@pytest.mark.parametrize("text, expected", [
    (inventory(), []),
    (inventory(RAID, HBA), [RAID_FIELDS, HBA_FIELDS]),
    # Escaped values come back as the controller holds them.
    (inventory(RAID.replace("ZR0A1B2C3D4E5F", "A&amp;B&lt;&quot;")), [dict(RAID_FIELDS, serial='A&B<"')]),
    # No enum attribute: no serial.
    (inventory(RAID.replace(' enum = "Serial Number: ZR0A1B2C3D4E5F" ', " ")), [dict(RAID_FIELDS, serial="")]),
], ids=["empty", "two controllers", "escaped serial", "no enum"])
def test_inventory_documents(text, expected):
    assert docs.parse_inventory(text) == expected


@pytest.mark.parametrize("text, complaint", [
    ("", "empty"),
    ("   \n", "empty"),
    (inventory(RAID)[:-20], "not well-formed"),
    (inventory(RAID.replace("Serial Number: ", "Serial & Number: ")), "not well-formed"),
    (execution(updated(RAID_FIELDS)), "expected an inventory document"),
    (inventory(failure("boom")), "the inventory reports a failure: boom"),
    (inventory("<Controller/>"), "unexpected <Controller>"),
], ids=["empty", "blank", "truncated", "raw ampersand", "update document", "failure record", "unknown element"])
def test_unreadable_inventory_documents_are_errors(text, complaint):
    with pytest.raises(docs.DocumentError) as err:
        docs.parse_inventory(text)
    assert complaint in str(err.value)


OK = "Success: The operation was successful"


@pytest.mark.parametrize("text, records, reboot", [
    (execution(updated(RAID_FIELDS)), [dict(RAID_FIELDS, result=True, message=OK)], False),
    (execution(failure("No matching device found (PCI mismatch).")),
     [{"result": False, "message": "No matching device found (PCI mismatch)."}], False),
    (execution(failure("ERROR: Failed to update Firmware"), updated(HBA_FIELDS), "<RebootRequired>1</RebootRequired>"),
     [{"result": False, "message": "ERROR: Failed to update Firmware"}, dict(HBA_FIELDS, result=True, message=OK)],
     True),
    (execution(failure("")), [{"result": False, "message": ""}], False),
], ids=["one flashed", "run-level failure", "failure then success with reboot", "empty message"])
def test_update_result_documents(text, records, reboot):
    assert docs.parse_execution(text) == records
    assert docs.reboot_required(text) is reboot


@pytest.mark.parametrize("text, complaint", [
    (inventory(RAID), "expected an update result document"),
    (execution(failure("x").replace('"false"', '"maybe"')), "neither true nor false"),
    (execution(updated(RAID_FIELDS).replace('<SPStatus result = "true" ><Message id="0" >' + OK +
                                            "</Message></SPStatus>", "")), "carries no SPStatus"),
    (execution(updated(RAID_FIELDS))[:-3], "not well-formed"),
], ids=["inventory document", "bad result", "device without status", "truncated"])
def test_unreadable_update_documents_are_errors(text, complaint):
    with pytest.raises(docs.DocumentError) as err:
        docs.parse_execution(text)
    assert complaint in str(err.value)


# ---- package.xml and the matching rule ----

def package(devices, root="SoftwareComponent", holder="SupportedDevices"):
    return '<?xml version="1.0"?><%s vendorVersion="1.0"><%s>%s</%s></%s>' % (root, holder, devices, holder, root)


def pci(vendor="9005", device="028f", subvendor="9005", subdevice="0800"):
    attrs = [("vendorID", vendor), ("deviceID", device), ("subVendorID", subvendor), ("subDeviceID", subdevice)]
    return "<PCIInfo %s/>" % " ".join('%s="%s"' % (k, v) for k, v in attrs if v is not None)


def entry(vendor="9005", device="028f", subvendor="9005", subdevice="0800", display="", component_id="1"):
    return {"component_id": component_id, "vendor_id": vendor, "device_id": device, "subvendor_id": subvendor,
            "subdevice_id": subdevice, "display": display}


@pytest.mark.parametrize("text, expected", [
    (package('<Device componentID="1">%s<Display>HBA</Display></Device>' % pci(device="28f", subdevice="800")),
     [entry(display="HBA")]),
    # Two PCIInfo in one Device: two entries with the same component, each with the Display after it.
    (package('<Device componentID="7">%s<Display>A</Display>%s<Display>B</Display></Device>'
             % (pci(), pci(subdevice="0801"))),
     [entry(display="A", component_id="7"), entry(subdevice="0801", display="B", component_id="7")]),
    # A Display before the PCIInfo is not seen; element names of the children are case-blind.
    (package('<Device componentID="1"><Display>before</Display><pciinfo vendorID="9005" deviceID="028f" '
             'subVendorID="9005" subDeviceID="0800"/><DISPLAY>after</DISPLAY></Device>'),
     [entry(display="after")]),
    # A missing attribute stays empty: it never inherits the earlier entry's value.
    (package('<Device componentID="1">%s</Device><Device componentID="2">%s</Device>'
             % (pci(), pci(subdevice=None))),
     [entry(), entry(subdevice="", component_id="2")]),
    (package('<Device componentID="1"><Display>no PCI</Display></Device>'), []),
    (package('<Device componentID="1">%s</Device>' % pci(), root="softwarecomponent"), []),
    (package('<Device componentID="1">%s</Device>' % pci(), holder="Devices"), []),
    ('<SoftwareComponent xmlns="urn:x"><SupportedDevices><Device componentID="1">%s</Device></SupportedDevices>'
     "</SoftwareComponent>" % pci(), []),
    ("<SoftwareComponent><SupportedDevices>", []),
    ("", []),
    (b"", []),
], ids=["one device, short ids padded", "two PCIInfo", "display order and case", "no inheritance",
        "device without PCIInfo", "root name is exact", "holder name is exact", "namespaced", "malformed",
        "empty", "empty bytes"])
def test_package_entries(text, expected):
    assert docs.parse_package(text) == expected


@pytest.mark.parametrize("text, value", [
    ("28f", 0x28F), ("028F", 0x28F), ("0x28f", 0x28F), ("0X28F", 0x28F), (" 0800\t", 0x800), ("0", 0),
    ("", None), ("0x", None), ("x28f", None), ("28g", None), ("2 8f", None), ("-28f", None),
    ("7" + "f" * 15, 2 ** 63 - 1), ("8" + "0" * 15, None),
])
def test_hex_values(text, value):
    assert docs.hex_value(text) == value


HBA_CTRL = dict(HBA_FIELDS)


@pytest.mark.parametrize("controller, package_entry, matched", [
    (HBA_CTRL, entry(), True),
    (HBA_CTRL, entry(vendor="9005", device="028F", subvendor="9005", subdevice="0800"), True),
    (HBA_CTRL, entry(device="0x28f"), True),
    (HBA_CTRL, entry(subdevice="0801"), False),
    (HBA_CTRL, entry(subvendor="1d5a"), False),
    (HBA_CTRL, entry(subdevice=""), False),
    (dict(HBA_CTRL, subdevice_id=""), entry(subdevice=""), False),  # two empty texts are not a match
    (HBA_CTRL, entry(subdevice="0800 x"), False),
])
def test_matching_rule(controller, package_entry, matched):
    assert docs.matches(controller, package_entry) is matched


def test_plan_keeps_the_tool_order_and_each_controller_once():
    third = dict(RAID_FIELDS, serial="SECOND-RAID")
    entries = [entry(vendor="1d5a", device="5a3e", subvendor="1d5a", subdevice="4c21"),
               entry(vendor="1D5A", device="5A3E", subvendor="1d5a", subdevice="4C21")]
    assert docs.plan_update([RAID_FIELDS, HBA_FIELDS, third], entries) == [RAID_FIELDS, third]
    assert docs.plan_update([RAID_FIELDS, HBA_FIELDS], []) == []


# ---- outcome per controller ----

def outcome(fields, result, message):
    return dict(fields, result=result, message=message)


BLANK = dict((f, "") for f in docs.CONTROLLER_FIELDS)


@pytest.mark.parametrize("planned, records, expected", [
    # The failure record of a controller is given the controller it stands for.
    ([RAID_FIELDS, HBA_FIELDS],
     [{"result": False, "message": "ERROR: Failed to update Firmware"}, dict(HBA_FIELDS, result=True, message=OK)],
     [outcome(RAID_FIELDS, False, "ERROR: Failed to update Firmware"), outcome(HBA_FIELDS, True, OK)]),
    # A run that stopped before any controller: one unnamed record, even beside a one-controller plan.
    ([RAID_FIELDS], [{"result": False, "message": "Payload directory is not proper."}],
     [outcome(BLANK, False, "Payload directory is not proper.")]),
    ([RAID_FIELDS], [{"result": False, "message": "ERROR: Failed to update Firmware"}],
     [outcome(RAID_FIELDS, False, "ERROR: Failed to update Firmware")]),
    ([], [{"result": False, "message": "No matching device found (PCI mismatch)."}],
     [outcome(BLANK, False, "No matching device found (PCI mismatch).")]),
    # Records that do not line up with the plan are never named after the wrong controller.
    ([HBA_FIELDS, RAID_FIELDS],
     [dict(RAID_FIELDS, result=True, message=OK), {"result": False, "message": "bad"}],
     [outcome(RAID_FIELDS, True, OK), outcome(BLANK, False, "bad")]),
    ([RAID_FIELDS, HBA_FIELDS], [{"result": False, "message": "bad"}], [outcome(BLANK, False, "bad")]),
], ids=["failure named by position", "early end beside a single plan", "single failure", "no match", "out of line", "fewer records"])
def test_outcomes_are_paired_with_the_plan(planned, records, expected):
    assert docs.pair_results(planned, records) == expected


def test_failure_summary_names_each_failed_record():
    rows = [outcome(RAID_FIELDS, False, "ERROR: Failed to update Firmware"), outcome(HBA_FIELDS, True, OK),
            outcome(BLANK, False, "No matching device found (PCI mismatch).")]
    assert docs.failure_summary(rows) == (
        "Zevorided RAID ZR-840i Controller Slot Number 0 (serial ZR0A1B2C3D4E5F): ERROR: Failed to update Firmware; "
        "update run: No matching device found (PCI mismatch).")
    assert docs.failure_summary([outcome(HBA_FIELDS, True, OK)]) == ""
