#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: controller_facts
short_description: Inventory of the storage controllers of a host, as zevupdate sees them
description:
  - Runs C(zevupdate -i -o FILE) on the managed host and returns every controller of its
    inventory document as a fact.
  - Needs nothing on the host beyond Python 3's standard library and the zevupdate executable.
version_added: "1.0.0"
extends_documentation_fragment:
  - zevorided.firmware.zevupdate
options:
  executable:
    description:
      - Path of the zevupdate executable on the managed host.
    type: path
    default: /usr/sbin/zevupdate
  timeout:
    description:
      - Seconds the inventory may take. The run is then stopped and the task fails.
    type: int
    default: 300
notes:
  - Supports check mode fully, as an inventory changes nothing on the host.
seealso:
  - module: zevorided.firmware.controller_update
"""

EXAMPLES = r"""
- name: Inventory the controllers
  zevorided.firmware.controller_facts:

- name: Inventory with the tool from a package folder, bounded to one minute
  zevorided.firmware.controller_facts:
    executable: /opt/firmware/package/zevupdate
    timeout: 60

- name: Inventory inside an emulated host
  zevorided.firmware.controller_facts:
    executable: /srv/build/ra_ZuduzivurOzud/zevupdate
    command_prefix: [/srv/build/emulator/zevsim, run, /srv/scenarios/host1.json, --report, /tmp/host1.report.json, --]

- name: List the firmware versions
  ansible.builtin.debug:
    msg: "{{ ansible_facts.zevupdate_controllers | map(attribute='firmware_version') | list }}"
"""

RETURN = r"""
ansible_facts:
  description: Facts added to the host.
  returned: success
  type: dict
  contains:
    zevupdate_controllers:
      description: The controllers of the inventory document, in the tool's order.
      returned: success
      type: list
      elements: dict
      contains:
        vendor_id:
          description: PCI vendor identifier, hexadecimal text as the tool wrote it.
          type: str
          sample: "9005"
        device_id:
          description: PCI device identifier, hexadecimal text.
          type: str
          sample: "28f"
        subvendor_id:
          description: PCI subsystem vendor identifier, hexadecimal text.
          type: str
          sample: "9005"
        subdevice_id:
          description: PCI subsystem device identifier, hexadecimal text.
          type: str
          sample: "800"
        display:
          description: Name and slot of the controller.
          type: str
          sample: Zevorided HBA ZH-1208i Controller Slot Number 3
        serial:
          description: Serial number of the controller.
          type: str
          sample: 7A4263EAB3C
        firmware_version:
          description: Running firmware version.
          type: str
          sample: "4.11"
document:
  description: The inventory document as the tool wrote it.
  returned: success
  type: str
  sample: '<?xml version="1.0" encoding="UTF-8"?><PXRInventory lang="en"></PXRInventory>'
"""

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zevorided.firmware.plugins.module_utils.zevupdate_docs import DocumentError
from ansible_collections.zevorided.firmware.plugins.module_utils.zevupdate_run import RunError, inventory


def main():
    module = AnsibleModule(
        argument_spec=dict(
            executable=dict(type="path", default="/usr/sbin/zevupdate"),
            command_prefix=dict(type="list", elements="str", default=[]),
            timeout=dict(type="int", default=300),
        ),
        supports_check_mode=True,
    )
    if module.params["timeout"] <= 0:
        module.fail_json(msg="timeout must be a positive number of seconds, got %d" % module.params["timeout"])
    executable = os.path.abspath(module.params["executable"])
    try:
        controllers, document = inventory(executable, module.params["command_prefix"], module.params["timeout"])
    except (RunError, DocumentError) as exc:
        module.fail_json(msg="zevupdate inventory failed: %s" % exc)
    module.exit_json(changed=False, ansible_facts=dict(zevupdate_controllers=controllers), document=document)


if __name__ == "__main__":
    main()
