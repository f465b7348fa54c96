#!/usr/bin/env python3
"""Benchmarks relayhive against what a person would otherwise use, in one run,
and prints one table: the figure, the reference, the ratio. Every figure is
the minimum (and median) of several runs; ratios from one run are what count
on a shared machine. Whole commands are timed by hyperfine, peak memory by GNU
time, instructions by callgrind. Called by tools/bench."""

import argparse
import json
import os
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="the bench build's bench/ directory")
    parser.add_argument("--relayhive", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--large-mib", type=int, default=1024)
    parser.add_argument("--disk-dir", required=True)
    parser.add_argument("--only", help="comma-separated: ini,large,updates,memory,instructions (default: all)")
    args = parser.parse_args()
    args.runs = max(5, args.runs)
    args.ini_load = os.path.join(args.bin, "ini_load")
    args.op = os.path.join(args.bin, "rh_bench_op")
    args.standin = os.path.join(args.bin, "bench_standin")
    args.batch = os.path.join(args.bin, "batch_replace")
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
                              ("memory", bench_memory), ("instructions", bench_instructions)):
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
