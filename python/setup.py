"""The parts of the distribution a static pyproject.toml cannot say (see there)."""

import os
import re
import shutil
import subprocess

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY_FILE = "libplateio.so.1"


def version():
    """The library's version: the project's in CMakeLists.txt beside this directory, or, in an
    unpacked source distribution, the one its PKG-INFO recorded."""
    for name, pattern in ((os.path.join(HERE, "..", "CMakeLists.txt"), r"project\(plateio\s+VERSION\s+([0-9.]+)"),
                          (os.path.join(HERE, "PKG-INFO"), r"^Version:\s*(\S+)")):
        if os.path.isfile(name):
            with open(name, encoding="utf-8") as f:
                found = re.search(pattern, f.read(), re.MULTILINE)
            if found:
                return found.group(1)
    raise RuntimeError("plateio: no version: build from the project's checkout (python/ beside "
                       "CMakeLists.txt) or from its source distribution")


def _pkg_config_libdir():
    try:
        done = subprocess.run(["pkg-config", "--variable=libdir", "plateio"], capture_output=True,
                              text=True, check=False)
    except OSError:
        return None
    return done.stdout.strip() if done.returncode == 0 and done.stdout.strip() else None


def library_dirs():
    """(where, directories) the installed package will look in for the library, found now:
    PLATEIO_LIBRARY_DIR if set (checked to hold the library), else the checkout's build tree and
    an installed plateio that pkg-config knows, those that hold the library. Empty when none
    does: the package then relies on PLATEIO_LIBRARY and the dynamic loader's search path."""
    given = os.environ.get("PLATEIO_LIBRARY_DIR")
    if given:
        given = os.path.abspath(given)
        if not os.path.isfile(os.path.join(given, LIBRARY_FILE)):
            raise RuntimeError(f"plateio: PLATEIO_LIBRARY_DIR={given} holds no {LIBRARY_FILE}")
        return "PLATEIO_LIBRARY_DIR when pip built the package", (given,)
    found = []
    for directory in (os.path.join(HERE, "..", "build", "release"), _pkg_config_libdir()):
        if directory and os.path.isfile(os.path.join(directory, LIBRARY_FILE)):
            found.append(os.path.realpath(directory))
    return "recorded when pip built the package", tuple(dict.fromkeys(found))


class BuildPy(build_py):
    """Adds plateio/_location.py (where the library was found at build time) and the fabio
    start-up hook's .pth file, which goes to the top of the site directory like the module."""

    def run(self):
        # A module removed from the sources must not live on in an earlier build's copy.
        shutil.rmtree(os.path.join(self.build_lib, "plateio"), ignore_errors=True)
        super().run()
        where, directories = library_dirs()
        location = os.path.join(self.build_lib, "plateio", "_location.py")
        with open(location, "w", encoding="utf-8") as f:
            f.write(f"# Made by pip's build: where the installed package finds libplateio.\n"
                    f"WHERE = {where!r}\nLIBRARY_DIRS = {directories!r}\n")
        shutil.copyfile(os.path.join(HERE, "site", "plateio-fabio.pth"),
                        os.path.join(self.build_lib, "plateio-fabio.pth"))

    def get_outputs(self, include_bytecode=True):
        return super().get_outputs(include_bytecode) + [
            os.path.join(self.build_lib, "plateio", "_location.py"),
            os.path.join(self.build_lib, "plateio-fabio.pth")]


with open(os.path.join(HERE, "entry_points.txt"), encoding="utf-8") as f:
    ENTRY_POINTS = f.read()

setup(version=version(), entry_points=ENTRY_POINTS, cmdclass={"build_py": BuildPy})
