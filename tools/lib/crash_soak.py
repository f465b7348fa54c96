#!/usr/bin/env python3
"""Crash consistency: kills relayhive with SIGKILL at random moments while it
copies large files, then checks that every destination is byte-identical to
either its old or its new content, and that one more complete run leaves
every destination new and no scratch file behind. Called by tools/crash-soak."""

import argparse
import concurrent.futures
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import runs

GROUPS = {"skin/a.bmp": "a.bmp", "skin/b.bmp": "b.bmp", "logo/c.png": "c.png"}
MANIFEST = b"[cltskin]\r\nfilelist=a.bmp,b.bmp\r\n[cltlogo]\r\nfilelist=c.png\r\n[cltmain]\r\nmainfile=Quillmon.exe\r\n"


def payload(rng, size):
    return rng.randbytes(size)


class Trial:
    def __init__(self, args, number):
        self.args = args
        self.rng = random.Random(args.seed * 100003 + number)
        self.root = tempfile.mkdtemp(prefix="relayhive-soak-")
        self.app = os.path.join(self.root, "app")
        for sub in ("skin", "logo", "download"):
            os.makedirs(os.path.join(self.app, sub))
        with open(args.standin, "rb") as f:
            standin = f.read()
        size = args.size_mib * 1024 * 1024
        self.old = {}
        self.new = {}
        for dest, name in GROUPS.items():
            self.old[dest] = payload(self.rng, size)
            self.new[dest] = payload(self.rng, size)
            self.write(dest, self.old[dest])
            self.write("download/" + name, self.new[dest])
        # The main file is a working client padded to the same size.
        self.old["Quillmon.exe"] = standin + payload(self.rng, size)
        self.new["Quillmon.exe"] = standin + payload(self.rng, size)
        self.write("Quillmon.exe", self.old["Quillmon.exe"], 0o755)
        self.write("download/Quillmon.exe", self.new["Quillmon.exe"], 0o755)
        self.old["autoupdate.ini"] = None  # absent before the first run
        self.new["autoupdate.ini"] = MANIFEST
        self.write("download/autoupdate.ini", MANIFEST)
        self.write("quillmon.cfg", b"exit=0\n")

    def write(self, relative, data, mode=0o644):
        path = os.path.join(self.app, relative)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)

    def read(self, relative):
        try:
            with open(os.path.join(self.app, relative), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def run(self, kill_after=None):
        """Runs relayhive; with kill_after, SIGKILLs it after that many seconds.
        Returns its standard error."""
        command = [self.args.relayhive]
        if self.args.isolate:
            command = runs.isolated(command)
        process = subprocess.Popen(command, cwd=self.app, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if kill_after is not None:
            time.sleep(kill_after)
            # Kill relayhive itself: the next run must not overlap a dying one.
            victim = runs.program_pid(process.pid) if self.args.isolate else process.pid
            try:
                os.kill(victim, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return process.communicate(timeout=120)[1]

    def torn(self):
        return [dest for dest in self.new
                if self.read(dest) not in (self.old[dest], self.new[dest])]

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def calibrate(args):
    """Times one complete run: when the first copies end and when the main file lands."""
    trial = Trial(args, -1)
    start = time.time()
    trial.run()
    groups_done = os.stat(os.path.join(trial.app, "autoupdate.ini")).st_mtime - start
    main_done = os.stat(os.path.join(trial.app, "Quillmon.exe")).st_mtime - start
    trial.remove()
    return max(groups_done, 0.01), max(main_done, groups_done + 1.0)


def one_trial(args, number, groups_done, main_done):
    trial = Trial(args, number)
    try:
        rng = trial.rng
        # Half the kills land among the first copies, half while the main file is copied.
        if rng.random() < 0.5:
            moment = rng.uniform(0, groups_done)
        else:
            main_start = groups_done + 1.0
            moment = rng.uniform(main_start - 0.05, main_done + 0.02)
        trial.run(kill_after=moment)
        torn = trial.torn()
        interrupted = any(trial.read(d) != trial.new[d] for d in trial.new)
        scratch_after_kill = bool(runs.scratch_files(trial.root))
        errors = trial.run()
        not_new = ["%s (stderr: %r)" % (d, errors) for d in trial.new if trial.read(d) != trial.new[d]]
        left = runs.scratch_files(trial.root)
        return torn, not_new, left, interrupted, scratch_after_kill
    finally:
        trial.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relayhive", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--trials", type=int, default=30)
    parser.add_argument("--size-mib", type=int, default=4)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()
    args.isolate = runs.isolation_available()
    if not args.isolate:
        args.jobs = 1  # one single-instance name for all: trials must take turns

    groups_done, main_done = calibrate(args)
    print("crash-soak: %d trials, %d MiB per file, first copies end at %.3fs, main file at %.3fs"
          % (args.trials, args.size_mib, groups_done, main_done), flush=True)
    torn_total = not_new_total = left_total = interrupted_total = mid_copy_total = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(one_trial, args, n, groups_done, main_done) for n in range(args.trials)]
        for number, future in enumerate(futures):
            torn, not_new, left, interrupted, mid_copy = future.result()
            interrupted_total += interrupted
            mid_copy_total += mid_copy
            torn_total += len(torn)
            not_new_total += len(not_new)
            left_total += len(left)
            for what, items in (("torn", torn), ("not new after a full run", not_new), ("left", left)):
                for item in items:
                    print("trial %d: %s: %s" % (number, what, item), flush=True)
    # How often the kill really struck mid-update, and mid-copy (a scratch file was open).
    print("kills before the update was complete: %d, of them in the middle of a copy: %d"
          % (interrupted_total, mid_copy_total))
    print("trials run: %d, torn files found: %d, temporaries left: %d, not new after a full run: %d"
          % (args.trials, torn_total, left_total, not_new_total))
    return 0 if torn_total == left_total == not_new_total == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
