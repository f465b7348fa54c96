#!/usr/bin/env python3
"""The release, built twice by tools/release from this commit in two scratch
folders, once unsigned and once signed with a throwaway certificate: both
builds give the same bytes (the signed .exe files once their signatures are
removed), the archives are deterministic and hold what they should, the
signatures verify, the signed relayhive.exe passes the import audit and
carries out an update under Wine, and the unpacked Linux relayhive one natively.

    PYTHONPATH=tools/lib release_test.py --standin QUILLMON_STANDIN.exe --linux-standin QUILLMON_STANDIN
        --wineprefix DIR

Ends with "release: N passed, N failed, N skipped" (skipped: what needs Wine, where
Wine cannot run).
"""

import argparse
import gzip
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile

import relayhive_kit as harness

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = ["CHANGELOG.md", "LICENSE", "README.md", "docs/integrating.md"]
EXES = ["relayhive-check.exe", "relayhive-stage.exe", "relayhive.exe"]
ARGS = None


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)


def checked(command, **kwargs):
    done = run(command, **kwargs)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (command[0], done.returncode, done.stdout.decode(errors="replace")))
    return done.stdout


def sums(folder):
    """{archive name: sha256} from folder's SHA256SUMS."""
    with open(os.path.join(folder, "SHA256SUMS")) as f:
        return {name: digest for digest, name in (line.split() for line in f)}


def skip_without_wine(test):
    why = harness.wine_unusable()
    if why is not None:
        test.skipTest(why)


def zip_members(path):
    with zipfile.ZipFile(path) as z:
        return {info.filename: z.read(info) for info in z.infolist()}


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="relayhive-release-test-")
        cls.cert = os.path.join(cls.scratch, "cert.pem")
        key = os.path.join(cls.scratch, "key.pem")
        cls.pfx = os.path.join(cls.scratch, "cert.pfx")
        cls.pass_file = os.path.join(cls.scratch, "pass")
        with open(cls.pass_file, "w") as f:
            f.write("throwaway\n")
        checked(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cls.cert,
                 "-subj", "/CN=relayhive release test", "-days", "2"])
        checked(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cls.cert, "-out", cls.pfx,
                 "-passout", "file:" + cls.pass_file])
        cls.plain = os.path.join(cls.scratch, "plain")
        cls.signed = os.path.join(cls.scratch, "signed")
        release = os.path.join(ROOT, "tools", "release")
        checked([release, "--out", cls.plain])
        checked([release, "--sign", cls.pfx, "--pass-file", cls.pass_file, "--out", cls.signed])
        names = sorted(sums(cls.plain))
        cls.zip_name = next(n for n in names if n.endswith("-win32.zip"))
        cls.tar_name = next(n for n in names if n.endswith("-linux-x86_64.tar.gz"))
        cls.version = cls.zip_name[len("relayhive-"):-len("-win32.zip")]
        cls.commit_time = int(checked(["git", "-C", ROOT, "log", "-1", "--format=%ct"]))
        cls.unpacked = os.path.join(cls.scratch, "unpacked")
        for kind in ("plain", "signed"):
            with zipfile.ZipFile(os.path.join(getattr(cls, kind), cls.zip_name)) as z:
                z.extractall(os.path.join(cls.unpacked, kind))
        with tarfile.open(os.path.join(cls.plain, cls.tar_name)) as tar:
            tar.extractall(os.path.join(cls.unpacked, "linux"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def exe(self, kind, name):
        return os.path.join(self.unpacked, kind, self.zip_name[:-len(".zip")], name)

    def unsigned_copy(self, name):
        out = os.path.join(self.scratch, "unsigned-" + name)
        if not os.path.exists(out):
            checked(["osslsigncode", "remove-signature", "-in", self.exe("signed", name), "-out", out])
        return out

    def test_bad_command_lines_fail_before_building(self):
        release = os.path.join(ROOT, "tools", "release")
        for arguments in (["--sign"], ["--out"], ["--pass-file", self.pass_file], ["--bogus"],
                          ["--sign", os.path.join(self.scratch, "missing.pfx")],
                          ["--sign", self.pfx, "--pass-file", os.path.join(self.scratch, "missing")]):
            done = subprocess.run([release] + arguments, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=30)
            self.assertEqual(2, done.returncode, (arguments, done.stdout))
            self.assertNotIn(b"building", done.stdout, arguments)

    def test_both_builds_give_the_same_programs_and_archives(self):
        # The Linux archive of both runs: same programs, same bytes.
        self.assertEqual(sums(self.plain)[self.tar_name], sums(self.signed)[self.tar_name])
        for name in EXES:
            with open(self.exe("plain", name), "rb") as a, open(self.unsigned_copy(name), "rb") as b:
                self.assertEqual(a.read(), b.read(), name + ": signature removed, not the unsigned build")
        # The signed archive with its signatures taken out packs to the unsigned one, byte for byte.
        folder = os.path.join(self.scratch, "repacked", self.zip_name[:-len(".zip")])
        shutil.copytree(os.path.dirname(self.exe("signed", EXES[0])), folder)
        for name in EXES:
            shutil.copy(self.unsigned_copy(name), os.path.join(folder, name))
            os.chmod(os.path.join(folder, name), 0o755)  # zipfile unpacks without modes
        repacked = os.path.join(self.scratch, "repacked.zip")
        checked([sys.executable, os.path.join(ROOT, "tools", "lib", "release_pack.py"),
                 "--mtime", str(self.commit_time), "zip", folder, repacked])
        with open(repacked, "rb") as f:
            self.assertEqual(sums(self.plain)[self.zip_name], hashlib.sha256(f.read()).hexdigest())
        checked(["sha256sum", "-c", "SHA256SUMS"], cwd=self.plain)

    def test_archives_hold_the_programs_and_documents_with_fixed_metadata(self):
        top = self.zip_name[:-len(".zip")] + "/"
        with zipfile.ZipFile(os.path.join(self.plain, self.zip_name)) as z:
            infos = z.infolist()
        self.assertEqual([top + n for n in sorted(DOCS + EXES)], [i.filename for i in infos])
        stamp = time.gmtime(self.commit_time - self.commit_time % 2)[:6]  # zip's 2-second steps
        self.assertEqual([stamp] * len(infos), [i.date_time for i in infos])
        with open(os.path.join(self.plain, self.tar_name), "rb") as f:
            packed = f.read()
        self.assertEqual(b"\0\0\0\0", packed[4:8], "gzip time stamp")
        self.assertFalse(packed[3] & 0x08, "gzip carries a file name")
        with tarfile.open(fileobj=io.BytesIO(gzip.decompress(packed))) as tar:
            members = tar.getmembers()
        top = self.tar_name[:-len(".tar.gz")] + "/"
        files = sorted(["bin/relayhive", "bin/relayhive-check", "bin/relayhive-stage"] + ["share/doc/relayhive/" + d for d in DOCS])
        self.assertEqual([top + n for n in files], [m.name for m in members if m.isfile()])
        self.assertEqual(sorted(m.name for m in members), [m.name for m in members])
        self.assertEqual({(0, 0, "", "", self.commit_time)},
                         {(m.uid, m.gid, m.uname, m.gname, m.mtime) for m in members})
        for member in members:
            self.assertEqual(0o755 if member.isdir() or "/bin/" in member.name else 0o644, member.mode, member.name)
        packed_zip = zip_members(os.path.join(self.plain, self.zip_name))
        for doc in DOCS:
            self.assertEqual(checked(["git", "-C", ROOT, "show", "HEAD:" + doc]),
                             packed_zip[self.zip_name[:-len(".zip")] + "/" + doc], doc)

    def test_unpacked_programs_tell_their_version(self):
        linux = os.path.join(self.unpacked, "linux", self.tar_name[:-len(".tar.gz")], "bin")
        wine = [os.path.join(ROOT, "cmake", "wine-run"), ARGS.wineprefix]
        for program in ("relayhive-check", "relayhive-stage"):
            self.assertEqual(b"%s %s\n" % (program.encode(), self.version.encode()),
                             checked([os.path.join(linux, program), "--version"]))
        skip_without_wine(self)
        for program in ("relayhive-check", "relayhive-stage"):
            self.assertEqual(b"%s %s\r\n" % (program.encode(), self.version.encode()),
                             checked(wine + [self.exe("signed", program + ".exe"), "--version"]))

    def test_signatures_verify_against_the_certificate(self):
        for name in EXES:
            done = run(["osslsigncode", "verify", "-CAfile", self.cert, "-in", self.exe("signed", name)])
            self.assertEqual(0, done.returncode, done.stdout.decode(errors="replace"))
            self.assertNotEqual(0, run(["osslsigncode", "verify", "-CAfile", self.cert,
                                        "-in", self.exe("plain", name)]).returncode, name + " unsigned")

    def test_signed_programs_pass_the_import_audit(self):
        for name in EXES:
            done = run([sys.executable, os.path.join(ROOT, "tests", "import_audit.py"),
                        "--allowed", os.path.join(ROOT, "tests", "windows_imports.txt"),
                        "--lists", ARGS.winxp_api, self.exe("signed", name)])
            self.assertEqual(0, done.returncode, done.stdout.decode(errors="replace"))

    def assert_updates_an_installation(self, target):
        install = harness.Install(target.standin, "relayhive-release-")
        try:
            install.stage_update({"skin/background.bmp": (b"old", b"new background"),
                                  "logo/logo.png": (None, b"new logo")})
            install.configure_client("exit=0\n")
            result = target.run_relayhive(install.app)
            self.assertEqual(0, result.status, result)
            self.assertEqual([], install.not_new())
            self.assertEqual(harness.EXIT_CODE_PREFIX + b"0", result.traces[-1], result)
        finally:
            install.stop_clients()
            install.remove()
            target.close()

    def test_signed_relayhive_updates_an_installation_under_wine(self):
        skip_without_wine(self)
        self.assert_updates_an_installation(harness.Target(
            "wine", self.exe("signed", "relayhive.exe"), ARGS.standin, wineprefix=ARGS.wineprefix))

    def test_unpacked_linux_relayhive_updates_an_installation(self):
        # In namespaces of its own where it may, so that it stops no other run's client;
        # not its own network namespace, though, or its traces would not reach the listener.
        wrap = [c for c in harness.isolated([]) if c != "-n"] if harness.isolation_available() else []
        relayhive = os.path.join(self.unpacked, "linux", self.tar_name[:-len(".tar.gz")], "bin", "relayhive")
        self.assert_updates_an_installation(harness.Target("native", relayhive, ARGS.linux_standin, wrap=wrap))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--standin", required=True, help="the Windows build's quillmon_standin.exe")
    parser.add_argument("--linux-standin", required=True, help="the Linux build's quillmon_standin")
    parser.add_argument("--wineprefix", required=True)
    parser.add_argument("--winxp-api", default=os.path.join(os.path.dirname(ROOT), "shared", "winxp-api"))
    ARGS, rest = parser.parse_known_args()
    ARGS.standin = os.path.abspath(ARGS.standin)
    ARGS.linux_standin = os.path.abspath(ARGS.linux_standin)
    ARGS.wineprefix = os.path.abspath(ARGS.wineprefix)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    result = program.result
    failed = len(result.failures) + len(result.errors)
    skipped = len(result.skipped)
    print("release: %d passed, %d failed, %d skipped" % (result.testsRun - failed - skipped, failed, skipped))
    sys.exit(0 if result.wasSuccessful() and result.testsRun else 1)


if __name__ == "__main__":
    main()
