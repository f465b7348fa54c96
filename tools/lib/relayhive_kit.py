"""What the tests and tools know about relayhive, in one place: the names it
relies on, the bytes it shows, the sample installation they run it in, and
how to run it (natively or under Wine) and hear its traces.

The end-to-end scenarios, the demo, the crash soak, the fault injection and
the benchmarks all import this module; the program keeps its own copy of these
facts in src/common/texts.h."""

import fcntl
import functools
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

# --- Names ----------------------------------------------------------------------

CLIENT = "Quillmon.exe"
SCRATCH_NAME = ".relayhive.tmp"
TRACE_SOCKET_NAME = "relayhive.debug"
TRACE_SOCKET = b"\0" + TRACE_SOCKET_NAME.encode()
INSTANCE_NAME = "relayhivecltmutex"
RECORD_NAME = "relayhive-record.txt"
LOCK_NAME = ".relayhive.lock"  # Linux: the single-instance lock, while a run holds it
STAGING = "download"
MANIFEST_NAME = "autoupdate.ini"
# The stand-in client's own files, in its working directory.
CLIENT_CONFIG = "quillmon.cfg"
CLIENT_LOG = "quillmon.log"
CLIENT_STOP = "quillmon.stop"
CLIENT_GO = "quillmon.go"  # a stand-in given run= starts its program once this appears

# --- Bytes the program shows (the Chinese texts are GBK) ---------------------------

WORK_DIR_PREFIX = b"current work dir: "
NOT_FOUND = b"\xce\xb4\xd5\xd2\xb5\xbd\xd6\xb8\xb6\xa8\xbd\xf8\xb3\xcc\n"
SECOND_INSTANCE = (b"\xd2\xd1\xd3\xd0\xb1\xbe\xb3\xcc\xd0\xf2\xca\xb5\xc0\xfd\xd5\xfd"
                   b"\xd4\xda\xd4\xcb\xd0\xd0...\n")
TRACE_KILLED = b"killed"
TRACE_NOT_RUNNING = b"isNOTRunning"
UPDATE_COMPLETE = (b"\xb8\xfc\xd0\xc2\xcd\xea\xb3\xc9\xa3\xac\xd5\xfd\xd4\xda\xc6\xf4"
                   b"\xb6\xaf\xd6\xf7\xb3\xcc\xd0\xf2...\n")
NEW_PID_PREFIX = b"\xd0\xc2\xbd\xf8\xb3\xcc\xb5\xc4\xbd\xf8\xb3\xccID\xba\xc5\xa3\xba"
NEW_TID_PREFIX = b"\xd0\xc2\xbd\xf8\xb3\xcc\xb5\xc4\xd6\xf7\xcf\xdf\xb3\xccID\xba\xc5\xa3\xba"
NEW_PID = re.compile(rb"\A" + re.escape(NEW_PID_PREFIX) + rb"-?\d+ \n\Z")
NEW_TID = re.compile(rb"\A" + re.escape(NEW_TID_PREFIX) + rb"-?\d+ \n\Z")
EXIT_CODE_PREFIX = b"exit code:"

# The sanitizers' runtime says this when /proc/self/exe cannot be read (a working directory
# past PATH_MAX); it is the runtime's line, not the program's, and any real report still shows.
SANITIZER_NOTE = re.compile(rb"==\d+==WARNING: reading executable name failed with errno \d+, "
                            rb"some stack frames may not be symbolized\n")
# Wine's +debugstr line for one OutputDebugStringA call, on standard error.
WINE_TRACE = re.compile(rb'^[0-9a-f]+:[a-z]+:debugstr:OutputDebugStringA "(.*)"$')


# --- Manifests ------------------------------------------------------------------------

# Each group: its section, its key, and the directory its files go to ("" for the main file).
GROUPS = (("cltskin", "filelist", "skin"), ("cltlogo", "filelist", "logo"), ("cltmain", "mainfile", ""))
DIGEST_SECTION = "cltdigest"


def digest_entry(data):
    """One staged file's entry in the digest section: SIZE:SHA256."""
    return b"%d:%s" % (len(data), hashlib.sha256(data).hexdigest().encode())


def manifest(skin=None, logo=None, main=None, newline=b"\r\n", comment=None, digests=None):
    """An update manifest: the skin and logo file lists and the main file, each
    group only when given; digests maps "skin", "logo" and "main" to the staged
    contents of each name of that group, in order (the digest section)."""
    lines = [b"; " + comment.encode()] if comment else []
    for (section, key, _), value in zip(GROUPS, (skin, logo, main)):
        if value is not None:
            value = ",".join(value) if isinstance(value, (list, tuple)) else value
            lines += [b"[" + section.encode() + b"]", key.encode() + b"=" + value.encode("latin-1")]
    if digests is not None:
        lines.append(b"[" + DIGEST_SECTION.encode() + b"]")
        lines += [key.encode() + b"=" + b",".join(digest_entry(data) for data in contents)
                  for key, contents in digests.items()]
    return b"".join(line + newline for line in lines)


def listed_files(text, sep="/"):
    """The files a manifest lists, as (staged path below download/, destination),
    both "/"-separated; sep: the separator its names use. Reads the plain form
    relayhive-stage writes (one key a line, later sections and keys ignored)."""
    keys = {(section.encode(), key.encode()): directory for section, key, directory in GROUPS}
    listed, section = [], None
    for line in text.replace(b"\r\n", b"\n").split(b"\n"):
        if line.startswith(b"[") and line.endswith(b"]"):
            section = line[1:-1]
            continue
        key, _, value = line.partition(b"=")
        directory = keys.get((section, key))
        if directory is None or not value:
            continue
        for name in value.split(b",") if directory else [value]:
            name = name.decode("latin-1").replace(sep, "/")
            listed.append((name, directory + "/" + name if directory else name))
    return listed


# The manifest of the documented example: two skin files, a logo and the client.
EXAMPLE_MANIFEST = manifest(["background.bmp", "button.bmp"], ["logo.png"], CLIENT)

# The example's files, destination -> (old content, staged new content).
EXAMPLE_FILES = {
    "skin/background.bmp": (b"BM old background " * 40, b"BM new background " * 400),
    "skin/button.bmp": (b"BM old button " * 10, b"BM new button " * 90),
    "logo/logo.png": (b"\x89PNG old logo", b"\x89PNG new logo, larger " * 30),
}

# Appended to the stand-in client to make the staged new build (another image hash).
NEW_BUILD_MARK = b"\0Quillmon 2.0 (the update)\0"


# --- Small helpers -------------------------------------------------------------------

def fnv1a64(data):
    """The image hash the stand-in client logs."""
    h = 1469598103934665603
    for b in data:
        h ^= b
        h = (h * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def sha(data):
    return hashlib.sha256(data).hexdigest()[:12]


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def tree(root):
    """Every file below root but relayhive's record and lock: relative path -> (size, content hash)."""
    files = {}
    for directory, _, names in os.walk(root):
        for name in names:
            if name in (RECORD_NAME, LOCK_NAME):
                continue
            full = os.path.join(directory, name)
            with open(full, "rb") as f:
                data = f.read()
            files[os.path.relpath(full, root)] = (len(data), sha(data))
    return files


RECORD_UNIT = 128  # every line of the record fills whole units of this size


def read_record(data):
    """The run's record: (header fields, [(group, name, result)] of its steps), or None when data is
    no record with whole lines. Names keep the record's \\xNN escapes."""
    if len(data) % RECORD_UNIT or not data.startswith(b"relayhive run record "):
        return None
    lines = [line.rstrip(b" ").decode("latin-1") for line in data.split(b"\n")[:-1]]
    fields = dict(line.split(": ", 1) for line in lines[1:7])
    steps = []
    for heading, _, result in zip(lines[7::3], lines[8::3], lines[9::3]):
        group, _, name = heading[len("step "):].partition(" ")
        steps.append((group, name, result[len("  result: "):]))
    return fields, steps


def changed(before, after):
    """Paths whose content differs between two tree() snapshots, created and removed ones included."""
    return sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))


def scratch_files(root):
    """Every scratch file of relayhive's copies below root."""
    return [os.path.join(directory, name) for directory, _, names in os.walk(root)
            for name in names if name.startswith(SCRATCH_NAME)]


def pattern(size, seed=0):
    """size bytes of a repeatable pattern that is not all zero, in blocks of at most 1 MiB."""
    block = bytes((i * 131 + seed) & 0xFF for i in range(1 << 16)) * 16
    while size > 0:
        yield block[:min(size, len(block))]
        size -= len(block)


def write_pattern(path, size, seed=0):
    with open(path, "wb") as f:
        for block in pattern(size, seed):
            f.write(block)


def show_bytes(data):
    """Console bytes for a person: GBK decoded, CR LF shown as a line end."""
    return data.replace(b"\r\n", b"\n").decode("gbk", errors="backslashreplace")


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


def split_wine_traces(stderr):
    """Wine writes the debug strings into standard error: returns (traces, the rest)."""
    traces, kept = [], []
    for line in stderr.splitlines(keepends=True):
        match = WINE_TRACE.match(line.rstrip(b"\n"))
        if match:
            traces.append(decode_wine_string(match.group(1)))
        else:
            kept.append(line)
    return traces, b"".join(kept)


# --- Isolation: namespaces of one's own ---------------------------------------------------

def isolation_available():
    """Root with unshare: each run gets its own network namespace (its own
    single-instance name and trace socket) and process namespace (no client of
    a parallel run to stop). Without it runs must take turns."""
    return os.geteuid() == 0 and shutil.which("unshare") is not None


def isolated(command):
    # --kill-child: killing unshare kills the program too, as killing it directly would.
    return ["unshare", "-n", "-p", "-f", "--kill-child", "--mount-proc"] + command


def program_pid(unshare_pid):
    """The pid of the program an isolated() command runs, once it has started
    (unshare's own pid until then)."""
    children = "/proc/%d/task/%d/children" % (unshare_pid, unshare_pid)
    for _ in range(200):
        try:
            with open(children) as f:
                pids = f.read().split()
        except OSError:
            return unshare_pid
        if pids:
            return int(pids[0])
        time.sleep(0.001)
    return unshare_pid


# --- The trace channel (Linux build) ------------------------------------------------------

class TraceListener:
    """Receives relayhive's traces: one datagram each on the abstract socket.
    Binding fails (OSError) while another listener holds the name in this
    network namespace. With timestamps=True a thread records each trace with
    its arrival time in events."""

    def __init__(self, timestamps=False):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            self.sock.bind(TRACE_SOCKET)
        except OSError:
            self.sock.close()
            raise
        self.events = []
        self._thread = None
        if timestamps:
            self.sock.settimeout(0.2)
            self._running = True
            self._thread = threading.Thread(target=self._record, daemon=True)
            self._thread.start()
        else:
            self.sock.setblocking(False)

    def _record(self):
        while self._running:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            self.events.append((time.perf_counter(), data))

    def drain(self):
        """The traces received since the last call."""
        traces = []
        while True:
            try:
                traces.append(self.sock.recv(65536))
            except BlockingIOError:
                return traces

    def next(self):
        """Waits for the next trace."""
        self.sock.setblocking(True)
        return self.sock.recv(65536)

    def close(self):
        if self._thread is not None:
            self._running = False
            self._thread.join()
        self.sock.close()


# --- Wine ------------------------------------------------------------------------------

# The exit status of a test that cannot run here (CTest's SKIP_RETURN_CODE), as of cmake/wine-run.
SKIPPED = 77
WINE_RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                        "cmake", "wine-run")


@functools.lru_cache(maxsize=None)
def wine_unusable():
    """Why Wine cannot run a 32-bit program on this machine (cmake/wine-run
    --check, asked once), or None when it can."""
    done = subprocess.run([WINE_RUN, "--check"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    if done.returncode == 0:
        return None
    return done.stdout.decode(errors="replace").strip() or "cmake/wine-run --check: status %d" % done.returncode


def exit_unless_wine_runs():
    """Ends this program as skipped when Wine cannot run here, saying why."""
    why = wine_unusable()
    if why is not None:
        print("%s: skipped: %s" % (os.path.basename(sys.argv[0]), why), flush=True)
        sys.exit(SKIPPED)


def wine_env(wineprefix, traces=False):
    """The environment for a Windows program in wineprefix, the prefix created
    (once, under a lock shared with cmake/wine-run) if it does not exist yet."""
    env = dict(os.environ)
    env["WINEPREFIX"] = wineprefix
    env["WINEDEBUG"] = "-all,+debugstr" if traces else "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    if not os.path.exists(os.path.join(wineprefix, "system.reg")):
        os.makedirs(wineprefix, exist_ok=True)
        with open(wineprefix + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(os.path.join(wineprefix, "system.reg")):
                quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                subprocess.run(["wineboot", "-i"], env=env, **quiet)
                subprocess.run(["wineserver", "-w"], env=env, **quiet)
    return env


# --- Running the program ------------------------------------------------------------------

class Result:
    def __init__(self, status, stdout, stderr, traces):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.traces = traces

    def __repr__(self):
        return "Result(status=%r, stdout=%r, stderr=%r, traces=%r)" % (
            self.status, self.stdout, self.stderr, self.traces)


class Run:
    """One start of program in cwd, the one way the tests and tools start
    relayhive and its probes. Natively the command is wrap + program + args
    (wrap: strace, valgrind, setpriv, prlimit ...), with isolate inside
    namespaces of its own; with wine (the environment from wine_env) it is
    "wine program args" and Wine's trace lines are taken out of standard
    error. listener: the TraceListener whose traces belong to this run.
    Standard output and error go to files, never pipes: Wine's helpers outlive
    the program and would keep a pipe open."""

    def __init__(self, program, args, cwd, wine=None, isolate=False, wrap=(), env=None,
                 file_size_limit=None, listener=None):
        self.wine = wine
        self.isolate = isolate and wine is None
        self.listener = listener
        if wine is not None:
            command, environment = ["wine", program] + list(args), dict(wine)
        else:
            command, environment = list(wrap) + [program] + list(args), dict(os.environ)
            if self.isolate:
                command = isolated(command)
        environment.update(env or {})
        self.scratch = tempfile.mkdtemp(prefix="relayhive-run-")
        self.out = open(os.path.join(self.scratch, "out"), "wb")
        self.err = open(os.path.join(self.scratch, "err"), "wb")
        if listener is not None:
            listener.drain()  # earlier runs' traces are not this one's

        def limit_file_size():
            if file_size_limit is not None:
                import resource
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        self.process = subprocess.Popen(command, cwd=cwd, env=environment, stdin=subprocess.DEVNULL,
                                        stdout=self.out, stderr=self.err, preexec_fn=limit_file_size)

    def kill(self, how=signal.SIGKILL):
        """Signals the program itself (not unshare), so that nothing of it
        outlives the kill."""
        pid = program_pid(self.process.pid) if self.isolate else self.process.pid
        try:
            os.kill(pid, how)
        except ProcessLookupError:
            pass

    def finish(self, timeout=120, kill_after=None, kill_with=signal.SIGKILL):
        """Waits for the end (killing it and raising TimeoutExpired after
        timeout seconds) and returns its Result; with kill_after, sends the
        program kill_with after that many seconds."""
        if kill_after is not None:
            time.sleep(kill_after)
            self.kill(kill_with)
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        finally:
            self.out.close()
            self.err.close()
            with open(os.path.join(self.scratch, "out"), "rb") as f:
                stdout = f.read()
            with open(os.path.join(self.scratch, "err"), "rb") as f:
                stderr = f.read()
            shutil.rmtree(self.scratch, ignore_errors=True)
        traces = self.listener.drain() if self.listener is not None else []
        if self.wine is not None:
            wine_traces, stderr = split_wine_traces(stderr)
            traces += wine_traces
        return Result(status, stdout, SANITIZER_NOTE.sub(b"", stderr), traces)


def add_program_options(parser, relayhive=True, target="option", probe=None, stage=False):
    """The options every tool and test shares: --standin, --relayhive (when
    relayhive), the build (target "option": --target native|wine; "flag":
    --wine; None: the Linux build only) with --wineprefix, --probe (with
    probe as its help) and --stage (when stage)."""
    parser.add_argument("--standin", required=True, help="quillmon_standin from the build")
    if relayhive:
        parser.add_argument("--relayhive", required=True)
    if stage:
        parser.add_argument("--stage", default="", help="relayhive-stage from the build (its scenario needs it)")
    if target == "option":
        parser.add_argument("--target", choices=["native", "wine"], required=True)
    elif target == "flag":
        parser.add_argument("--wine", action="store_true", help="the programs are the Windows build")
    if target is not None:
        parser.add_argument("--wineprefix", default="")
    if probe is not None:
        parser.add_argument("--probe", required=True, help=probe)


def target_kind(args):
    """The build the options of add_program_options name."""
    if getattr(args, "target", None):
        return args.target
    return "wine" if getattr(args, "wine", False) else "native"


def target_from(args, **options):
    """The Target the options of add_program_options name (options: as Target's);
    under Wine, where Wine cannot run, the program ends as skipped."""
    if target_kind(args) == "wine":
        exit_unless_wine_runs()
    return Target(target_kind(args), getattr(args, "relayhive", ""), args.standin,
                  probe=getattr(args, "probe", ""), wineprefix=getattr(args, "wineprefix", ""),
                  stage=getattr(args, "stage", ""), **options)


class Target:
    """One build of the program: 'native' (Linux) or 'wine' (Windows under Wine).
    Natively it hears the traces of the runs that are not isolated, unless
    listen is False (the trace socket's name is one per network namespace)."""

    def __init__(self, kind, relayhive, standin, probe="", wineprefix="", wrap=None, lock_helper="",
                 listen=True, stage=""):
        self.kind = kind
        self.relayhive = os.path.abspath(relayhive) if relayhive else ""
        self.stage = os.path.abspath(stage) if stage else ""  # relayhive-stage
        self.standin = os.path.abspath(standin)
        self.probe = os.path.abspath(probe) if probe else ""
        self.wineprefix = os.path.abspath(wineprefix) if wineprefix else ""
        self.windows = kind == "wine"
        self.wrap = list(wrap or [])  # e.g. valgrind, in front of the native program
        self.lock_helper = os.path.abspath(lock_helper) if lock_helper else ""
        self.run_as = None  # a command prefix that drops privileges, for one run
        self.file_size_limit = None  # RLIMIT_FSIZE for the native program, in bytes
        self.extra_env = {}  # variables set for the program's runs only (e.g. a locale)
        self.sep = "\\" if self.windows else "/"
        self.newline = b"\r\n" if self.windows else b"\n"
        self._listener = None
        if self.windows:
            wine_env(self.wineprefix)
        elif listen:
            self._listener = TraceListener()

    def close(self, stop_wine=False):
        """Stops listening; with stop_wine, also ends Wine's helpers in the prefix
        (never while other tests may be using it)."""
        if self._listener is not None:
            self._listener.close()
        if self.windows and stop_wine:
            subprocess.run(["wineserver", "-k"], env=self.wine_env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wine_env(self, traces=False):
        return wine_env(self.wineprefix, traces)

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

    def drain_traces(self):
        return self._listener.drain() if self._listener is not None else []

    def start(self, program, args, cwd, isolate=False, wrap=(), env=None):
        """Starts program in cwd (isolate: in namespaces of its own, natively;
        wrap: in front of this run's command, inside run_as and the Target's
        own wrap; env: variables for this run beside extra_env); returns the
        Run, for finish()."""
        env = dict(self.extra_env, **(env or {}))
        if self.windows:
            return Run(program, args, cwd, wine=self.wine_env(traces=True), env=env)
        return Run(program, args, cwd, isolate=isolate, wrap=(self.run_as or []) + self.wrap + list(wrap),
                   env=env, file_size_limit=self.file_size_limit,
                   listener=None if isolate else self._listener)

    def finish(self, started, timeout=120):
        return started.finish(timeout)

    def run(self, program, args, cwd, timeout=120, kill_after=None, kill_with=signal.SIGKILL, **how):
        return self.start(program, args, cwd, **how).finish(timeout, kill_after, kill_with)

    def run_relayhive(self, cwd, timeout=120, **how):
        return self.run(self.relayhive, [], cwd, timeout, **how)

    def run_stage(self, old, new, out, cwd, **how):
        """relayhive-stage OLD NEW OUT (directories on this host), for this build's own platform
        (how: as run's, kill_after and kill_with among them)."""
        trees = [self.path(d).decode("latin-1") for d in (old, new, out)]
        return self.run(self.stage, trees, cwd, **how)

    def lock(self, path, *hold):
        """Holds path open without sharing (Windows), or with hold ("mutex-denied" or "event", a name)
        that object under that name until path.release appears; returns a release function."""
        helper = subprocess.Popen(["wine", self.lock_helper, self.path(path).decode("latin-1")] + list(hold),
                                  env=self.wine_env(), stdin=subprocess.DEVNULL,
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
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.windows:
            return subprocess.Popen(["wine", CLIENT], cwd=cwd, env=self.wine_env(), **quiet)
        return subprocess.Popen(["./" + CLIENT], cwd=cwd, **quiet)


# --- The sample installation ---------------------------------------------------------------

class Install:
    """A scratch installation: <root>/app holding the client (the stand-in, as
    Quillmon.exe), download/ and, unless told otherwise, skin/ and logo/.

    old and new map each destination (relative to app, "/"-separated) that
    stage_update() staged to its content before and after a complete update
    (None: absent)."""

    def __init__(self, standin, prefix="relayhive-", skin=True, logo=True, where=None):
        self.root = tempfile.mkdtemp(prefix=prefix, dir=where)
        self.app = os.path.join(self.root, "app")
        for sub in [STAGING] + (["skin"] if skin else []) + (["logo"] if logo else []):
            os.makedirs(os.path.join(self.app, sub))
        with open(standin, "rb") as f:
            self.old_client = f.read()
        self.new_client = self.old_client + NEW_BUILD_MARK
        self.write(CLIENT, self.old_client, executable=True)
        self.old = {}
        self.new = {}

    def file(self, relative):
        return os.path.join(self.app, *relative.split("/"))

    def write(self, relative, data, executable=False):
        with open(self.file(relative), "wb") as f:
            f.write(data)
        if executable:
            os.chmod(self.file(relative), 0o755)
        return data

    def read(self, relative):
        with open(self.file(relative), "rb") as f:
            return f.read()

    def read_or_none(self, relative):
        try:
            return self.read(relative)
        except FileNotFoundError:
            return None

    def stage(self, name, data, executable=False):
        """Puts data in download/ under name; returns data."""
        return self.write(STAGING + "/" + name, data, executable)

    def stage_update(self, files, main=None, manifest_text=None, newline=b"\r\n", digests=False):
        """Stages a whole update. files maps destinations under skin/ or logo/
        to (old, new): old is put in place (unless None), new is staged under
        the destination's base name. main is the client's (old, new), by
        default the stand-in and its new build. The manifest lists them all,
        with their digests when asked (or is manifest_text)."""
        old_client, new_client = main or (self.old_client, self.new_client)
        groups = {"skin": [], "logo": []}
        contents = {"skin": [], "logo": [], "main": [new_client]}
        for destination, (old, new) in files.items():
            group, name = destination.split("/", 1)
            groups[group].append(name)
            contents[group].append(new)
            if old is not None:
                self.write(destination, old)
            self.stage(name, new)
            self.old[destination], self.new[destination] = old, new
        if manifest_text is None:
            manifest_text = manifest(groups["skin"] or None, groups["logo"] or None, CLIENT, newline,
                                     digests=contents if digests else None)
        self.stage(MANIFEST_NAME, manifest_text)
        self.old[MANIFEST_NAME], self.new[MANIFEST_NAME] = None, manifest_text
        self.write(CLIENT, old_client, executable=True)
        self.stage(CLIENT, new_client, executable=True)
        self.old[CLIENT], self.new[CLIENT] = old_client, new_client
        return manifest_text

    def stage_padded_client(self, padding):
        """Stages the new client followed by padding bytes of pattern, written a
        block at a time (it may be larger than memory should hold)."""
        path = self.file(STAGING + "/" + CLIENT)
        with open(path, "wb") as f:
            f.write(self.new_client)
            for block in pattern(padding):
                f.write(block)
        os.chmod(path, 0o755)

    def torn(self):
        """Destinations whose content is neither their old nor their new one."""
        return [d for d in self.new if self.read_or_none(d) not in (self.old[d], self.new[d])]

    def not_new(self):
        """Destinations not (yet) holding their new content."""
        return [d for d in self.new if self.read_or_none(d) != self.new[d]]

    def configure_client(self, text):
        """The stand-in's instructions for its next start (see quillmon_standin.cpp)."""
        self.write(CLIENT_CONFIG, text.encode())

    def client_log(self):
        return (self.read_or_none(CLIENT_LOG) or b"").decode("latin-1").splitlines()

    def stop_clients(self):
        """Tells every stand-in started here with stay=1 to end."""
        open(self.file(CLIENT_STOP), "wb").close()

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)
