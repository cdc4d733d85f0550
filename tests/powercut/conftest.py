"""Power-cut tests: the session's counts and what was not run.

Every test that could not run (no FUSE on this kernel) is skipped with the
reason and added to $STASHWELL_NOT_RUN_LIST, which the test command names in
its summary. Each exploration adds a line of counts to the `counts` fixture's list,
printed at the end of the session.
"""

import os

import pytest

COUNTS = []


@pytest.fixture(scope="session")
def counts():
    return COUNTS


def pytest_terminal_summary(terminalreporter):
    if COUNTS:
        terminalreporter.section("power cuts explored", sep="=")
        for line in COUNTS:
            terminalreporter.write_line(line)
    skipped = []
    for report in terminalreporter.stats.get("skipped", []):
        reason = report.longrepr
        if isinstance(reason, tuple):
            reason = reason[2]
        skipped.append((report.nodeid, str(reason).removeprefix("Skipped: ")))
    if skipped:
        terminalreporter.section(f"NOT RUN: {len(skipped)} tests", sep="!")
        for nodeid, reason in skipped:
            terminalreporter.write_line(f"{nodeid}: {reason}")
    listing = os.environ.get("STASHWELL_NOT_RUN_LIST")
    if listing:
        with open(listing, "a", encoding="utf-8") as out:
            for nodeid, reason in skipped:
                out.write(f"{nodeid}: {reason}\n")
