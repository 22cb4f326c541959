"""What a repaired wheel carries and loads. scripts/test_wheels runs the suite
against each wheel, installed in a fresh venv away from the source tree, and
names the wheel in MARROWFIN_WHEEL; elsewhere these tests skip."""

import os
import pathlib
import platform
import re
import sys
import sysconfig
import zipfile

import pytest

import marrowfin
import marrowfin_tools._native

WHEEL = os.environ.get("MARROWFIN_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="needs a wheel from scripts/wheel (scripts/test_wheels)")

# Linked beyond the C library and the interpreter; each must travel inside.
BUNDLED = ("libisal", "libbz2", "libzstd")


def test_the_wheel_is_for_this_interpreter_and_its_modules_load_the_bundled_libraries():
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"  # and any recent glibc
    name = pathlib.Path(WHEEL).name
    assert re.fullmatch(rf"marrowfin-[\w.]+-{tag}-{tag}-manylinux_2_\d+_{platform.machine()}\.whl", name)
    site = pathlib.Path(sysconfig.get_paths()["platlib"])
    for module in (marrowfin, marrowfin_tools._native):
        assert pathlib.Path(module.__file__).is_relative_to(site)
    with zipfile.ZipFile(WHEEL) as wheel:
        inside = [pathlib.PurePath(n).name for n in wheel.namelist() if n.startswith("marrowfin.libs/")]
    loaded = {pathlib.Path(line.split()[-1]) for line in pathlib.Path("/proc/self/maps").read_text().splitlines()
              if line.split()[-1].startswith("/")}
    for library in BUNDLED:
        copies = [n for n in inside if n.startswith(library + "-")]
        assert len(copies) == 1, (library, inside)
        # (the interpreter's own _bz2 may map the system's libbz2 beside it)
        assert site / "marrowfin.libs" / copies[0] in loaded
