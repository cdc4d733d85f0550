"""Power-cut tests: the session's counts and what was not run.

Every test that could not run (no FUSE on this kernel) is skipped with the
reason and added to $STASHWELL_NOT_RUN_LIST, which the test command names in
its summary. Each exploration adds a line of counts to the `counts` fixture's list,
printed at the end of the session.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from not_run import name_not_run, skipped_tests  # noqa: E402

COUNTS = []


@pytest.fixture(scope="session")
def counts():
    return COUNTS


def pytest_terminal_summary(terminalreporter):
    if COUNTS:
        terminalreporter.section("power cuts explored", sep="=")
        for line in COUNTS:
            terminalreporter.write_line(line)
    name_not_run(terminalreporter, skipped_tests(terminalreporter))
