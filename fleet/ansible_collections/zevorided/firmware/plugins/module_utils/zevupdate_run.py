# -*- coding: utf-8 -*-
# Running zevupdate on the managed host: a bounded run whose every way of going wrong is an error.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os
import shutil
import signal
import subprocess
import tempfile

from ansible_collections.zevorided.firmware.plugins.module_utils.zevupdate_docs import parse_inventory

# After the timeout the run gets SIGTERM, which the tool honours only between two controllers, so a
# flash in progress is never cut short; it gets this long to finish that controller.
STOP_GRACE_SECONDS = 120


class RunError(RuntimeError):
    """zevupdate could not be run, or its run ended badly."""


def check_executable(path):
    if not os.path.isfile(path):
        raise RunError("zevupdate executable not found: %s" % path)
    if not os.access(path, os.X_OK):
        raise RunError("zevupdate executable is not executable: %s" % path)


def _tail(text, limit=2000):
    text = text.strip()
    return text if len(text) <= limit else "..." + text[-limit:]


def run_tool(argv, cwd, timeout):
    """Runs argv in cwd; returns (stdout, stderr) of a run that exited with status 0."""
    try:
        proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)
    except OSError as exc:
        raise RunError("cannot start %s: %s" % (argv[0], exc))
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            out, err = proc.communicate(timeout=STOP_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, err = proc.communicate()
        raise RunError("%s did not finish within %s seconds and was stopped; stderr: %s"
                       % (" ".join(argv), timeout, _tail(err.decode("utf-8", "replace"))))
    out = out.decode("utf-8", "replace")
    err = err.decode("utf-8", "replace")
    if proc.returncode != 0:
        how = ("killed by signal %d" % -proc.returncode if proc.returncode < 0
               else "exit status %d" % proc.returncode)
        raise RunError("%s failed (%s); stderr: %s" % (" ".join(argv), how, _tail(err) or "(empty)"))
    return out, err


def read_document(path, what):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except (IOError, OSError) as exc:
        raise RunError("cannot read the %s document %s: %s" % (what, path, exc))
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise RunError("the %s document %s is not UTF-8: %s" % (what, path, exc))


def inventory(executable, prefix, timeout):
    """(controllers, document) of one inventory run; raises RunError or DocumentError."""
    check_executable(executable)
    work = tempfile.mkdtemp(prefix="zevupdate-facts.")
    try:
        path = os.path.join(work, "inventory.xml")
        run_tool(list(prefix) + [executable, "-i", "-o", path], work, timeout)
        if not os.path.exists(path):
            raise RunError("zevupdate wrote no inventory document to %s" % path)
        document = read_document(path, "inventory")
        return parse_inventory(document), document
    finally:
        shutil.rmtree(work, ignore_errors=True)
