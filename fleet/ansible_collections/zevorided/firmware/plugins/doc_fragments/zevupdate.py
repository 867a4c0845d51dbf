# -*- coding: utf-8 -*-
# What every module of this collection shares: how the tool is started, and how its failures end a task.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r"""
options:
  command_prefix:
    description:
      - Words put before each command the module runs, for example a wrapper the tool must run under.
      - To run the tool inside an emulated host, give the emulator's runner,
        C([/path/to/zevsim, run, SCENARIO, --report, FILE, --]); the tool then sees only the
        scenario's controllers, and the report records every command they received (the report
        of the last run stays, after an update that of the update).
    type: list
    elements: str
    default: []
notes:
  - Any failure of the tool (missing executable, non-zero exit status, a document that is missing,
    empty, unreadable or malformed) fails the task.
author:
  - Zevorided firmware team
"""
