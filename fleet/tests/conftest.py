# Fixtures of the fleet tests: the built tool and emulator, and a fresh work folder.

import os
import shutil
import tempfile

import pytest

from fleetlib import build_dir


@pytest.fixture(scope="session")
def tools():
    """Paths of the built zevupdate and zevsim; the tests need both."""
    exe = os.path.join(build_dir(), "ra_ZuduzivurOzud", "zevupdate")
    zevsim = os.path.join(build_dir(), "emulator", "zevsim")
    missing = [p for p in (exe, zevsim) if not os.access(p, os.X_OK)]
    if missing:
        message = "build the tree first (cmake --build build): missing %s" % ", ".join(missing)
        if os.environ.get("ZEV_BUILD_DIR"):
            pytest.fail(message)  # the test command named a build: never skip silently
        pytest.skip(message)
    return {"zevupdate": exe, "zevsim": zevsim}


@pytest.fixture
def workdir():
    path = tempfile.mkdtemp(prefix="zevfleet.", dir="/tmp")
    yield path
    shutil.rmtree(path, ignore_errors=True)
