#!/usr/bin/env python3
"""Checks a Windows program's version resource against the project's version:
the file and product versions of its VS_FIXEDFILEINFO (major, minor, patch, 0)
and its ProductVersion string; with --run, also the line the program prints
for --version, run through the given command (the build's Wine runner),
unless the runner says it cannot run programs on this machine.

    version_resource.py --expect VERSION EXE [--run COMMAND...]

Exit status 0 when all agree, 1 otherwise, 2 when the check could not run.
"""

import argparse
import os
import struct
import subprocess
import sys

FIXED_SIGNATURE = struct.pack("<I", 0xFEEF04BD)
PRODUCT_VERSION_KEY = "ProductVersion".encode("utf-16-le")
# The runner's status when it cannot run programs here (Wine without 32-bit support): the resource is still checked.
RUNNER_CANNOT_RUN = 77


def fixed_versions(image):
    """(file version, product version) of the one VS_FIXEDFILEINFO, as dotted text."""
    at = image.find(FIXED_SIGNATURE)
    if at < 0 or image.find(FIXED_SIGNATURE, at + 1) >= 0:
        return None
    _, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", image, at)
    dotted = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return dotted(file_ms, file_ls), dotted(product_ms, product_ls)


def product_version_string(image):
    """The StringFileInfo value: its UTF-16 key, NULs up to 32-bit alignment, the value, a NUL."""
    at = image.find(PRODUCT_VERSION_KEY)
    if at < 0:
        return "(none)"
    at += len(PRODUCT_VERSION_KEY)
    while image[at:at + 2] == b"\0\0":
        at += 2
    end = at
    while image[end:end + 2] not in (b"\0\0", b""):
        end += 2
    return image[at:end].decode("utf-16-le")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--expect", required=True)
    parser.add_argument("exe")
    parser.add_argument("--run", nargs=argparse.REMAINDER, default=[])
    args = parser.parse_args()
    program = os.path.basename(args.exe)
    with open(args.exe, "rb") as f:
        image = f.read()
    fixed = fixed_versions(image)
    if fixed is None:
        print(f"{program}: no single VS_FIXEDFILEINFO in the image", file=sys.stderr)
        return 2
    found = {"FILEVERSION": fixed[0], "PRODUCTVERSION": fixed[1]}
    found["ProductVersion string"] = product_version_string(image)
    expected = {"FILEVERSION": args.expect + ".0", "PRODUCTVERSION": args.expect + ".0",
                "ProductVersion string": args.expect}
    if args.run:
        name = os.path.splitext(program)[0]
        done = subprocess.run(args.run + [args.exe, "--version"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        if done.returncode == RUNNER_CANNOT_RUN and not done.stdout:
            print(f"{program}: --version not checked: {done.stderr.decode(errors='replace').strip()}")
        else:
            found["--version"] = "exit %d: %r" % (done.returncode, done.stdout)
            expected["--version"] = "exit 0: %r" % (f"{name} {args.expect}\r\n".encode())
    wrong = [f"{what}: {found[what]}, not {expected[what]}" for what in expected if found[what] != expected[what]]
    for line in wrong:
        print(f"{program}: {line}")
    if not wrong:
        print(f"{program}: version {args.expect} in " + ", ".join(expected))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
