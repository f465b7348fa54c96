"""Runs relayhive (or the probe) for real, natively or under Wine, and
captures what it shows: exit status, standard output and error bytes, and
the trace lines from the debugger channel."""

import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

# GBK texts, byte for byte.
NOT_FOUND = b"\xce\xb4\xd5\xd2\xb5\xbd\xd6\xb8\xb6\xa8\xbd\xf8\xb3\xcc\n"
SECOND_INSTANCE = (b"\xd2\xd1\xd3\xd0\xb1\xbe\xb3\xcc\xd0\xf2\xca\xb5\xc0\xfd\xd5\xfd"
                   b"\xd4\xda\xd4\xcb\xd0\xd0...\n")
UPDATE_COMPLETE = (b"\xb8\xfc\xd0\xc2\xcd\xea\xb3\xc9\xa3\xac\xd5\xfd\xd4\xda\xc6\xf4"
                   b"\xb6\xaf\xd6\xf7\xb3\xcc\xd0\xf2...\n")
NEW_PID = re.compile(rb"\A\xd0\xc2\xbd\xf8\xb3\xcc\xb5\xc4\xbd\xf8\xb3\xccID\xba\xc5\xa3\xba-?\d+ \n\Z")
NEW_TID = re.compile(rb"\A\xd0\xc2\xbd\xf8\xb3\xcc\xb5\xc4\xd6\xf7\xcf\xdf\xb3\xccID\xba\xc5\xa3\xba-?\d+ \n\Z")

TRACE_SOCKET = b"\0relayhive.debug"
WINE_TRACE = re.compile(rb'^[0-9a-f]+:[a-z]+:debugstr:OutputDebugStringA "(.*)"$')


def fnv1a64(data):
    h = 1469598103934665603
    for b in data:
        h ^= b
        h = (h * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def sha(data):
    return hashlib.sha256(data).hexdigest()[:12]


def decode_wine_string(escaped):
    """Undoes Wine's escaping of a debug string."""
    out = bytearray()
    i = 0
    simple = {ord("n"): 10, ord("r"): 13, ord("t"): 9, ord("\\"): 92, ord('"'): 34}
    while i < len(escaped):
        c = escaped[i]
        if c == 0x5C and i + 1 < len(escaped):
            n = escaped[i + 1]
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
            if n == ord("x"):
                out.append(int(escaped[i + 2:i + 4], 16))
                i += 4
                continue
            if n == ord("u"):
                out.append(int(escaped[i + 2:i + 6], 16) & 0xFF)
                i += 6
                continue
            if 0x30 <= n <= 0x37:
                j = i + 1
                while j < len(escaped) and j < i + 4 and 0x30 <= escaped[j] <= 0x37:
                    j += 1
                out.append(int(escaped[i + 1:j], 8))
                i = j
                continue
        out.append(c)
        i += 1
    return bytes(out)


class Result:
    def __init__(self, status, stdout, stderr, traces):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.traces = traces

    def __repr__(self):
        return "Result(status=%r, stdout=%r, stderr=%r, traces=%r)" % (
            self.status, self.stdout, self.stderr, self.traces)


class Target:
    """One build of the program: 'native' (Linux) or 'wine' (Windows under Wine)."""

    def __init__(self, kind, relayhive, standin, probe, wineprefix, wrap=None, lock_helper=""):
        self.kind = kind
        self.relayhive = os.path.abspath(relayhive)
        self.standin = os.path.abspath(standin)
        self.probe = os.path.abspath(probe)
        self.wineprefix = os.path.abspath(wineprefix)
        self.windows = kind == "wine"
        self.wrap = list(wrap or [])  # e.g. valgrind, in front of the native program
        self.lock_helper = os.path.abspath(lock_helper) if lock_helper else ""
        self.run_as = None  # a command prefix that drops privileges, for one run
        self.file_size_limit = None  # RLIMIT_FSIZE for the native program, in bytes
        self.sep = "\\" if self.windows else "/"
        self.newline = b"\r\n" if self.windows else b"\n"
        self._socket = None
        if not self.windows:
            self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self._socket.bind(TRACE_SOCKET)
            self._socket.setblocking(False)
        else:
            self._wine_env(False)

    def close(self):
        if self._socket is not None:
            self._socket.close()
        if self.windows:
            subprocess.run(["wineserver", "-k"], env=self._wine_env(False),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # --- paths and text as the program shows them --------------------------

    def path(self, unix_path, *parts):
        """The path as the program forms it: its working directory, then parts."""
        base = unix_path
        if self.windows:
            base = "Z:" + unix_path.replace("/", "\\")
        return self.sep.join([base] + list(parts)).encode("latin-1")

    def text(self, data):
        """Console bytes as the runtime writes them (CR LF on Windows)."""
        return data.replace(b"\n", self.newline) if self.windows else data

    # --- running ------------------------------------------------------------

    def _wine_env(self, traces):
        env = dict(os.environ)
        env["WINEPREFIX"] = self.wineprefix
        env["WINEDEBUG"] = "-all,+debugstr" if traces else "-all"
        env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        if not os.path.exists(os.path.join(self.wineprefix, "system.reg")):
            os.makedirs(self.wineprefix, exist_ok=True)
            subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return env

    def drain_traces(self):
        traces = []
        if self._socket is None:
            return traces
        while True:
            try:
                traces.append(self._socket.recv(65536))
            except BlockingIOError:
                return traces

    def start(self, program, args, cwd):
        """Starts program in cwd; returns a handle for finish()."""
        scratch = tempfile.mkdtemp(prefix="relayhive-run-")
        out = open(os.path.join(scratch, "out"), "wb")
        err = open(os.path.join(scratch, "err"), "wb")
        if self.windows:
            command = ["wine", program] + list(args)
            env = self._wine_env(True)
        else:
            command = (self.run_as or []) + self.wrap + [program] + list(args)
            env = dict(os.environ)
        self.drain_traces()
        limit = self.file_size_limit

        def limit_file_size():
            if limit is not None:
                import resource
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        # Files, not pipes: Wine's helpers outlive the program and would keep a pipe open.
        process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err, preexec_fn=limit_file_size)
        return (process, scratch, out, err)

    def finish(self, handle, timeout=120):
        process, scratch, out, err = handle
        status = process.wait(timeout=timeout)
        out.close()
        err.close()
        with open(os.path.join(scratch, "out"), "rb") as f:
            stdout = f.read()
        with open(os.path.join(scratch, "err"), "rb") as f:
            raw_err = f.read()
        shutil.rmtree(scratch, ignore_errors=True)
        traces = self.drain_traces()
        stderr = raw_err
        if self.windows:
            # Wine writes the debug strings into the same stream: take them out.
            kept = []
            for line in raw_err.splitlines(keepends=True):
                match = WINE_TRACE.match(line.rstrip(b"\n"))
                if match:
                    traces.append(decode_wine_string(match.group(1)))
                else:
                    kept.append(line)
            stderr = b"".join(kept)
        return Result(status, stdout, stderr, traces)

    def run(self, program, args, cwd, timeout=120):
        return self.finish(self.start(program, args, cwd), timeout)

    def run_relayhive(self, cwd, timeout=120):
        return self.run(self.relayhive, [], cwd, timeout)

    def lock(self, path):
        """Holds path open without sharing (Windows); returns a release function."""
        helper = subprocess.Popen(["wine", self.lock_helper, self.path(path).decode("latin-1")],
                                  env=self._wine_env(False), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: os.path.exists(path + ".locked")):
            raise RuntimeError("lock helper did not take " + path)

        def release():
            open(path + ".release", "wb").close()
            helper.wait(timeout=30)
            for suffix in (".locked", ".release"):
                os.remove(path + suffix)
        return release

    def start_client(self, cwd):
        """Starts the stand-in client installed in cwd as ./Quillmon.exe."""
        if self.windows:
            return subprocess.Popen(["wine", "Quillmon.exe"], cwd=cwd, env=self._wine_env(False),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        return subprocess.Popen(["./Quillmon.exe"], cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def tree(root):
    """Every file below root: relative path -> (size, content hash)."""
    files = {}
    for directory, _, names in os.walk(root):
        for name in names:
            full = os.path.join(directory, name)
            with open(full, "rb") as f:
                data = f.read()
            files[os.path.relpath(full, root)] = (len(data), sha(data))
    return files


def changed(before, after):
    """Paths whose content differs between two tree() snapshots, created and removed ones included."""
    return sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
