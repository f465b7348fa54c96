#!/usr/bin/env python3
"""End-to-end scenarios: the real relayhive in scratch installations with the
stand-in client, on the native build or the Windows build under Wine.

    PYTHONPATH=tools/lib run_e2e.py --target native|wine --relayhive P --standin P --probe P --stage P
        [--wineprefix D] [--lock-helper P] [--wrap CMD] [Scenario.test_NAME...]

CTest runs each scenario as a test of its own.
"""

import argparse
import ctypes
import json
import os
import shutil
import socket
import subprocess
import sys
import unittest

# The kit (tools/lib, on PYTHONPATH) is the tests' single home for names, texts and installations.
import relayhive_kit as harness
from relayhive_kit import EXAMPLE_MANIFEST, NOT_FOUND, SECOND_INSTANCE, UPDATE_COMPLETE, NEW_PID, NEW_TID

TARGET = None

RELAUNCHED_EXIT = 7
# Every skipped scenario and none failed: CTest reports the test as skipped.
ALL_SKIPPED = 77


class Scenario(unittest.TestCase):
    def setUp(self):
        self.install = None

    def tearDown(self):
        if self.install is not None:
            self.install.stop_clients()
            self.install.remove()

    # --- helpers ------------------------------------------------------------

    def new_install(self, skin=True, logo=True):
        """An installation with the old client (relaunched, it exits with RELAUNCHED_EXIT)
        and an old skin/background.bmp and logo/logo.png where those directories exist."""
        inst = self.install = harness.Install(TARGET.standin, "relayhive-e2e-", skin, logo)
        inst.configure_client("exit=%d\n" % RELAUNCHED_EXIT)
        if skin:
            inst.write("skin/background.bmp", b"old background")
        if logo:
            inst.write("logo/logo.png", b"old logo")
        return inst

    def run_update(self):
        return TARGET.run_relayhive(self.install.app)

    def expected_stdout(self, *before):
        return TARGET.text(b"".join(before) + harness.WORK_DIR_PREFIX + TARGET.path(self.install.app) + b"\n")

    def assert_normal_traces(self, result, exit_code=RELAUNCHED_EXIT):
        traces = result.traces
        self.assertEqual(6, len(traces), traces)
        self.assertEqual([harness.TRACE_KILLED, harness.TRACE_NOT_RUNNING, UPDATE_COMPLETE], traces[:3])
        self.assertRegex(traces[3], NEW_PID)
        self.assertRegex(traces[4], NEW_TID)
        self.assertEqual(harness.EXIT_CODE_PREFIX + b"%d" % exit_code, traces[5])

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

    def start_staying_client(self, inst):
        """The client of inst, started and staying until it is stopped."""
        inst.configure_client("stay=1\n")
        client = TARGET.start_client(inst.app)
        self.assertTrue(harness.wait_for(lambda: inst.client_log()), "client did not start")
        return client

    def manifest(self, text):
        return self.install.stage(harness.MANIFEST_NAME, text)

    def source(self, name):
        return TARGET.path(self.install.app, harness.STAGING, name)

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

    def test_staged_by_relayhive_stage_reproduces_the_new_release(self):
        inst = self.new_install()
        os.makedirs(inst.file("skin/dark"))
        old = {harness.CLIENT: inst.old_client, "skin/background.bmp": b"old background",
               "skin/dark/panel.bmp": b"old panel", "logo/logo.png": b"old logo", "logo/same.png": b"same"}
        new = dict(old, **{harness.CLIENT: inst.new_client, "skin/dark/panel.bmp": bytes(range(256)) * 9,
                           "logo/logo.png": b"\x89PNG\r\n\x1a\n logo", "logo/new.png": b"new logo"})
        trees = {}
        for which, files in (("old", old), ("new", new)):
            trees[which] = os.path.join(inst.root, which)
            for relative, data in files.items():
                os.makedirs(os.path.dirname(os.path.join(trees[which], relative)), exist_ok=True)
                with open(os.path.join(trees[which], relative), "wb") as f:
                    f.write(data)
            os.chmod(os.path.join(trees[which], harness.CLIENT), 0o755)
        for relative, data in old.items():
            inst.write(relative, data, executable=relative == harness.CLIENT)
        out = os.path.join(inst.root, "out")

        staging = TARGET.run_stage(trees["old"], trees["new"], out, inst.root)
        self.assertEqual(0, staging.status, staging)
        self.assertIn(TARGET.text(b"proof: reproduces NEW, 6 files compared, 0 differ\n"), staging.stdout)
        staged = sorted(r.replace(os.sep, "/") for r in harness.tree(os.path.join(out, harness.STAGING)))
        self.assertEqual([harness.CLIENT, harness.MANIFEST_NAME, "dark/panel.bmp", "logo.png", "new.png"], staged)
        # A full update installs the staged client's mode: it must stay executable.
        self.assertTrue(os.access(os.path.join(out, harness.STAGING, harness.CLIENT), os.X_OK))
        shutil.copytree(os.path.join(out, harness.STAGING), inst.file(harness.STAGING), dirs_exist_ok=True)

        self.start_staying_client(inst)
        inst.configure_client("exit=%d\n" % RELAUNCHED_EXIT)
        result = self.run_update()

        self.assertEqual(0, result.status, result)
        self.assertEqual(b"", result.stderr)
        own = {harness.MANIFEST_NAME, harness.CLIENT_CONFIG, harness.CLIENT_LOG, harness.CLIENT_STOP}
        after = {r.replace(os.sep, "/") for r in harness.tree(inst.app)}
        self.assertEqual(sorted(new), sorted(r for r in after if r not in own and not r.startswith("download/")))
        for relative, data in new.items():
            self.assertEqual(data, inst.read(relative), relative)
        self.assert_relaunched(inst.new_client)

    def test_stage_says_why_it_cannot_read_or_write(self):
        """relayhive-stage as an ordinary user: an unreadable file of NEW and a read-only OUT each
        say why, and nothing is written; a download/ never made is not called incomplete."""
        if TARGET.windows or os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root and setpriv to run as an ordinary user (Linux build)")
        inst = self.new_install()
        trees = {}
        for which in ("old", "new"):
            trees[which] = os.path.join(inst.root, which)
            for directory in ("skin", "logo"):
                os.makedirs(os.path.join(trees[which], directory))
            with open(os.path.join(trees[which], "skin", "a.bmp"), "wb") as f:
                f.write(which.encode())
        unreadable = os.path.join(trees["new"], "skin", "a.bmp")
        os.chmod(unreadable, 0)
        os.chmod(inst.root, 0o755)
        out = os.path.join(inst.root, "out")
        TARGET.run_as = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        self.addCleanup(setattr, TARGET, "run_as", None)
        for fix, expected in ((None, unreadable + ": cannot read the file: Permission denied"),
                              (lambda: (os.chmod(unreadable, 0o644), os.mkdir(out, 0o555)),
                               os.path.join(out, harness.STAGING) + ": Permission denied")):
            if fix:
                fix()
            result = TARGET.run_stage(trees["old"], trees["new"], out, inst.root)
            self.assertEqual((2, ("relayhive-stage: %s\n" % expected).encode()), (result.status, result.stderr))
            self.assertFalse(os.path.exists(os.path.join(out, harness.STAGING)))

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

    def test_damaged_download_copies_nothing_and_leaves_the_client_running(self):
        inst = self.new_install()
        new = {"background.bmp": b"new background " * 1000, "button.bmp": bytes(range(256)) * 9,
               "logo.png": b"\x89PNG\r\n\x1a\n logo"}
        self.manifest(harness.manifest(
            ["background.bmp", "button.bmp", "extra.bmp"], ["logo.png", "dir.png"], harness.CLIENT,
            digests={"skin": [new["background.bmp"], new["button.bmp"]], "logo": [new["logo.png"], b"0"],
                     "main": [inst.new_client]}))
        # Cut short, changed in one byte, listed with no digest, a directory, and the main file not staged.
        inst.stage("background.bmp", new["background.bmp"][:-100])
        inst.stage("button.bmp", new["button.bmp"][:5] + b"X" + new["button.bmp"][6:])
        inst.stage("extra.bmp", b"extra")
        inst.stage("logo.png", new["logo.png"])
        os.mkdir(inst.file("download/dir.png"))
        old = self.start_staying_client(inst)

        result = self.run_update_changing([])

        self.assertEqual((0, b"", []), (result.status, result.stdout, result.traces))
        mismatch = b": does not match the manifest: "
        self.assert_stderr_lines(result, [
            self.source("background.bmp") + mismatch + b"14900 bytes, it lists 15000",
            self.source("button.bmp") + mismatch + b"its SHA-256 differs",
            self.source("extra.bmp") + mismatch + b"it lists no digest for it",
            self.source("dir.png") + mismatch + b"Is a directory",
            self.source(harness.CLIENT) + mismatch + b"No such file or directory",
            self.source(harness.MANIFEST_NAME) + b": nothing copied, the client left running: "
                                                 b"the staged files above do not match it"])
        self.assertIsNone(old.poll(), "the client was stopped")
        self.assert_after({("skin", "background.bmp"): ("differs", "copied nothing"),
                           ("logo", "logo.png"): ("differs", "copied nothing"),
                           ("manifest", "autoupdate.ini"): ("missing", "copied nothing")})
        # Staged whole, the same update goes through.
        for name, data in new.items():
            inst.stage(name, data)
        inst.stage(harness.CLIENT, inst.new_client, executable=True)
        self.manifest(harness.manifest(
            ["background.bmp", "button.bmp"], ["logo.png"], harness.CLIENT,
            digests={"skin": [new["background.bmp"], new["button.bmp"]], "logo": [new["logo.png"]],
                     "main": [inst.new_client]}))
        inst.configure_client("exit=%d\n" % RELAUNCHED_EXIT)
        result = self.run_update()
        self.assertEqual(b"", result.stderr)
        self.assertEqual(new["button.bmp"], inst.read("skin/button.bmp"))
        self.assert_relaunched(inst.new_client)
        old.wait(timeout=30)

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
        self.full_disk_message = message[2:].decode()
        self.assert_stderr_lines(result, [b"Fatal write error.", message])
        self.assertEqual(b"old background", inst.read("skin/background.bmp"))
        self.assertEqual(b"fits", inst.read("skin/small.bmp"))
        self.assertEqual(["background.bmp", "filler", "small.bmp"], sorted(os.listdir(skin)))
        self.assert_normal_traces(result)

    def run_unprivileged(self, read_only_directory=None):
        """Runs the update as user nobody (Linux build, when we are root)."""
        self.need_another_user()
        os.chmod(self.install.root, 0o755)
        for directory, subdirectories, _ in os.walk(self.install.app):
            os.chmod(directory, 0o777)
        if read_only_directory:
            os.chmod(read_only_directory, 0o555)
        TARGET.run_as = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        try:
            return self.run_update()
        finally:
            TARGET.run_as = None

    def need_another_user(self):
        if TARGET.windows or os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root and setpriv to run as an ordinary user (Linux build)")

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
        inst.write(harness.RECORD_NAME, b"relayhive run record\n")  # root's, which this run must replace
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

    # --- after the run: relayhive-check --after names what stayed old, and why ----------

    def assert_after(self, expected):
        """relayhive-check --after --json, built beside relayhive: each (group, name) of
        expected has its state, and a reason holding the given text (None: none)."""
        name = "relayhive-check.exe" if TARGET.windows else "relayhive-check"
        check = os.path.join(os.path.dirname(TARGET.relayhive), name)
        result = TARGET.run(check, ["--after", "--json"], self.install.app)
        document = json.loads(result.stdout.decode("ascii"))
        steps = {(s["group"], s["name"]): s for s in document["after"]}
        for key, (state, reason) in expected.items():
            self.assertEqual(state, steps[key]["state"], key)
            self.assertEqual(reason is not None, "because" in steps[key], key)
            if reason is not None:
                self.assertIn(reason, steps[key]["because"], key)
        self.assertEqual(1 if any(s["state"] != "landed" for s in steps.values()) else 0, result.status)
        return document["record"]

    def test_after_a_full_disk(self):
        self.test_full_disk_keeps_the_old_file()
        self.assert_after({("skin", "small.bmp"): ("landed", None),
                           ("skin", "background.bmp"): (
                               "differs", "copying download/background.bmp to skin/background.bmp failed: "
                               + self.full_disk_message),
                           ("manifest", "autoupdate.ini"): ("landed", None)})

    def test_after_a_disk_too_full_for_the_record(self):
        if TARGET.windows or os.geteuid() != 0:
            self.skipTest("needs root to mount a small filesystem (Linux build)")
        where = harness.tempfile.mkdtemp(prefix="relayhive-e2e-full-")
        self.addCleanup(os.rmdir, where)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "relayhive-full", where]).returncode:
            self.skipTest("no tmpfs to be had")
        self.addCleanup(subprocess.run, ["umount", where])
        inst = self.install = harness.Install(TARGET.standin, "relayhive-e2e-", where=where)
        inst.configure_client("exit=%d\n" % RELAUNCHED_EXIT)
        self.manifest(b"[cltlogo]\nfilelist=logo.png\n")
        inst.stage("logo.png", b"new logo")
        self.addCleanup(os.remove, os.path.join(where, "filler"))
        with open(os.path.join(where, "filler"), "wb", buffering=0) as filler:  # every last byte of the disk
            for size in (4096, 1):
                try:
                    while filler.write(b"\0" * size):
                        pass
                except OSError:
                    pass
        self.run_update()
        self.assertEqual(b"", inst.read(harness.RECORD_NAME))
        self.assert_after({("logo", "logo.png"): ("missing", "could not write its record of the run")})

    def test_after_files_in_use(self):
        # Asked while the files are still held: one that is there is never "missing".
        if not TARGET.windows:
            self.skipTest("files in use block writers only on Windows")
        inst = self.stage_blocked_update()
        releases = [TARGET.lock(inst.file("skin/background.bmp")), TARGET.lock(inst.file("download/logo.png"))]
        try:
            self.run_update()
            self.assert_after({("skin", "background.bmp"): ("unread", "Permission denied, the file is in use"),
                               ("logo", "logo.png"): ("differs", "Permission denied, the file is in use"),
                               ("logo", "other.png"): ("landed", None)})
        finally:
            for release in releases:
                release()

    def test_after_permission_denied_checked_as_root(self):
        self.test_read_only_directory_and_unreadable_source()
        self.assert_after({("skin", "background.bmp"): ("differs", "failed: Permission denied"),
                           ("logo", "logo.png"): ("differs", "failed: Permission denied"),
                           ("logo", "other.png"): ("landed", None)})

    def test_after_a_client_that_could_not_be_stopped(self):
        # The client is root's, relayhive an ordinary user's: it may not stop it, and copies nothing.
        self.need_another_user()
        inst = self.new_install()
        self.manifest(b"[cltlogo]\nfilelist=logo.png\n")
        inst.stage("logo.png", b"new logo")
        client = self.start_staying_client(inst)
        result = self.run_unprivileged()
        self.assertEqual([harness.TRACE_KILLED], result.traces)
        self.assertIsNone(client.poll())
        self.assert_after({("logo", "logo.png"): ("differs", "could not stop the client (Operation not permitted)"),
                           ("manifest", "autoupdate.ini"): ("missing", "so it copied nothing")})

    def test_after_refused_names(self):
        self.test_unsafe_names_are_refused_and_the_rest_copied()
        self.assert_after({("skin", "good1.bmp"): ("landed", None), ("skin", "good2.bmp"): ("landed", None),
                           ("skin", "../escape1.bmp"): ("not copied", "which relayhive refuses ('..' would leave"),
                           ("main", "../evil.exe"): ("not copied", "which relayhive refuses")})

    def test_after_a_run_killed_in_its_pause(self):
        inst = self.new_install()
        self.manifest(b"[cltskin]\nfilelist=background.bmp\n[cltmain]\nmainfile=Quillmon.exe\n")
        inst.stage("background.bmp", b"new background")
        inst.stage(harness.CLIENT, inst.new_client, executable=True)
        run = TARGET.start(TARGET.relayhive, [], inst.app)
        # The manifest is copied just before the pause of a second that comes before the main file.
        landed = harness.wait_for(lambda: os.path.exists(inst.file("autoupdate.ini")))
        run.kill()
        TARGET.finish(run)
        self.assertTrue(landed)
        record = self.assert_after({("skin", "background.bmp"): ("landed", None),
                                    ("manifest", "autoupdate.ini"): ("landed", None),
                                    ("main", harness.CLIENT): ("differs", "did not finish: it ended before this copy")})
        self.assertEqual(("none running", "pending", "in progress"), (record["client"], record["relaunch"], record["run"]))

    # --- the record of each run, and the edges of the command line and single instance ----------

    def test_record_tells_each_copy_and_the_relaunch(self):
        inst = self.new_install()
        self.manifest(b"[cltskin]\nfilelist=background.bmp,none.bmp,../up.bmp\n[cltmain]\nmainfile=Quillmon.exe\n")
        inst.stage("background.bmp", b"new background")
        inst.stage(harness.CLIENT, inst.new_client, executable=True)
        if not TARGET.windows:
            # A name another file shares, planted where the record goes: it is replaced, never written through.
            inst.write("precious", b"not relayhive's")
            os.link(inst.file("precious"), inst.file(harness.RECORD_NAME))
        self.run_update()
        if not TARGET.windows:
            self.assertEqual(b"not relayhive's", inst.read("precious"))
        fields, steps = harness.read_record(inst.read(harness.RECORD_NAME))  # whole 128-byte slots
        self.assertEqual({"client": "none running", "copies": "5 below", "run": "finished",
                          "relaunch": "the client exited, exit code %d" % RELAUNCHED_EXIT},
                         {k: fields[k] for k in ("client", "copies", "run", "relaunch")})
        self.assertEqual([("skin", "background.bmp", "landed"), ("skin", "none.bmp", "failed: No such file or directory"),
                          ("skin", "../up.bmp", "refused: '..' would leave the install directory"),
                          ("manifest", "autoupdate.ini", "landed"), ("main", harness.CLIENT, "landed")], steps)

    def test_help_and_version_touch_nothing(self):
        inst = self.new_install()
        self.manifest(b"[cltlogo]\nfilelist=logo.png\n")
        inst.stage("logo.png", b"new logo")
        client = self.start_staying_client(inst)
        before = harness.tree(inst.root)
        for option, shown in (("--version", rb"\Arelayhive \d+\.\d+\.\d+\r?\n\Z"), ("--help", rb"\Ausage: relayhive\r?\n")):
            result = TARGET.run(TARGET.relayhive, [option], inst.app)
            self.assertEqual(0, result.status)
            self.assertRegex(result.stdout, shown)
            self.assertEqual((b"", []), (result.stderr, result.traces))
        if not TARGET.windows:  # a reader that has gone: still status 0, not a broken-pipe signal
            read_end, write_end = os.pipe()
            os.close(read_end)
            self.addCleanup(os.close, write_end)
            self.assertEqual(0, subprocess.run([TARGET.relayhive, "--help"], cwd=inst.app, stdout=write_end).returncode)
        self.assertIsNone(client.poll())
        self.assertEqual(before, harness.tree(inst.root))
        self.assertFalse(os.path.exists(inst.file(harness.RECORD_NAME)))
        # Any other arguments are ignored: an update.
        inst.configure_client("exit=%d\n" % RELAUNCHED_EXIT)
        result = TARGET.run(TARGET.relayhive, ["--version", "x"], inst.app)
        self.assertEqual(0 if TARGET.windows else -9, client.wait(timeout=30))
        self.assertEqual(b"new logo", inst.read("logo/logo.png"))
        self.assert_normal_traces(result)

    def test_name_held_by_a_mutex_we_may_not_open_or_by_an_event(self):
        if not TARGET.windows:
            self.skipTest("the Windows build's named mutex")
        inst = self.new_install()
        self.manifest(EXAMPLE_MANIFEST)
        client = self.start_staying_client(inst)
        before = harness.tree(inst.root)
        for held in ("mutex-denied", "event"):
            release = TARGET.lock(inst.file("held"), held, harness.INSTANCE_NAME)
            try:
                result = self.run_update()
            finally:
                release()
            self.assertEqual((TARGET.text(SECOND_INSTANCE), b"", []), (result.stdout, result.stderr, result.traces))
            self.assertEqual(before, harness.tree(inst.root), held)
            self.assertFalse(os.path.exists(inst.file(harness.RECORD_NAME)))
            self.assertIsNone(client.poll())

    def test_another_user_cannot_block_the_update(self):
        # Another user holds the old global name and tries the installation's lock, which only its writers may take.
        self.need_another_user()
        inst = self.new_install()
        self.manifest(b"[cltlogo]\nfilelist=logo.png\n")
        inst.stage("logo.png", b"new logo")
        os.chmod(inst.root, 0o755)
        holder = subprocess.Popen(
            ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", sys.executable, "-c",
             "import fcntl, socket, sys\n"
             "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM); s.bind(b'\\0' + sys.argv[1].encode())\n"
             "try:\n    fcntl.flock(open(sys.argv[2], 'rb'), fcntl.LOCK_EX)\nexcept OSError:\n    pass\n"
             "print('held', flush=True); sys.stdin.read()",
             harness.INSTANCE_NAME, inst.file(harness.LOCK_NAME)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(b"held\n", holder.stdout.readline())
            result = self.run_update()
        finally:
            holder.stdin.close()
            holder.wait(timeout=30)
        self.assertEqual(self.expected_stdout(NOT_FOUND), result.stdout)
        self.assertEqual(b"new logo", inst.read("logo/logo.png"))
        self.assertFalse(os.path.exists(inst.file(harness.LOCK_NAME)))

    # --- a client that outlives its main thread, or starts relayhive itself ----------

    def test_client_whose_main_thread_has_ended_is_found_and_stopped(self):
        # Its image link reads as gone with the main thread; the threads left still name it.
        if TARGET.windows:
            self.skipTest("the Linux build's process list")
        inst = self.new_install()
        self.manifest(b"[cltlogo]\nfilelist=logo.png\n[cltmain]\nmainfile=Quillmon.exe\n")
        inst.stage("logo.png", b"new logo")
        inst.stage(harness.CLIENT, inst.new_client, executable=True)
        inst.configure_client("alone=1\nwatch=logo/logo.png\nwatch=Quillmon.exe\n")
        old = TARGET.start_client(inst.app)
        self.assertTrue(harness.wait_for(lambda: main_thread_ended(old.pid)), "main thread did not end")
        inst.configure_client("exit=%d\n" % RELAUNCHED_EXIT)
        result = self.run_update()
        self.assertEqual(0, result.status)
        self.assertEqual(self.expected_stdout(), result.stdout)
        self.assertEqual(b"", result.stderr)
        self.assert_normal_traces(result)
        self.assertEqual(-9, old.wait(timeout=30))
        log = inst.client_log()
        self.assertFalse([line for line in log if line.startswith("changed")], log)
        self.assertEqual(b"new logo", inst.read("logo/logo.png"))
        self.assert_relaunched(inst.new_client)

    def update_started_by_client(self, config, command=("./" + harness.CLIENT,)):
        """The running old client (stay=1 plus config, started by command) starts relayhive
        itself, as the real one does. The update: a missing skin file (its report on standard error comes
        first), a logo and the new client. Returns relayhive's status and traces (its
        output went to the client) and the old client's process."""
        if TARGET.windows:
            self.skipTest("hang-up and broken-pipe signals are the Linux build's")
        inst = self.new_install()
        self.manifest(b"[cltskin]\nfilelist=missing.bmp\n[cltlogo]\nfilelist=logo.png\n"
                      b"[cltmain]\nmainfile=Quillmon.exe\n")
        inst.stage("logo.png", b"new logo")
        inst.stage(harness.CLIENT, inst.new_client, executable=True)
        inst.configure_client("stay=1\nrun=%s\n%s" % (TARGET.relayhive, config))
        adopt_orphans()
        old = subprocess.Popen(list(command), cwd=inst.app,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        self.assertTrue(harness.wait_for(lambda: inst.client_log()), "old client did not start")
        inst.configure_client("exit=%d\nsignals=1\n" % RELAUNCHED_EXIT)
        TARGET.drain_traces()
        open(inst.file(harness.CLIENT_GO), "wb").close()
        ran = lambda: [int(line.split()[1]) for line in inst.client_log() if line.startswith("ran ")]
        self.assertTrue(harness.wait_for(ran), inst.client_log())
        status = reap(ran()[0])
        return harness.Result(status, None, None, TARGET.drain_traces()), old

    def assert_update_outlived_its_client(self, result):
        inst = self.install
        self.assertEqual(0, result.status, result)
        self.assert_normal_traces(result)
        self.assertEqual(b"new logo", inst.read("logo/logo.png"))
        self.assert_relaunched(inst.new_client)
        # What relayhive ignores, the client it starts handles as usual.
        self.assertEqual("SIGHUP default, SIGPIPE default", inst.client_log()[-2])

    def test_update_started_by_a_client_reading_its_output_through_a_pipe(self):
        # Stopping the client closes the pipe: writing there must fail quietly.
        result, old = self.update_started_by_client("pipe=1\n")
        self.assertEqual(-9, old.wait(timeout=30))
        self.assert_update_outlived_its_client(result)

    def test_update_started_by_a_client_leading_a_terminal_session(self):
        # The end of the session's leader hangs up its terminal's foreground: relayhive too.
        if not shutil.which("script"):
            self.skipTest("needs script to give the client a terminal")
        result, old = self.update_started_by_client("", ["script", "-qec", "./" + harness.CLIENT,
                                                         "/dev/null"])
        old.wait(timeout=30)
        self.assert_update_outlived_its_client(result)

    # --- adversarial cases and the edges of the platform -----------------------

    def test_manifest_larger_than_memory(self):
        """A last line too large for memory fails the load and keeps what came before it."""
        inst = self.new_install()
        if not TARGET.windows:
            with open(TARGET.relayhive, "rb") as f:
                if b"__asan_init" in f.read():
                    self.skipTest("the sanitizers reserve more address space than the limit allows")
            TARGET.run_as = ["prlimit", "--as=%d" % (1 << 30), "--"]
            self.addCleanup(setattr, TARGET, "run_as", None)
        # 32-bit under Wine: 1.2 GiB cannot be held; natively 600 MiB under a 1 GiB limit.
        size = (1200 if TARGET.windows else 600) << 20
        with open(inst.file("download/" + harness.MANIFEST_NAME), "wb") as f:
            f.write(b"[cltskin]\nfilelist=background.bmp\n[cltmain]\nmainfile=Quillmon.exe\n")
            f.truncate(size)  # sparse: one last line of zero bytes with no line feed
        inst.stage("background.bmp", b"new background")
        inst.stage("Quillmon.exe", inst.new_client)
        result = self.run_update()
        self.assertEqual(0, result.status)
        self.assert_stderr_lines(result, [self.source(harness.MANIFEST_NAME) + b": Cannot allocate memory"])
        self.assertEqual(b"new background", inst.read("skin/background.bmp"))
        self.assertEqual(size, os.path.getsize(inst.file(harness.MANIFEST_NAME)))
        self.assert_normal_traces(result)
        self.assert_relaunched(inst.new_client)
        # relayhive-check reads the manifest whole: one line and status 4, never an abort.
        check = os.path.join(os.path.dirname(TARGET.relayhive),
                             "relayhive-check.exe" if TARGET.windows else "relayhive-check")
        result = TARGET.run(check, [], inst.app)
        self.assertEqual((4, TARGET.text(b"relayhive-check: out of memory\n")), (result.status, result.stderr))

    def test_scratch_name_is_never_installed(self):
        inst = self.new_install()
        aliases = [".relayhive.tmp"] + ([".RELAYHIVE.TMP.", ".relayhive.tmp ."] if TARGET.windows else [])
        self.manifest(b"[cltskin]\nfilelist=" + ",".join(aliases + ["background.bmp"]).encode() + b"\n")
        inst.stage(".relayhive.tmp", b"would be deleted by the next copy")
        inst.stage("background.bmp", b"new")
        result = self.run_update_changing(["skin/background.bmp", "autoupdate.ini", "quillmon.log"])
        self.assert_stderr_lines(result, [self.source(name) + b": refused: name of relayhive's scratch file"
                                          for name in aliases])
        self.assert_normal_traces(result)

    def test_scratch_path_taken_by_a_directory(self):
        inst = self.new_install()
        os.makedirs(inst.file("skin/" + harness.SCRATCH_NAME))
        self.manifest(b"[cltskin]\nfilelist=background.bmp\n[cltlogo]\nfilelist=logo.png\n")
        inst.stage("background.bmp", b"new")
        inst.stage("logo.png", b"new logo")
        result = self.run_update_changing(["logo/logo.png", "autoupdate.ini", "quillmon.log"])
        # The report names the scratch path that is in the way, not the file being replaced.
        self.assert_stderr_lines(result, [TARGET.path(inst.app, "skin", harness.SCRATCH_NAME) + b": Is a directory"])
        self.assertEqual(b"old background", inst.read("skin/background.bmp"))
        self.assert_normal_traces(result)

    def test_staged_pipes_devices_and_sockets_are_refused_not_waited_on(self):
        """A staged file that is not a regular file (or a link to one) is refused
        and the run goes on; so is a manifest that is a pipe."""
        for manifest_is_a_pipe in (False, True):
            with self.subTest(manifest_is_a_pipe=manifest_is_a_pipe):
                if self.install is not None:
                    self.install.remove()
                inst = self.new_install()
                # A socket file is the Linux build's: Windows has no such file, and Wine cannot open one.
                irregular = ["fifo.bmp", "zero.bmp", "pagemap.bmp"] + ([] if TARGET.windows else ["sock.bmp"])
                self.manifest(b"[cltskin]\nfilelist=" + ",".join(irregular).encode() + b",background.bmp\n")
                os.mkfifo(inst.file("download/fifo.bmp"))
                os.symlink("/dev/zero", inst.file("download/zero.bmp"))
                # A kernel file that passes for an empty regular one and reads without end.
                os.symlink("/proc/self/pagemap", inst.file("download/pagemap.bmp"))
                if not TARGET.windows:
                    listening = socket.socket(socket.AF_UNIX)
                    listening.bind(inst.file("download/sock.bmp"))
                    self.addCleanup(listening.close)
                inst.stage("background.bmp", b"new background")
                if manifest_is_a_pipe:
                    os.remove(inst.file("download/" + harness.MANIFEST_NAME))
                    os.mkfifo(inst.file("download/" + harness.MANIFEST_NAME))
                    irregular = [harness.MANIFEST_NAME]
                # Before, the run waited for ever on the pipe with the client stopped.
                result = TARGET.run_relayhive(inst.app, timeout=60)
                self.assertEqual(self.expected_stdout(NOT_FOUND), result.stdout)
                self.assert_stderr_lines(result, [self.source(n) + b": not a regular file" for n in irregular])
                expected = b"old background" if manifest_is_a_pipe else b"new background"
                self.assertEqual(expected, inst.read("skin/background.bmp"))
                self.assertEqual(["background.bmp"], sorted(os.listdir(inst.file("skin"))))
                self.assert_normal_traces(result)
                self.assert_relaunched(inst.old_client)

    def move_install(self, directory_length, components=()):
        """Moves the installation below its root so that the program's working
        directory text is directory_length bytes, passing through components."""
        inst = self.install
        base = os.path.join(inst.root, *components) if components else inst.root
        extra = len(TARGET.path("")) if TARGET.windows else 0  # "Z:" under Wine
        remaining = directory_length - extra - len(os.fsencode(base))
        self.assertGreater(remaining, 1)
        parts = []
        while remaining > 0:
            take = min(remaining - 1, 200)
            if remaining - 1 - take == 1:
                take -= 1  # never leave one byte: a component needs its separator too
            parts.append("p" * take)
            remaining -= take + 1
        target = os.path.join(base, *parts) if parts else base
        os.makedirs(os.path.dirname(target), exist_ok=True)
        os.rename(inst.app, target)
        inst.app = target
        return inst

    def test_paths_at_the_edge_of_the_path_buffer(self):
        """The longest path formed is one byte short of the buffer, fills it, or passes it."""
        limit = 260 if TARGET.windows else 4096
        long_a, long_b = "background-long.bmp", "background-lon.bmp"  # the source paths are the longest
        for overshoot in (-1, 0, 1):
            with self.subTest(overshoot=overshoot):
                if self.install is not None:
                    self.install.remove()
                inst = self.new_install()
                fixed = len("/download/") + len(long_a)
                inst = self.move_install(limit + overshoot - fixed)
                self.manifest(b"[cltskin]\nfilelist=%s,%s\n[cltlogo]\nfilelist=logo.png\n"
                              b"[cltmain]\nmainfile=Quillmon.exe\n" % (long_a.encode(), long_b.encode()))
                staging = os.open(inst.file("download"), os.O_RDONLY)
                for name in (long_a, long_b):  # relative to download/: the full path may not fit
                    fd = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=staging)
                    os.write(fd, name.encode())
                    os.close(fd)
                os.close(staging)
                inst.stage("logo.png", b"new logo")
                inst.stage("Quillmon.exe", inst.new_client)
                result = self.run_update()
                too_long = [n for n in (long_a, long_b) if len(self.source(n)) >= limit]
                self.assertEqual(len(too_long), overshoot + 1 if overshoot >= 0 else 0)
                self.assert_stderr_lines(result, [self.source(n) + b": File name too long" for n in too_long])
                skin = os.open(inst.file("skin"), os.O_RDONLY)
                self.assertEqual(sorted(["background.bmp"] + [n for n in (long_a, long_b) if n not in too_long]),
                                 sorted(os.listdir(skin)))
                os.close(skin)
                self.assertEqual(b"new logo", inst.read("logo/logo.png"))
                self.assert_normal_traces(result)
                self.assert_relaunched(inst.new_client)

    def test_chinese_install_path_and_names(self):
        """Names and the install path pass through as the system's bytes: GBK under
        code page 936 (Wine with a Chinese locale), UTF-8 on Linux."""
        encoding = "gbk" if TARGET.windows else "utf-8"
        if TARGET.windows:
            TARGET.extra_env = {"LANG": "zh_CN.UTF-8", "LC_ALL": "zh_CN.UTF-8"}
            self.addCleanup(setattr, TARGET, "extra_env", {})
        inst = self.new_install()
        directory = os.path.join(inst.root, "安装目录", "app")
        os.makedirs(os.path.dirname(directory))
        os.rename(inst.app, directory)
        inst.app = directory
        name = "皮肤.bmp"
        # In GBK the second byte of 籠 is a '\\': the scratch file beside it is
        # still .relayhive.tmp, never "籠.relayhive.tmp", a file of someone else's.
        trail = "籠.bmp"
        bait = "籠" + harness.SCRATCH_NAME
        self.manifest(b"[cltskin]\r\nfilelist=" + name.encode(encoding) + b"," + trail.encode(encoding) +
                      b",background.bmp\r\n")
        inst.stage(name, b"new skin")
        inst.stage(trail, b"new trail")
        inst.write("skin/" + bait, b"not relayhive's")
        inst.stage("background.bmp", b"new background")
        result = self.run_update()
        shown = (("Z:" + directory.replace("/", "\\")) if TARGET.windows else directory).encode(encoding)
        self.assertEqual(TARGET.text(NOT_FOUND + harness.WORK_DIR_PREFIX + shown + b"\n"), result.stdout)
        self.assertEqual(b"", result.stderr)
        self.assertEqual(b"new skin", inst.read("skin/" + name))
        self.assertEqual(b"new trail", inst.read("skin/" + trail))
        self.assertEqual(b"not relayhive's", inst.read("skin/" + bait))
        self.assertEqual(sorted(["background.bmp", name, trail, bait]), sorted(os.listdir(inst.file("skin"))))
        self.assertEqual(b"new background", inst.read("skin/background.bmp"))
        self.assert_normal_traces(result)
        self.assertIn(b"started in " + shown + b" image", inst.read("quillmon.log"))

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


def main_thread_ended(pid):
    """True once the main thread of process pid has ended (a zombie) while the process runs on."""
    with open("/proc/%d/task/%d/stat" % (pid, pid)) as f:
        return f.read().rpartition(")")[2].split()[0] == "Z"


def adopt_orphans():
    """Makes this process collect the orphans below it, as init would: the status of a
    program whose parent was stopped can still be read."""
    pr_set_child_subreaper = 36
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(pr_set_child_subreaper, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def reap(pid, timeout=120):
    """The exit status (as subprocess gives it) of pid, once it has ended and been adopted."""
    statuses = []

    def ended():
        try:
            done, status = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:  # not ours yet: its parent still runs
            return False
        if done:
            statuses.append(os.waitstatus_to_exitcode(status))
        return bool(done)
    if not harness.wait_for(ended, timeout):
        raise TimeoutError("process %d did not end" % pid)
    return statuses[0]


def main():
    global TARGET
    parser = argparse.ArgumentParser()
    harness.add_program_options(parser, probe="rh_probe from the build", stage=True)
    parser.add_argument("--lock-helper", default="")
    parser.add_argument("--wrap", default="", help="command put in front of the native program")
    args, rest = parser.parse_known_args()
    TARGET = harness.target_from(args, wrap=args.wrap.split(), lock_helper=args.lock_helper)
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        TARGET.close()
    result = program.result
    failed = len(result.failures) + len(result.errors)
    skipped = len(result.skipped)
    print("e2e (%s): %d passed, %d failed, %d skipped"
          % (args.target, result.testsRun - failed - skipped, failed, skipped))
    if result.wasSuccessful() and result.testsRun and skipped == result.testsRun:
        sys.exit(ALL_SKIPPED)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
