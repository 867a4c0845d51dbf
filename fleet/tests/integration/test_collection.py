# The collection as Ansible sees it: documentation that renders cleanly, a buildable artifact, and
# options refused by Ansible's own argument checking.

import os
import subprocess
import sys
import tarfile

import pytest

from fleetlib import FLEET

COLLECTION = os.path.join(FLEET, "ansible_collections", "zevorided", "firmware")


def ansible(argv, workdir, **kw):
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=FLEET, ANSIBLE_NOCOLOR="1",
               ANSIBLE_LOCAL_TEMP=os.path.join(workdir, "tmp-local"),
               ANSIBLE_REMOTE_TEMP=os.path.join(workdir, "tmp-remote"))
    return subprocess.run(argv, env=env, cwd=workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120, **kw)


@pytest.mark.parametrize("kind, name, must_show", [
    ("module", "zevorided.firmware.controller_facts", ["zevupdate_controllers", "command_prefix", "zevsim"]),
    ("module", "zevorided.firmware.controller_update", ["would_update", "package_dir", "zevsim"]),
    ("role", "zevorided.firmware.update", ["zevupdate_package", "zevupdate_results_dir"]),
])
def test_documentation_renders_without_warnings(workdir, kind, name, must_show):
    run = ansible(["ansible-doc", "-t", kind, name], workdir)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    for text in must_show:
        assert text in run.stdout


def test_collection_builds(workdir):
    run = ansible(["ansible-galaxy", "collection", "build", COLLECTION, "--output-path", workdir], workdir)
    assert run.returncode == 0, run.stdout + run.stderr
    with tarfile.open(os.path.join(workdir, "zevorided-firmware-1.0.0.tar.gz")) as tar:
        names = set(tar.getnames())
    for member in ("MANIFEST.json", "README.md", "meta/runtime.yml", "plugins/modules/controller_facts.py",
                   "plugins/modules/controller_update.py", "plugins/module_utils/zevupdate_docs.py",
                   "roles/update/tasks/main.yml"):
        assert member in names


@pytest.mark.parametrize("module, args, complaint", [
    ("controller_facts", "timeout=soon", "timeout"),
    ("controller_facts", "executable=/x colour=red", "Unsupported parameters"),
    ("controller_facts", "timeout=0", "timeout must be a positive number of seconds"),
    ("controller_update", "timeout=5", "missing required arguments: package_dir"),
    ("controller_update", "package_dir=/nonexistent/pkg", "package_dir is not a folder: /nonexistent/pkg"),
    ("controller_update", "package_dir=/tmp command_prefix=5 force=yes", "Unsupported parameters"),
])
def test_bad_options_are_refused(workdir, module, args, complaint):
    inventory = os.path.join(workdir, "hosts.ini")
    with open(inventory, "w") as f:
        f.write("h ansible_connection=local ansible_python_interpreter=%s\n" % sys.executable)
    run = ansible(["ansible", "h", "-i", inventory, "-m", "zevorided.firmware." + module, "-a", args], workdir)
    assert run.returncode == 2 and "h | FAILED! =>" in run.stdout and complaint in run.stdout, run.stdout
