"""Whole runs over message files, natively and under wine64.

Each test writes a message file with attachment lines, runs the program on
it and compares the whole log, after its date line, byte for byte, along
with the files left in the folders.
"""

import pathlib

import pytest

from conftest import Dialog, held_open, windows_only

QUESTION = Dialog("Stashwel", "Errors Reported. Open Log File?", [6, 7])
PREFIX = "Attachment Converted: "


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
