"""Shared by the tools that run relayhive many times: each run in namespaces
of its own, and the scratch files a copy may leave behind."""

import os
import shutil
import time


def isolation_available():
    """Root with unshare: each run gets its own network namespace (its own
    single-instance name) and process namespace (no client of a parallel run
    to stop). Without it runs must take turns."""
    return os.geteuid() == 0 and shutil.which("unshare") is not None


def isolated(command):
    # --kill-child: killing unshare kills the program too, as killing it directly would.
    return ["unshare", "-n", "-p", "-f", "--kill-child", "--mount-proc"] + command


def program_pid(unshare_pid):
    """The pid of the program an isolated() command runs, once it has started
    (unshare's own pid until then)."""
    children = "/proc/%d/task/%d/children" % (unshare_pid, unshare_pid)
    for _ in range(200):
        try:
            with open(children) as f:
                pids = f.read().split()
        except OSError:
            return unshare_pid
        if pids:
            return int(pids[0])
        time.sleep(0.001)
    return unshare_pid


SCRATCH_NAME = ".relayhive.tmp"


def scratch_files(root):
    """Every scratch file of relayhive's copies below root."""
    return [os.path.join(directory, name) for directory, _, names in os.walk(root)
            for name in names if name.startswith(SCRATCH_NAME)]
