# -*- coding: utf-8 -*-
# Reading zevupdate's documents and its package descriptor, and choosing the controllers an update
# run would flash. Standard library only: this runs on the managed hosts.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import xml.etree.ElementTree as ET

IDENTITY_FIELDS = ("vendor_id", "device_id", "subvendor_id", "subdevice_id")
CONTROLLER_FIELDS = IDENTITY_FIELDS + ("display", "serial", "firmware_version")
SERIAL_PREFIX = "Serial Number: "

# The tool trims with C's isspace(), which knows only these.
_C_SPACE = " \t\n\v\f\r"
_LONG_MAX = 2 ** 63 - 1


class DocumentError(ValueError):
    """A document the tool wrote that cannot be read as one."""


def _parse(text, what):
    if text is None or not text.strip():
        raise DocumentError("the %s document is empty" % what)
    try:
        return ET.fromstring(text)
    except ET.ParseError as exc:
        raise DocumentError("the %s document is not well-formed XML: %s" % (what, exc))


def _device_fields(device):
    """Identity, display, serial and version of one Device element."""
    fields = {
        "vendor_id": device.get("vendorID", ""),
        "device_id": device.get("deviceID", ""),
        "subvendor_id": device.get("subVendorID", ""),
        "subdevice_id": device.get("subDeviceID", ""),
        "display": device.get("display", ""),
    }
    enum = device.get("enum", "")
    fields["serial"] = enum[len(SERIAL_PREFIX):] if enum.startswith(SERIAL_PREFIX) else enum
    application = device.find("Application")
    fields["firmware_version"] = application.get("version", "") if application is not None else ""
    return fields


def _failure_message(status):
    message = status.find("Message")
    return (message.text or "") if message is not None else ""


def _document_root(text, what, tag):
    root = _parse(text, what)
    if root.tag != tag:
        raise DocumentError("expected an %s document (%s), found <%s>" % (what, tag, root.tag))
    return root


def parse_inventory(text):
    """Controllers of a PXRInventory document, in the tool's order."""
    root = _document_root(text, "inventory", "PXRInventory")
    controllers = []
    for child in root:
        if child.tag == "Device":
            controllers.append(_device_fields(child))
        elif child.tag == "SPStatus":
            raise DocumentError("the inventory reports a failure: %s" % _failure_message(child))
        else:
            raise DocumentError("unexpected <%s> in the inventory document" % child.tag)
    return controllers


def _result_of(status):
    value = status.get("result")
    if value not in ("true", "false"):
        raise DocumentError("SPStatus result %r is neither true nor false" % value)
    return value == "true"


def parse_execution(text):
    """Records of a PXRExecution document, in the tool's order.

    A record is a dict with result and message, and the controller fields when the tool named the
    controller (it names only successful ones: a failure record stands alone).
    """
    root = _document_root(text, "update result", "PXRExecution")
    records = []
    for child in root:
        if child.tag == "Device":
            record = _device_fields(child)
            application = child.find("Application")
            status = application.find("SPStatus") if application is not None else None
            if status is None:
                raise DocumentError("a Device of the update result carries no SPStatus")
            record["result"] = _result_of(status)
            record["message"] = _failure_message(status)
            records.append(record)
        elif child.tag == "SPStatus":
            records.append({"result": _result_of(child), "message": _failure_message(child)})
        elif child.tag == "RebootRequired":
            continue
        else:
            raise DocumentError("unexpected <%s> in the update result document" % child.tag)
    return records


def reboot_required(text):
    root = _parse(text, "update result")
    return any(child.tag == "RebootRequired" and (child.text or "").strip() == "1" for child in root)


# ---- package descriptor ----


def _local_name(tag):
    return tag.rsplit("}", 1)[-1] if tag.startswith("{") else tag


def _named(element, name):
    # Child elements are picked by name without regard to case, as the tool does.
    return isinstance(element.tag, str) and _local_name(element.tag).lower() == name.lower()


def _element_text(element):
    text = element.text
    if not text:
        return None
    if not text.strip(_C_SPACE) and len(element):
        return None  # blank text before a child element is dropped by the tool's parser
    return text


def _pad(value):
    if not value or len(value) >= 4:
        return value
    return "0" * (4 - len(value)) + value


def parse_package(text):
    """Supported-device entries of a package.xml text; none when it cannot be read.

    Devices are those at //SoftwareComponent/SupportedDevices/Device (exact names, no namespace);
    each PCIInfo child yields one entry, every entry starting empty.
    """
    try:
        root = ET.fromstring(text)
    except (ET.ParseError, TypeError):
        return []
    parents = {child: parent for parent in root.iter() for child in parent}
    entries = []
    for device in root.iter("Device"):
        holder = parents.get(device)
        component = parents.get(holder) if holder is not None else None
        if holder is None or holder.tag != "SupportedDevices" or component is None or component.tag != "SoftwareComponent":
            continue
        children = list(device)
        for index, child in enumerate(children):
            if not _named(child, "PCIInfo"):
                continue
            entry = {
                "component_id": device.get("componentID", ""),
                "vendor_id": _pad(child.get("vendorID", "")),
                "device_id": _pad(child.get("deviceID", "")),
                "subvendor_id": _pad(child.get("subVendorID", "")),
                "subdevice_id": _pad(child.get("subDeviceID", "")),
                "display": "",
            }
            for sibling in children[index + 1:]:
                if _named(sibling, "Display"):
                    display = _element_text(sibling)
                    if display is not None:
                        entry["display"] = display
                        break
            entries.append(entry)
    return entries


def hex_value(text):
    """The number a PCI identifier stands for, or None when the text is not one hexadecimal number."""
    body = text.strip(_C_SPACE)
    digits = body[2:] if len(body) > 2 and body[0] == "0" and body[1] in "xX" else body
    if not digits or any(c not in "0123456789abcdefABCDEF" for c in digits):
        return None
    value = int(digits, 16)
    return value if value <= _LONG_MAX else None


def same_identifier(controller_text, package_text):
    a = hex_value(controller_text)
    return a is not None and a == hex_value(package_text)


def matches(controller, entry):
    """The tool's rule: all four PCI identifiers equal as hexadecimal numbers."""
    return all(same_identifier(controller[f], entry[f]) for f in ("device_id", "subdevice_id", "vendor_id", "subvendor_id"))


def plan_update(controllers, entries):
    """The controllers an update run flashes, in the tool's order."""
    return [c for c in controllers if any(matches(c, e) for e in entries)]


# ---- update outcome ----

# The tool's texts for a run that stopped before any controller.
RUN_LEVEL_MESSAGES = frozenset((
    "Payload directory is not proper.",
    "Device is not present in the system for update or has been removed",
    "No matching device found (PCI mismatch).",
))


def _same_controller(planned, record):
    return (all(same_identifier(planned[f], record[f]) for f in IDENTITY_FIELDS)
            and planned["serial"] == record["serial"])


def pair_results(planned, records):
    """Per-controller outcome of an update run.

    The tool writes one record per controller it tried, in the order of the plan, and names only
    the controllers that succeeded. When the records line up with the plan, each failure gets the
    name of its controller; otherwise (a run that stopped before any controller, or a host whose
    controllers changed between the inventory and the update) the records are returned as they
    are, unnamed failures with empty controller fields.
    """
    def blank():
        return dict((f, "") for f in CONTROLLER_FIELDS)

    aligned = len(planned) == len(records) and all(
        (_same_controller(p, r) if "serial" in r else r["message"] not in RUN_LEVEL_MESSAGES)
        for p, r in zip(planned, records))
    out = []
    for index, record in enumerate(records):
        row = blank()
        if aligned:
            row.update((f, planned[index][f]) for f in CONTROLLER_FIELDS)
        row.update((f, record[f]) for f in CONTROLLER_FIELDS if f in record)
        row["result"] = record["result"]
        row["message"] = record["message"]
        out.append(row)
    return out


def failure_summary(controllers):
    """One text naming every failed record, for a task's msg."""
    parts = []
    for c in controllers:
        if c["result"]:
            continue
        name = c["display"] or "update run"
        if c["serial"]:
            name += " (serial %s)" % c["serial"]
        parts.append("%s: %s" % (name, c["message"]))
    return "; ".join(parts)
