#!/usr/bin/env python3
"""The release, built twice by tools/release from this commit in two scratch
folders, once unsigned and once signed with a throwaway certificate: both
builds give the same bytes (the signed .exe files once their signatures are
removed), the archives are deterministic and hold what they should, the
signatures verify (SHA256SUMS's too), the signed relayhive.exe passes the import
audit and carries out an update under Wine, and the unpacked Linux relayhive one
natively. Before that, in seconds: certificates it cannot sign with are refused
with a line naming why, and an interrupted run leaves --out as it was.

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
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile

import relayhive_kit as harness

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = ["CHANGELOG.md", "LICENSE", "README.md", "docs/behaviour.md", "docs/integrating.md"]
EXES = ["relayhive-check.exe", "relayhive-stage.exe", "relayhive.exe"]
ARGS = None
RELEASE = os.path.join(ROOT, "tools", "release")
CA_CONFIG = """[ca]
default_ca = throwaway
[throwaway]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = anything
[anything]
commonName = supplied
[codeSigning]
extendedKeyUsage = codeSigning
[serverAuth]
extendedKeyUsage = serverAuth
"""


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


def certificate(folder, name, purpose="codeSigning", days=(-1, 2), password_file=None):
    """A throwaway self-signed certificate valid from days[0] to days[1] from now, for one purpose:
    its PEM and its password-protected PKCS#12 file."""
    if not os.path.exists(os.path.join(folder, "ca.cnf")):
        with open(os.path.join(folder, "ca.cnf"), "w") as f:
            f.write(CA_CONFIG)
        with open(os.path.join(folder, "index.txt"), "w"), open(os.path.join(folder, "serial"), "w") as f:
            f.write("01\n")
    key, pem, pfx = (os.path.join(folder, name + suffix) for suffix in (".key", ".pem", ".pfx"))
    checked(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", key + ".csr",
             "-subj", "/CN=relayhive release test " + name], cwd=folder)
    when = [time.strftime("%y%m%d%H%M%SZ", time.gmtime(time.time() + d * 86400)) for d in days]
    checked(["openssl", "ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", key, "-in", key + ".csr",
             "-out", pem, "-notext", "-startdate", when[0], "-enddate", when[1], "-extensions", purpose], cwd=folder)
    checked(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx,
             "-passout", "file:" + (password_file or os.path.join(folder, "pass"))])
    return pem, pfx


def skip_without_wine(test):
    why = harness.wine_unusable()
    if why is not None:
        test.skipTest(why)


def zip_members(path):
    with zipfile.ZipFile(path) as z:
        return {info.filename: z.read(info) for info in z.infolist()}


class Refusals(unittest.TestCase):
    """Runs tools/release refuses, each in seconds with a line naming why and --out (an earlier release) untouched."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="relayhive-release-refusals-")
        cls.addClassCleanup(shutil.rmtree, cls.scratch, True)  # also when the rest of setUpClass fails
        for name, password in (("pass", "throwaway\n"), ("wrong", "thrownaway\n")):
            with open(os.path.join(cls.scratch, name), "w") as f:
                f.write(password)
        cls.pass_file = os.path.join(cls.scratch, "pass")
        cls.pfx = certificate(cls.scratch, "good")[1]
        cls.out = os.path.join(cls.scratch, "out")
        os.makedirs(cls.out)
        with open(os.path.join(cls.out, "SHA256SUMS"), "w") as f:
            f.write("an earlier release\n")

    def assert_out_untouched(self):
        self.assertEqual(["SHA256SUMS"], os.listdir(self.out))
        with open(os.path.join(self.out, "SHA256SUMS")) as f:
            self.assertEqual("an earlier release\n", f.read())

    def test_refused_before_building(self):
        missing = os.path.join(self.scratch, "missing")
        other, folder = os.path.join(self.scratch, "other"), os.path.join(self.scratch, "folder")
        os.makedirs(other)
        open(os.path.join(other, "notes.txt"), "w").close()
        os.makedirs(os.path.join(folder, "SHA256SUMS", "kept"))  # a release's name, but a folder
        signing = ["--pass-file", self.pass_file, "--sign"]
        cases = [(["--sign"], b"--sign needs a value; usage: tools/release [--sign"), (["--out"], b"--out needs"),
                 (["--pass-file", self.pass_file], b"go with --sign"), (["--bogus"], b"unknown option --bogus"),
                 (["--sign", missing], b"cannot read"),
                 (["--sign", self.pfx, "--pass-file", missing], b"cannot read"),
                 (["--sign", self.pfx, "--pass-file", os.path.join(self.scratch, "wrong")], b": wrong password"),
                 (["--sign", self.pass_file, "--pass-file", self.pass_file], b"not a PKCS#12"),
                 (signing + [certificate(self.scratch, "expired", days=(-3, -1))[1]], b"has expired (notAfter="),
                 (signing + [certificate(self.scratch, "future", days=(1, 3))[1]], b"is not valid yet (notBefore="),
                 (signing + [certificate(self.scratch, "server", purpose="serverAuth")[1]],
                  b"is not for code signing (its purposes: TLS Web Server Authentication"),
                 (["--out", other], b"holds notes.txt, which is not part of a release"),
                 (["--out", folder], b"holds SHA256SUMS, which is not part of a release")]
        for arguments, line in cases:
            started = time.monotonic()
            done = run([RELEASE, "--out", self.out] + arguments, timeout=60)
            self.assertLess(time.monotonic() - started, 15, arguments)
            self.assertEqual(2, done.returncode, (arguments, done.stdout))
            self.assertIn(line, done.stdout, arguments)
            self.assertNotIn(b"building", done.stdout, arguments)
            self.assert_out_untouched()
        self.assertEqual((["notes.txt"], ["kept"]), (os.listdir(other), os.listdir(os.path.join(folder, "SHA256SUMS"))))

    def test_help_exits_0(self):
        done = subprocess.run([RELEASE, "--help"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((0, b""), (done.returncode, done.stderr))
        self.assertIn(b"tools/release [--sign CERT.pfx", done.stdout)

    def test_interrupted_run_leaves_out_and_no_scratch(self):
        tmp = os.path.join(self.scratch, "tmp")
        os.makedirs(tmp)
        release = subprocess.Popen([RELEASE, "--sign", self.pfx, "--pass-file", self.pass_file, "--out", self.out],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True,
                                   env=dict(os.environ, TMPDIR=tmp))
        try:
            for line in release.stderr:
                if b"building" in line:
                    break
        finally:
            os.killpg(release.pid, signal.SIGTERM)
            release.wait(timeout=60)
            release.stderr.close()
        self.assertEqual(143, release.returncode)
        self.assert_out_untouched()
        self.assertEqual([], os.listdir(tmp))


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="relayhive-release-test-")
        cls.addClassCleanup(shutil.rmtree, cls.scratch, True)  # also when the rest of setUpClass fails
        with open(os.path.join(cls.scratch, "pass"), "w") as f:
            f.write("throwaway\n")
        cls.pass_file = os.path.join(cls.scratch, "pass")
        cls.cert, cls.pfx = certificate(cls.scratch, "signer")
        cls.plain = os.path.join(cls.scratch, "plain")
        cls.signed = os.path.join(cls.scratch, "signed")
        checked([RELEASE, "--out", cls.plain])
        os.makedirs(cls.signed)  # an earlier release there goes as a whole
        for stale in ("SHA256SUMS", "relayhive-0.0.1-win32.zip"):
            open(os.path.join(cls.signed, stale), "w").close()
        checked([RELEASE, "--sign", cls.pfx, "--pass-file", cls.pass_file, "--out", cls.signed])
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

    def exe(self, kind, name):
        return os.path.join(self.unpacked, kind, self.zip_name[:-len(".zip")], name)

    def unsigned_copy(self, name):
        out = os.path.join(self.scratch, "unsigned-" + name)
        if not os.path.exists(out):
            checked(["osslsigncode", "remove-signature", "-in", self.exe("signed", name), "-out", out])
        return out

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
        files = sorted(["bin/relayhive", "bin/relayhive-check", "bin/relayhive-stage", "bin/trace-listen",
                        "share/relayhive/relayhive_kit.py"] + ["share/doc/relayhive/" + d for d in DOCS])
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

    def test_sums_are_signed_with_the_same_certificate(self):
        self.assertEqual(sorted(["SHA256SUMS", "SHA256SUMS.p7s", self.zip_name, self.tar_name]),
                         sorted(os.listdir(self.signed)))
        self.assertNotIn("SHA256SUMS.p7s", os.listdir(self.plain))
        def verify(content):
            return run(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", "SHA256SUMS.p7s", "-content",
                        content, "-CAfile", self.cert, "-purpose", "any", "-out", os.devnull], cwd=self.signed)
        done = verify("SHA256SUMS")
        self.assertEqual(0, done.returncode, done.stdout.decode(errors="replace"))
        altered = os.path.join(self.scratch, "altered")
        with open(altered, "wb") as f:
            f.write(b"0" * 64 + b"  " + self.tar_name.encode() + b"\n")
        self.assertNotEqual(0, verify(altered).returncode, "an altered SHA256SUMS verifies")

    def test_shipped_trace_listen_prints_a_trace(self):
        if not harness.isolation_available():
            self.skipTest("needs root and unshare: a network namespace of its own for the trace socket")
        listen = os.path.join(self.unpacked, "linux", self.tar_name[:-len(".tar.gz")], "bin", "trace-listen")
        listener = subprocess.Popen(["unshare", "-n", listen, "--raw"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.assertIn(b"waiting for relayhive traces", listener.stderr.readline())
            checked(["nsenter", "-t", str(listener.pid), "-n", sys.executable, "-c",
                     "import socket; socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).sendto(b'killed', %r)"
                     % harness.TRACE_SOCKET])
            self.assertEqual(b"killed\n", listener.stdout.readline())
        finally:
            listener.kill()
            listener.communicate()

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
