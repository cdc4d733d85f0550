"""What a pytest session could not run, named: in its own summary and in
$STASHWELL_NOT_RUN_LIST, which the test command repeats in its summary. A
green run must show what was not tried."""

import os


def skipped_tests(terminalreporter):
    """[(test id, reason)] of every skipped test of the session."""
    skipped = []
    for report in terminalreporter.stats.get("skipped", []):
        reason = report.longrepr
        if isinstance(reason, tuple):
            reason = reason[2]
        skipped.append((report.nodeid, str(reason).removeprefix("Skipped: ")))
    return skipped


def name_not_run(terminalreporter, skipped):
    """Names each skipped test in the summary and in the test command's
    list."""
    if skipped:
        terminalreporter.section(f"NOT RUN: {len(skipped)} tests", sep="!")
        for nodeid, reason in skipped:
            terminalreporter.write_line(f"{nodeid}: {reason}")
    listing = os.environ.get("STASHWELL_NOT_RUN_LIST")
    if listing:
        with open(listing, "a", encoding="utf-8") as out:
            for nodeid, reason in skipped:
                out.write(f"{nodeid}: {reason}\n")
