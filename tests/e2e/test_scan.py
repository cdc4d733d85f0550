"""Whole runs over message files, natively and under wine64.

Each test writes a message file with attachment lines, runs the program on
it and compares the whole log, after its date line, byte for byte, along
with the files left in the folders.
"""

import os
import pathlib
import socket
import subprocess

import pytest

from conftest import (NATIVE_PROGRAM, Dialog, held_open, small_disk,
                      windows_only)

QUESTION = Dialog("Stashwel", "Errors Reported. Open Log File?", [6, 7])
PREFIX = "Attachment Converted: "

# What only the POSIX build has (FIFOs, device nodes, address-space limits)
# is tested once, natively.
native_only = pytest.mark.parametrize("prog", ["native"], indirect=True)


def listing(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir())


def log_after_first_line(log):
    data = pathlib.Path(log).read_bytes()
    first, end, rest = data.partition(b"\r\n")
    assert end, f"log without a first line: {data!r}"
    assert first, "empty date line"
    return rest.decode("cp1252")


class Mail:
    """A message file in its own folder, attachments, and a destination."""

    def __init__(self, prog, root):
        self.prog = prog
        self.mail = root / "mail"
        self.attach = root / "attach"
        self.saved = root / "saved"
        for folder in (self.mail, self.attach, self.saved):
            folder.mkdir()
        self.message = self.mail / "eud1.tmp"
        self.log = self.mail / "eud1.log"

    def attachment(self, name, data=b"contents"):
        path = self.attach / name
        path.write_bytes(data)
        return path

    def path(self, path):
        """The path text as the program and the log spell it."""
        return self.prog.arg(path)

    def target(self, name):
        return self.path(self.saved) + self.prog.sep + name

    def write(self, text):
        data = text if isinstance(text, bytes) else text.encode("cp1252")
        self.message.write_bytes(data)

    def run(self, answer="no", destination=None):
        return self.prog.run(self.path(self.message),
                             self.path(destination or self.saved),
                             answer=answer)


@pytest.fixture
def mail(prog, tmp_path):
    return Mail(prog, tmp_path)


def echo(line):
    return "Attachment Line: " + line + "\r\n\r\n"


def test_empty_message_leaves_no_log_and_is_deleted(mail):
    mail.write("")
    result = mail.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert listing(mail.mail) == []


def test_message_without_attachment_lines_leaves_no_log(mail):
    mail.write("From: Ann <ann@example.com>\r\nTo: Bob <bob@example.com>\r\n"
               "Subject: no files\r\n\r\nAttachment converted: lower case\r\n"
               "Body text\r\n")
    result = mail.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert listing(mail.mail) == []


def test_the_whole_job_new_duplicate_and_different_version(mail):
    new = mail.attachment("report.pdf", b"the report")
    same = mail.attachment("notes.txt", b"same notes")
    (mail.saved / "notes.txt").write_bytes(b"same notes")
    other = mail.attachment("plan.doc", b"new plan")
    (mail.saved / "plan.doc").write_bytes(b"old plan")
    lines = [PREFIX + '"' + mail.path(new) + '"',
             PREFIX + mail.path(same),
             PREFIX + '"' + mail.path(other) + '"']
    mail.write("From: Ann\r\nSubject: files\r\n\r\n" + "\r\n".join(lines))
    result = mail.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert log_after_first_line(mail.log) == (
        echo(lines[0]) +
        f"Moving from <{mail.path(new)}> to <{mail.target('report.pdf')}>\r\n"
        + echo(lines[1]) +
        f"Duplicate of <{mail.path(same)}> already in "
        f"<{mail.target('notes.txt')}> - only deleting source\r\n"
        + echo(lines[2]) +
        f"Different version of <{mail.path(other)}> already in destination. "
        f"Changing name to \"{mail.target('plan1.doc')}\"\r\n"
        f"Moving from <{mail.path(other)}> to <{mail.target('plan1.doc')}>"
        "\r\n")
    assert listing(mail.attach) == []
    assert listing(mail.saved) == ["notes.txt", "plan.doc", "plan1.doc",
                                   "report.pdf"]
    assert (mail.saved / "report.pdf").read_bytes() == b"the report"
    assert (mail.saved / "plan.doc").read_bytes() == b"old plan"
    assert (mail.saved / "plan1.doc").read_bytes() == b"new plan"
    assert listing(mail.mail) == ["eud1.log"]


def test_header_lines_echoed_with_a_missing_source(mail):
    gone = mail.path(mail.attach / "gone.pdf")
    line = PREFIX + '"' + gone + '"'
    mail.write("From: Ann <ann@example.com>\r\n"
               "Subject: first\r\n"
               "Subject: second\r\n"
               "\r\n"
               "from: not a header\r\n"
               + line + "\r\n"
               "---------- Forwarded message ----------\r\n"
               "From: Carl <carl@example.com>\n"
               + line + "\n"
               "To: after the line\n")
    result = mail.run(answer="no")
    assert result.exit_code == 0
    assert result.dialogs == [QUESTION]
    assert result.opened == []
    report = f"Source File <{gone}> does not exist\r\n"
    assert log_after_first_line(mail.log) == (
        echo(line) + report +
        "From: Ann <ann@example.com>\r\n\r\nSubject: second\r\n" +
        echo(line) + report +
        "From: Carl <carl@example.com>\r\n\r\nSubject: second\r\n")
    assert listing(mail.mail) == ["eud1.log"]


def test_quoted_and_plain_paths_give_the_same_source(mail):
    first = mail.attachment("a.txt", b"one")
    second = mail.attachment("b b.txt", b"two")
    lines = [PREFIX + mail.path(first), PREFIX + '"' + mail.path(second) + '"']
    mail.write("\r\n".join(lines) + "\r\n")
    result = mail.run()
    assert result.dialogs == []
    assert log_after_first_line(mail.log) == (
        echo(lines[0]) +
        f"Moving from <{mail.path(first)}> to <{mail.target('a.txt')}>\r\n" +
        echo(lines[1]) +
        f"Moving from <{mail.path(second)}> to <{mail.target('b b.txt')}>\r\n")
    assert listing(mail.saved) == ["a.txt", "b b.txt"]


def test_blank_after_the_closing_quote_stays_in_the_path(mail):
    source = mail.attachment("a.txt")
    line = PREFIX + '"' + mail.path(source) + '" '
    mail.write(line + "\r\n")
    result = mail.run()
    assert result.dialogs == [QUESTION]
    assert log_after_first_line(mail.log) == (
        echo(line) +
        f"Source File <{mail.path(source)}\" > does not exist\r\n\r\n\r\n\r\n")
    assert listing(mail.attach) == ["a.txt"]


@pytest.mark.parametrize("rest", ["", '"'])
def test_line_that_is_only_the_prefix(mail, rest):
    line = PREFIX + rest
    mail.write("To: Bob\r\n" + line)
    result = mail.run()
    assert result.dialogs == [QUESTION]
    assert log_after_first_line(mail.log) == (
        echo(line) + "Source File <> does not exist\r\n\r\nTo: Bob\r\n\r\n")


def test_missing_destination_is_reported_for_each_of_three_lines(mail):
    sources = [mail.attachment(f"{n}.txt") for n in "abc"]
    lines = [PREFIX + mail.path(s) for s in sources]
    mail.write("Subject: three\r\n" + "\r\n".join(lines) + "\r\n")
    nowhere = mail.saved / "nowhere"
    result = mail.run(destination=nowhere)
    assert result.exit_code == 0
    assert result.dialogs == [QUESTION]
    assert log_after_first_line(mail.log) == "".join(
        echo(line) +
        f"Destination Directory <{mail.path(nowhere)}> does not exist\r\n"
        "\r\n\r\nSubject: three\r\n" for line in lines)
    assert listing(mail.attach) == ["a.txt", "b.txt", "c.txt"]
    assert listing(mail.mail) == ["eud1.log"]


def test_missing_message_is_reported(mail):
    result = mail.run()
    assert result.exit_code == 0
    assert result.dialogs == [QUESTION]
    assert log_after_first_line(mail.log) == (
        f"Eudora Message File <{mail.path(mail.message)}> does not exist\r\n")


def test_ctrl_z_at_a_line_start_ends_the_message(mail):
    source = mail.attachment("a.txt")
    mail.write(b"Subject: s\r\n\x1a" + (PREFIX + mail.path(source)).encode() +
               b"\r\n")
    result = mail.run()
    assert result.dialogs == []
    assert listing(mail.mail) == []
    assert listing(mail.attach) == ["a.txt"]


def test_ctrl_z_inside_a_line_ends_only_that_line(mail):
    first = mail.attachment("a.txt")
    second = mail.attachment("b.txt")
    line1 = PREFIX + mail.path(first)
    line2 = PREFIX + mail.path(second)
    mail.write((line1 + "\x1a junk\r\n" + line2).encode("cp1252"))
    result = mail.run()
    assert result.dialogs == []
    assert log_after_first_line(mail.log) == (
        echo(line1) +
        f"Moving from <{mail.path(first)}> to <{mail.target('a.txt')}>\r\n" +
        echo(line2) +
        f"Moving from <{mail.path(second)}> to <{mail.target('b.txt')}>\r\n")


@pytest.mark.parametrize("answer", ["yes", "no"])
def test_run_with_errors_asks_and_opens_the_log_on_yes(mail, answer):
    gone = mail.path(mail.attach / "gone.txt")
    mail.write(PREFIX + gone + "\r\n")
    result = mail.run(answer=answer)
    assert result.exit_code == 0
    assert result.dialogs == [QUESTION]
    assert result.opened == ([mail.path(mail.log)] if answer == "yes" else [])
    assert log_after_first_line(mail.log) == (
        echo(PREFIX + gone) +
        f"Source File <{gone}> does not exist\r\n\r\n\r\n\r\n")


@windows_only
def test_message_held_open_for_writing_ends_the_scan_silently(
        prog, mail, tmp_path):
    source = mail.attachment("a.txt")
    mail.write(PREFIX + mail.path(source) + "\r\n")
    with held_open(prog, mail.message, "write", tmp_path):
        result = mail.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert listing(mail.mail) == ["eud1.tmp"]
    assert listing(mail.attach) == ["a.txt"]
    assert listing(mail.saved) == []


def missing(line, path):
    """The log lines of an attachment line whose file does not exist."""
    return echo(line) + f"Source File <{path}> does not exist\r\n\r\n\r\n\r\n"


# Anything but a regular file on a disk is no attachment: a FIFO would hang
# the run, a device fill the destination or lose its node, a kernel file be
# copied anew on every line. The destination is a small disk, so a copy
# that never ends fails at once instead of filling the machine's.
SPECIAL_FILES = {
    "fifo": lambda path: os.mkfifo(path),
    "socket": lambda path: socket.socket(socket.AF_UNIX).bind(str(path)),
    "null device node": lambda path: os.mknod(path, 0o666 | 0o020000,
                                              os.makedev(1, 3)),
    "link to /dev/zero": lambda path: path.symlink_to("/dev/zero"),
    "link to /dev/urandom": lambda path: path.symlink_to("/dev/urandom"),
    "link to /proc/uptime": lambda path: path.symlink_to("/proc/uptime"),
}


@native_only
@pytest.mark.parametrize("kind", sorted(SPECIAL_FILES))
def test_special_files_are_no_attachments(mail, kind):
    special = mail.attach / "special"
    SPECIAL_FILES[kind](special)
    lines = [PREFIX + mail.path(special)] * 2
    mail.write("\r\n".join(lines) + "\r\n")
    with small_disk(mail.saved, "1m"):
        result = mail.prog.run(mail.path(mail.message), mail.path(mail.saved),
                               timeout=20)
        copied = listing(mail.saved)
    assert result.exit_code == 0, result
    assert result.dialogs == [QUESTION]
    assert log_after_first_line(mail.log) == 2 * missing(lines[0],
                                                         mail.path(special))
    assert copied == []
    assert os.path.lexists(special)
    assert listing(mail.mail) == ["eud1.log"]


# Named directly, a kernel file is no attachment either. (Device nodes are
# tested through copies of their own above: a program that took the
# machine's /dev/null for a file would delete it.)
@native_only
def test_kernel_files_named_directly_are_no_attachments(mail):
    lines = [PREFIX + "/proc/uptime"] * 3
    mail.write("\r\n".join(lines) + "\r\n")
    result = mail.run()
    assert result.exit_code == 0, result
    assert log_after_first_line(mail.log) == 3 * missing(lines[0],
                                                         "/proc/uptime")
    assert listing(mail.saved) == []


# Windows device names name no file wherever they stand, in any case and
# with any extension; so does the device namespace "\\.\".
DEVICE_NAMES = ["con", "CON.txt", "prn", "lpt1", "aux", "com1.pdf", "nul",
                "nul.txt", "Nul. ", "{attach}\\con", "{attach}\\AUX.doc",
                "\\\\.\\{attach}\\a.txt"]


@windows_only
@pytest.mark.parametrize("name", DEVICE_NAMES)
def test_device_names_are_no_attachments(mail, name):
    existing = mail.attachment("a.txt", b"kept")
    path = name.format(attach=mail.path(mail.attach))
    lines = [PREFIX + '"' + path + '"', PREFIX + mail.path(existing)]
    mail.write("\r\n".join(lines) + "\r\n")
    result = mail.prog.run(mail.path(mail.message), mail.path(mail.saved),
                           timeout=30)
    assert result.exit_code == 0, result
    assert result.dialogs == [QUESTION]
    assert log_after_first_line(mail.log) == (
        missing(lines[0], path) + echo(lines[1]) +
        f"Moving from <{mail.path(existing)}> to <{mail.target('a.txt')}>"
        "\r\n")
    assert listing(mail.saved) == ["a.txt"]


@windows_only
def test_a_long_path_prefix_is_no_wildcard(mail):
    source = mail.attachment("report.pdf", b"report")
    path = "\\\\?\\" + mail.path(source)
    line = PREFIX + '"' + path + '"'
    mail.write(line + "\r\n")
    result = mail.run()
    assert result.exit_code == 0, result
    assert result.dialogs == []
    assert log_after_first_line(mail.log) == (
        echo(line) +
        f"Moving from <{path}> to <{mail.target('report.pdf')}>\r\n")
    assert (mail.saved / "report.pdf").read_bytes() == b"report"
    assert listing(mail.attach) == []


# The run's own log and message, in any spelling, are never sources: one
# small message naming its log on many lines once made a numbered copy of
# the growing log per line.
def own_files(mail):
    sep = mail.prog.sep
    folder = mail.path(mail.mail)
    return [mail.path(mail.log),
            folder + sep + "." + sep + "eud1.log",
            mail.path(mail.attach) + sep + ".." + sep + "mail" + sep +
            "eud1.log",
            mail.path(mail.message),
            folder + sep + "." + sep + "eud1.tmp"]


def test_the_runs_own_files_are_never_sources(mail):
    source = mail.attachment("a.pdf", b"A")
    spellings = own_files(mail)
    lines = [PREFIX + spellings[i % len(spellings)] for i in range(300)]
    lines.append(PREFIX + mail.path(source))
    mail.write("\r\n".join(lines) + "\r\n")
    result = mail.prog.run(mail.path(mail.message), mail.path(mail.saved),
                           timeout=120)
    assert result.exit_code == 0, result
    assert result.dialogs == [QUESTION]
    expected = "".join(
        echo(line) + f"Error - <{line[len(PREFIX):]}> is this run's own file "
        "(source not deleted)\r\n" for line in lines[:-1])
    expected += echo(lines[-1]) + (
        f"Moving from <{mail.path(source)}> to <{mail.target('a.pdf')}>\r\n")
    assert log_after_first_line(mail.log) == expected
    assert listing(mail.saved) == ["a.pdf"]
    assert listing(mail.mail) == ["eud1.log"]


def run_limited(mail, limits, timeout=300):
    """The native program under prlimit's limits, as the mail filter would
    start it: no terminal, output collected."""
    return subprocess.run(
        ["prlimit", *limits, "--", str(NATIVE_PROGRAM), str(mail.message),
         str(mail.saved)],
        stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
        start_new_session=True)


LONG = 100_000_000
MIB = 1024 * 1024


# Memory stays flat whatever the line lengths: each case once ended in an
# uncaught out-of-memory abort with an empty log.
@native_only
@pytest.mark.parametrize("case", ["long body line", "long attachment line",
                                  "3 GiB of NUL bytes"])
def test_long_lines_under_an_address_space_limit(mail, case):
    source = mail.attachment("a.pdf", b"A")
    last = PREFIX + mail.path(source) + "\r\n"
    if case == "long body line":
        limit = 100 * MIB
        mail.write(b"x" * LONG + b"\r\n" + last.encode())
    elif case == "long attachment line":
        limit = 200 * MIB
        mail.write(b"Subject: big\r\n" + PREFIX.encode() + b"a" * LONG +
                   b"\r\n" + last.encode())
    else:
        limit = 256 * MIB
        with open(mail.message, "wb") as out:
            out.truncate(3 * 1024 * MIB)
    result = run_limited(mail, [f"--as={limit}"])
    assert result.returncode == 0, result
    assert b"Application Error" not in result.stderr, result
    if case == "3 GiB of NUL bytes":
        # Nothing but one NUL line: no log, the message is gone.
        assert listing(mail.mail) == []
        return
    log = log_after_first_line(mail.log)
    moved = f"Moving from <{mail.path(source)}> to <{mail.target('a.pdf')}>\r\n"
    if case == "long body line":
        assert log == echo(last.rstrip()) + moved
    else:
        longest = len(PREFIX) + 2 + os.pathconf("/", "PC_PATH_MAX") - 1
        cut = PREFIX + "a" * (longest - len(PREFIX))
        assert log == (
            echo(cut) + f"Error - Attachment Line longer than {longest} "
            "bytes (no file has so long a path)\r\n\r\n\r\nSubject: big\r\n"
            + echo(last.rstrip()) + moved)
    assert listing(mail.saved) == ["a.pdf"]

