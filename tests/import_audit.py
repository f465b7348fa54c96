#!/usr/bin/env python3
"""Checks that a Windows program can be loaded by Windows XP SP3: every name it
imports is in the project's own list (ALLOWED: dll, name and the oldest Windows
that has it) with Windows XP or older, every DLL it imports is one of the five
system DLLs, its PE header asks for subsystem 5.1 or lower, and, where the full
XP export lists (<dll>.txt) are in DIR, every imported name is in its DLL's list.

    import_audit.py --allowed ALLOWED --lists DIR [--objdump PROGRAM] EXE

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
# The oldest-Windows values of the project's list that XP SP3 satisfies.
XP_OR_OLDER = ("Windows 2000 Professional", "Windows XP", "C runtime")

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


def read_allowed(path):
    """The project's own list: {(dll, name): oldest Windows}."""
    allowed = {}
    try:
        with open(path, encoding="ascii") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise AuditError(f"cannot read the list of allowed imports {path}: {e.strerror}")
    for number, line in enumerate(lines, 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split(None, 2)
        if len(fields) != 3:
            raise AuditError(f"{path}:{number}: not 'dll name oldest-windows'")
        allowed[(fields[0], fields[1])] = fields[2]
    if not allowed:
        raise AuditError(f"the list of allowed imports {path} is empty")
    return allowed


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


def offences(subsystem, imports, allowed, allowed_name, lists, later):
    """lists is None where the XP export lists are not at hand."""
    found = []
    if subsystem > XP_SUBSYSTEM:
        found.append("subsystem version %d.%d: above %d.%d" % (subsystem + XP_SUBSYSTEM))
    for dll, name in imports:
        offender = f"{dll}!{name}"
        oldest = allowed.get((dll, name))
        if dll not in XP_DLLS:
            found.append(f"{offender}: {dll}.dll is not one of {', '.join(XP_DLLS)}")
        elif name.startswith("#"):
            found.append(f"{offender}: imported by ordinal, which the export lists cannot vouch for")
        elif oldest is None:
            found.append(f"{offender}: not in {allowed_name}; add it with the oldest Windows "
                         f"Microsoft documents for it")
        elif oldest not in XP_OR_OLDER:
            found.append(f"{offender}: needs {oldest}")
        elif lists is not None and name not in lists[dll]:
            note = " (Server 2003 has it)" if name in later[dll] else ""
            found.append(f"{offender}: not exported by {dll}.dll on Windows XP SP3{note}")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--allowed", required=True, help="the project's list of allowed imports")
    parser.add_argument("--lists", required=True,
                        help="directory of the XP export lists (<dll>.txt), checked where it exists")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("exe")
    args = parser.parse_args()
    program = os.path.basename(args.exe)
    try:
        allowed = read_allowed(args.allowed)
        lists, later = load_lists(args.lists) if os.path.isdir(args.lists) else (None, None)
        subsystem, imports = parse(run_objdump(args.objdump, args.exe))
    except AuditError as e:
        print(f"{program}: import audit could not run: {e}", file=sys.stderr)
        return 2
    found = offences(subsystem, imports, allowed, args.allowed, lists, later)
    if found:
        print(f"{program}: {len(found)} problem(s) would stop Windows XP SP3 from loading it:")
        for line in found:
            print(f"  {line}")
        return 1
    per_dll = {}
    for dll, _ in imports:
        per_dll[dll] = per_dll.get(dll, 0) + 1
    counts = ", ".join(f"{dll} {n}" for dll, n in sorted(per_dll.items()))
    checked = ("in the project's list and exported by Windows XP SP3" if lists is not None else
               f"in the project's list (checked against the project's own list only: no Windows XP "
               f"export lists at {args.lists})")
    print(f"{program}: {len(imports)} imports from {len(per_dll)} DLLs ({counts}), all {checked}; "
          f"subsystem version {subsystem[0]}.{subsystem[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
