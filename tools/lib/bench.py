#!/usr/bin/env python3
"""Benchmarks relayhive against what a person would otherwise use, in one run,
and prints one table: the figure, the reference, the ratio. Every figure is
the minimum (and median) of several runs; ratios from one run are what count
on a shared machine. Whole commands are timed by hyperfine, peak memory by GNU
time, instructions by callgrind. Called by tools/bench."""

import argparse
import json
import os
import random
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import relayhive_kit as kit

ROWS = []  # (benchmark, figure, reference, ratio, target, met)


def row(benchmark, figure, reference, ratio, target, met):
    ROWS.append((benchmark, figure, reference, ratio, target, met))


def hyperfine(commands, runs, prepare=None):
    """Minimum and median wall time of each command (a list of arguments) over
    runs, timed by hyperfine; prepare (a command too) runs untimed before each."""
    with tempfile.NamedTemporaryFile(suffix=".json") as report:
        line = ["hyperfine", "--shell=none", "--style=none", "--runs", str(runs),
                "--export-json", report.name]
        if prepare:
            line += ["--prepare", shlex.join(prepare)]
        done = subprocess.run(line + [shlex.join(c) for c in commands], capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit("hyperfine failed:\n" + done.stderr)
        results = json.load(report)["results"]
    return [(r["min"], r["median"]) for r in results]


def fs_type(path):
    return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout.strip()


# --- 1. INI load ---------------------------------------------------------------

def bench_ini(args):
    output = subprocess.run([args.ini_load, "--runs", str(args.runs), "--dir", args.scratch + "/ini"],
                            capture_output=True, text=True, check=True).stdout
    print(output)
    for line in output.splitlines():
        m = re.match(r"(large|one section, 200000 keys|small manifest)\S*.*?([\d.]+)x\s+([\d.]+)x$", line)
        if m:
            label = line[:28].strip()
            vs_inih, vs_reader = float(m.group(2)), float(m.group(3))
            large = label.startswith("large")
            row("INI load, " + label, "Load", "inih callback", "%.2fx" % vs_inih,
                "<= 1.25x" if large else "-", ("yes" if vs_inih <= 1.25 else "NO") if large else "-")
            row("INI load, " + label, "Load", "INIReader", "%.2fx" % vs_reader,
                "<= 0.25x" if label.startswith("large") else "<= 1x",
                "yes" if vs_reader <= (0.25 if label.startswith("large") else 1.0) else "NO")
    per_line = [float(l.split()[-1]) for l in output.splitlines() if re.match(r"^\d{5,6}\s", l)]
    if per_line:
        spread = max(per_line) / min(per_line)
        # Quadratic time would grow the cost per line 8x from 25k to 200k keys.
        row("INI scaling 25k..200k keys", "ns/line %s" % "/".join("%.0f" % p for p in per_line),
            "flat", "%.2fx max/min" % spread, "flat (< 2x; quadratic: 8x)", "yes" if spread < 2 else "NO")


# --- 2. One large file -------------------------------------------------------------

def bench_large_copy(args):
    size = args.large_mib << 20
    for place in (args.disk_dir, "/dev/shm"):
        work = tempfile.mkdtemp(prefix="relayhive-bench-copy-", dir=place)
        try:
            source = os.path.join(work, "source")
            kit.write_pattern(source, size)
            subprocess.run(["cat", source], stdout=subprocess.DEVNULL, check=True)  # warm
            dest = os.path.join(work, "dest")
            ours, cp, cp_sync = hyperfine(
                [[args.op, "copy", source, dest], ["cp", "--reflink=never", source, dest],
                 ["sh", "-c", 'cp --reflink=never "$1" "$2" && sync "$2"', "sh", source, dest]],
                args.runs, prepare=["rm", "-f", dest])
            mb = size / 1e6
            label = "copy %d MiB on %s (%s)" % (args.large_mib, place, fs_type(work))
            print("%-44s TransferFile %7.0f MB/s  cp %7.0f MB/s  cp+sync %7.0f MB/s   (min; medians %.3fs %.3fs %.3fs)"
                  % (label, mb / ours[0], mb / cp[0], mb / cp_sync[0], ours[1], cp[1], cp_sync[1]))
            row(label, "%.0f MB/s" % (mb / ours[0]), "cp+sync %.0f MB/s" % (mb / cp_sync[0]),
                "%.2fx time" % (ours[0] / cp_sync[0]), "<= 1.2x" if place != "/dev/shm" else "-",
                ("yes" if ours[0] / cp_sync[0] <= 1.2 else "NO") if place != "/dev/shm" else "-")
            row(label, "%.0f MB/s" % (mb / ours[0]), "cp %.0f MB/s" % (mb / cp[0]),
                "%.2fx time" % (ours[0] / cp[0]), "-", "-")
        finally:
            shutil.rmtree(work, ignore_errors=True)


# --- 3. A whole update -------------------------------------------------------------

def file_sizes(count, seed):
    """Mixed sizes from 4 KiB to 4 MiB, mostly small, like skins and logos."""
    import random
    rng = random.Random(seed)
    sizes = []
    for _ in range(count):
        roll = rng.random()
        if roll < 0.90:
            sizes.append(rng.randint(4 << 10, 64 << 10))
        elif roll < 0.99:
            sizes.append(rng.randint(64 << 10, 1 << 20))
        else:
            sizes.append(rng.randint(1 << 20, 4 << 20))
    return sizes


def lay_out_update(args, count, main_mib, prefix):
    """An installation with count files staged for skin/ and a new client padded
    with main_mib MiB."""
    install = kit.Install(args.standin, prefix, where=args.disk_dir)
    names = []
    for i, size in enumerate(file_sizes(count, count)):
        name = "f%04d.bmp" % i
        kit.write_pattern(install.file(kit.STAGING + "/" + name), size, i)
        names.append(name)
    install.stage(kit.MANIFEST_NAME, kit.manifest(names, None, kit.CLIENT, b"\n"))
    install.stage_padded_client(main_mib << 20)
    return install


def one_update(args, install, clock):
    """Seconds from the old client's end to the new one's start, beyond the pause."""
    install.configure_client("stay=1\n")
    old = subprocess.Popen(["./" + kit.CLIENT], cwd=install.app, stdout=subprocess.DEVNULL)
    kit.wait_for(install.client_log, timeout=10)
    os.remove(install.file(kit.CLIENT_LOG))
    install.configure_client("exit=0\n")
    clock.events.clear()
    subprocess.run([args.relayhive], cwd=install.app, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True)
    old.wait()
    time.sleep(0.3)  # the last traces
    stamps = {}
    for when, data in clock.events:
        if data == kit.TRACE_KILLED:
            stamps["killed"] = when
        elif data.startswith(kit.NEW_PID_PREFIX):
            stamps["started"] = when
    return stamps["started"] - stamps["killed"] - 1.0


def batch_reference(args, root, staged):
    """Min and median seconds of git's batch replacement of the staged files in
    one directory: each flushed under a temporary name, all renamed, the
    directory flushed once. The files are there already, so each run replaces."""
    batch_dir = os.path.join(root, "batch")
    os.makedirs(batch_dir, exist_ok=True)
    subprocess.run([args.batch, batch_dir] + staged, check=True)
    (batch,) = hyperfine([[args.batch, batch_dir] + staged], args.runs)
    return batch


def bench_updates(args):
    clock = kit.TraceListener(timestamps=True)
    try:
        for count, main_mib, target in ((1, 0, None), (50, 0, 1.5), (1000, 0, 2.0), (0, 200, None)):
            install = lay_out_update(args, count, main_mib, "relayhive-bench-update-")
            try:
                downtimes = [one_update(args, install, clock) for _ in range(args.runs)]
                ref_dir = os.path.join(install.root, "reference")
                staging = install.file(kit.STAGING)
                staged = [os.path.join(staging, n) for n in sorted(os.listdir(staging))]
                (reference,) = hyperfine([["sh", "-c", 'cp --reflink=never "$@" "$0" && sync', ref_dir] + staged],
                                         args.runs, prepare=["sh", "-c", 'rm -rf "$0" && mkdir "$0"', ref_dir])
                batch = batch_reference(args, install.root, staged)
                label = ("update, %d files" % count) if count else "update, %d MiB main file" % main_mib
                ours = min(downtimes)
                print("%-32s downtime beyond the pause %.3fs (median %.3fs); cp + sync %.3fs (median %.3fs)"
                      % (label, ours, statistics.median(downtimes), reference[0], reference[1])
                      + "; batch %.3fs (median %.3fs)" % batch)
                ratio = ours / reference[0] if reference[0] > 0 else float("inf")
                row(label, "%.3fs beyond pause" % ours, "cp+sync %.3fs" % reference[0], "%.2fx" % ratio,
                    "<= %.1fx" % target if target else "-",
                    ("yes" if ratio <= target else "NO") if target else "-")
                row(label, "%.3fs beyond pause" % ours, "batch %.3fs" % batch[0], "%.2fx" % (ours / batch[0]),
                    "-", "-")
                row(label + ", batch", "%.3fs" % batch[0], "cp+sync %.3fs" % reference[0],
                    "%.2fx" % (batch[0] / reference[0]), "-", "-")
            finally:
                install.remove()
    finally:
        clock.close()


# --- 4. Memory ---------------------------------------------------------------------

def bench_memory(args):
    peaks = {}
    for mib in (1, 1024):
        install = lay_out_update(args, 0, mib, "relayhive-bench-rss-")
        try:
            install.configure_client("exit=0\n")
            # GNU time forks from a small process of its own: a child forked
            # from this Python would count Python's pages in its peak.
            report = os.path.join(install.root, "time.txt")
            subprocess.run(["/usr/bin/time", "-v", "-o", report, args.relayhive], cwd=install.app,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            with open(report) as f:
                peaks[mib] = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", f.read()).group(1))
        finally:
            install.remove()
    print("peak RSS of relayhive: %d KiB with a 1 MiB main file, %d KiB with a 1 GiB main file"
          % (peaks[1], peaks[1024]))
    same = abs(peaks[1024] - peaks[1]) <= 256
    row("peak RSS, 1 MiB main file", "%d KiB" % peaks[1], "8 MiB", "%.2fx" % (peaks[1] / 8192),
        "< 8 MiB", "yes" if peaks[1] < 8192 else "NO")
    row("peak RSS, 1 GiB main file", "%d KiB" % peaks[1024], "1 MiB case %d KiB" % peaks[1],
        "%.2fx" % (peaks[1024] / peaks[1]), "same, < 8 MiB",
        "yes" if same and peaks[1024] < 8192 else "NO")


# --- 5. Instruction counts ---------------------------------------------------------

def callgrind(args, function, command):
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          "--toggle-collect=" + function] + command,
                         capture_output=True, text=True)
    m = re.search(r"Collected : (\d+)", out.stderr)
    return int(m.group(1)) if m else -1


def bench_instructions(args):
    work = tempfile.mkdtemp(prefix="relayhive-bench-callgrind-", dir=args.disk_dir)
    try:
        manifest = os.path.join(work, "small.ini")
        with open(manifest, "wb") as f:
            f.write(kit.manifest(["background.bmp", "button.bmp", "button_hover.bmp", "frame.bmp"],
                                 ["logo.png", "logo_small.png"], kit.CLIENT, comment="update manifest"))
        load = callgrind(args, "CIniFile::Load()", [args.op, "load", manifest])
        source = os.path.join(work, "source")
        kit.write_pattern(source, 4 << 20)
        copy = callgrind(args, "TransferFile(char const*, _IO_FILE*)",
                         [args.op, "copy", source, os.path.join(work, "dest")])
        print("callgrind instructions: Load of the small manifest %d, TransferFile of 4 MiB %d (%.2f per byte)"
              % (load, copy, copy / (4 << 20)))
        row("instructions, Load small manifest", "%d" % load, "-", "-", "repeatable", "-")
        row("instructions, TransferFile 4 MiB", "%d" % copy, "%.2f per byte" % (copy / (4 << 20)), "-",
            "repeatable", "-")
    finally:
        shutil.rmtree(work, ignore_errors=True)


# --- 6. The release tools: relayhive-stage and relayhive-check --after -----------------

class Releases:
    """The trees OLD and NEW of two releases below root. Contents are slices of
    one random pool, so laying out 100,000 files costs no more than writing them;
    a changed file differs in its last bytes (or grows), so that a comparison
    must read it whole."""

    POOL = 8 << 20

    def __init__(self, root):
        self.root = root
        self.old = os.path.join(root, "old")
        self.new = os.path.join(root, "new")
        self.pool = random.Random(root).randbytes(self.POOL)
        self.changed = []  # relative paths whose NEW content differs

    def _write(self, path, size, offset):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            while size > 0:
                start = offset % self.POOL
                piece = self.pool[start:start + min(size, self.POOL - start)]
                f.write(piece)
                size -= len(piece)
                offset += len(piece)

    def add(self, relative, size, change=None, executable=False):
        """One file of size bytes in both trees; change: None, "tail" (the last
        bytes differ) or "grow" (NEW has 1 KiB more)."""
        offset = len(self.changed) * 7919 + size
        old, new = os.path.join(self.old, relative), os.path.join(self.new, relative)
        self._write(old, size, offset)
        if change is None:
            os.makedirs(os.path.dirname(new), exist_ok=True)
            os.link(old, new)
        else:
            self._write(new, size + (1024 if change == "grow" else 0), offset)
            with open(new, "r+b") as f:
                f.seek(max(0, size - 16))
                f.write(bytes(b ^ 0x5A for b in self.pool[:16]))
            self.changed.append(relative)
        for path in (old, new):
            os.chmod(path, 0o755 if executable else 0o644)

    def add_client(self, old_client, new_client, padding):
        """The stand-in as Quillmon.exe, its new build padded with padding bytes."""
        for tree, data in ((self.old, old_client), (self.new, new_client)):
            path = os.path.join(tree, kit.CLIENT)
            os.makedirs(tree, exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
                if tree == self.new:
                    for block in kit.pattern(padding):
                        f.write(block)
            os.chmod(path, 0o755)
        self.changed.append(kit.CLIENT)

    def dirs(self):
        for tree in (self.old, self.new):
            for sub in ("skin", "logo"):
                os.makedirs(os.path.join(tree, sub), exist_ok=True)


def release_cases(args):
    """(label, fill) for the three release layouts; fill(Releases) writes them."""
    big, files = args.stage_mib << 20, args.stage_files

    def one_large(r):
        r.add("skin/media.pak", big, "tail")
        r.add("skin/frame.bmp", 4096)
        r.add("logo/logo.png", 4096)
        r.add(kit.CLIENT, 64 << 10)

    def many_small(r):
        rng = random.Random(files)
        for i in range(files):
            r.add("skin/d%03d/f%06d.bmp" % (i // 1000, i), rng.randint(1024, 8192), "tail" if i % 2 else None)
        r.add("logo/logo.png", 4096)
        r.add(kit.CLIENT, 64 << 10)

    def mix(r):
        count = max(files // 50, 10)
        for i, size in enumerate(file_sizes(count, count)):
            change = (None, "tail", "grow")[i % 3] if i % 2 == 0 else None
            r.add("skin/d%02d/s%05d.bmp" % (i // 1000, i) if i % 20 else "logo/l%05d.png" % i, size, change)
        r.add("skin/media.pak", big // 4, "tail")
        r.add(kit.CLIENT, 8 << 20, "tail")

    return (("1 file of %d MiB changed" % args.stage_mib, one_large),
            ("%d small files, half changed" % files, many_small),
            ("mix, %d files + %d MiB, 1/3 changed" % (max(files // 50, 10), args.stage_mib // 4), mix))


def peak_run(command, report_dir, cwd=None):
    """Runs command once under GNU time: its exit status and peak resident set (KiB)."""
    report = os.path.join(report_dir, "time.txt")
    done = subprocess.run(["/usr/bin/time", "-v", "-o", report] + command, cwd=cwd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with open(report) as f:
        text = f.read()
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)
    return done.returncode, int(peak.group(1)) if peak else -1, done.stderr.decode(errors="replace")[-300:]


def memory_row(label, peak, count):
    """Peak memory against 64 MiB plus 1 KiB per file."""
    allowed = 64 * 1024 + count
    row(label, "%d KiB" % peak, "64 MiB + 1 KiB x %d" % count, "%.2fx" % (peak / allowed), "< 1x",
        "yes" if peak < allowed else "NO")


def peak_row(label, command, root, count):
    """Runs command once: the peak memory row, or a row with its status when it does not exit 0 (False)."""
    status, peak, errors = peak_run(command, root)
    if status != 0:
        row(label, "status %d" % status, "-", "-", "status 0", "NO")
        print("%s: status %d: %s" % (label, status, errors), flush=True)
        return False
    memory_row("peak RSS, " + label, peak, count)
    return True


def time_against(label, ours, references):
    """Rows of ours (min, median) against each named (min, median) reference."""
    for name, ref, target in references:
        ratio = ours[0] / ref[0]
        row(label, "%.3fs" % ours[0], "%s %.3fs" % (name, ref[0]), "%.2fx" % ratio,
            "<= %.1fx" % target if target else "-", ("yes" if ratio <= target else "NO") if target else "-")
    print("%-48s %.3fs (median %.3fs); " % (label, ours[0], ours[1])
          + "; ".join("%s %.3fs (median %.3fs)" % (n, r[0], r[1]) for n, r, _ in references), flush=True)


# `cmp` started once per pair is a benchmark of process starts (10,000 pairs took 3.6 minutes on this
# machine), so the pairs are compared by `diff -rq`: cmp's byte comparison, one process for a whole tree.
STAGE_FLOOR = 'diff -rq "$1" "$2" >/dev/null; cd "$2" && xargs -0 cp --reflink=never --parents -t "$3" <"$4"'
STAGE_FLOOR_SYNC = STAGE_FLOOR + ' && cd "$3" && xargs -0 sync -- <"$4"'
AFTER_FLOOR = ('cd "$1" && { diff -rq download skin; diff -rq download logo; cmp download/%s %s;'
               ' cmp download/%s %s; } >/dev/null 2>&1; true' % (kit.CLIENT, kit.CLIENT,
                                                               kit.MANIFEST_NAME, kit.MANIFEST_NAME))


def tool_commands(args):
    """(build name, relayhive-stage, relayhive-check, a host path as the programs take it) of each
    build measured: this one, and with --wine the Windows build's programs under Wine."""
    builds = [("", args.stage, args.check, lambda path: path)]
    if args.wine:
        env = kit.wine_env(os.path.join(args.wine, "wineprefix"))
        wine = ["env", "-u", "DISPLAY"] + ["%s=%s" % (k, env[k]) for k in ("WINEPREFIX", "WINEDEBUG",
                                                                           "WINEDLLOVERRIDES")] + ["wine"]
        builds.append((".exe under Wine", wine + [os.path.join(args.wine, "relayhive-stage.exe")],
                       wine + [os.path.join(args.wine, "relayhive-check.exe")],
                       lambda path: "Z:" + path.replace("/", "\\")))
    return [(name, [s] if isinstance(s, str) else s, [c] if isinstance(c, str) else c, path)
            for name, s, c, path in builds]


def bench_release_tools(args):
    for case, fill in release_cases(args):
        root = tempfile.mkdtemp(prefix="relayhive-bench-stage-", dir=args.disk_dir)
        try:
            releases = Releases(root)
            releases.dirs()
            fill(releases)
            count = sum(len(names) for _, _, names in os.walk(releases.new))
            changed = os.path.join(root, "changed")
            with open(changed, "wb") as f:
                f.write(b"".join(p.encode() + b"\0" for p in releases.changed))
            subprocess.run(["sh", "-c", 'find "$0" "$1" -type f -print0 | xargs -0 cat >/dev/null',
                            releases.old, releases.new], check=True)  # warm
            for build in tool_commands(args):
                measure_tools(args, root, releases, changed, count, case, build)
        finally:
            shutil.rmtree(root, ignore_errors=True)


def measure_tools(args, root, releases, changed, count, case, build):
    """The rows of one build's relayhive-stage and relayhive-check --after for one layout."""
    name, stage_program, check_program, path = build
    out, floor_out = os.path.join(root, "out"), os.path.join(root, "floor")
    shutil.rmtree(out, ignore_errors=True)
    stage = stage_program + [path(releases.old), path(releases.new), path(out)]
    label = "stage%s, %s" % (name, case)
    if not peak_row(label, stage, root, count):
        return
    ours, floor, floor_sync = hyperfine(
        [stage, ["sh", "-c", STAGE_FLOOR, "sh", releases.old, releases.new, floor_out, changed],
         ["sh", "-c", STAGE_FLOOR_SYNC, "sh", releases.old, releases.new, floor_out, changed]],
        args.runs, prepare=["sh", "-c", 'rm -rf "$0" "$1" && mkdir "$1"', out, floor_out])
    time_against(label, ours, (("cp+cmp", floor, 1.5), ("cp+sync+cmp", floor_sync, None)))

    # The update landed: NEW installed (hard links), the staged files and manifest beside it.
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run(stage, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    landed = os.path.join(root, "landed")
    shutil.rmtree(landed, ignore_errors=True)
    subprocess.run(["cp", "-al", releases.new, landed], check=True)
    subprocess.run(["cp", "-al", os.path.join(out, kit.STAGING), landed], check=True)
    shutil.copyfile(os.path.join(out, kit.STAGING, kit.MANIFEST_NAME), os.path.join(landed, kit.MANIFEST_NAME))
    after = check_program + ["--after", path(landed)]
    label = "check%s --after, %s" % (name, case)
    if not peak_row(label, after, root, count):
        return
    ours, floor = hyperfine([after, ["sh", "-c", AFTER_FLOOR, "sh", landed]], args.runs)
    time_against(label, ours, (("cmp", floor, 1.5),))


# --- 7. The client's downtime against another revision's relayhive ------------------------

def build_type(program):
    """The CMAKE_BUILD_TYPE of the build program comes from (Release if unknown)."""
    try:
        with open(os.path.join(os.path.dirname(program), "CMakeCache.txt")) as f:
            found = re.search(r"^CMAKE_BUILD_TYPE:\w+=(\w+)$", f.read(), re.M)
    except OSError:
        found = None
    return found.group(1) if found else "Release"


def build_reference(args):
    """relayhive of the revision args.reference, built from its files (git
    archive) in a scratch directory of its own as the measured relayhive was
    built; the program's path."""
    source = os.path.join(args.scratch, "reference-src")
    build = os.path.join(args.scratch, "reference-build")
    os.makedirs(source)
    archive = os.path.join(args.scratch, "reference.tar")
    if subprocess.run(["git", "-C", args.source, "archive", "-o", archive, args.reference]).returncode != 0:
        sys.exit("bench: no revision %s to build the reference from" % args.reference)
    subprocess.run(["tar", "-x", "-f", archive, "-C", source], check=True)
    quiet = dict(stdout=subprocess.DEVNULL, check=True)
    subprocess.run(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=" + build_type(args.relayhive),
                    "-DCMAKE_CXX_COMPILER=g++",
                    "-DRELAYHIVE_TESTS=OFF"], **quiet)
    subprocess.run(["cmake", "--build", build, "-j%d" % (os.cpu_count() or 1), "--target", "relayhive"], **quiet)
    return os.path.join(build, "relayhive")


def staged_install(args, prefix, count, main_mib):
    """An installation of OLD with download/ as relayhive-stage writes it from
    OLD and NEW (count changed skin files, the new client padded with main_mib
    MiB); the manifest carries whatever this build of relayhive-stage writes."""
    install = kit.Install(args.standin, prefix, where=args.disk_dir)
    releases = Releases(os.path.join(install.root, "releases"))
    releases.dirs()
    for i, size in enumerate(file_sizes(count, count)):
        releases.add("skin/f%04d.bmp" % i, size, "tail")
    releases.add_client(install.old_client, install.new_client, main_mib << 20)
    out = os.path.join(install.root, "out")
    done = subprocess.run([args.stage, releases.old, releases.new, out], capture_output=True, text=True)
    if done.returncode != 0:
        install.remove()
        sys.exit("relayhive-stage failed (%d):\n%s%s" % (done.returncode, done.stdout[-2000:], done.stderr))
    os.rmdir(install.file(kit.STAGING))
    os.rename(os.path.join(out, kit.STAGING), install.file(kit.STAGING))
    for relative in releases.changed:
        if relative != kit.CLIENT:
            shutil.copyfile(os.path.join(releases.old, relative), install.file(relative))
    shutil.rmtree(releases.root)
    return install


def timed_update(program, install, clock):
    """One update by program with the old client running: seconds from its start
    to the stop of the old client, and from the stop to the start of the new one
    beyond the one-second pause."""
    install.configure_client("stay=1\n")
    old = subprocess.Popen(["./" + kit.CLIENT], cwd=install.app, stdout=subprocess.DEVNULL)
    kit.wait_for(install.client_log, timeout=60)
    os.remove(install.file(kit.CLIENT_LOG))
    install.configure_client("exit=0\n")
    clock.events.clear()
    start = time.perf_counter()
    subprocess.run([program], cwd=install.app, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    old.wait()
    kit.wait_for(lambda: any(d.startswith(kit.NEW_PID_PREFIX) for _, d in clock.events), timeout=5)
    stamps = {}
    for when, data in clock.events:
        if data == kit.TRACE_KILLED:
            stamps["killed"] = when
        elif data.startswith(kit.NEW_PID_PREFIX):
            stamps["started"] = when
    return stamps["killed"] - start, stamps["started"] - stamps["killed"] - 1.0


def bench_downtime(args):
    if not args.reference:
        print("downtime against another revision: skipped (give --reference REV)\n", flush=True)
        return
    print("building relayhive of %s for reference" % args.reference, flush=True)
    reference = build_reference(args)
    clock = kit.TraceListener(timestamps=True)
    try:
        for count, main_mib in ((0, args.large_mib), (1000, 0)):
            install = staged_install(args, "relayhive-bench-downtime-", count, main_mib)
            try:
                label = ("downtime, %d MiB main file" % main_mib) if main_mib else "downtime, %d files" % count
                ours, theirs = [], []
                for _ in range(args.runs):  # alternately, so both see the same machine
                    ours.append(timed_update(args.relayhive, install, clock))
                    theirs.append(timed_update(reference, install, clock))
                name = args.reference
                for what, index in (("before the stop", 0), ("beyond the pause", 1)):
                    mine = [t[index] for t in ours]
                    ref = [t[index] for t in theirs]
                    row(label + ", " + what, "%.3fs" % min(mine), "%s %.3fs" % (name, min(ref)),
                        "%.2fx, %+.3fs" % (min(mine) / max(min(ref), 1e-6), min(mine) - min(ref)), "-", "-")
                    print("%-44s %s: %.3fs (median %.3fs); %s %.3fs (median %.3fs)"
                          % (label, what, min(mine), statistics.median(mine), name, min(ref),
                             statistics.median(ref)), flush=True)
            finally:
                install.stop_clients()
                install.remove()
    finally:
        clock.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="the bench build's bench/ directory")
    parser.add_argument("--relayhive", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--large-mib", type=int, default=1024)
    parser.add_argument("--disk-dir", required=True)
    parser.add_argument("--stage", required=True, help="relayhive-stage of the same build")
    parser.add_argument("--check", required=True, help="relayhive-check of the same build")
    parser.add_argument("--stage-mib", type=int, default=1024, help="the release tools' large file")
    parser.add_argument("--stage-files", type=int, default=100000, help="the release tools' many small files")
    parser.add_argument("--wine", help="the Windows build's directory: its relayhive-stage.exe and"
                        " relayhive-check.exe are measured too, under Wine")
    parser.add_argument("--reference", help="a git revision whose relayhive the downtime rows are measured against")
    parser.add_argument("--only", help="comma-separated: ini,large,updates,memory,instructions,tools,downtime"
                        " (default: all)")
    args = parser.parse_args()
    args.runs = max(5, args.runs)
    args.ini_load = os.path.join(args.bin, "ini_load")
    args.op = os.path.join(args.bin, "rh_bench_op")
    args.standin = os.path.join(args.bin, "bench_standin")
    args.batch = os.path.join(args.bin, "batch_replace")
    args.source = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    os.makedirs(args.disk_dir, exist_ok=True)
    args.scratch = tempfile.mkdtemp(prefix="relayhive-bench-", dir=args.disk_dir)
    try:
        print("relayhive benchmarks, %s; nproc %s; memory %s; disk dir %s (%s); /dev/shm (%s); %d runs each\n"
              % (time.strftime("%Y-%m-%d %H:%M"), os.cpu_count(),
                 subprocess.run(["sh", "-c", "free -h | awk '/Mem:/ {print $2}'"], capture_output=True,
                                text=True).stdout.strip(),
                 args.disk_dir, fs_type(args.disk_dir), fs_type("/dev/shm"), args.runs), flush=True)
        chosen = set(args.only.split(",")) if args.only else None
        for name, measure in (("ini", bench_ini), ("large", bench_large_copy), ("updates", bench_updates),
                              ("memory", bench_memory), ("instructions", bench_instructions),
                              ("tools", bench_release_tools), ("downtime", bench_downtime)):
            if chosen is None or name in chosen:
                measure(args)
    finally:
        shutil.rmtree(args.scratch, ignore_errors=True)

    widths = [max(len(str(r[i])) for r in ROWS + [("benchmark", "figure", "reference", "ratio", "target", "met")])
              for i in range(6)]
    print()
    for r in [("benchmark", "figure", "reference", "ratio", "target", "met")] + ROWS:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
