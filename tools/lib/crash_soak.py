#!/usr/bin/env python3
"""Crash consistency: kills relayhive with SIGKILL at random moments while it
copies large files, then checks that every destination is byte-identical to
either its old or its new content, that the run's record is whole and claims
no copy that did not land, and that one more complete run leaves every
destination new and no scratch file behind. Called by tools/crash-soak."""

import argparse
import concurrent.futures
import os
import random
import sys
import time

import relayhive_kit as kit

# Destinations of the staged files, each as large as --size-mib.
DESTINATIONS = ["skin/a.bmp", "skin/b.bmp", "logo/c.png"]


class Trial:
    """One sample installation whose files (the client padded too) are random
    and all the same size."""

    def __init__(self, args, number):
        self.args = args
        self.rng = random.Random(args.seed * 100003 + number)
        self.install = kit.Install(args.standin, "relayhive-soak-")
        size = args.size_mib * 1024 * 1024
        files = {d: (self.rng.randbytes(size), self.rng.randbytes(size)) for d in DESTINATIONS}
        client = self.install.old_client
        main = (client + self.rng.randbytes(size), client + self.rng.randbytes(size))
        self.install.stage_update(files, main)
        self.install.configure_client("exit=0\n")

    def run(self, kill_after=None):
        """Runs relayhive; with kill_after, SIGKILLs it after that many seconds
        (relayhive itself: the next run must not overlap a dying one).
        Returns its standard error."""
        return self.args.build.run_relayhive(self.install.app, kill_after=kill_after,
                                             isolate=self.args.isolate).stderr

    def torn(self):
        return self.install.torn()

    def remove(self):
        self.install.remove()


def calibrate(args):
    """Times one complete run: when the first copies end and when the main file lands."""
    trial = Trial(args, -1)
    start = time.time()
    trial.run()
    groups_done = os.stat(trial.install.file(kit.MANIFEST_NAME)).st_mtime - start
    main_done = os.stat(trial.install.file(kit.CLIENT)).st_mtime - start
    trial.remove()
    return max(groups_done, 0.01), max(main_done, groups_done + 1.0)


def overclaimed(install):
    """What the run's record, as a kill left it, says that is not so: a record cut short or
    torn, or a copy recorded as landed whose destination is not new."""
    data = install.read_or_none(kit.RECORD_NAME)
    if not data:
        return []  # killed before its record was begun
    record = kit.read_record(data)
    if record is None:
        return ["record: not whole (%d bytes)" % len(data)]
    group_dirs = {"skin": "skin/", "logo": "logo/", "manifest": "", "main": ""}
    return ["record: %s recorded as landed, but not new" % (group_dirs[g] + n) for g, n, result in record[1]
            if result == "landed" and group_dirs[g] + n in install.new
            and install.read_or_none(group_dirs[g] + n) != install.new[group_dirs[g] + n]]


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
        torn = trial.torn() + overclaimed(trial.install)
        interrupted = bool(trial.install.not_new())
        scratch_after_kill = bool(kit.scratch_files(trial.install.root))
        errors = trial.run()
        not_new = ["%s (stderr: %r)" % (d, errors) for d in trial.install.not_new()]
        left = kit.scratch_files(trial.install.root)
        return torn, not_new, left, interrupted, scratch_after_kill
    finally:
        trial.remove()


def main():
    parser = argparse.ArgumentParser()
    kit.add_program_options(parser, target=None)
    parser.add_argument("--trials", type=int, default=30)
    parser.add_argument("--size-mib", type=int, default=4)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()
    args.build = kit.target_from(args, listen=False)
    args.isolate = kit.isolation_available()
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
