#!/usr/bin/env python3
"""Lays out a sample Quillmon installation with a staged update, starts the
old client, runs relayhive there and shows what happened. Called by tools/demo."""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import harness  # noqa: E402

MANIFEST = (b"; staged by the demo\r\n[cltskin]\r\nfilelist=background.bmp,button.bmp\r\n"
            b"[cltlogo]\r\nfilelist=logo.png\r\n[cltmain]\r\nmainfile=Quillmon.exe\r\n")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def show_bytes(data):
    """Console bytes for a person: GBK decoded, CR LF shown as a line end."""
    return data.replace(b"\r\n", b"\n").decode("gbk", errors="backslashreplace")


def section(title):
    print("\n== %s" % title)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", choices=["native", "wine"], required=True)
    parser.add_argument("--relayhive", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--wineprefix", default="")
    args = parser.parse_args()
    target = harness.Target(args.target, args.relayhive, args.standin, args.standin, args.wineprefix)

    root = tempfile.mkdtemp(prefix="relayhive-demo-")
    app = os.path.join(root, "app")
    with open(args.standin, "rb") as f:
        old_client = f.read()
    new_client = old_client + b"\0Quillmon 2.0 (demo build)\0"
    write(os.path.join(app, "Quillmon.exe"), old_client)
    os.chmod(os.path.join(app, "Quillmon.exe"), 0o755)
    write(os.path.join(app, "skin", "background.bmp"), b"BM old background " * 40)
    write(os.path.join(app, "skin", "button.bmp"), b"BM old button " * 10)
    write(os.path.join(app, "logo", "logo.png"), b"\x89PNG old logo")
    write(os.path.join(app, "download", "background.bmp"), b"BM new background " * 400)
    write(os.path.join(app, "download", "button.bmp"), b"BM new button " * 90)
    write(os.path.join(app, "download", "logo.png"), b"\x89PNG new logo, larger " * 30)
    download_client = os.path.join(app, "download", "Quillmon.exe")
    write(download_client, new_client)
    os.chmod(download_client, 0o755)
    write(os.path.join(app, "download", "autoupdate.ini"), MANIFEST)
    write(os.path.join(app, "quillmon.cfg"), b"stay=1\n")

    print("relayhive demo, %s: %s" % ("Windows build under Wine" if target.windows else "Linux build",
                                            args.relayhive))
    print("installation: %s" % app)
    section("staged manifest download/autoupdate.ini")
    print(MANIFEST.decode().replace("\r\n", "\n"), end="")

    before = harness.tree(app)
    client = target.start_client(app)
    if not harness.wait_for(lambda: os.path.exists(os.path.join(app, "quillmon.log"))):
        print("the old client did not start", file=sys.stderr)
        return 1
    # The relaunched client reads this: it runs, logs and exits.
    write(os.path.join(app, "quillmon.cfg"), b"exit=0\n")
    print("\nold client running: ./Quillmon.exe (process %d)" % client.pid)

    result = target.run_relayhive(app)
    old_status = client.wait(timeout=30)
    print("relayhive exited with status %d; the old client was stopped (its status: %d)" % (
        result.status, old_status))

    section("relayhive standard output")
    print(show_bytes(result.stdout), end="")
    section("relayhive standard error")
    print(show_bytes(result.stderr) or "(nothing)\n", end="")
    section("traces (%s)" % ("WINEDEBUG=+debugstr" if target.windows else "socket relayhive.debug"))
    for trace in result.traces:
        print("  " + show_bytes(trace).rstrip("\n").replace("\n", "\\n"))

    after = harness.tree(app)
    section("files, before -> after (size, sha256)")
    for name in sorted(set(before) | set(after)):
        if name.startswith("download" + os.sep) or name.startswith("quillmon."):
            continue
        old = "%7d %s" % before[name] if name in before else "%15s" % "-"
        new = "%7d %s" % after[name] if name in after else "-"
        mark = "  (unchanged)" if before.get(name) == after.get(name) else ""
        print("  %-20s %s -> %s%s" % (name, old, new, mark))

    section("the client's own log (quillmon.log)")
    with open(os.path.join(app, "quillmon.log"), "rb") as f:
        print(f.read().decode("latin-1"), end="")
    exit_lines = [t for t in result.traces if t.startswith(b"exit code:")]
    new_hash = harness.fnv1a64(new_client)
    print("relaunched client: %s, exit code %s" % (
        "the new build" if ("image " + new_hash).encode() in open(os.path.join(app, "quillmon.log"), "rb").read()
        else "NOT the new build",
        exit_lines[-1][len(b"exit code:"):].decode() if exit_lines else "unknown"))

    target.close()
    print("\nnothing left running; scratch directory: %s" % root)
    return 0


if __name__ == "__main__":
    sys.exit(main())
