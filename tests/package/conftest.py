"""The package under test: build/vantor-web_<version>_amd64.deb, made with cpack when missing.
The version is the project's (VANTOR_PACKAGE_VERSION), so a package of an older version left in
the build directory is not picked up."""
import glob
import os
import subprocess

import pytest

BUILD_DIR = os.environ.get("VANTOR_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
SOURCE_DIR = os.path.normpath(os.path.join(os.path.dirname(__file__), "../.."))


@pytest.fixture(scope="session")
def deb():
    pattern = os.path.join(BUILD_DIR, f"vantor-web_{os.environ.get('VANTOR_PACKAGE_VERSION', '*')}_amd64.deb")
    found = glob.glob(pattern)
    if not found:
        subprocess.run(["cpack", "-G", "DEB"], cwd=BUILD_DIR, check=True,
                       stdout=subprocess.DEVNULL, timeout=300)
        found = glob.glob(pattern)
    assert len(found) == 1, found
    return found[0]
