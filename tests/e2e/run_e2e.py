#!/usr/bin/env python3
"""End-to-end scenarios: the real relayhive in scratch installations with the
stand-in client, on the native build or the Windows build under Wine.

    run_e2e.py --target native|wine --relayhive P --standin P --probe P [--wineprefix D]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import NOT_FOUND, SECOND_INSTANCE, UPDATE_COMPLETE, NEW_PID, NEW_TID  # noqa: E402

TARGET = None

EXAMPLE_MANIFEST = (b"[cltskin]\r\nfilelist=background.bmp,button.bmp\r\n"
                    b"[cltlogo]\r\nfilelist=logo.png\r\n"
                    b"[cltmain]\r\nmainfile=Quillmon.exe\r\n")
RELAUNCHED_EXIT = 7


class Install:
    """A scratch installation: <root>/app with skin/, logo/, download/ and the old client."""

    def __init__(self, skin=True, logo=True):
        self.root = tempfile.mkdtemp(prefix="relayhive-e2e-")
        self.app = os.path.join(self.root, "app")
        for sub in ["download"] + (["skin"] if skin else []) + (["logo"] if logo else []):
            os.makedirs(os.path.join(self.app, sub))
        with open(TARGET.standin, "rb") as f:
            self.old_client = f.read()
        self.new_client = self.old_client + b"\0relayhive e2e: the new build\0"
        self.write("Quillmon.exe", self.old_client)
        os.chmod(self.file("Quillmon.exe"), 0o755)
        self.configure_client("exit=%d\n" % RELAUNCHED_EXIT)
        if skin:
            self.write("skin/background.bmp", b"old background")
        if logo:
            self.write("logo/logo.png", b"old logo")

    def file(self, relative):
        return os.path.join(self.app, *relative.split("/"))

    def write(self, relative, data):
        with open(self.file(relative), "wb") as f:
            f.write(data)

    def read(self, relative):
        with open(self.file(relative), "rb") as f:
            return f.read()

    def stage(self, name, data):
        path = os.path.join(self.app, "download", name)
        with open(path, "wb") as f:
            f.write(data)
        return data

    def configure_client(self, text):
        self.write("quillmon.cfg", text.encode())

    def client_log(self):
        try:
            return self.read("quillmon.log").decode("latin-1").splitlines()
        except FileNotFoundError:
            return []

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Scenario(unittest.TestCase):
    def setUp(self):
        self.install = None

    def tearDown(self):
        if self.install is not None:
            open(self.install.file("quillmon.stop"), "wb").close()
            self.install.remove()

    # --- helpers ------------------------------------------------------------

    def new_install(self, **kwargs):
        self.install = Install(**kwargs)
        return self.install

    def run_update(self):
        return TARGET.run_relayhive(self.install.app)

    def expected_stdout(self, *before):
        return TARGET.text(b"".join(before) + b"current work dir: " + TARGET.path(self.install.app) + b"\n")

    def assert_normal_traces(self, result, exit_code=RELAUNCHED_EXIT):
        traces = result.traces
        self.assertEqual(6, len(traces), traces)
        self.assertEqual([b"killed", b"isNOTRunning", UPDATE_COMPLETE], traces[:3])
        self.assertRegex(traces[3], NEW_PID)
        self.assertRegex(traces[4], NEW_TID)
        self.assertEqual(b"exit code:%d" % exit_code, traces[5])

    def assert_stderr_lines(self, result, lines):
        self.assertEqual(TARGET.text(b"".join(line + b"\n" for line in lines)), result.stderr)

    def assert_relaunched(self, image):
        log = self.install.client_log()
        expected = "started in %s image %s" % (TARGET.path(self.install.app).decode("latin-1"),
                                               harness.fnv1a64(image))
        self.assertIn(expected, log)
        self.assertEqual("exiting with %d" % RELAUNCHED_EXIT, log[-1])

    def run_update_changing(self, changed):
        """Runs the update; exactly the files in changed (relative to the install) differ afterwards."""
        before = harness.tree(self.install.root)
        result = self.run_update()
        self.assertEqual(sorted(os.path.join("app", *c.split("/")) for c in changed),
                         harness.changed(before, harness.tree(self.install.root)))
        return result

    def manifest(self, text):
        return self.install.stage("autoupdate.ini", text)

    def source(self, name):
        return TARGET.path(self.install.app, "download", name)

    # --- the scenarios -------------------------------------------------------

    def test_example_manifest_with_a_running_client(self):
        inst = self.new_install()
        manifest = self.manifest(EXAMPLE_MANIFEST)
        staged = {"skin/background.bmp": inst.stage("background.bmp", b"new background " * 1000),
                  "skin/button.bmp": inst.stage("button.bmp", bytes(range(256)) * 9),
                  "logo/logo.png": inst.stage("logo.png", b"\x89PNG\r\n\x1a\n logo"),
                  "autoupdate.ini": manifest,
                  "Quillmon.exe": inst.stage("Quillmon.exe", inst.new_client)}
        inst.configure_client("stay=1\n" + "".join("watch=%s\n" % f for f in staged))
        old = TARGET.start_client(inst.app)
        self.assertTrue(harness.wait_for(lambda: inst.client_log()), "old client did not start")
        inst.configure_client("exit=%d\n" % RELAUNCHED_EXIT)

        result = self.run_update_changing(list(staged) + ["quillmon.log"])

        self.assertEqual(0, result.status)
        self.assertEqual(self.expected_stdout(), result.stdout)
        self.assertEqual(b"", result.stderr)
        self.assert_normal_traces(result)
        for destination, data in staged.items():
            self.assertEqual(data, inst.read(destination), destination)
        # Copied in order; the main file a second later.
        order = [os.stat(inst.file(d)).st_mtime_ns for d in staged]
        self.assertEqual(sorted(order), order)
        self.assertGreaterEqual(order[4] - order[3], 900_000_000)
        # The old client was stopped before any of its files changed.
        # Killed: SIGKILL on Linux, TerminateProcess with exit code 0 on Windows.
        self.assertEqual(0 if TARGET.windows else -9, old.wait(timeout=30))
        log = inst.client_log()
        self.assertFalse([line for line in log if line.startswith("changed")], log)
        self.assert_relaunched(inst.new_client)

    def test_no_client_running(self):
        inst = self.new_install()
        self.manifest(b"[cltlogo]\nfilelist=logo.png\n")
        inst.stage("logo.png", b"new logo")
        result = self.run_update()
        self.assertEqual(0, result.status)
        self.assertEqual(self.expected_stdout(NOT_FOUND), result.stdout)
        self.assertEqual(b"", result.stderr)
        self.assert_normal_traces(result)
        self.assertEqual(b"new logo", inst.read("logo/logo.png"))
        self.assert_relaunched(inst.old_client)

    def test_second_instance_while_the_first_waits_for_its_client(self):
        inst = self.new_install()
        self.manifest(EXAMPLE_MANIFEST)
        inst.configure_client("stay=1\n")
        first = TARGET.start(TARGET.relayhive, [], inst.app)
        try:
            self.assertTrue(harness.wait_for(lambda: inst.client_log()), "client was not relaunched")
            before = harness.tree(inst.root)
            second = self.run_update()
            self.assertEqual(0, second.status)
            self.assertEqual(TARGET.text(SECOND_INSTANCE), second.stdout)
            self.assertEqual(b"", second.stderr)
            self.assertEqual([], second.traces)
            self.assertEqual(before, harness.tree(inst.root))
        finally:
            open(inst.file("quillmon.stop"), "wb").close()
            result = TARGET.finish(first)
        self.assertEqual(0, result.status)
        self.assertEqual(b"exit code:0", result.traces[-1])

    def test_missing_manifest(self):
        inst = self.new_install()
        result = self.run_update_changing(["quillmon.log"])
        self.assertEqual(0, result.status)
        self.assertEqual(self.expected_stdout(NOT_FOUND), result.stdout)
        self.assert_stderr_lines(result, [self.source("autoupdate.ini") + b": No such file or directory"])
        self.assert_normal_traces(result)

    def test_manifest_with_a_byte_order_mark_loads_nothing(self):
        inst = self.new_install()
        manifest = self.manifest(b"\xef\xbb\xbf" + EXAMPLE_MANIFEST)
        inst.stage("background.bmp", b"x")
        inst.stage("Quillmon.exe", inst.new_client)
        result = self.run_update_changing(["autoupdate.ini", "quillmon.log"])
        self.assertEqual(self.expected_stdout(NOT_FOUND, b"Failing on char -17\n"), result.stdout)
        self.assertEqual(b"", result.stderr)
        self.assert_normal_traces(result)
        # Only the manifest itself is copied.
        self.assertEqual(manifest, inst.read("autoupdate.ini"))
        self.assert_relaunched(inst.old_client)

    def test_missing_skin_directory(self):
        inst = self.new_install(skin=False)
        self.manifest(EXAMPLE_MANIFEST)
        for name in ("background.bmp", "button.bmp", "logo.png"):
            inst.stage(name, name.encode())
        result = self.run_update()
        self.assert_stderr_lines(result, [
            TARGET.path(inst.app, "skin", "background.bmp") + b": No such file or directory",
            TARGET.path(inst.app, "skin", "button.bmp") + b": No such file or directory",
            self.source("Quillmon.exe") + b": No such file or directory"])
        self.assertFalse(os.path.exists(inst.file("skin")))
        self.assertEqual(b"logo.png", inst.read("logo/logo.png"))
        self.assert_normal_traces(result)

    def test_groups_without_names(self):
        inst = self.new_install()
        self.manifest(b"[cltskin]\nother=background.bmp\n[cltlogo]\nfilelist=\n"
                      b"[cltmain]\nmainfile=,,,\n[x]\nfilelist=logo.png\n")
        inst.stage("background.bmp", b"new")
        inst.stage("logo.png", b"new")
        result = self.run_update_changing(["autoupdate.ini", "quillmon.log"])
        # ",,," is one main-file name, commas and all.
        self.assert_stderr_lines(result, [self.source(",,,") + b": No such file or directory"])
        self.assert_normal_traces(result)

    def test_list_shapes_and_case_insensitive_names(self):
        inst = self.new_install()
        self.manifest(b"[CltSkin]\nFileList=,a.bmp,, b.bmp,a.bmp,\n[CLTLOGO]\nfilelist=,,,\n"
                      b"[cltMain]\nMAINFILE=Quill,mon.exe\n")
        inst.stage("a.bmp", b"a")
        inst.stage(" b.bmp", b"b")
        inst.stage("Quill,mon.exe", b"comma")
        result = self.run_update_changing(["skin/a.bmp", "skin/ b.bmp", "Quill,mon.exe",
                                           "autoupdate.ini", "quillmon.log"])
        self.assertEqual(b"", result.stderr)
        self.assertEqual(b"comma", inst.read("Quill,mon.exe"))
        self.assert_relaunched(inst.old_client)

    def test_unsafe_names_are_refused_and_the_rest_copied(self):
        inst = self.new_install()
        unsafe = ["../escape1.bmp", "..\\escape2.bmp", "sub/../../escape3.bmp", "/abs.bmp",
                  "\\\\server\\share\\x.bmp", "C:drive.bmp"]
        if TARGET.windows:
            unsafe += ["logo.png:stream", "NUL.bmp", "...\\escape4.bmp"]
        names = ["good1.bmp"] + unsafe + ["good2.bmp"]
        self.manifest(b"[cltskin]\nfilelist=" + ",".join(names).encode() +
                      b"\n[cltmain]\nmainfile=../evil.exe\n")
        inst.stage("good1.bmp", b"one")
        inst.stage("good2.bmp", b"two")
        inst.write("evil.exe", b"bait: would land outside the install directory")
        result = self.run_update_changing(["skin/good1.bmp", "skin/good2.bmp", "autoupdate.ini",
                                           "quillmon.log"])
        lines = result.stderr.replace(b"\r\n", b"\n").split(b"\n")[:-1]
        refused = [self.source(n) + b": refused: " for n in unsafe + ["../evil.exe"]]
        self.assertEqual(len(refused), len(lines), result.stderr)
        for prefix, line in zip(refused, lines):
            self.assertTrue(line.startswith(prefix), (prefix, line))
        self.assert_normal_traces(result)

    def test_names_too_long_for_a_path(self):
        inst = self.new_install()
        long_name = "x" * 300 if TARGET.windows else "d/" * 2100 + "x"
        self.manifest(b"[cltskin]\nfilelist=" + long_name.encode() + b",background.bmp\n")
        inst.stage("background.bmp", b"new")
        result = self.run_update()
        self.assert_stderr_lines(result, [self.source(long_name) + b": File name too long"])
        self.assertEqual(b"new", inst.read("skin/background.bmp"))
        self.assert_normal_traces(result)

    def test_hostile_manifest_writes_nothing_outside(self):
        inst = self.new_install()
        os.makedirs(inst.file("skin/sub"))
        refused = ["../h1.bmp", "..\\h2.bmp", "..//h3.bmp", "sub/../../h4.bmp", "sub\\..\\..\\h5.bmp",
                   "a/b/../../../h6.bmp", "..", "../", "..\\", "./../h7.bmp", "sub/./../../h8.bmp",
                   "x/..", "/abs/h9.bmp", "/h10.bmp", "\\h11.bmp", "\\\\server\\share\\h12.bmp",
                   "//server/share/h13.bmp", "C:h14.bmp", "c:\\h15.bmp", "Z:/h16.bmp",
                   "a\x01b.bmp", "tab\there.bmp", "cr\rhere.bmp", "\x7fdel.bmp"]
        others = ["L" * 300, "trail.bmp.", "CON", "nul.txt", "name:stream", "..."]
        if TARGET.windows:
            # Devices, streams and names the system shortens to ".." are refused there.
            refused += ["CON", "nul.txt", "COM1.bmp", "AUX.png", "name:stream", "h.bmp::$DATA",
                        "...", ".. \\h17.bmp", " ..\\h18.bmp"]
            others = ["trail.bmp."]
        valid = ["ok1.bmp", "sub/ok2.bmp", "sub\\ok3.bmp" if TARGET.windows else "ok3.bmp"]
        names = [valid[0]] + refused[:12] + [valid[1], ""] + refused[12:] + others + [valid[2]]
        self.assertGreaterEqual(len(refused) + len(others), 30)
        self.manifest(b"[cltskin]\nfilelist=" + ",".join(names).encode("latin-1") +
                      b"\n[cltmain]\nmainfile=..\\..\\evil.exe\n")
        os.makedirs(os.path.join(inst.app, "download", "sub"))
        for name in valid:
            inst.stage(name.replace("\\", "/"), name.encode())
        before = harness.tree(inst.root)
        result = self.run_update()
        self.assertEqual(0, result.status)
        lines = result.stderr.replace(b"\r\n", b"\n").split(b"\n")
        for name in refused + ["..\\..\\evil.exe"]:
            prefix = self.source(name) + b": refused: "
            self.assertTrue(any(line.startswith(prefix) for line in lines), (name, result.stderr))
        allowed = ("app" + os.sep + "skin" + os.sep, "app" + os.sep + "logo" + os.sep)
        for path in harness.changed(before, harness.tree(inst.root)):
            top_level = os.path.dirname(path) == "app"
            self.assertTrue(path.startswith(allowed) or top_level, path)
        for name in valid:
            self.assertEqual(name.encode(), inst.read("skin/" + name.replace("\\", "/")), name)
        self.assert_normal_traces(result)

    # --- real failures: full disk, no permission, files in use -------------------

    def test_full_disk_keeps_the_old_file(self):
        inst = self.new_install()
        skin = inst.file("skin")
        mounted = os.geteuid() == 0 and subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=1m", "relayhive-full", skin],
            stderr=subprocess.DEVNULL).returncode == 0
        if mounted:
            self.addCleanup(subprocess.run, ["umount", skin])
            message = b": No space left on device"
        elif TARGET.windows:
            self.skipTest("needs root to mount a small filesystem")
        else:
            # No small filesystem to be had: a file size limit fails the write instead.
            TARGET.file_size_limit = 700 * 1024
            self.addCleanup(setattr, TARGET, "file_size_limit", None)
            message = b": File too large"
        inst.write("skin/background.bmp", b"old background")
        inst.write("skin/filler", b"\0" * (600 * 1024))
        self.manifest(b"[cltskin]\nfilelist=small.bmp,background.bmp\n")
        inst.stage("small.bmp", b"fits")
        inst.stage("background.bmp", b"B" * (800 * 1024))
        result = self.run_update()
        self.assert_stderr_lines(result, [b"Fatal write error.", message])
        self.assertEqual(b"old background", inst.read("skin/background.bmp"))
        self.assertEqual(b"fits", inst.read("skin/small.bmp"))
        self.assertEqual(["background.bmp", "filler", "small.bmp"], sorted(os.listdir(skin)))
        self.assert_normal_traces(result)

    def run_unprivileged(self, read_only_directory):
        """Runs the update as user nobody (Linux build, when we are root)."""
        if TARGET.windows or os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root and setpriv to run as an ordinary user (Linux build)")
        os.chmod(self.install.root, 0o755)
        for directory, subdirectories, _ in os.walk(self.install.app):
            os.chmod(directory, 0o777)
        os.chmod(read_only_directory, 0o555)
        TARGET.run_as = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        try:
            return self.run_update()
        finally:
            TARGET.run_as = None

    def stage_blocked_update(self):
        """background.bmp cannot be replaced and logo.png cannot be read; other.png can."""
        inst = self.new_install()
        self.manifest(b"[cltskin]\nfilelist=background.bmp\n[cltlogo]\nfilelist=logo.png,other.png\n")
        inst.stage("background.bmp", b"new")
        inst.stage("logo.png", b"new logo")
        inst.stage("other.png", b"other")
        return inst

    def assert_blocked_files_kept(self, result):
        inst = self.install
        self.assert_stderr_lines(result, [
            TARGET.path(inst.app, "skin", "background.bmp") + b": Permission denied",
            self.source("logo.png") + b": Permission denied"])
        self.assertEqual(b"old background", inst.read("skin/background.bmp"))
        self.assertEqual(b"old logo", inst.read("logo/logo.png"))
        self.assertEqual(b"other", inst.read("logo/other.png"))
        self.assertEqual(["background.bmp"], os.listdir(inst.file("skin")))
        self.assert_normal_traces(result)

    def test_read_only_directory_and_unreadable_source(self):
        inst = self.stage_blocked_update()
        os.chmod(inst.file("download/logo.png"), 0)
        skin = inst.file("skin")
        result = self.run_unprivileged(skin)
        os.chmod(skin, 0o755)
        self.assert_blocked_files_kept(result)

    def test_files_in_use_are_reported_and_kept(self):
        if not TARGET.windows:
            self.skipTest("files in use block writers only on Windows")
        inst = self.stage_blocked_update()
        release_destination = TARGET.lock(inst.file("skin/background.bmp"))
        release_source = TARGET.lock(inst.file("download/logo.png"))
        try:
            result = self.run_update()
        finally:
            release_destination()
            release_source()
        self.assert_blocked_files_kept(result)

    # --- client control through the probe -----------------------------------

    def run_probe(self, operation):
        return TARGET.run(TARGET.probe, [operation], self.install.app)

    def test_launch_traces_the_new_process_and_its_exit_code(self):
        inst = self.new_install()
        inst.configure_client("exit=3\n")
        result = self.run_probe("launch")
        self.assertEqual(TARGET.text(b"current work dir: " + TARGET.path(inst.app) + b"\nresult=0\n"),
                         result.stdout)
        self.assertEqual(3, len(result.traces), result.traces)
        self.assertRegex(result.traces[0], NEW_PID)
        self.assertRegex(result.traces[1], NEW_TID)
        self.assertEqual(b"exit code:3", result.traces[2])

    def test_launch_of_a_missing_client(self):
        inst = self.new_install()
        os.remove(inst.file("Quillmon.exe"))
        result = self.run_probe("launch")
        self.assertEqual(TARGET.text(b"current work dir: " + TARGET.path(inst.app) + b"\nresult=5\n"),
                         result.stdout)
        self.assertEqual([b"error code:2\n"], result.traces)

    def test_terminate_with_no_client(self):
        self.new_install()
        result = self.run_probe("terminate")
        self.assertEqual(TARGET.text(NOT_FOUND + b"result=1\n"), result.stdout)
        self.assertEqual([], result.traces)


def main():
    global TARGET
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", choices=["native", "wine"], required=True)
    parser.add_argument("--relayhive", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--wineprefix", default="")
    parser.add_argument("--lock-helper", default="")
    parser.add_argument("--wrap", default="", help="command put in front of the native program")
    args, rest = parser.parse_known_args()
    TARGET = harness.Target(args.target, args.relayhive, args.standin, args.probe, args.wineprefix,
                            args.wrap.split(), args.lock_helper)
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        TARGET.close()
    result = program.result
    failed = len(result.failures) + len(result.errors)
    skipped = len(result.skipped)
    print("e2e (%s): %d passed, %d failed, %d skipped"
          % (args.target, result.testsRun - failed - skipped, failed, skipped))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
