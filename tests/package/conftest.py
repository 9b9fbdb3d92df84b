"""The package under test: build/vantor-web_<version>_amd64.deb, made with cpack when missing."""
import glob
import os
import subprocess

import pytest

BUILD_DIR = os.environ.get("VANTOR_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
SOURCE_DIR = os.path.normpath(os.path.join(os.path.dirname(__file__), "../.."))


@pytest.fixture(scope="session")
def deb():
    found = glob.glob(os.path.join(BUILD_DIR, "vantor-web_*_amd64.deb"))
    if not found:
        subprocess.run(["cpack", "-G", "DEB"], cwd=BUILD_DIR, check=True,
                       stdout=subprocess.DEVNULL, timeout=300)
        found = glob.glob(os.path.join(BUILD_DIR, "vantor-web_*_amd64.deb"))
    assert len(found) == 1, found
    return found[0]
