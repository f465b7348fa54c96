#!/usr/bin/env python3
"""Crash consistency: kills relayhive with SIGKILL at random moments while it
copies large files, then checks that every destination is byte-identical to
either its old or its new content, that the run's record is whole and claims
no copy that did not land, and that one more complete run leaves every
destination new and no scratch file behind. Called by tools/crash-soak.

With --program stage it kills relayhive-stage instead (SIGKILL or SIGINT) while
it stages, and checks that no manifest is left that lists a file that is not
whole (missing, or other than NEW's). With --power-loss it kills nothing: it
records each run's file calls (strace) and, after every call, asks what a power
cut could leave behind when nothing unflushed is sure to be on disk (a file's
data only up to its last flush, a name only once its directory was flushed):
a manifest whose name could be there while a file it lists could be empty,
short or missing, or a manifest that could be cut short itself."""

import argparse
import concurrent.futures
import os
import random
import re
import shutil
import signal
import sys
import tempfile
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


# --- relayhive-stage ------------------------------------------------------------------

class StageTrial:
    """Two random releases, OLD and NEW, below a scratch directory: files of up
    to --size-mib in skin/ (two directories deep), logo/ and the client, about
    half of them changed."""

    def __init__(self, args, number):
        self.args = args
        self.rng = random.Random(args.seed * 100003 + number)
        self.root = tempfile.mkdtemp(prefix="relayhive-soak-stage-")
        self.old, self.new = os.path.join(self.root, "old"), os.path.join(self.root, "new")
        self.out = os.path.join(self.root, "out")
        names = [kit.CLIENT] + ["logo/l%d.png" % i for i in range(2)]
        names += ["skin/%s/s%d.bmp" % (("a", "a/b", "c")[i % 3], i) for i in range(self.rng.randint(6, 14))]
        for name in names:
            size = self.rng.randint(0, args.size_mib << 20)
            old = self.rng.randbytes(size)
            new = self.rng.randbytes(self.rng.randint(0, args.size_mib << 20)) if self.rng.random() < 0.5 else old
            for tree, data in ((self.old, old), (self.new, new)):
                path = os.path.join(tree, *name.split("/"))
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(data)
        self.manifest = os.path.join(self.out, kit.STAGING, kit.MANIFEST_NAME)

    def run(self, **how):
        return self.args.build.run_stage(self.old, self.new, self.out, self.root, **how)

    def listed(self):
        """(staged path, destination) of each file the manifest lists; [] with no manifest."""
        try:
            with open(self.manifest, "rb") as f:
                return kit.listed_files(f.read())
        except FileNotFoundError:
            return []

    def not_whole(self):
        """The files the manifest lists that are missing or differ from NEW's."""
        bad = []
        for staged, destination in self.listed():
            try:
                with open(os.path.join(self.out, kit.STAGING, *staged.split("/")), "rb") as f:
                    have = f.read()
            except OSError as e:
                bad.append("%s: %s" % (staged, e.strerror))
                continue
            with open(os.path.join(self.new, *destination.split("/")), "rb") as f:
                if f.read() != have:
                    bad.append("%s: not NEW's %s (%d bytes)" % (staged, destination, len(have)))
        return bad

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def stage_kill_trial(args, number, duration):
    """Kills relayhive-stage at a random moment; (not whole, killed before the manifest, kill)."""
    trial = StageTrial(args, number)
    try:
        how = trial.rng.choice((signal.SIGKILL, signal.SIGINT))
        trial.run(kill_after=trial.rng.uniform(0, duration * 1.1), kill_with=how)
        return trial.not_whole(), not os.path.exists(trial.manifest), how.name
    finally:
        trial.remove()


# The file calls that change what is on disk, or make it durable.
TRACED = ("open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,ftruncate,truncate,fsync,fdatasync,"
          "sync,syncfs,rename,renameat,renameat2,mkdir,mkdirat,unlink,unlinkat,link,linkat,copy_file_range,sendfile")
FD = r'(?:AT_FDCWD|-?\d+)(?:<([^>]*)>)?'
CALL = re.compile(r'^\d+ (\w+)\((.*)\) += (-?\d+)(?:<([^>]*)>)?')


class Durability:
    """What a power cut could keep of the files below one directory: each path
    with whether its data and its name are flushed, and whether it was written."""

    def __init__(self, below):
        self.below = below.rstrip("/") + "/"
        self.state = {}  # path -> {"data": flushed, "name": flushed, "written": bool}

    def _mine(self, path):
        return path is not None and path.startswith(self.below)

    def _new(self, path):
        self.state[path] = {"data": True, "name": False, "written": False}

    def apply(self, call, args, fd_path, result_path):
        """One successful call, as strace -y shows it."""
        paths = re.findall(r'"([^"]*)"', args)
        if call in ("open", "openat", "creat"):
            truncates = call == "creat" or "O_TRUNC" in args
            if result_path in self.state and truncates:
                self.state[result_path]["data"] = False  # cut to nothing, and not yet flushed so
            elif self._mine(result_path) and result_path not in self.state and (truncates or "O_CREAT" in args):
                self._new(result_path)  # a new file is empty: whole until it is written
        elif call in ("mkdir", "mkdirat"):
            path = os.path.join(fd_path or "", paths[0]) if paths else None
            if self._mine(path):
                self._new(path)
        elif call in ("write", "pwrite64", "writev", "pwritev", "pwritev2", "ftruncate", "copy_file_range",
                      "sendfile"):
            target = fd_path if call not in ("copy_file_range", "sendfile") else re.findall(r'<([^>]*)>', args)[-1]
            if target in self.state:
                self.state[target].update(data=False, written=True)
        elif call in ("fsync", "fdatasync"):
            if fd_path is not None and (fd_path in self.state or fd_path + "/" == self.below):
                children = [p for p in self.state if os.path.dirname(p) == fd_path]
                for p in children:
                    self.state[p]["name"] = True
                if fd_path in self.state:
                    self.state[fd_path]["data"] = True
        elif call in ("sync", "syncfs"):
            for entry in self.state.values():
                entry.update(data=True, name=True)
        elif call in ("rename", "renameat", "renameat2", "link", "linkat"):
            dirs = re.findall(FD + r', "', args)
            old, new = (os.path.join(d or "", p) for d, p in zip(dirs or ["", ""], paths[:2])) \
                if len(paths) >= 2 else (None, None)
            if old in self.state:
                entry = dict(self.state[old] if call.startswith("link") else self.state.pop(old), name=False)
                self.state[new] = entry
        elif call in ("unlink", "unlinkat"):
            self.state.pop(os.path.join(fd_path or "", paths[0]) if paths else None, None)

    def at_risk(self, path):
        """Why a power cut now could leave path other than it is (None: it could not)."""
        if path not in self.state:
            return "not there yet"
        if not self.state[path]["data"]:
            return "its data not flushed"
        parent = path
        while parent + "/" != self.below and parent in self.state:
            if not self.state[parent]["name"]:
                return "its name not flushed" if parent == path else "directory %s not flushed" % parent
            parent = os.path.dirname(parent)
        return None


def power_loss_trial(args, number):
    """relayhive-stage run once under strace; the first call after which a
    power cut could leave a manifest listing a file that is not whole (or a cut
    short manifest), or None; and whether the run was sound."""
    trial = StageTrial(args, number)
    try:
        trace = os.path.join(trial.root, "calls")
        done = trial.run(wrap=["strace", "-f", "-qq", "-y", "-s", "0", "-o", trace, "-e", "trace=" + TRACED])
        wrong = trial.not_whole() or ([] if trial.listed() else ["no manifest (status %d)" % done.status])
        staging = os.path.join(trial.out, kit.STAGING)
        listed = [os.path.join(staging, *staged.split("/")) for staged, _ in trial.listed()]
        disk = Durability(staging)
        seen = False  # a trace that never shows the manifest written proves nothing
        with open(trace, errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = CALL.match(line)
                if not match or int(match.group(3)) < 0:
                    continue
                call, call_args = match.group(1), match.group(2)
                first = re.match(FD, call_args)
                disk.apply(call, call_args, first.group(1) if first else None, match.group(4))
                manifest = disk.state.get(trial.manifest)
                if manifest is None or not manifest["written"]:
                    continue
                seen = True
                risks = ["%s: %s" % (os.path.relpath(p, staging), disk.at_risk(p)) for p in listed
                         if disk.at_risk(p)]
                if not manifest["data"]:
                    risks.insert(0, "the manifest itself: its data not flushed (it may be cut short)")
                if risks:
                    return "after file call %d (%s): %s" % (number, call, "; ".join(risks[:3])), wrong
        return None, wrong + ([] if seen or wrong else ["the file calls never show the manifest written"])
    finally:
        trial.remove()


def stage_main(args):
    if args.power_loss:
        print("crash-soak of relayhive-stage, power cuts after each file call: %d runs, files up to %d MiB"
              % (args.trials, args.size_mib), flush=True)
        unsafe = unsound = 0
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = [pool.submit(power_loss_trial, args, n) for n in range(args.trials)]
            for number, future in enumerate(futures):
                risk, wrong = future.result()
                unsafe += risk is not None
                unsound += bool(wrong)
                for what in ([risk] if risk else []) + wrong:
                    print("trial %d: %s" % (number, what), flush=True)
        print("runs: %d, where a power cut could leave a manifest listing a file that is not whole: %d,"
              " runs that did not stage NEW: %d" % (args.trials, unsafe, unsound))
        return 0 if unsafe == unsound == 0 else 1

    trial = StageTrial(args, -1)
    start = time.time()
    trial.run()
    duration = time.time() - start
    trial.remove()
    print("crash-soak of relayhive-stage: %d trials, files up to %d MiB, a whole run takes %.3fs"
          % (args.trials, args.size_mib, duration), flush=True)
    bad_total = before_total = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(stage_kill_trial, args, n, duration) for n in range(args.trials)]
        for number, future in enumerate(futures):
            bad, before, how = future.result()
            before_total += before
            bad_total += len(bad)
            for item in bad:
                print("trial %d (%s): the manifest lists %s" % (number, how, item), flush=True)
    print("kills before the manifest was written: %d" % before_total)
    print("trials run: %d, files listed but not whole: %d" % (args.trials, bad_total))
    return 0 if bad_total == 0 else 1


def main():
    parser = argparse.ArgumentParser()
    kit.add_program_options(parser, target=None, stage=True)
    parser.add_argument("--program", choices=["relayhive", "stage"], default="relayhive", help="the one to kill")
    parser.add_argument("--power-loss", action="store_true", help="stage: power cuts after each file call")
    parser.add_argument("--trials", type=int, default=30)
    parser.add_argument("--size-mib", type=int, default=4)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()
    args.build = kit.target_from(args, listen=False)
    if args.program == "stage":
        return stage_main(args)
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
