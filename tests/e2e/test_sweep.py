"""The sweep of stale "eud*.log" and "eud*.tmp" files at the start of a
run, natively and under wine64, with real files and set file times.

The clock cannot be held still here, so the ages keep a margin from the
one-day limit where the limit itself is not the point; the exact limit is
covered by the unit tests.
"""

import os
import pathlib
import subprocess
import time

import pytest

from conftest import WINE_RUN, WINE_RUN_LIMIT, windows_only

DAY = 86400
HOUR = 3600


def listing(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir())


def log_after_first_line(log):
    data = pathlib.Path(log).read_bytes()
    first, end, rest = data.partition(b"\r\n")
    assert end and first, data
    return rest.decode("cp1252")


class Folder:
    def __init__(self, prog, root):
        self.prog = prog
        self.mail = root / "mail"
        self.saved = root / "saved"
        self.mail.mkdir()
        self.saved.mkdir()
        self.message = self.mail / "msg.txt"
        self.now = time.time()

    def file(self, name, age, data=b"x"):
        """A file in the message folder, last written age seconds ago (a
        negative age lies in the future)."""
        path = self.mail / name
        path.write_bytes(data)
        self.stamp(path, age)
        return path

    def stamp(self, path, age):
        when = self.now - age
        os.utime(path, (when, when))

    def attrib(self, path, flag=None):
        """Sets an attribute with wine's attrib; returns the letters shown
        before the path afterwards."""
        # wine's own 64-bit attrib runs wherever wine64 does, also before
        # a run of a program that cannot run here.
        self.prog.session.ensure_wine()
        command = [str(WINE_RUN), "attrib"]
        if flag:
            subprocess.run(command + [flag, self.prog.arg(path)],
                           env=self.prog.session.wine_env(), check=True,
                           stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, timeout=WINE_RUN_LIMIT)
        shown = subprocess.run(command + [self.prog.arg(path)],
                               env=self.prog.session.wine_env(), check=True,
                               stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE,
                               timeout=WINE_RUN_LIMIT)
        return shown.stdout.decode("cp1252").split("Z:")[0]

    def run(self, message=None):
        if message is None:
            self.message.write_bytes(b"Subject: nothing to do\r\n")
            message = self.message
        return self.prog.run(self.prog.arg(message), self.prog.arg(self.saved))


@pytest.fixture
def folder(prog, tmp_path):
    return Folder(prog, tmp_path)


def test_ages_around_one_day_in_both_directions(folder):
    folder.file("eud1.log", DAY - 60)       # just under a day: stays
    folder.file("eud2.log", DAY + 2)        # a day and 2 seconds: goes
    folder.file("eud3.tmp", -(DAY + HOUR))  # over a day ahead: goes
    folder.file("eud4.tmp", HOUR)           # an hour old: stays
    folder.file("eud5.tmp", -HOUR)          # an hour ahead: stays
    folder.file("EUD6.LOG", 3 * DAY)        # any letter case: goes
    folder.file("other.log", 3 * DAY)       # no match: stays
    folder.file("eud7.txt", 3 * DAY)        # no match: stays
    result = folder.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    # The run found nothing to do: its log went too, and the message.
    assert listing(folder.mail) == ["eud1.log", "eud4.tmp", "eud5.tmp",
                                    "eud7.txt", "other.log"]


def test_both_masks_in_one_run(folder):
    for name in ("eud1.log", "eud2.tmp", "eud3.log", "eud4.tmp"):
        folder.file(name, 2 * DAY)
    result = folder.run()
    assert result.dialogs == []
    assert listing(folder.mail) == []


def test_folder_named_like_a_mask_is_never_touched(folder):
    inner = folder.mail / "eud1.log"
    inner.mkdir()
    (inner / "inside.txt").write_bytes(b"keep")
    folder.stamp(inner / "inside.txt", 10 * DAY)
    folder.stamp(inner, 10 * DAY)
    folder.run()
    assert listing(folder.mail) == ["eud1.log"]
    assert listing(inner) == ["inside.txt"]


def test_stale_read_only_file_stays_without_a_message(folder):
    locked = folder.file("eud1.tmp", 2 * DAY)
    locked.chmod(0o444)
    folder.file("eud2.tmp", 2 * DAY)
    result = folder.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert listing(folder.mail) == ["eud1.tmp"]
    locked.chmod(0o644)


def test_file_from_1970_is_removed_and_the_run_goes_on(folder):
    old = folder.file("eud1.log", 0)
    os.utime(old, (DAY + 12 * HOUR, DAY + 12 * HOUR))  # 2 January 1970
    folder.file("eud2.tmp", 2 * DAY)
    folder.file("eud3.tmp", HOUR)
    result = folder.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert listing(folder.mail) == ["eud3.tmp"]


def test_stale_message_named_like_a_mask_is_removed_before_the_scan(folder):
    message = folder.file("eud9.tmp", 2 * DAY,
                          b"Subject: s\r\nAttachment Converted: x\r\n")
    # An earlier log of the same message, stale as well.
    folder.file("eud9.log", 2 * DAY, b"old log\r\n")
    result = folder.run(message)
    assert result.exit_code == 0
    assert [d.caption for d in result.dialogs] == ["Stashwel"]
    assert listing(folder.mail) == ["eud9.log"]
    assert log_after_first_line(folder.mail / "eud9.log") == (
        f"Eudora Message File <{folder.prog.arg(message)}> does not exist\r\n")


@windows_only
def test_hidden_file_goes_and_system_file_stays(prog, folder):
    hidden = folder.file("eud1.log", 0)
    system = folder.file("eud2.log", 0)
    assert "H" in folder.attrib(hidden, "+h")
    assert "S" in folder.attrib(system, "+s")
    folder.stamp(hidden, 2 * DAY)
    folder.stamp(system, 2 * DAY)
    result = folder.run()
    assert result.dialogs == []
    assert listing(folder.mail) == ["eud2.log"]


def test_a_message_without_a_folder_part_sweeps_the_current_folder(folder):
    # A message path with no folder is in the current folder: the sweep
    # looks there, and never in the root of the drive (natively "/").
    folder.file("eud1.log", 2 * DAY)
    folder.file("eud2.tmp", HOUR)
    folder.message.write_bytes(b"Subject: nothing to do\r\n")
    in_root = pathlib.Path("/") / f"eud-stashwell-{os.getpid()}.tmp"
    in_root.write_bytes(b"not the message's folder")
    try:
        os.utime(in_root, (folder.now - 2 * DAY, folder.now - 2 * DAY))
        result = folder.prog.run("msg.txt", folder.prog.arg(folder.saved),
                                 cwd=folder.mail)
        assert in_root.read_bytes() == b"not the message's folder"
    finally:
        in_root.unlink(missing_ok=True)
    assert result.exit_code == 0, result
    assert result.dialogs == []
    assert listing(folder.mail) == ["eud2.tmp"]
