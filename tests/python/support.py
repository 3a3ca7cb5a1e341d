"""Helpers of the Python package's tests."""

import math
import os
import subprocess
import sys


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
