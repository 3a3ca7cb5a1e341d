"""Helpers of the Python package's tests."""

import importlib
import math
import os
import shutil
import subprocess
import sys

import pytest

# CI sets PLATEIO_NO_SKIP=1: there a test that would be skipped for want of a package fails instead.
NO_SKIP = os.environ.get("PLATEIO_NO_SKIP") == "1"


def _missing(what):
    message = f"{what} (on Debian: tools/install-deps.sh python)"
    if NO_SKIP:
        pytest.fail(f"{message}; PLATEIO_NO_SKIP=1 makes that a failure", pytrace=False)
    pytest.skip(message, allow_module_level=True)


def need_module(name):
    """Imports a module of the field's tools that a test needs; skips without it (fails where
    PLATEIO_NO_SKIP=1)."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        _missing(f"{name} is not installed: {error}")


def need_program(name):
    """The path of a program a test needs; skips without it (fails where PLATEIO_NO_SKIP=1)."""
    path = shutil.which(name)
    if path is None:
        _missing(f"{name} is not on PATH")
    return path


def damaged(source, directory, name, change):
    """A copy of a writer's file with `change` applied to its bytes (a bytearray), for the
    readers' refusals."""
    with open(source, "rb") as f:
        data = bytearray(f.read())
    data = change(data)
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def nan_equal(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def rss_bytes():
    """The process's resident memory, from /proc/self/status."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS in /proc/self/status")


def run_python(code, env_extra=None, cwd=None):
    """Runs `code` in a fresh interpreter (the library is loaded once per process), with the
    same Python; returns the CompletedProcess."""
    env = dict(os.environ)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          cwd=cwd)
