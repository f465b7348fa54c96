#!/usr/bin/env python3
"""relayhive-check's prediction against what relayhive then does.

For many random staged installations (seeded: the same seed lays out the same
installations), relayhive-check --json gives the plan; then relayhive runs
there for real, and what it did must be what the plan and the file facts say:

  - the destinations it replaced, in order: each replacement is the rename of
    a scratch file into place, seen as inotify's IN_MOVED_TO events (a name
    listed twice is replaced twice); each ends with its source's content, and
    no other file changes;
  - its standard error, line for line: the refusals and too-long reports of
    the plan, and for a copy whose source is not staged "<source>: No such
    file or directory" (a Linux name part longer than 255 bytes: "File name
    too long"; a name with a character Windows allows in no file name, or in
    code page 936 a lead byte whose character does not end: "Invalid
    argument"), or whose destination's directory is missing
    "<destination>: No such file or directory";
  - its standard output: "Failing on char N" exactly when the check says the
    loader stops there, and the working directory the plan starts from.
The check's own errors about missing files and directories, and about names
relayhive cannot open, must name exactly the steps that fail for that reason,
and its exit status must say whether it found an error. First, its command
line: --help and bad usage.

The paths come from the check: each plan step's source and destination are
the exact bytes relayhive forms, and the script never forms one itself. The
file facts come from this script's own look at the disk, not from the check.
Looking a path up there needs the target file system's rules (Windows finds a
name in any case and without its trailing dots and blanks, with either
separator), which the check's JSON does not give, since they are the system's
and not relayhive's: they stand in LOOKUP as data, one row per target, held to
the examples of LOOKUP_EXAMPLES before the first installation.

Every sixth installation is of a kind of its own; the others stay as their
seeds lay them out (under Wine the check is told --code-page utf-8 for them, a
code page without lead bytes, like the one Wine reads names in there). Under
Wine its names are in a code page of CODE_PAGES in turn: 936 (GBK) and 932
(Shift-JIS) with trail bytes '\\' and '|', one-byte katakana and letters that
differ only in case beyond ASCII, 1252 with accented letters and a superscript
device name, each with names the code page cannot read (a lead byte whose
character does not end); staged as Wine keeps them, as the UTF-8 of their
characters. relayhive and the check run in that code page's locale, the check
told --target windows --code-page N, and --host-check (the Linux build's
relayhive-check, told the same) must report exactly what the Windows build's
does. Without that locale these installations are skipped, and the test with
them. Natively it lies at the end of a chain of directories longer than
PATH_MAX, reached through links: relayhive plans from "." there (and still
prints the whole directory), and the check must plan from "." too.
--new-only makes every installation of that kind.

    PYTHONPATH=tools/lib differential.py --target native|wine --relayhive P --check P
        --standin P [--wineprefix D] [--host-check P] [--count N] [--seed S] [--jobs J]
        [--keep] [--new-only]

Natively each relayhive runs in namespaces of its own (unshare: its own
processes, single-instance name and trace socket), several at a time; under
Wine they take turns in the one prefix.
"""

import argparse
import collections
import concurrent.futures
import ctypes
import ctypes.util
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import relayhive_kit as kit

SKIPPED = 77
UNPRIVILEGED = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# --- inotify: the order in which relayhive moves files into place ---------------------------

IN_MOVED_FROM = 0x00000040
IN_MOVED_TO = 0x00000080
IN_NONBLOCK = 0o4000
IN_CLOEXEC = 0o2000000
_libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
_EVENT = struct.Struct("iIII")


class MoveWatch:
    """Records every file moved into a watched directory, in order."""

    def __init__(self, root):
        self.fd = _libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.directories = {}
        for directory, _, _ in os.walk(root):
            # The scratch file's move out parts two moves into one name, which
            # inotify would otherwise merge into one event.
            wd = _libc.inotify_add_watch(self.fd, os.fsencode(directory), IN_MOVED_FROM | IN_MOVED_TO)
            if wd < 0:
                raise OSError(ctypes.get_errno(), "inotify_add_watch " + directory)
            self.directories[wd] = os.fsencode(directory)

    def moved(self):
        """Full paths moved into place since the watch began, in order."""
        data = b""
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            data += chunk
        paths = []
        offset = 0
        while offset < len(data):
            wd, mask, _, length = _EVENT.unpack_from(data, offset)
            name = data[offset + _EVENT.size:offset + _EVENT.size + length].rstrip(b"\0")
            offset += _EVENT.size + length
            if mask & IN_MOVED_TO:
                paths.append(os.path.join(self.directories[wd], name))
        return paths

    def close(self):
        os.close(self.fd)


# --- How the target's file system finds a relative name ---------------------------------

# The check's plan gives the exact source and destination paths relayhive forms;
# what the file system then makes of them is the target's own rule, stated here
# as data: the separators, the characters a name part loses at its end (not "."
# or ".."), whether a name is found in any case, and the code page the program
# spells names in ("wine-936": Wine in a Chinese locale, which keeps each name
# on disk as the UTF-8 of its characters; bytes that are no GBK stay bytes), and
# the bytes after which a byte belongs to the same character.
LOOKUP = {
    "native": {"separators": "/", "trailing": "", "any_case": False, "code_page": "latin-1"},
    "wine": {"separators": "/\\", "trailing": ". ", "any_case": True, "code_page": "latin-1"},
    "wine-936": {"separators": "/\\", "trailing": ". ", "any_case": True, "code_page": "gbk"},
    "wine-932": {"separators": "/\\", "trailing": ". ", "any_case": True, "code_page": "cp932"},
    "wine-1252": {"separators": "/\\", "trailing": ". ", "any_case": True, "code_page": "cp1252"},
    # The host's own spelling of those names: UTF-8, compared in Windows' letter case.
    "wine-utf8": {"separators": "/\\", "trailing": ". ", "any_case": True, "code_page": "utf-8"},
}
# Lead bytes, and the bytes that may follow one, of the double-byte code pages.
LEAD_BYTES = {"gbk": (range(0x81, 0xFF), set(range(0x40, 0x7F)) | set(range(0x80, 0xFF))),
              "cp932": (list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD)), set(range(0x40, 0x7F)) | set(range(0x80, 0xFD)))}


def windows_fold(text):
    """Letter case as Windows ignores it: each character upcased where its lowercase comes back."""
    return "".join(c.upper() if len(c.upper()) == 1 and c.upper().lower() == c else c for c in text)

# Relative name -> the host's name parts the target finds it as, and its key;
# held to the rules above when the script starts.
LOOKUP_EXAMPLES = {
    "native": [(b"d1/a.bmp", [b"d1", b"a.bmp"], b"d1/a.bmp"),
               (b"./d1//A.bmp", [b"d1", b"A.bmp"], b"d1/A.bmp"),
               (b"d1\\a.bmp. ", [b"d1\\a.bmp. "], b"d1\\a.bmp. "),
               (b"x/..", [b"x", b".."], b"x/..")],
    "wine": [(b"d1\\A.bmp. ", [b"d1", b"A.bmp"], b"d1/a.bmp"),
             (b"./D1/ x . \\\\b.png", [b"D1", b" x", b"b.png"], b"d1/ x/b.png"),
             (b"x\\..", [b"x", b".."], b"x/.."),
             (b"...", [], b""),
             (b"\xbb\x5c.bmp", [b"\xbb", b".bmp"], b"\xbb/.bmp")],
    "wine-936": [(b"D1\\\xbb\x5c.BMP. ", [b"D1", "\u7c60.BMP".encode()], "D1/\u7c60.BMP".encode()),
                 (b"\x81|\\\xd6\xd0a", ["\u4e85".encode(), "\u4e2da".encode()], "\u4e85/\u4e2dA".encode()),
                 (b"\xff.dat\\x\x81", [b"\xff.dat", b"x\x81"], b"\xff.DAT/X\x81")],
    "wine-932": [(b"D1\\\x95\x5c.BMP. ", [b"D1", "\u8868.BMP".encode()], "D1/\u8868.BMP".encode()),
                 (b"\x83\x7c\\\xb1\x82\x81", ["\u30dd".encode(), "\uff71\uff41".encode()], "\u30dd/\uff71\uff21".encode())],
    "wine-1252": [(b"sub\\caf\xe9.BMP", [b"sub", "caf\u00e9.BMP".encode()], "SUB/CAF\u00c9.BMP".encode())],
    "wine-utf8": [("d1/\u8868\uff41.bmp".encode(), [b"d1", "\u8868\uff41.bmp".encode()], "D1/\u8868\uff21.BMP".encode())],
}


class Rules:
    """How one target looks a relative path up, from its row of LOOKUP."""

    def __init__(self, target):
        rule = LOOKUP[target]
        self.separators = rule["separators"]
        self.trailing = rule["trailing"]
        self.any_case = rule["any_case"]
        self.code_page = rule["code_page"]

    def characters(self, name):
        """name's characters in the target's code page; a byte that begins none stands for itself."""
        return name.decode(self.code_page, "surrogateescape")

    def components(self, relative):
        """The name parts, as the host spells them, that the target opens for relative."""
        text = self.characters(relative)
        for separator in self.separators[1:]:
            text = text.replace(separator, self.separators[0])
        kept = []
        for part in text.split(self.separators[0]):
            if part not in (".", ".."):
                part = part.rstrip(self.trailing) if self.trailing else part
            if part and part != ".":
                kept.append(part.encode("latin-1" if self.code_page == "latin-1" else "utf-8", "surrogateescape"))
        return kept

    def cut(self, name):
        """Whether a lead byte's character does not end: Wine reads it as one no name holds."""
        leads, trails = LEAD_BYTES.get(self.code_page, ((), ()))
        i = 0
        while i < len(name):
            if name[i] in leads:
                if i + 1 == len(name) or name[i + 1] not in trails:
                    return True
                i += 1
            i += 1
        return False

    def fold(self, host_name):
        """A host name with letter case as the target ignores it (UTF-8 beyond the single-byte rows)."""
        if self.code_page == "latin-1":
            return host_name.lower()
        return windows_fold(host_name.decode("utf-8", "surrogateescape")).encode("utf-8", "surrogateescape")

    def key(self, relative):
        """Two relative paths with the same key are the same file on the target."""
        joined = b"/".join(self.components(relative))
        return self.fold(joined) if self.any_case else joined

    def resolve(self, root, relative):
        """The host path the target opens for relative below root (it need not exist)."""
        path = os.fsencode(root)
        for part in self.components(relative):
            if self.any_case:
                try:
                    entries = os.listdir(path)
                except OSError:
                    entries = []
                if part not in entries:
                    part = next((e for e in entries if self.fold(e) == self.fold(part)), part)
            path = os.path.join(path, part)
        return path


def lookup_problems():
    """Where the Rules and their examples disagree."""
    problems = []
    for target, examples in LOOKUP_EXAMPLES.items():
        rules = Rules(target)
        for relative, parts, key in examples:
            if (rules.components(relative), rules.key(relative)) != (parts, key):
                problems.append("%s: %r is %r, %r, not %r, %r" % (
                    target, relative, rules.components(relative), rules.key(relative), parts, key))
    return problems


# --- Random staged installations -------------------------------------------------------------

DIRECTORIES = [b"d1", b"d2", b"sub"]
EXTENSIONS = [b".bmp", b".png", b".dat", b".exe", b""]
STANDIN_FILES = {b"quillmon.log", b"quillmon.cfg", b"quillmon.stop", b"quillmon.go"}
# The stand-in's files and relayhive's record and lock: none is a file the plan copies.
OWN_FILES = STANDIN_FILES | {kit.RECORD_NAME.encode(), kit.LOCK_NAME.encode()}


def posix_unsafe(name):
    """Roughly the names relayhive refuses on either platform: never staged, since they point outside."""
    if not name or name[:1] in (b"/", b"\\") or (len(name) > 1 and name[1:2] == b":"):
        return True
    if any(b < 0x20 or b == 0x7F for b in name):
        return True
    return any(part in (b"..", kit.SCRATCH_NAME.encode()) for part in name.replace(b"\\", b"/").split(b"/"))


# Names in code page 936: characters whose trail byte is a '\\' (0xBB 0x5C) or a
# '|' (0x81 0x7C), ASCII beside them, a name ending in a trail byte '\\',
# fullwidth and Greek letters that differ only in case.
GBK_NAMES = [b"\xd6\xd0\xce\xc4.bmp", b"\xbb\x5c.bmp", b"\xbb\x5c", b"a\xbb\x5cb.BMP", b"\x81\x7c.dat",
             b"\xc6\xa4\xb7\xf4.png", b"\xd6\xd0a.bmp", b"\xa3\xc1.bmp", b"\xa3\xe1.bmp", b"\xa6\xc1.dat"]
# Bytes relayhive reads in another code page: UTF-8, Latin-1, lone and cut-off lead bytes.
WIDE_NAMES = [b"\xd6\xd0\xce\xc4.bmp", b"\xe4\xb8\xad\xe6\x96\x87.png", b"\xfe.dat", b"caf\xe9.bmp", b"\xb1.bmp",
              b"x\xd6"]
# Code page 932: trail bytes '\\' (表 95 5C, ソ 83 5C) and '|' (ポ 83 7C), one-byte
# katakana, fullwidth and Greek letters in both cases; a lead byte cut off.
SJIS_NAMES = [b"\x95\x5c.bmp", b"\x83\x5c", b"\x83\x7c.dat", b"a\x95\x5cb.BMP", b"\xb1\xb2.png",
              b"\x93\xfa\x96\x7b.bmp", b"\x82\x60.bmp", b"\x82\x81.bmp", b"\x83\x9f.dat", b"\x83\xbf.dat",
              b"x\x81", b"caf\xe9.bmp"]
# Code page 1252: accented letters in both cases, a superscript device name, UTF-8 read as 1252.
LATIN_NAMES = [b"caf\xe9.bmp", b"th\xe9.bmp", b"\xc9t\xe9.png", b"\xe9t\xe9.png", b"na\xefve.dat", b"\xdcber.bmp",
               b"COM\xb9.bmp", b"\xe4\xb8\xad.png"]
# Each code page of the code page scenarios: its names, the locale that gives Wine
# that ANSI code page, and the row of LOOKUP.
CODE_PAGES = {936: (GBK_NAMES + WIDE_NAMES, "zh_CN.UTF-8"), 932: (SJIS_NAMES, "ja_JP.UTF-8"),
              1252: (LATIN_NAMES, "de_DE.UTF-8")}


def characters_in(name, code_page):
    try:
        return name.decode(LOOKUP["wine-%d" % code_page]["code_page"])
    except UnicodeDecodeError:
        return None


class Generator:
    def __init__(self, rng, windows, code_page=None):
        self.rng = rng
        self.windows = windows
        self.code_page = code_page  # names in this code page, staged as Wine keeps them

    def word(self, low=1, high=8):
        letters = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"
        return bytes(self.rng.choice(letters) for _ in range(self.rng.randint(low, high)))

    def plain_name(self):
        # Always a '.' inside, so that no file takes a directory's name.
        return self.word() + self.rng.choice(EXTENSIONS[:-1])

    def name(self):
        """(name as the manifest gives it, whether it may be staged)."""
        rng = self.rng
        if self.code_page and rng.random() < 0.4:
            return self.code_page_name()
        r = rng.random()
        if r < 0.45:
            return self.plain_name(), True
        if r < 0.55:
            separator = rng.choice([b"/", b"\\"]) if self.windows else rng.choice([b"/", b"/", b"\\"])
            return rng.choice(DIRECTORIES) + separator + self.plain_name(), True
        if r < 0.62:
            return self.plain_name() + rng.choice([b" ", b".", b"  ", b". "]), True
        if r < 0.66:
            return b" " + self.plain_name(), True
        if r < 0.70:
            return self.plain_name().upper(), True
        if r < 0.78:
            return rng.choice([b"../x.bmp", b"..\\x.bmp", b"/abs.bmp", b"\\abs.bmp", b"C:x.bmp", b"c:\\x.bmp",
                               b"con", b"NUL.txt", b"aux .bmp", b"lpt1.log", b"CONOUT$", b".relayhive.tmp",
                               b"d1/.relayhive.tmp", b"a\x01b.bmp", b"a\tb.bmp", b"a:b.bmp", b"...", b".. ",
                               b"d1/../x.bmp", b"x/..", b"a\x7f.bmp"]), not self.windows
        if r < 0.84:
            # Bytes read in another code page; outside 936, those of the code page's own list
            # (bytes its converters read differently on Linux and Windows stay out).
            wide = rng.choice(WIDE_NAMES[:5] if self.code_page in (None, 936) else CODE_PAGES[self.code_page][0])
            return wide, not self.windows or (self.code_page == 936 and characters_in(wide, 936) is not None)
        if r < 0.92:
            # Long names: around the Windows path buffer, or past Linux's.
            if self.windows:
                return bytes(rng.choice(b"LMNOP") for _ in range(rng.randint(170, 240))) + b".bmp", True
            if rng.random() < 0.5:
                return b"y" * rng.randint(240, 300) + b".bmp", True
            return b"/".join([b"q" * 200] * 21) + b".bmp", False
        if r < 0.96 and self.windows:
            return self.word() + rng.choice([b"*", b"?", b"<", b">", b"|", b'"']) + b".bmp", False
        return self.plain_name(), False  # listed, never staged

    def code_page_name(self):
        """A name in the code page, or bytes it cannot read (never staged), now and then in a directory."""
        rng = self.rng
        name = rng.choice(CODE_PAGES[self.code_page][0])
        if rng.random() < 0.3:
            name = rng.choice(DIRECTORIES) + rng.choice([b"/", b"\\"]) + name
        if rng.random() < 0.15:
            name += rng.choice([b" ", b".", b". "])
        return name, characters_in(name, self.code_page) is not None

    def value(self, names):
        rng = self.rng
        text = b""
        for name in names:
            text += rng.choice([b",", b",", b",", b",,", b", "]) if text else rng.choice([b"", b"", b","])
            text += name
        if rng.random() < 0.1:
            text += b","
        if rng.random() < 0.03:
            text += b"\0" + self.plain_name()
        return text

    def section(self, exact):
        rng = self.rng
        if rng.random() < 0.75:
            name = bytearray(exact)
            if rng.random() < 0.3:
                name = bytearray(c ^ 0x20 if rng.random() < 0.5 else c for c in name)
            return bytes(name)
        return rng.choice([exact + b"s", exact[:-1], exact.replace(b"clt", b"clt "), b" " + exact,
                           exact + b" ",
                           b"other", b"", exact[:3] + exact[4:3:-1] + exact[3:4] + exact[5:]])

    def key(self, exact):
        rng = self.rng
        if rng.random() < 0.8:
            if rng.random() < 0.6:
                return exact
            return bytes(c ^ 0x20 if rng.random() < 0.5 else c for c in exact)
        other = b"filelist" if exact == b"mainfile" else b"mainfile"
        return rng.choice([exact + b"s", exact + b" ", exact[:-1], other])

    def header(self, name):
        rng = self.rng
        return rng.choice([b"[" + name + b"]", b"[" + name + b"]", b"  [" + name + b"]", b"x[" + name + b"]",
                           b"[" + name + b"] ; note", b"[" + name, b"[" + name + b"]]"])

    def manifest(self, names):
        """Manifest bytes whose lists draw on names."""
        rng = self.rng
        lines = []
        if rng.random() < 0.1:
            lines.append(rng.choice([b"; update", b"# update", b"junk line"]))
        if rng.random() < 0.08:
            lines.append(self.key(b"filelist") + b"=" + self.value(rng.sample(names, min(2, len(names)))))
        groups = [(b"cltskin", b"filelist"), (b"cltlogo", b"filelist"), (b"cltmain", b"mainfile")]
        rng.shuffle(groups)
        for section, key in groups:
            if rng.random() < 0.15:
                continue
            lines.append(self.header(self.section(section)))
            for _ in range(rng.choice([1, 1, 1, 2])):
                if rng.random() < 0.15:
                    lines.append(rng.choice([b"; comment", b"#c", b"", b"a;b=c", b"other=1", b"=nameless"]))
                count = 1 if key == b"mainfile" else rng.randint(0, 5)
                chosen = [rng.choice(names) for _ in range(count)]
                if key == b"filelist":
                    value = self.value(chosen)
                else:
                    value = chosen[0] if rng.random() < 0.9 else b",,,"
                lines.append(self.key(key) + b"=" + value)
        if rng.random() < 0.06:
            at = rng.randint(0, len(lines))
            bad = [b"\tfilelist=x.bmp", b"\xd6\xd0 comment", b"\x7fx", b"\x1a[cltskin]"]
            lines.insert(at, rng.choice(bad))
        newline = rng.choice([b"\n", b"\r\n", b"\r\n", b"\r\r\n" if rng.random() < 0.1 else b"\n"])
        text = b"".join(line + newline for line in lines)
        if rng.random() < 0.1 and text:
            text = text[:-len(newline)]
        if rng.random() < 0.03:
            text = text.replace(b"\n", b"\n\x1a", 1)
        if rng.random() < 0.06:
            text = b"\xef\xbb\xbf" + text
        return text


def may_drop_privileges():
    return os.geteuid() == 0 and shutil.which("setpriv") is not None


def lay_out(root, rng, target, standin, hazards=None):
    """A random staged installation in root/app for target (a row of LOOKUP);
    returns its directory. hazards
    (a Random, native only) adds what a real installation can hold besides:
    staged pipes and links to a device, a directory where a scratch file goes,
    lists with trailing separators, and read-only files and directories (which
    matter when the run is an ordinary user's)."""
    windows = target != "native"
    gen = Generator(rng, windows, code_page=int(target[5:]) if target.startswith("wine-") else None)
    app = os.path.join(root, "app")
    download = os.path.join(app, kit.STAGING)
    os.makedirs(download)
    for directory in DIRECTORIES:
        if rng.random() < 0.8:
            os.makedirs(os.path.join(download, os.fsdecode(directory)))
    for group in ("skin", "logo"):
        if rng.random() < 0.85:
            os.makedirs(os.path.join(app, group))
            for directory in DIRECTORIES:
                if rng.random() < 0.5:
                    os.makedirs(os.path.join(app, group, os.fsdecode(directory)))
    with open(standin, "rb") as f:
        client = f.read()
    write(os.path.join(app, kit.CLIENT), client, 0o755)
    write(os.path.join(app, kit.CLIENT_CONFIG), b"exit=0\n")

    rules = Rules(target)
    names = []
    if hazards is not None and hazards.random() < 0.2:
        names.append(hazards.choice(DIRECTORIES) + b"/")  # a directory, or nothing, where a file should be
    for _ in range(rng.randint(1, 9)):
        name, stageable = gen.name()
        if rules.key(name).lower() in OWN_FILES:
            continue
        names.append(name)
        if not stageable or posix_unsafe(name) or rng.random() < 0.2:
            continue
        staged = os.path.join(os.fsencode(download), *rules.components(name))
        if any(len(part) > 255 for part in rules.components(name)):
            continue  # no file system holds it
        if os.path.isdir(os.path.dirname(staged)) and not os.path.isdir(staged):
            write(staged, b"new " + name + b" " + gen.word())
            if hazards is not None and hazards.random() < 0.08:
                os.remove(staged)
                if hazards.random() < 0.5:
                    os.mkfifo(staged)
                else:
                    os.symlink("/dev/null", staged)
            # An old file at a destination, now and then.
            for group in (b"skin", b"logo", b""):
                destination = rules.resolve(app, group + b"/" + name if group else name)
                if rng.random() < 0.3 and os.path.isdir(os.path.dirname(destination)) \
                        and not os.path.exists(destination):
                    write(destination, b"old " + name)
    if rng.random() < 0.3:
        names.append(kit.CLIENT.encode())
        write(os.path.join(download, kit.CLIENT), client + kit.NEW_BUILD_MARK, 0o755)
    if rng.random() < 0.15:
        write(os.path.join(download, "unlisted.bmp"), b"nobody lists me")
    if rng.random() > 0.04:
        write(os.path.join(download, kit.MANIFEST_NAME), gen.manifest(names or [b"a.bmp"]))
    if hazards is not None:
        add_hazards(app, hazards)
    return app


def add_hazards(app, rng):
    """Blocked scratch paths and read-only files and directories; everything
    else open to an ordinary user, as an installation an ordinary user updates."""
    for directory, _, files in os.walk(app):
        os.chmod(directory, 0o777)
        for name in files:
            path = os.path.join(directory, name)
            if not os.path.islink(path) and os.path.isfile(path):
                os.chmod(path, 0o777 if name == kit.CLIENT else 0o666)
    for group in ("skin", "logo", ""):
        directory = os.path.join(app, group)
        if not os.path.isdir(directory):
            continue
        if rng.random() < 0.06:
            os.mkdir(os.path.join(directory, kit.SCRATCH_NAME))
        for name in os.listdir(directory):
            path = os.path.join(directory, name)
            if os.path.isfile(path) and name != kit.CLIENT and rng.random() < 0.15:
                os.chmod(path, 0o444)
        if group and rng.random() < 0.1:
            os.chmod(directory, 0o555)


def write(path, data, mode=None):
    with open(path, "wb") as f:
        f.write(data)
    if mode is not None:
        os.chmod(path, mode)


# --- Running and comparing ---------------------------------------------------------------------

def snapshot(app):
    """Every file below app except the stand-in's own: relative path -> content."""
    files = {}
    for directory, _, names in os.walk(os.fsencode(app)):
        for name in names:
            full = os.path.join(directory, name)
            relative = os.path.relpath(full, os.fsencode(app))
            if relative.lower() in OWN_FILES or not os.path.isfile(full) or os.path.islink(full):
                continue  # a pipe would never end, a device never changes
            with open(full, "rb") as f:
                files[relative] = f.read()
    return files


def shown(name):
    """A name as relayhive-check shows it: printable ASCII as is, other bytes, backslashes and edge blanks as \\xNN."""
    stripped = name.strip(b" ")
    start = len(name) - len(name.lstrip(b" ")) if stripped else len(name)
    end = start + len(stripped)
    out = ""
    for i, b in enumerate(name):
        edge = b == 0x20 and (i < start or i >= end)
        out += chr(b) if 0x20 <= b < 0x7F and b != 0x5C and not edge else "\\x%02X" % b
    return out


TOO_LONG_FOR_THE_FILE_SYSTEM = "has a name longer than the file system holds (File name too long)"
SOURCE_ENDS = (" does not exist", TOO_LONG_FOR_THE_FILE_SYSTEM)
# What the check says of a copy relayhive fails at the source, the destination or the scratch file.
BLOCKED = ("is not a regular file", "is a directory", "is a directory relayhive cannot replace", "may not write",
           "stands where relayhive makes its scratch file", "may not create files in")
GROUP_ENTRY = {"skin": "[cltskin] filelist", "logo": "[cltlogo] filelist", "main": "[cltmain] mainfile"}


SHARE = 6
DEEP_LINK, DEEP_PART, DEEP_PARTS = "app", "d" * 250, 9


def make_deep_app(root):
    """root/app: a link, through a second one, to a directory whose whole path is
    longer than PATH_MAX (4096 bytes). No path that long can be opened, nor a
    link hold it, so each directory is made from the one before (by descriptor)
    and each link spans half the chain."""
    at = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    half = "/".join([DEEP_PART] * DEEP_PARTS)
    os.symlink(half + "/" + DEEP_LINK, DEEP_LINK, dir_fd=at)
    for link in (True, False):
        for _ in range(DEEP_PARTS):
            os.mkdir(DEEP_PART, 0o755, dir_fd=at)
            below = os.open(DEEP_PART, os.O_RDONLY | os.O_DIRECTORY, dir_fd=at)
            os.fchmod(below, 0o755)  # whatever the umask: an ordinary user's run passes through
            os.close(at)
            at = below
        if link:
            os.symlink(half + "/" + DEEP_LINK, DEEP_LINK, dir_fd=at)
    os.mkdir(DEEP_LINK, 0o755, dir_fd=at)
    os.close(at)


class Case:
    def __init__(self, number, seed, args, where):
        self.number = number
        self.seed = seed
        self.args = args
        self.windows = args.target == "wine"
        # Every SHARE-th installation (each with --new-only) is of a kind the others
        # are not: under Wine, names in a code page of CODE_PAGES in turn; natively, one past PATH_MAX.
        new_kind = args.new_only or number % SHARE == SHARE - 1
        self.code_page = sorted(CODE_PAGES)[(number // SHARE) % len(CODE_PAGES)] if self.windows and new_kind else None
        self.deep = not self.windows and new_kind
        target = "wine-%d" % self.code_page if self.code_page else args.target
        self.rules = Rules(target)
        # For paths the host lists: its own spelling.
        self.host_rules = Rules("wine-utf8" if self.code_page else args.target)
        self.root = tempfile.mkdtemp(prefix="relayhive-diff-", dir=where)
        hazards = None if self.windows else random.Random(seed ^ 0x5EED)
        # A quarter of the native runs are an ordinary user's, when this script may drop to one.
        self.unprivileged = hazards is not None and hazards.random() < 0.25 and may_drop_privileges()
        if self.unprivileged:
            os.chmod(where, 0o755)
            os.chmod(self.root, 0o755)
        if self.deep:
            make_deep_app(self.root)
        self.app = lay_out(self.root, random.Random(seed), target, args.standin, hazards)
        self.problems = []
        self.skipped = False
        self.agreed = 0  # facts that held; each that did not is a problem
        self.seen = collections.Counter()  # what the case exercised, for the summary

    def relative(self, path, working_directory):
        return path[len(working_directory) + 1:]

    def predict(self, check):
        """From the check's plan and this script's own file facts: the destinations
        replaced in order, their final contents, the standard error lines, and the
        names of the steps the check must call missing."""
        wd = check["working_directory"].encode("latin-1")
        replaced, contents, errors = [], {}, []
        missing, no_directory, blocked, unopenable = set(), set(), set(), set()
        for step in check["plan"]:
            field = {k: v.encode("latin-1") if isinstance(v, str) else v for k, v in step.items()}
            kind = step["kind"]
            self.seen[kind] += 1
            if kind == "refuse":
                errors.append(field["reported"] + b": refused: " + field["reason"])
            elif kind == "too_long":
                errors.append(field["reported"] + b": File name too long")
            elif kind == "copy":
                source_rel = self.relative(field["source"], wd)
                destination_rel = self.relative(field["destination"], wd)
                source = self.rules.resolve(self.app, source_rel)
                directory = os.path.dirname(self.rules.resolve(self.app, destination_rel))
                entry = "the manifest, but " if step["group"] == "manifest" else \
                    "%s names '%s', but " % (GROUP_ENTRY.get(step["group"], ""), shown(field["name"]))
                destination = self.rules.resolve(self.app, destination_rel)
                scratch = os.path.join(directory, kit.SCRATCH_NAME.encode())
                if self.windows and (any(c in '<>"|?*' for c in self.rules.characters(field["name"]))
                                     or self.rules.cut(field["name"])):
                    errors.append(field["source"] + b": Invalid argument")
                    unopenable.add(entry)
                elif not self.windows and any(len(p) > 255 for p in self.rules.components(source_rel)):
                    errors.append(field["source"] + b": File name too long")
                    missing.add(entry + "download/%s %s" % (shown(field["name"]), TOO_LONG_FOR_THE_FILE_SYSTEM))
                elif os.path.exists(source) and not os.path.isfile(source):
                    directory_there = os.path.isdir(source)
                    errors.append(field["source"] + (b": Is a directory" if directory_there else b": not a regular file"))
                    blocked.add(entry + ("is a directory" if directory_there else "is not a regular file"))
                elif not os.path.isfile(source):
                    errors.append(field["source"] + b": No such file or directory")
                    missing.add(entry + "download/%s does not exist" % shown(field["name"]))
                elif not os.path.isdir(directory):
                    errors.append(field["destination"] + b": No such file or directory")
                    no_directory.add(entry + "the directory")
                elif os.path.isdir(destination):
                    errors.append(field["destination"] + (b": Permission denied" if self.windows else b": Is a directory"))
                    blocked.add(entry + "is a directory relayhive cannot replace")
                elif os.path.isfile(destination) and not self.may_write(destination):
                    errors.append(field["destination"] + b": Permission denied")
                    blocked.add(entry + "may not write")
                elif os.path.isdir(scratch):
                    errors.append(field["destination"][:len(field["destination"]) - len(os.path.basename(destination_rel))]
                                  + kit.SCRATCH_NAME.encode() + b": Is a directory")
                    blocked.add(entry + "stands where relayhive makes its scratch file")
                elif not self.may_write(directory, 0o3):
                    errors.append(field["destination"][:len(field["destination"]) - len(os.path.basename(destination_rel))]
                                  + kit.SCRATCH_NAME.encode() + b": Permission denied")
                    blocked.add(entry + "may not create files in")
                else:
                    self.seen["copied"] += 1
                    key = self.rules.key(destination_rel)
                    replaced.append(key)
                    with open(source, "rb") as f:
                        contents[key] = f.read()
                if step["group"] == "manifest":
                    # The check says so as a finding about the manifest file itself.
                    missing.discard(entry + "download/autoupdate.ini does not exist")
        return replaced, contents, errors, missing, no_directory, blocked, unopenable

    def may_write(self, path, bits=0o2):
        """Whether the run's user may write path (a directory: make files in it)."""
        if not self.unprivileged:
            return True
        return os.stat(path).st_mode & bits == bits  # nobody: neither owner nor group

    def expect(self, what, expected, actual):
        self.agreed += expected == actual
        if expected != actual:
            self.problems.append("%s:\n  expected %r\n  actual   %r" % (what, expected, actual))

    def compare(self, check, check_status, result, before, moved, prediction):
        replaced, contents, errors, missing, no_directory, blocked, unopenable = prediction
        for line in errors:
            what = "refused" if b": refused: " in line else line.rsplit(b": ", 1)[1].decode()
            self.seen["stderr: " + what] += 1
        for finding in check["findings"]:
            self.seen[finding["severity"]] += 1
        self.expect("replaced, in order", replaced,
                    [self.host_rules.key(os.path.relpath(path, os.fsencode(self.app))) for path in moved])
        after = snapshot(self.app)
        changed = {self.host_rules.key(p) for p in set(before) | set(after) if before.get(p) != after.get(p)}
        self.expect("changed files", set(), changed - set(contents))
        final = {self.host_rules.key(p): data for p, data in after.items()}
        for key, data in contents.items():
            self.expect("content of " + repr(key), data, final.get(key))
        newline = b"\r\n" if self.windows else b"\n"
        self.expect("standard error", b"".join(line + newline for line in errors), result.stderr)

        messages = [f["message"] for f in check["findings"] if f["severity"] == "error"]
        stops = [m for m in messages if "(it prints \"Failing on char " in m]
        self.seen["loader stops"] += len(stops)
        failing = b""
        if stops:
            byte = stops[0].split("Failing on char ")[1].split('"')[0]
            failing = b"Failing on char " + byte.encode() + b"\n"
        working_directory = check["working_directory"].encode("latin-1")
        if self.deep:
            # Else the chain fell short, and the case would test nothing new.
            self.expect("the plan's start past PATH_MAX", b".", working_directory)
            # relayhive still prints the whole directory: it reads that one into a buffer that grows.
            working_directory = os.fsencode(os.path.realpath(self.app))
        stdout = kit.NOT_FOUND + failing + kit.WORK_DIR_PREFIX + working_directory + b"\n"
        self.expect("standard output", stdout.replace(b"\n", newline), result.stdout)

        said_missing = {m for m in messages if ", but download/" in m and m.endswith(SOURCE_ENDS)}
        self.expect("the check's missing files", missing, said_missing)
        said_no_directory = {m.split(", but the directory")[0] + ", but the directory" for m in messages
                             if ", but the directory" in m and m.endswith(" does not exist, so it cannot be copied")}
        self.expect("the check's missing directories", no_directory, said_no_directory)
        said_blocked = {m.split(", but ")[0] + ", but " + marker for m in messages for marker in BLOCKED
                        if ", but " in m and marker in m.split(", but ", 1)[1]
                        and not (marker == "is a directory" and "cannot replace" in m)}
        self.expect("the check's other failed copies", blocked, said_blocked)
        said_unopenable = {m.split(", but ")[0] + ", but " for m in messages if m.endswith(": relayhive cannot open it")}
        self.expect("the check's names relayhive cannot open", unopenable, said_unopenable)
        self.expect("the check's exit status", 1 if messages else 0, check_status)

    def compare_after(self, check, after, status, prediction):
        """--after: each copy the run made has landed, each it failed has not, for the reason the check gave."""
        _, contents, errors = prediction[:3]
        wd = check["working_directory"].encode("latin-1")
        said = {f["message"] for f in check["findings"] if f["severity"] == "error"}
        steps = [s for s in check["plan"] if s["kind"] != "pause"]
        self.expect("--after's steps", [(s["kind"], s["name"]) for s in steps],
                    [(s["kind"], s["name"]) for s in after["after"]])
        landed = 0
        for step in after["after"]:
            self.seen["after: " + step["state"]] += 1
            field = {k: v.encode("latin-1") if isinstance(v, str) else v for k, v in step.items()}
            key = self.rules.key(self.relative(field["destination"], wd)) if "destination" in step else None
            source = self.rules.resolve(self.app, self.relative(field["source"], wd))
            staged = open(source, "rb").read() if os.path.isfile(source) and not os.path.islink(source) else None
            lands = key in contents and contents[key] == staged
            landed += lands
            self.expect("--after on " + repr(field["name"]), "landed" if lands else "not landed",
                        "landed" if step["state"] == "landed" else "not landed")
            # The run's recorded failure, then the check's own error for it.
            because = step.get("because", "")
            foreseen = because in said or any(because.endswith("; " + m) for m in said)
            if not lands and step["state"] != "landed" and not foreseen:
                self.problems.append("--after on %r: because %r, not one of the check's errors"
                                     % (field["name"], because))
        self.expect("--after's exit status", 0 if landed == len(after["after"]) else 1, status)
        self.expect("--after's count", len(after["after"]) - landed, after["not_landed"])

    def parsed(self, what, result):
        """The JSON document of a check's run, or None with a problem."""
        try:
            return json.loads(result.stdout.decode("ascii"))
        except ValueError as e:
            self.problems.append("%s: %s; status %d, stderr %r" % (what, e, result.status, result.stderr))
            return None

    def describe(self):
        try:
            with open(os.path.join(self.app, kit.STAGING, kit.MANIFEST_NAME), "rb") as f:
                manifest = f.read()
        except FileNotFoundError:
            manifest = None
        return "case %d (seed %d) in %s\n  manifest %r\n  %s" % (
            self.number, self.seed, self.root, manifest, "\n  ".join(self.problems))


def available_locales():
    """The locales the C library has, as locale -a lists them, lower case (tools/test generates those of CODE_PAGES)."""
    try:
        listed = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    except OSError:
        return set()
    return set(listed.lower().split())


def has_locale(locales, name):
    return name.lower().replace("utf-8", "utf8").encode() in locales


class Runner:
    def __init__(self, args):
        self.args = args
        self.windows = args.target == "wine"
        self.isolate = not self.windows and kit.isolation_available()
        # Natively each run's traces stay in its own namespace: nothing to listen to.
        self.target = kit.target_from(args, listen=False)
        self.locales = available_locales()
        self.host_check = args.host_check if args.host_check and os.access(args.host_check, os.X_OK) else ""

    def run(self, program, arguments, cwd, isolate=False, env=None):
        # A command list runs its last word under the rest (setpriv): a wrapper, as valgrind is.
        wrap = program[:-1] if isinstance(program, list) else []
        program = program[-1] if isinstance(program, list) else program
        return self.target.run(program, arguments, cwd, isolate=isolate, wrap=wrap, env=env)

    def one(self, number, seed, where):
        case = Case(number, seed, self.args, where)
        if case.code_page and not has_locale(self.locales, CODE_PAGES[case.code_page][1]):
            case.skipped = True
            return case
        def as_user(program):
            return UNPRIVILEGED + [program] if case.unprivileged else program
        if case.unprivileged:
            case.seen["unprivileged"] += 1
        case.seen["code page %d" % case.code_page if case.code_page else "past PATH_MAX" if case.deep else "plain"] += 1
        # Wine reads names in the code page of its locale.
        locale = CODE_PAGES[case.code_page][1] if case.code_page else None
        env = {"LANG": locale, "LC_ALL": locale} if locale else None
        if case.code_page:
            options = ["--target", "windows", "--code-page", str(case.code_page)]
        elif self.windows:
            # Wine in its own locale reads names in a single-byte code page: no lead bytes, as in UTF-8.
            options = ["--code-page", "utf-8"]
        else:
            options = []
        checked = self.run(as_user(self.args.check), options + ["--json"], case.app, env=env)
        check = case.parsed("relayhive-check --json", checked)
        if check is None:
            return case
        self.host_agrees(case, options + ["--json"], checked, check)
        before = snapshot(case.app)
        prediction = case.predict(check)  # from the files before the run: it writes some of them
        watch = MoveWatch(case.app)
        try:
            result = self.run(as_user(self.args.relayhive), [], case.app, isolate=self.isolate, env=env)
            moved = watch.moved()
        finally:
            watch.close()
        case.compare(check, checked.status, result, before, moved, prediction)
        after = self.run(as_user(self.args.check), options + ["--after", "--json"], case.app, env=env)
        report = case.parsed("relayhive-check --after --json", after)
        if report is not None:
            case.compare_after(check, report, after.status, prediction)
            self.host_agrees(case, options + ["--after", "--json"], after, report)
        return case

    def host_agrees(self, case, options, wine_run, wine_report):
        """In each code page the Linux build's check, told the target, reports what the
        Windows build's does under Wine: it maps the names as Wine stores them."""
        if not (case.code_page and self.host_check):
            return
        result = kit.Run(self.host_check, options, case.app).finish()
        report = case.parsed("the Linux build's relayhive-check " + " ".join(options), result)
        if report is not None:
            what = "the Linux build's relayhive-check %s: " % " ".join(options)
            for part in sorted(wine_report):
                case.expect(what + part, wine_report[part], report.get(part))
            case.expect(what + "exit status", wine_run.status, result.status)

    def command_line_problems(self):
        """--help is exit status 0; bad usage is 2 with one line on standard error."""
        problems = []
        cwd = tempfile.gettempdir()
        helped = self.run(self.args.check, ["--help"], cwd)
        if helped.status != 0 or not helped.stdout.startswith(b"usage: relayhive-check"):
            problems.append("--help: %r" % helped)
        for arguments in (["--target", "macos"], ["--code-page"], ["--bogus"], ["a", "b"]):
            bad = self.run(self.args.check, arguments, cwd)
            if bad.status != 2 or bad.stdout or bad.stderr.count(b"\n") != 1 \
                    or not bad.stderr.startswith(b"relayhive-check: "):
                problems.append("%s: %r" % (" ".join(arguments), bad))
        if self.args.target == "native":
            # A report that cannot be written is status 3, never a clean 0; a closed pipe does not kill it.
            for stdout in ("/dev/full", None):
                if stdout:
                    sink = os.open(stdout, os.O_WRONLY)
                else:
                    # The reader has gone before the program starts, so before its first write.
                    reader, sink = os.pipe()
                    os.close(reader)
                try:
                    process = subprocess.Popen([self.args.check, "--help"], cwd=cwd, stderr=subprocess.PIPE,
                                               stdout=sink)
                finally:
                    os.close(sink)
                _, err = process.communicate(timeout=60)
                if process.returncode != 3 or not err.startswith(b"relayhive-check: cannot write the report: "):
                    problems.append("unwritable report (%s): %d %r" % (stdout or "closed pipe", process.returncode, err))
        return problems

    def close(self):
        self.target.close()


def main():
    parser = argparse.ArgumentParser()
    kit.add_program_options(parser)
    parser.add_argument("--check", required=True)
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=8, help="installations at once (native, isolated)")
    parser.add_argument("--keep", action="store_true", help="keep every installation, not just failed ones")
    parser.add_argument("--host-check", default="",
                        help="under Wine: the Linux build's relayhive-check, held to the Windows build's in each code page")
    parser.add_argument("--new-only", action="store_true",
                        help="every installation of the kind only every %d-th is (a code page, past PATH_MAX)" % SHARE)
    args = parser.parse_args()
    rules = lookup_problems()
    for problem in rules:
        print("lookup rules: " + problem)
    if rules:
        sys.exit(1)

    runner = Runner(args)
    jobs = args.jobs if runner.isolate else 1
    if not runner.windows and not runner.isolate:
        # Without namespaces of its own each run would stop every client on the machine.
        print("differential: needs root and unshare for isolated runs; skipped")
        sys.exit(SKIPPED)
    if args.host_check and not runner.host_check:
        print("differential: no Linux build's relayhive-check at %s: the code pages ask the Windows build's only"
              % args.host_check)
    usage = runner.command_line_problems()
    for problem in usage:
        print("command line: " + problem)
    where = tempfile.mkdtemp(prefix="relayhive-differential-")
    started = time.monotonic()
    failed = []
    passed = skipped = agreed = disagreed = 0
    seen = collections.Counter()
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            futures = [pool.submit(runner.one, n, args.seed * 1000003 + n, where) for n in range(args.count)]
            for future in futures:
                case = future.result()
                seen.update(case.seen)
                agreed += case.agreed
                disagreed += len(case.problems)
                if case.skipped:
                    skipped += 1
                    shutil.rmtree(case.root, ignore_errors=True)
                elif case.problems:
                    failed.append(case)
                else:
                    passed += 1
                    if not args.keep:
                        shutil.rmtree(case.root, ignore_errors=True)
    finally:
        runner.close()
    for case in failed[:5]:
        print(case.describe())
    if not failed and not args.keep:
        shutil.rmtree(where, ignore_errors=True)
    print("differential: %s build, seed %d, %d installations, %d at a time, %.0f s"
          % (args.target, args.seed, args.count, jobs, time.monotonic() - started))
    print("differential: exercised " + ", ".join("%s %d" % (k, v) for k, v in sorted(seen.items()) if v))
    print("differential: facts %d agreed, %d disagreed" % (agreed, disagreed))
    print("differential: %d passed, %d failed, %d skipped" % (passed, len(failed), skipped))
    if skipped:
        print("differential: the %d installations in a code page need its locale (%s; tools/test generates them);"
              " skipped" % (skipped, ", ".join(locale for _, locale in CODE_PAGES.values())))
    sys.exit(1 if failed or usage else SKIPPED if skipped else 0)


if __name__ == "__main__":
    main()
