#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: controller_update
short_description: Flash a firmware package into the storage controllers of a host with zevupdate
description:
  - Runs C(zevupdate -u -o FILE) in a package folder on the managed host. The folder holds the
    executable C(zevupdate), the folder C(payload) with the one firmware image, and C(package.xml),
    which lists the controllers the image is for.
  - Before the update it takes an inventory with the same executable, so that every outcome is
    reported with the name and serial number of its controller, failures included.
  - The task is C(changed) when at least one controller was flashed, and fails when any record of
    the update result document is a failure, with the messages in C(msg).
  - In check mode nothing is flashed. The module takes the inventory and returns in C(would_update)
    the controllers that C(package.xml) lists, chosen by the tool's own rule (the four PCI
    identifiers compared as hexadecimal numbers), in the order the tool would flash them.
  - Needs nothing on the host beyond Python 3's standard library and the package folder.
version_added: "1.0.0"
extends_documentation_fragment:
  - zevorided.firmware.zevupdate
options:
  package_dir:
    description:
      - The package folder on the managed host. The result document is written into it as
        C(zevupdate-result.xml), so it must be writable.
    type: path
    required: true
  timeout:
    description:
      - Seconds the update run may take. The tool is then asked to stop, which it does after the
        controller it is flashing; the task fails.
    type: int
    default: 3600
notes:
  - Update runs on one host take turns through the tool's machine-wide lock.
  - Supports check mode, which flashes nothing.
seealso:
  - module: zevorided.firmware.controller_facts
"""

EXAMPLES = r"""
- name: Flash the package laid out in /var/tmp/fw
  zevorided.firmware.controller_update:
    package_dir: /var/tmp/fw
  register: update

- name: Show what was flashed
  ansible.builtin.debug:
    msg: "{{ update.controllers | selectattr('result') | map(attribute='serial') | list }}"

- name: Plan only
  zevorided.firmware.controller_update:
    package_dir: /var/tmp/fw
  check_mode: true
  register: plan

- name: Update inside an emulated host
  zevorided.firmware.controller_update:
    package_dir: /tmp/pkg
    command_prefix: [/srv/build/emulator/zevsim, run, /srv/scenarios/host1.json, --report, /tmp/host1.report.json, --]
    timeout: 600
"""

RETURN = r"""
controllers:
  description:
    - Outcome per record of the update result document, in the tool's order.
    - Each record has the fields of C(zevupdate_controllers) of M(zevorided.firmware.controller_facts)
      (C(vendor_id), C(device_id), C(subvendor_id), C(subdevice_id), C(display), C(serial), and
      C(firmware_version), the version the inventory reported before the update), and the two below.
    - A run that stopped before any controller (no payload, no controller, no match) gives one
      record whose controller fields are empty.
  returned: when the update ran (not in check mode)
  type: list
  elements: dict
  contains:
    result:
      description: Whether the controller was flashed.
      type: bool
      sample: true
    message:
      description: The tool's message for this record.
      type: str
      sample: "Success: The operation was successful"
would_update:
  description: In check mode, the controllers an update would flash, with the fields of C(controllers) but no result.
  returned: check mode
  type: list
  elements: dict
  sample: []
reboot_required:
  description: Whether the tool asked for a reboot.
  returned: when the update ran (not in check mode)
  type: bool
  sample: false
document:
  description: The update result document as the tool wrote it (in check mode, the inventory document).
  returned: success or a failed update
  type: str
result_file:
  description: Path of the update result document on the host.
  returned: when the update ran (not in check mode)
  type: str
  sample: /var/tmp/fw/zevupdate-result.xml
msg:
  description: The failed records, each with its controller when known, and the tool's message.
  returned: failure
  type: str
"""

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zevorided.firmware.plugins.module_utils.zevupdate_docs import (
    DocumentError,
    failure_summary,
    pair_results,
    parse_execution,
    parse_package,
    plan_update,
    reboot_required,
)
from ansible_collections.zevorided.firmware.plugins.module_utils.zevupdate_run import (
    RunError,
    inventory,
    read_document,
    run_tool,
)

RESULT_NAME = "zevupdate-result.xml"


def read_package(package_dir):
    try:
        with open(os.path.join(package_dir, "package.xml"), "rb") as f:
            return f.read()
    except (IOError, OSError):
        return b""


def main():
    module = AnsibleModule(
        argument_spec=dict(
            package_dir=dict(type="path", required=True),
            command_prefix=dict(type="list", elements="str", default=[]),
            timeout=dict(type="int", default=3600),
        ),
        supports_check_mode=True,
    )
    timeout = module.params["timeout"]
    if timeout <= 0:
        module.fail_json(msg="timeout must be a positive number of seconds, got %d" % timeout)
    package_dir = os.path.abspath(module.params["package_dir"])
    if not os.path.isdir(package_dir):
        module.fail_json(msg="package_dir is not a folder: %s" % package_dir)
    prefix = module.params["command_prefix"]
    executable = os.path.join(package_dir, "zevupdate")

    try:
        controllers, inventory_document = inventory(executable, prefix, timeout)
    except (RunError, DocumentError) as exc:
        module.fail_json(msg="zevupdate inventory before the update failed: %s" % exc)
    planned = plan_update(controllers, parse_package(read_package(package_dir)))

    if module.check_mode:
        if not planned:
            module.warn("no controller of this host matches package.xml; an update would flash nothing and fail")
        module.exit_json(changed=bool(planned), would_update=planned, document=inventory_document)

    result_file = os.path.join(package_dir, RESULT_NAME)
    try:
        if os.path.lexists(result_file):
            os.unlink(result_file)  # a stale document must never pass for this run's
    except OSError as exc:
        module.fail_json(msg="cannot remove the old result document %s: %s" % (result_file, exc))
    try:
        run_tool(list(prefix) + [executable, "-u", "-o", result_file], package_dir, timeout)
        if not os.path.exists(result_file):
            raise RunError("zevupdate wrote no update result document to %s" % result_file)
        document = read_document(result_file, "update result")
        records = parse_execution(document)
        reboot = reboot_required(document)
    except (RunError, DocumentError) as exc:
        module.fail_json(msg="zevupdate update failed: %s" % exc, result_file=result_file)
    if not records:
        module.fail_json(msg="zevupdate update failed: the update result document holds no record",
                         document=document, result_file=result_file)

    outcome = pair_results(planned, records)
    changed = any(c["result"] for c in outcome)
    result = dict(changed=changed, controllers=outcome, reboot_required=reboot, document=document,
                  result_file=result_file)
    failed = failure_summary(outcome)
    if failed:
        module.fail_json(msg=failed, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
