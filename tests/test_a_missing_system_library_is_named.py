"""A build on a machine without one of the system libraries stops with one line naming its Debian package."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT

CMAKE = Path(sys.executable).with_name("cmake")


@pytest.mark.parametrize("package, library", [("SQLite3", "libsqlite3-dev"), ("Hiredis", "libhiredis-dev")])
def test_the_missing_library_is_one_line_with_its_package(tmp_path, package, library):
    configured = subprocess.run([str(CMAKE), "-S", str(ROOT), "-B", str(tmp_path),
                                 f"-DCMAKE_DISABLE_FIND_PACKAGE_{package}=ON"], capture_output=True, text=True)
    assert configured.returncode != 0
    (line,) = [line for line in configured.stderr.splitlines() if "Debian package" in line]
    assert line.strip().endswith(f"install the Debian package {library} (sudo apt-get install {library}), "
                                 f"then build again")
