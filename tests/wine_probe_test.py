#!/usr/bin/env python3
"""Where Wine cannot run 32-bit programs, the tests that need it skip, never pass
or fail: cmake/wine-run --check says why (status 77, CTest's skip status),
wine-run then runs no program and makes no prefix, and tools/lib/ctest_counts.py
counts a GoogleTest group that skipped itself as skipped. A stand-in `wine` on
PATH plays the machine's Wine."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run")
SKIPPED = 77
# What Debian's wine script says on a kernel that refuses 32-bit programs.
REFUSED = "echo '/usr/bin/wine: 40: exec: /usr/lib/wine/wine: Exec format error' >&2; exit 126"


class WineProbe(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="relayhive-wine-probe-")
        self.bin = os.path.join(self.scratch, "bin")
        os.mkdir(self.bin)
        # Only what wine-run and the stand-ins need: the stand-in is the one wine on PATH.
        for tool in ("sh", "tail", "touch"):
            os.symlink(shutil.which(tool), os.path.join(self.bin, tool))

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def wine(self, body):
        path = os.path.join(self.bin, "wine")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n%s\n" % body)
        os.chmod(path, 0o755)

    def wine_run(self, *args):
        return subprocess.run([WINE_RUN] + list(args), env={"PATH": self.bin}, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)

    def test_check_says_why_wine_cannot_run(self):
        for body, why in ((None, "wine is not installed"), (REFUSED, "Exec format error"), ("exit 1", "exit status 1")):
            if body is not None:
                self.wine(body)
            done = self.wine_run("--check")
            self.assertEqual((SKIPPED, "Wine cannot run 32-bit programs on this machine (%s)\n" % why),
                             (done.returncode, done.stdout), body)

    def test_check_passes_where_wine_runs(self):
        self.wine('[ "$1" = --version ] && echo wine-8.0')
        done = self.wine_run("--check")
        self.assertEqual((0, ""), (done.returncode, done.stdout))

    def test_programs_skip_and_the_build_makes_no_prefix(self):
        marker = os.path.join(self.scratch, "started")
        self.wine('[ "$1" = --version ] && { %s; }; touch %s' % (REFUSED, marker))
        prefix = os.path.join(self.scratch, "prefix")
        program = self.wine_run(prefix, "program.exe")
        self.assertEqual(SKIPPED, program.returncode)
        self.assertIn("skipped: Wine cannot run 32-bit programs on this machine (Exec format error)", program.stderr)
        self.assertEqual(0, self.wine_run(prefix, "--make").returncode)
        self.assertEqual([], sorted(set(os.listdir(self.scratch)) - {"bin"}), "a prefix or a started program")

    def test_a_skipped_group_counts_as_skipped_and_a_missing_report_still_fails(self):
        junit = os.path.join(self.scratch, "junit.xml")
        with open(junit, "w") as f:
            f.write('<testsuite><testcase name="gtest.others" status="notrun">'
                    '<skipped message="SKIP_RETURN_CODE=77"/></testcase>'
                    '<testcase name="gtest.ClientProcess" status="run"/>'
                    '<testcase name="e2e.test_missing_manifest" status="notrun">'
                    '<skipped message="SKIP_RETURN_CODE=77"/></testcase></testsuite>')
        done = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "lib", "ctest_counts.py"),
                               junit, self.scratch], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        self.assertEqual(("0 1 2\n", "  failed: gtest.ClientProcess (no GoogleTest report)\n"),
                         (done.stdout, done.stderr))


if __name__ == "__main__":
    unittest.main(verbosity=2)
