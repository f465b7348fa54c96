#!/usr/bin/env python3
"""Packs a staged release folder into an archive whose bytes depend only on the
files' contents, names and executable bits: names sorted, every time stamp the
given one (the commit's), owner 0, no gzip name or time.

    release_pack.py --mtime SECONDS (zip|tar.gz) FOLDER ARCHIVE

The archive holds FOLDER's files under a top folder of FOLDER's own name.
"""

import argparse
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def staged_files(folder):
    """Every file under folder as a sorted list of '/'-separated relative names."""
    names = []
    for root, dirs, files in os.walk(folder):
        for name in files:
            names.append(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    return sorted(names)


def mode_of(path):
    return 0o755 if os.stat(path).st_mode & 0o100 else 0o644


def write_tar_gz(folder, archive, mtime):
    top = os.path.basename(os.path.normpath(folder))
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w", format=tarfile.PAX_FORMAT) as tar:
        directories = sorted({"/".join(n.split("/")[:i]) for n in staged_files(folder)
                              for i in range(1, n.count("/") + 1)})
        entries = [(d, True) for d in [""] + directories] + [(n, False) for n in staged_files(folder)]
        for name, is_dir in sorted(entries):
            info = tarfile.TarInfo(top + ("/" + name if name else ""))
            info.mtime, info.uid, info.gid, info.uname, info.gname = mtime, 0, 0, "", ""
            if is_dir:
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                tar.addfile(info)
                continue
            path = os.path.join(folder, name)
            info.size, info.mode = os.path.getsize(path), mode_of(path)
            with open(path, "rb") as f:
                tar.addfile(info, f)
    with open(archive, "wb") as out:
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0, compresslevel=9) as z:
            z.write(data.getvalue())


def write_zip(folder, archive, mtime):
    top = os.path.basename(os.path.normpath(folder))
    stamp = time.gmtime(max(mtime, 315532800))[:6]  # zip times start in 1980
    stamp = stamp[:5] + (stamp[5] - stamp[5] % 2,)  # and go in steps of 2 seconds
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for name in staged_files(folder):
            info = zipfile.ZipInfo(top + "/" + name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the mode below is read
            path = os.path.join(folder, name)
            info.external_attr = (0o100000 | mode_of(path)) << 16
            with open(path, "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mtime", type=int, required=True)
    parser.add_argument("kind", choices=("zip", "tar.gz"))
    parser.add_argument("folder")
    parser.add_argument("archive")
    args = parser.parse_args()
    if not staged_files(args.folder):
        print(f"release_pack: nothing staged in {args.folder}", file=sys.stderr)
        return 1
    (write_zip if args.kind == "zip" else write_tar_gz)(args.folder, args.archive, args.mtime)
    return 0


if __name__ == "__main__":
    sys.exit(main())
