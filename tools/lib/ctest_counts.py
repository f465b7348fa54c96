#!/usr/bin/env python3
"""Counts the tests of a CTest JUnit report (ctest --output-junit FILE).

    ctest_counts.py FILE

Prints "PASSED FAILED SKIPPED" on standard output and the name of each test
that failed on standard error. A test CTest could not run (say its program is
missing) counts as failed; only a test that skipped itself (SKIP_RETURN_CODE,
SKIP_REGULAR_EXPRESSION) or is disabled counts as skipped. Called by tools/test."""

import sys
import xml.etree.ElementTree as ET


def outcome(case):
    """'passed', 'failed' or 'skipped' for one <testcase>."""
    status = case.get("status")
    if status == "run" and case.find("failure") is None:
        return "passed"
    if status == "disabled":
        return "skipped"
    skipped = case.find("skipped")
    if status == "notrun" and skipped is not None and skipped.get("message", "").startswith("SKIP_"):
        return "skipped"
    return "failed"


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: ctest_counts.py FILE")
    try:
        cases = list(ET.parse(sys.argv[1]).getroot().iter("testcase"))
    except (OSError, ET.ParseError) as error:
        sys.exit("ctest_counts: %s" % error)
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    for case in cases:
        result = outcome(case)
        counts[result] += 1
        if result == "failed":
            print("  failed: %s" % case.get("name"), file=sys.stderr)
    print(counts["passed"], counts["failed"], counts["skipped"])


if __name__ == "__main__":
    main()
