"""Whole runs of the program: the command line, the run log's life and the
failure policy, natively and under wine64."""

import os
import re
import stat
import subprocess

import pytest

import conftest
from conftest import NATIVE_PROGRAM, _Wine, immutable

LINE1 = re.compile(rb"[^\r\n]+\r\n")


def listing(folder):
    return sorted(p.name for p in folder.iterdir())


def test_a_quiet_run_leaves_no_log_and_deletes_the_message(prog, tmp_path):
    message = tmp_path / "eud7.tmp"
    message.write_bytes(b"From: a@b\r\nSubject: no attachments\r\n\r\nHi\r\n")
    dest = tmp_path / "dest"
    dest.mkdir()
    result = prog.run(prog.arg(message), prog.arg(dest))
    assert result.exit_code == 0
    assert result.dialogs == []
    assert listing(tmp_path) == ["dest"]


def test_a_folder_that_refuses_new_files_gives_access_denied(prog, tmp_path):
    inbox = tmp_path / "in"
    inbox.mkdir()
    message = inbox / "eud7.tmp"
    message.write_bytes(b"Subject: x\r\n")
    with immutable(inbox):
        result = prog.run(prog.arg(message), prog.arg(tmp_path))
    assert result.exit_code == 1
    assert len(result.dialogs) == 1
    box = result.dialogs[0]
    assert box.caption == "Application Error"
    assert box.text.endswith(".\r\nFile access denied.\r\n"), box.text
    # The scan never ran: the message is untouched and there is no log.
    assert listing(inbox) == ["eud7.tmp"]
    assert message.read_bytes() == b"Subject: x\r\n"


def test_a_message_named_like_a_log_keeps_its_bytes_until_scanned(
        prog, tmp_path):
    message = tmp_path / "x.log"
    body = b"From: a@b\r\nAttachment Converted: \"" + \
        prog.arg(tmp_path / "missing.pdf").encode() + b"\"\r\n"
    message.write_bytes(body)
    dest = tmp_path / "dest"
    dest.mkdir()
    result = prog.run(prog.arg(message), prog.arg(dest))
    assert result.exit_code == 0
    # The log is x.log.log; the message was read whole before its deletion,
    # so the log shows its attachment line.
    log = (tmp_path / "x.log.log").read_bytes()
    assert LINE1.match(log)
    assert log[LINE1.match(log).end():] == (
        b"Attachment Line: " + body.splitlines()[1] + b"\r\n\r\n"
        b"Source File <" + prog.arg(tmp_path / "missing.pdf").encode() +
        b"> does not exist\r\nFrom: a@b\r\n\r\n\r\n")
    assert not message.exists()


def test_quoted_arguments_and_the_switch_on_a_raw_command_line(
        prog, tmp_path):
    inbox = tmp_path / "My Mail"
    inbox.mkdir()
    dest = tmp_path / "Saved Files"
    dest.mkdir()
    card = inbox / "card.vcf"
    card.write_bytes(b"BEGIN:VCARD\r\n")
    paper = inbox / "paper.pdf"
    paper.write_bytes(b"%PDF")
    message = inbox / "in 1.txt"
    message.write_bytes(b"".join(
        b"Attachment Converted: \"" + prog.arg(p).encode() + b"\"\r\n"
        for p in (card, paper)))
    if prog.windows:
        raw = '"%s" "%s" "/v"' % (prog.arg(message), prog.arg(dest))
    else:
        raw = [prog.arg(message), prog.arg(dest), "/v"]
    result = prog.run(cmdline=raw)
    assert result.exit_code == 0
    assert result.dialogs == []
    # Only the card moved; the other attachment stays where it was.
    assert listing(dest) == ["card.vcf"]
    assert listing(inbox) == ["in 1.log", "paper.pdf"]
    log = (inbox / "in 1.log").read_bytes()
    assert b"> to <" + prog.arg(dest / "card.vcf").encode() + b">\r\n" in log


def test_a_fourth_argument_is_ignored_and_a_wrong_switch_moves_all(
        prog, tmp_path):
    dest = tmp_path / "dest"
    dest.mkdir()
    for switch in ("/VCF", "-V"):
        paper = tmp_path / "paper.pdf"
        paper.write_bytes(b"%PDF")
        message = tmp_path / "m.txt"
        message.write_bytes(
            b"Attachment Converted: " + prog.arg(paper).encode() + b"\r\n")
        result = prog.run(prog.arg(message), prog.arg(dest), switch, "/V")
        assert result.exit_code == 0
        assert not paper.exists()
        (dest / "paper.pdf").unlink()


def read_only_earlier_log(prog, message, log):
    """Windows refuses to replace a read-only file, even for an
    administrator; the POSIX build refuses a log without its owner's write
    bit the same way, also for root. The earlier log keeps its bytes."""
    log.write_bytes(b"an earlier log\r\n")
    log.chmod(0o444)
    return prog.arg(message), lambda: log.read_bytes() == b"an earlier log\r\n"


def device_at_the_log(prog, message, log):
    """Nothing that is no file is ever written as the log: natively a FIFO
    at the log's path, left standing; on Windows a log path in the device
    namespace, never opened."""
    if prog.windows:
        return "\\\\.\\" + prog.arg(message), lambda: not log.exists()
    os.mkfifo(log)
    return prog.arg(message), lambda: stat.S_ISFIFO(os.lstat(log).st_mode)


@pytest.mark.parametrize("occupant", [read_only_earlier_log,
                                      device_at_the_log])
def test_what_may_not_be_the_log_is_refused(prog, tmp_path, occupant):
    message = tmp_path / "eud7.tmp"
    message.write_bytes(b"Subject: x\r\n")
    log = tmp_path / "eud7.log"
    dest = tmp_path / "dest"
    dest.mkdir()
    message_arg, log_stands = occupant(prog, message, log)
    try:
        result = prog.run(message_arg, prog.arg(dest))
    finally:
        if log.is_file():
            log.chmod(0o644)
    assert result.exit_code == 1, result
    assert len(result.dialogs) == 1, result
    box = result.dialogs[0]
    assert box.caption == "Application Error"
    assert box.text.endswith(".\r\nFile access denied.\r\n"), box.text
    assert log_stands()
    assert message.read_bytes() == b"Subject: x\r\n"


@pytest.mark.parametrize("prog", ["native"], indirect=True)
def test_too_few_file_handles_for_the_message_is_reported(prog, tmp_path):
    # Standard input, output and error and the log take the four handles
    # allowed: the message cannot be opened, which ends the run with the
    # error report instead of a silent exit 0.
    message = tmp_path / "eud7.tmp"
    source = tmp_path / "a.pdf"
    source.write_bytes(b"A")
    body = b"Attachment Converted: " + str(source).encode() + b"\r\n"
    message.write_bytes(body)
    dest = tmp_path / "dest"
    dest.mkdir()
    result = subprocess.run(
        ["prlimit", "--nofile=4", "--", str(NATIVE_PROGRAM), str(message),
         str(dest)], stdin=subprocess.DEVNULL, capture_output=True,
        timeout=60, start_new_session=True)
    assert result.returncode == 1, result
    assert result.stderr.startswith(b"Application Error: Exception "), result
    assert result.stderr.endswith(b".\r\nToo many open files.\r\n\n"), result
    assert LINE1.fullmatch((tmp_path / "eud7.log").read_bytes())
    assert message.read_bytes() == body
    assert source.read_bytes() == b"A"
    assert listing(dest) == []


def test_a_wine_run_past_its_limit_fails_with_what_was_printed(
        e2e_session, tmp_path, monkeypatch):
    # The harness's hang path, with a limit no wine start can meet: the run
    # is ended, and the failure shows what the launcher and the dialog
    # helper printed up to then.
    wine = _Wine(e2e_session, "win64")
    monkeypatch.setattr(conftest, "WINE_RUN_LIMIT", 0.001)
    message = tmp_path / "eud1.tmp"
    message.write_bytes(b"Subject: never read\r\n")
    with pytest.raises(pytest.fail.Exception) as failure:
        wine.run(wine.arg(message), wine.arg(tmp_path), timeout=0.001)
    text = str(failure.value)
    assert "did not end within 0.001 s; what was printed:" in text, text
    for name in ("launcher.txt", "stderr.txt", "dialogs.jsonl",
                 "dialog_helper.err"):
        assert f"\n{name}: " in text, text
    assert message.read_bytes() == b"Subject: never read\r\n"
