#!/usr/bin/env python3
"""Lays out a sample Quillmon installation with a staged update, starts the
old client, runs relayhive there and shows what happened. Called by tools/demo."""

import argparse
import os
import sys

import relayhive_kit as kit


def section(title):
    print("\n== %s" % title)


def main():
    parser = argparse.ArgumentParser()
    kit.add_program_options(parser)
    args = parser.parse_args()
    target = kit.target_from(args)

    install = kit.Install(args.standin, "relayhive-demo-")
    app = install.app
    manifest = install.stage_update(kit.EXAMPLE_FILES, manifest_text=kit.manifest(
        ["background.bmp", "button.bmp"], ["logo.png"], kit.CLIENT, comment="staged by the demo"))
    install.configure_client("stay=1\n")

    print("relayhive demo, %s: %s" % ("Windows build under Wine" if target.windows else "Linux build",
                                            args.relayhive))
    print("installation: %s" % app)
    section("staged manifest %s/%s" % (kit.STAGING, kit.MANIFEST_NAME))
    print(manifest.decode().replace("\r\n", "\n"), end="")

    before = kit.tree(app)
    client = target.start_client(app)
    if not kit.wait_for(install.client_log):
        print("the old client did not start", file=sys.stderr)
        return 1
    # The relaunched client reads this: it runs, logs and exits.
    install.configure_client("exit=0\n")
    print("\nold client running: ./%s (process %d)" % (kit.CLIENT, client.pid))

    result = target.run_relayhive(app)
    old_status = client.wait(timeout=30)
    print("relayhive exited with status %d; the old client was stopped (its status: %d)" % (
        result.status, old_status))

    section("relayhive standard output")
    print(kit.show_bytes(result.stdout), end="")
    section("relayhive standard error")
    print(kit.show_bytes(result.stderr) or "(nothing)\n", end="")
    section("traces (%s)" % ("WINEDEBUG=+debugstr" if target.windows else "socket " + kit.TRACE_SOCKET_NAME))
    for trace in result.traces:
        print("  " + kit.show_bytes(trace).rstrip("\n").replace("\n", "\\n"))

    after = kit.tree(app)
    section("files, before -> after (size, sha256)")
    for name in sorted(set(before) | set(after)):
        if name.startswith(kit.STAGING + os.sep) or name in (kit.CLIENT_CONFIG, kit.CLIENT_LOG):
            continue
        old = "%7d %s" % before[name] if name in before else "%15s" % "-"
        new = "%7d %s" % after[name] if name in after else "-"
        mark = "  (unchanged)" if before.get(name) == after.get(name) else ""
        print("  %-20s %s -> %s%s" % (name, old, new, mark))

    section("the client's own log (%s)" % kit.CLIENT_LOG)
    log = install.client_log()
    print("".join(line + "\n" for line in log), end="")
    exit_lines = [t for t in result.traces if t.startswith(kit.EXIT_CODE_PREFIX)]
    new_build = any(line.endswith("image " + kit.fnv1a64(install.new_client)) for line in log)
    print("relaunched client: %s, exit code %s" % (
        "the new build" if new_build else "NOT the new build",
        exit_lines[-1][len(kit.EXIT_CODE_PREFIX):].decode() if exit_lines else "unknown"))

    target.close(stop_wine=True)
    print("\nnothing left running; scratch directory: %s" % install.root)
    return 0


if __name__ == "__main__":
    sys.exit(main())
