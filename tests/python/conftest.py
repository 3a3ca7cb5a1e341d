"""Fixtures of the Python package's tests.

Every exposure is made by the project's own writers through `plateio synth`, and every reference
value comes from the C interface through the same tool: `plateio convert --to npy` for pixels
(read_tra, read_xi), `plateio info --json` for image_info (read_tra_header, read_xi_header) and
`plateio correct` for the transforms (correct_cry, anti_correct).

CTest runs these with --plateio-tool, --plateio-library, --plateio-build, --plateio-python-dir and
--plateio-cc (the build's C compiler),
and with PYTHONPATH set to the package staged in the build tree.
"""

import json
import os
import subprocess

import numpy as np
import pytest

TRA_GEOMETRY = {0: 80.0, 2: 0.5, 3: 0.7107, 4: 250.0, 5: 1.5}
XAREA_GEOMETRY = {0: 80.0, 1: 0.25, 2: 0.5, 3: 0.7107, 4: 250.0, 5: 1.5, 6: 3, 7: 1, 8: 2}


def pytest_addoption(parser):
    group = parser.getgroup("plateio")
    group.addoption("--plateio-tool", help="the plateio command-line tool of the build")
    group.addoption("--plateio-library", help="the build's libplateio.so")
    group.addoption("--plateio-build", help="the build tree")
    group.addoption("--plateio-python-dir", help="PLATEIO_PYTHON_INSTALL_DIR of the build")
    group.addoption("--plateio-cc", help="the build's C compiler")


def _option(config, name):
    value = config.getoption(name)
    if not value:
        pytest.fail(f"--{name.replace('_', '-')} is required (CTest passes it)")
    return value


@pytest.fixture(scope="session")
def tool(pytestconfig):
    return os.path.abspath(_option(pytestconfig, "plateio_tool"))


@pytest.fixture(scope="session")
def library_file(pytestconfig):
    return os.path.abspath(_option(pytestconfig, "plateio_library"))


@pytest.fixture(scope="session")
def build_dir(pytestconfig):
    return os.path.abspath(_option(pytestconfig, "plateio_build"))


@pytest.fixture(scope="session")
def c_compiler(pytestconfig):
    return _option(pytestconfig, "plateio_cc")


@pytest.fixture(scope="session")
def python_install_dir(pytestconfig):
    return _option(pytestconfig, "plateio_python_dir")


class Tool:
    """The plateio tool: the project's writers and the C interface's reference values."""

    def __init__(self, path, directory):
        self.path = path
        self.directory = directory

    def run(self, *arguments):
        done = subprocess.run([self.path, *map(str, arguments)], capture_output=True, text=True)
        if done.returncode != 0:
            raise AssertionError(f"plateio {' '.join(map(str, arguments))} failed "
                                 f"({done.returncode}):\n{done.stdout}\n{done.stderr}")
        return done.stdout

    def synth(self, name, family, *options):
        path = os.path.join(self.directory, name)
        self.run("synth", "--format", family, *options, "-o", path)
        return path

    def pixels(self, path):
        """The image the C interface loads (read_tra or read_xi), through a .npy file."""
        out = os.path.join(self.directory, "reference", os.path.basename(path) + ".npy")
        os.makedirs(os.path.dirname(out), exist_ok=True)
        self.run("convert", "--to", "npy", "-o", out, path)
        return np.load(out)

    def info(self, path):
        """The image_info record the C interface fills (read_tra_header or read_xi_header)."""
        described = json.loads(self.run("info", "--json", path))
        assert len(described) == 1
        return described[0]

    def correct(self, points, params, distance, inverse):
        """Each point through correct_cry (or anti_correct), one call of the C function each."""
        arguments = ["correct", "--distance", repr(float(distance))]
        for name, value in params.items():
            arguments += ["--" + name.replace("_", "-"), repr(float(value))]
        if inverse:
            arguments.append("--inverse")
        arguments.append("--")
        for x, y in points:
            arguments += [repr(float(x)), repr(float(y))]
        lines = self.run(*arguments).split("\n")
        return np.array([[float(v) for v in line.split()] for line in lines if line], dtype=np.float64)


@pytest.fixture(scope="session")
def plateio_tool(tool, tmp_path_factory):
    return Tool(tool, str(tmp_path_factory.mktemp("exposures")))


def _geometry_options(values):
    options = []
    for index, value in values.items():
        options += ["--geometry", f"{index}={value}"]
    return options


@pytest.fixture(scope="session")
def exposures(plateio_tool):
    """Exposures of both families written by the project's writers: name -> path."""
    t = plateio_tool
    made = {
        "tra": t.synth("powder.tra", "tra", "--seed", "1", *_geometry_options(TRA_GEOMETRY)),
        "tra2": t.synth("second.tra", "tra", "--seed", "7"),
        "xarea_plain": t.synth("plain.xa", "xarea", "--seed", "2", "--size", "640x480",
                               *_geometry_options(XAREA_GEOMETRY), "--setting", "3",
                               "--scale-value", "0.85"),
        "xarea_compressed": t.synth("coded.xa", "xarea", "--seed", "2", "--size", "640x480",
                                    "--compressed", *_geometry_options(XAREA_GEOMETRY),
                                    "--setting", "3", "--scale-value", "0.85"),
        "xarea_wide": t.synth("wide.xa", "xarea", "--seed", "5", "--size", "1000x300",
                              "--compressed", "--overflow-threshold", "40000"),
        "xarea_small": t.synth("small.xa", "xarea", "--seed", "9", "--size", "37x23"),
    }
    # A file name that is not a format's: detection goes by content, never by name.
    renamed = os.path.join(t.directory, "exposure.dat")
    with open(made["xarea_compressed"], "rb") as source, open(renamed, "wb") as target:
        target.write(source.read())
    made["xarea_renamed"] = renamed
    return made
