"""The package as users install it: pip into a fresh virtual environment, and cmake --install into
a user's ~/.local. Each is then used by a fresh interpreter with nothing but its own environment:
no PYTHONPATH, only what the installation put where that interpreter looks."""

import os
import subprocess
import sys

import pytest

from support import need_module

SOURCES = os.path.join(os.path.dirname(__file__), "..", "..", "python")
# What a fresh interpreter reports: where plateio came from, its version (the library's and the
# distribution's) and library, whether fabio reads a .tra by name (the start-up hook) and whether
# DIALS finds the format classes.
PROBE = """
import os
import sys
from importlib.metadata import entry_points, version
import fabio, plateio
image = fabio.open(sys.argv[1])
print(plateio.__file__)
print(plateio.__version__, version("plateio"), os.path.realpath(plateio.library_path()))
print(type(image).__name__, image.data.shape, int(image.data.sum()))
print(sorted(e.name for e in entry_points(group="dxtbx.format") if e.value.startswith("plateio.")))
"""


def _clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONUSERBASE")}
    env.update(extra)
    return env


def _run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{command}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def _expected(exposures, library_file):
    import plateio
    data = plateio.open(exposures["tra"]).data
    return [f"{plateio.__version__} {plateio.__version__} {library_file}", f"TraImage (1200, 1200) {int(data.sum())}",
            "['FormatPlateioTRA:Format', 'FormatPlateioXArea:Format']"]


def test_pip_installs_into_a_fresh_virtual_environment(tmp_path, exposures, library_file):
    need_module("fabio")
    need_module("pip")
    venv = tmp_path / "env"
    # The system's interpreter, whose site packages (NumPy, fabio, pip) the environment sees.
    base = getattr(sys, "_base_executable", sys.executable)
    _run([base, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)])
    python = str(venv / "bin" / "python")
    env = _clean_env(PLATEIO_LIBRARY_DIR=os.path.dirname(library_file), PIP_NO_INDEX="1")
    _run([python, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-cache-dir",
          SOURCES], env=env)
    out = _run([python, "-c", PROBE, exposures["tra"]], env=_clean_env(), cwd=tmp_path).splitlines()
    assert out[0].startswith(str(venv)), out
    assert out[1:] == _expected(exposures, library_file)
    # PLATEIO_LIBRARY comes first, and what could not be loaded is said exactly.
    missing = str(tmp_path / "nowhere" / "libplateio.so.1")
    done = subprocess.run([python, "-c", "import plateio; plateio.library_path()"], cwd=tmp_path,
                          env=_clean_env(PLATEIO_LIBRARY=missing), capture_output=True, text=True)
    assert done.returncode != 0
    assert f"{missing}: no such file (the environment's PLATEIO_LIBRARY)" in done.stderr
    _run([python, "-m", "pip", "uninstall", "-y", "plateio"], env=env)
    assert sorted(p.name for p in (venv / "lib").glob("python3*/site-packages/*plateio*")) == []


def test_cmake_install_into_the_user_base_reaches_the_user_site(tmp_path, exposures, build_dir,
                                                               library_file):
    need_module("fabio")
    home = tmp_path / "home"
    home.mkdir()
    env = _clean_env(HOME=str(home))
    _run(["cmake", "--install", build_dir, "--prefix", str(home / ".local")], env=env)
    user_site = _run([sys.executable, "-m", "site", "--user-site"], env=env).strip()
    assert user_site.startswith(str(home)) and os.path.isfile(os.path.join(user_site, "plateio-fabio.pth"))
    out = _run([sys.executable, "-c", PROBE, exposures["tra"]], env=env, cwd=tmp_path).splitlines()
    assert out[0] == os.path.join(user_site, "plateio", "__init__.py")
    installed = os.path.join(str(home), ".local", "lib", os.path.basename(library_file))
    assert [line.replace(installed, library_file) for line in out[1:]] == \
        _expected(exposures, library_file)
