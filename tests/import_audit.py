#!/usr/bin/env python3
"""Checks that a Windows program can be loaded by Windows XP SP3: every DLL it
imports is one of the five system DLLs whose XP export lists (<dll>.txt) are in
DIR, every imported name is in its DLL's list, and its PE header asks for
subsystem 5.1 or lower.

    import_audit.py --lists DIR [--objdump PROGRAM] EXE

Each offender is printed as dll!name (dll!#N for an import by ordinal);
exit status 0 when there is none, 1 otherwise, 2 when the check could not run.
"""

import argparse
import os
import re
import subprocess
import sys

XP_DLLS = ("kernel32", "msvcrt", "user32", "advapi32", "ntdll")
XP_SUBSYSTEM = (5, 1)

DLL_LINE = re.compile(r"^\s*DLL Name:\s*(\S+)\s*$")
# "\t<thunk> <hint or ordinal> <name>"; an ordinal import has the high bit of the thunk set.
ENTRY_LINE = re.compile(r"^\s*([0-9A-Fa-f]+)\s+(\d+)\s+(\S+)")
SUBSYSTEM_LINE = re.compile(r"^(Major|Minor)SubsystemVersion\s+(\d+)\s*$")


class AuditError(Exception):
    """The check itself could not run: never a pass."""


def read_list(path):
    try:
        with open(path, encoding="ascii") as f:
            return {line.strip() for line in f if line.strip()}
    except OSError as e:
        raise AuditError(f"cannot read the Windows XP export list {path}: {e.strerror}")


def load_lists(directory):
    lists = {dll: read_list(os.path.join(directory, dll + ".txt")) for dll in XP_DLLS}
    for dll, names in lists.items():
        if not names:
            raise AuditError(f"the Windows XP export list {os.path.join(directory, dll + '.txt')} is empty")
    # Names that Server 2003 exports and XP lacks: only used to explain a refusal.
    later = {}
    for dll in XP_DLLS:
        path = os.path.join(directory, dll + ".2003-only.txt")
        later[dll] = read_list(path) if os.path.exists(path) else set()
    return lists, later


def run_objdump(objdump, exe):
    try:
        done = subprocess.run([objdump, "-p", exe], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, errors="replace")
    except OSError as e:
        raise AuditError(f"cannot run {objdump}: {e.strerror}")
    if done.returncode != 0:
        raise AuditError(f"{objdump} -p {exe} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


def parse(dump):
    """Returns ((major, minor) subsystem version, [(dll, name or #ordinal)])."""
    version = {}
    imports = []
    dll = None
    for line in dump.splitlines():
        match = SUBSYSTEM_LINE.match(line)
        if match:
            version[match.group(1)] = int(match.group(2))
            continue
        match = DLL_LINE.match(line)
        if match:
            dll = re.sub(r"\.dll$", "", match.group(1).lower())
            continue
        if dll is None:
            continue
        if not line.strip():
            dll = None
            continue
        match = ENTRY_LINE.match(line)
        if match:
            thunk, number, name = match.groups()
            by_ordinal = bool(int(thunk, 16) & 0x80000000) or name == "<none>"
            imports.append((dll, f"#{number}" if by_ordinal else name))
    if set(version) != {"Major", "Minor"}:
        raise AuditError("no subsystem version in the PE header: is this a PE image, and objdump the MinGW one?")
    if not imports:
        raise AuditError("no imports read from the import table: objdump's output was not understood")
    return (version["Major"], version["Minor"]), imports


def offences(subsystem, imports, lists, later):
    found = []
    if subsystem > XP_SUBSYSTEM:
        found.append("subsystem version %d.%d: above %d.%d" % (subsystem + XP_SUBSYSTEM))
    for dll, name in imports:
        offender = f"{dll}!{name}"
        if dll not in lists:
            found.append(f"{offender}: {dll}.dll is not one of {', '.join(XP_DLLS)}")
        elif name.startswith("#"):
            found.append(f"{offender}: imported by ordinal, which the export lists cannot vouch for")
        elif name not in lists[dll]:
            note = " (Server 2003 has it)" if name in later[dll] else ""
            found.append(f"{offender}: not exported by {dll}.dll on Windows XP SP3{note}")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lists", required=True, help="directory of the XP export lists (<dll>.txt)")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("exe")
    args = parser.parse_args()
    program = os.path.basename(args.exe)
    try:
        lists, later = load_lists(args.lists)
        subsystem, imports = parse(run_objdump(args.objdump, args.exe))
    except AuditError as e:
        print(f"{program}: import audit could not run: {e}", file=sys.stderr)
        return 2
    found = offences(subsystem, imports, lists, later)
    if found:
        print(f"{program}: {len(found)} problem(s) would stop Windows XP SP3 from loading it:")
        for line in found:
            print(f"  {line}")
        return 1
    per_dll = {}
    for dll, _ in imports:
        per_dll[dll] = per_dll.get(dll, 0) + 1
    counts = ", ".join(f"{dll} {n}" for dll, n in sorted(per_dll.items()))
    print(f"{program}: {len(imports)} imports from {len(per_dll)} DLLs ({counts}), all exported by "
          f"Windows XP SP3; subsystem version {subsystem[0]}.{subsystem[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
