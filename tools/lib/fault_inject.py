#!/usr/bin/env python3
"""Injected system-call faults: runs the real relayhive under strace once for
every position at which it calls each file operation (openat, write, fsync,
close, rename), making that one call fail with ENOSPC, EIO or EACCES. After
each run: exit status 0, every destination old or new, no scratch file left,
any destination left old was reported on standard error, and the client was
still relaunched. Called by tools/fault-inject."""

import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile

import runs

SYSCALLS = ["openat", "write", "fsync", "close", "rename"]
ERRNOS = ["ENOSPC", "EIO", "EACCES"]
FILES = {"skin/a.bmp": "a.bmp", "skin/b.bmp": "b.bmp", "logo/c.png": "c.png",
         "autoupdate.ini": "autoupdate.ini", "Quillmon.exe": "Quillmon.exe"}
MANIFEST = b"[cltskin]\nfilelist=a.bmp,b.bmp\n[cltlogo]\nfilelist=c.png\n[cltmain]\nmainfile=Quillmon.exe\n"


class Install:
    def __init__(self, standin):
        self.root = tempfile.mkdtemp(prefix="relayhive-fault-")
        self.app = os.path.join(self.root, "app")
        for sub in ("skin", "logo", "download"):
            os.makedirs(os.path.join(self.app, sub))
        with open(standin, "rb") as f:
            client = f.read()
        self.old = {"skin/a.bmp": b"old a" * 3000, "skin/b.bmp": b"old b", "logo/c.png": b"old c" * 900,
                    "autoupdate.ini": None, "Quillmon.exe": client}
        self.new = {"skin/a.bmp": b"new a" * 2000, "skin/b.bmp": b"new b" * 10, "logo/c.png": b"new c",
                    "autoupdate.ini": MANIFEST, "Quillmon.exe": client + b"\0new build\0"}
        for dest, data in self.old.items():
            if data is not None:
                self.write(dest, data)
        for dest, name in FILES.items():
            self.write("download/" + name, self.new[dest])
        os.chmod(os.path.join(self.app, "Quillmon.exe"), 0o755)
        os.chmod(os.path.join(self.app, "download", "Quillmon.exe"), 0o755)
        self.write("quillmon.cfg", b"exit=0\n")

    def write(self, relative, data):
        with open(os.path.join(self.app, relative), "wb") as f:
            f.write(data)

    def read(self, relative):
        try:
            with open(os.path.join(self.app, relative), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def run(args, syscall, position, errno_name):
    """One run with the position-th call of syscall failing; returns problems found."""
    install = Install(args.standin)
    try:
        command = ["strace", "-o", os.path.join(install.root, "strace.log"), "-e", "trace=" + syscall]
        if position:
            command += ["-e", "inject=%s:error=%s:when=%d" % (syscall, errno_name, position)]
        command += [args.relayhive]
        if args.isolate:
            command = runs.isolated(command)
        done = subprocess.run(command, cwd=install.app, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120)
        with open(os.path.join(install.root, "strace.log"), "rb") as f:
            trace = f.read().decode("latin-1")
        problems = []
        injected = [line for line in trace.splitlines() if "(INJECTED)" in line]
        if any('"/proc",' in line for line in injected):
            # The process list could not be taken: the run ends before any
            # file is touched, and the client is not started.
            if done.returncode != 0:
                problems.append("exit status %d" % done.returncode)
            if any(install.read(d) != install.old[d] for d in FILES) or install.read("quillmon.log"):
                problems.append("files touched or client started without a process list")
            return problems, 0, len(injected), done.stderr
        if done.returncode != 0:
            problems.append("exit status %d" % done.returncode)
        not_new = []
        for dest in FILES:
            data = install.read(dest)
            if data not in (install.old[dest], install.new[dest]):
                problems.append("%s is neither old nor new" % dest)
            elif data != install.new[dest]:
                not_new.append(dest)
        manifest_lost = any("download/autoupdate.ini" in line for line in injected)
        if not_new and not done.stderr and not manifest_lost:
            problems.append("%s left old without a report" % ", ".join(not_new))
        if len(not_new) > 1 and not manifest_lost:
            problems.append("one fault left several files old: %s" % ", ".join(not_new))
        left = runs.scratch_files(install.root)
        if left:
            problems.append("scratch file left: %s" % left)
        log = install.read("quillmon.log") or b""
        if b"started in" not in log:
            problems.append("client not relaunched")
        calls = len([line for line in trace.splitlines() if line.startswith(syscall + "(")])
        return problems, calls, len(injected), done.stderr
    finally:
        install.remove()


def calls_before_main(args):
    """How many calls of each kind the dynamic loader makes before the
    program's own first act (opening /proc): those positions are not ours."""
    install = Install(args.standin)
    try:
        log = os.path.join(install.root, "all.log")
        subprocess.run(["strace", "-o", log, "-e", "trace=" + ",".join(SYSCALLS), args.relayhive],
                       cwd=install.app, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        counts = dict.fromkeys(SYSCALLS, 0)
        with open(log, encoding="latin-1") as f:
            for line in f:
                if line.startswith('openat(AT_FDCWD, "/proc",'):
                    break
                name = line.split("(", 1)[0]
                if name in counts:
                    counts[name] += 1
        return counts
    finally:
        install.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relayhive", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--all-errnos", action="store_true",
                        help="every errno at every position (default: one errno per position, in turn)")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    args.isolate = runs.isolation_available()
    if not args.isolate:
        args.jobs = 1

    plan = []
    startup = calls_before_main(args)
    for syscall in SYSCALLS:
        problems, calls, _, _ = run(args, syscall, 0, "")
        if problems:
            print("baseline run under strace failed: %s" % problems)
            return 1
        print("%-7s called %d times, %d of them by the dynamic loader before the program starts"
              % (syscall, calls, startup[syscall]))
        for position in range(startup[syscall] + 1, calls + 1):
            errnos = ERRNOS if args.all_errnos else [ERRNOS[(position - 1) % len(ERRNOS)]]
            plan += [(syscall, position, e) for e in errnos]

    failures = injected_total = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = pool.map(lambda p: (p, run(args, *p)), plan)
        for (syscall, position, errno_name), (problems, _, injected, stderr) in results:
            injected_total += injected
            if problems:
                failures += 1
                print("FAIL %s #%d %s: %s; stderr: %r" % (syscall, position, errno_name,
                                                           "; ".join(problems), stderr))
    print("fault points tried: %d (%d calls failed), runs with problems: %d"
          % (len(plan), injected_total, failures))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
