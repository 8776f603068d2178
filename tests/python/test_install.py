"""`cmake --install` puts the module under the prefix it is given, where this interpreter imports it."""

import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import _orvinta
import support

BUILT = pathlib.Path(_orvinta.__file__).resolve()  # <build>/python/_orvinta.so
BUILD = BUILT.parent.parent
CMAKE = shutil.which("cmake")
# This interpreter's folder for extension modules, relative to its install
# scheme's prefix (the scheme's `data` path).
SITE = os.path.relpath(sysconfig.get_path("platlib"), sysconfig.get_path("data"))

pytestmark = pytest.mark.skipif(
    CMAKE is None or not (BUILD / "cmake_install.cmake").is_file(),
    reason="needs cmake and the build tree the module was imported from")

# The records of a small simulator, hashed, and the file of the module that made them.
RUN = """
import hashlib, json, sys
sys.path.insert(0, sys.argv[1])
import _orvinta, support
records = support.simulator().run_stations(**support.stations(3))
print(json.dumps([_orvinta.__file__, hashlib.sha256(records.tobytes()).hexdigest()]))
"""


def configured_prefix():
    """The build's CMAKE_INSTALL_PREFIX."""
    for line in (BUILD / "CMakeCache.txt").read_text().splitlines():
        if line.startswith("CMAKE_INSTALL_PREFIX:"):
            return line.split("=", 1)[1]
    raise AssertionError("CMakeCache.txt names no install prefix")


@pytest.mark.parametrize("given", [True, False], ids=["given prefix", "default prefix"])
def test_the_module_installs_under_the_prefix_and_imports_from_there(tmp_path, given):
    if given:
        prefix = str(tmp_path / "prefix")
        site = os.path.join(prefix, SITE)
    else:
        prefix = configured_prefix()
        if prefix != sysconfig.get_path("data"):
            pytest.skip(f"the build installs to {prefix}, not to this interpreter's prefix")
        site = sysconfig.get_path("platlib")  # where this interpreter imports installed modules
    # Staged under DESTDIR: whatever the install does, it writes nothing outside tmp_path.
    stage = tmp_path / "stage"
    done = subprocess.run([CMAKE, "--install", str(BUILD)] + (["--prefix", prefix] if given else []),
                          env=dict(os.environ, DESTDIR=str(stage)), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr

    module = stage / site.lstrip("/") / BUILT.name
    assert module.is_file(), sorted(str(p) for p in stage.rglob("*") if p.is_file())
    under_prefix = stage / prefix.lstrip("/")
    assert all(under_prefix in p.parents for p in stage.rglob("*") if p.is_file())

    # A fresh interpreter that sees only the installed copy runs it, to the bit.
    ran = subprocess.run([sys.executable, "-c", RUN, support.SUPPORT_DIR], cwd=tmp_path,
                         env=dict(os.environ, PYTHONPATH=str(module.parent)),
                         capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stderr
    imported, digest = json.loads(ran.stdout.strip().splitlines()[-1])
    assert pathlib.Path(imported) == module
    records = support.simulator().run_stations(**support.stations(3))
    assert digest == hashlib.sha256(records.tobytes()).hexdigest()
