#!/usr/bin/env python3
"""Counts the tests of a CTest JUnit report (ctest --output-junit FILE).

    ctest_counts.py FILE [GTEST_REPORTS]

Prints "PASSED FAILED SKIPPED" on standard output and the name of each test
that failed on standard error. A test CTest could not run (say its program is
missing) counts as failed; only a test that skipped itself (SKIP_RETURN_CODE,
SKIP_REGULAR_EXPRESSION) or is disabled counts as skipped.

A CTest test named gtest.NAME runs a GoogleTest program whole (the Windows
build, where each start under Wine is slow); it counts as the cases of the
report the program wrote, GTEST_REPORTS/gtest.NAME.xml, or once when it skipped
itself without one. A missing or unreadable report otherwise counts as one
failure, and so does a CTest failure that no case of the report shows (the
program crashed or hung after its cases). Called by tools/test,
which removes the old reports first."""

import os
import sys
import xml.etree.ElementTree as ET

GTEST_PREFIX = "gtest."


def outcome(case):
    """'passed', 'failed' or 'skipped' for one <testcase> of CTest's report."""
    status = case.get("status")
    if status == "run" and case.find("failure") is None:
        return "passed"
    if status == "disabled":
        return "skipped"
    skipped = case.find("skipped")
    if status == "notrun" and skipped is not None and skipped.get("message", "").startswith("SKIP_"):
        return "skipped"
    return "failed"


def gtest_outcome(case):
    """'passed', 'failed' or 'skipped' for one <testcase> of GoogleTest's report."""
    if case.find("failure") is not None or case.find("error") is not None:
        return "failed"
    if case.get("status") == "notrun" or case.get("result") in ("skipped", "suppressed"):
        return "skipped"
    return "passed" if case.get("result", "completed") == "completed" else "failed"


def gtest_cases(path):
    """[(name, outcome)] of one GoogleTest report, or None when it cannot be read."""
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return None
    return [("%s.%s" % (case.get("classname"), case.get("name")), gtest_outcome(case))
            for case in root.iter("testcase")]


def results(case, gtest_reports):
    """[(name, outcome)] that one CTest test counts as."""
    name, result = case.get("name"), outcome(case)
    if not name.startswith(GTEST_PREFIX):
        return [(name, result)]
    cases = gtest_cases(os.path.join(gtest_reports or "", name + ".xml")) if gtest_reports else None
    if cases is None and result == "skipped":  # never started (Wine cannot run here): no cases to count
        return [(name, result)]
    if cases is None:
        return [(name + " (no GoogleTest report)", "failed")]
    if result == "failed" and all(outcome != "failed" for _, outcome in cases):
        cases.append((name, "failed"))
    return cases


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: ctest_counts.py FILE [GTEST_REPORTS]")
    try:
        tests = list(ET.parse(sys.argv[1]).getroot().iter("testcase"))
    except (OSError, ET.ParseError) as error:
        sys.exit("ctest_counts: %s" % error)
    gtest_reports = sys.argv[2] if len(sys.argv) == 3 else None
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    for test in tests:
        for name, result in results(test, gtest_reports):
            counts[result] += 1
            if result == "failed":
                print("  failed: %s" % name, file=sys.stderr)
    print(counts["passed"], counts["failed"], counts["skipped"])


if __name__ == "__main__":
    main()
