"""Runs each relayhive of a parallel tool in namespaces of its own."""

import os
import shutil


def isolation_available():
    """Root with unshare: each run gets its own network namespace (its own
    single-instance name) and process namespace (no client of a parallel run
    to stop). Without it runs must take turns."""
    return os.geteuid() == 0 and shutil.which("unshare") is not None


def isolated(command):
    # --kill-child: killing unshare kills the program too, as killing it directly would.
    return ["unshare", "-n", "-p", "-f", "--kill-child", "--mount-proc"] + command
