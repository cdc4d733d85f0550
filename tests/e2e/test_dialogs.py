"""Message boxes of whole runs, natively and under wine64."""

import re

from conftest import Dialog

USAGE = Dialog("Check Filter Action", "Usage: Stashwell %6 <Move_To_path>",
               [1])
QUESTION = Dialog("Stashwel", "Errors Reported. Open Log File?", [6, 7])


def listing(folder):
    return sorted(p.name for p in folder.iterdir())


def test_no_arguments_shows_the_usage_warning(prog, tmp_path):
    result = prog.run(cwd=tmp_path)
    assert result.dialogs == [USAGE]
    assert result.exit_code == 0
    assert result.opened == []
    assert listing(tmp_path) == []


def test_one_argument_shows_the_usage_warning_and_touches_nothing(
        prog, tmp_path):
    message = tmp_path / "eud1.tmp"
    message.write_bytes(b"Subject: hello\r\n")
    result = prog.run(prog.arg(message))
    assert result.dialogs == [USAGE]
    assert result.exit_code == 0
    assert listing(tmp_path) == ["eud1.tmp"]
    assert message.read_bytes() == b"Subject: hello\r\n"


def test_blank_arguments_on_a_raw_command_line_do_not_count(prog, tmp_path):
    # Two empty quoted pairs and a lone closing quote: no argument at all.
    raw = ' "" ""  "' if prog.windows else ["", ""]
    result = prog.run(cmdline=raw, cwd=tmp_path)
    assert result.dialogs == [USAGE]
    assert result.exit_code == 0


def test_error_report_names_the_module_and_message(prog, tmp_path):
    missing = tmp_path / "no such folder" / "eud1.tmp"
    result = prog.run(prog.arg(missing), prog.arg(tmp_path))
    assert result.exit_code == 1
    assert len(result.dialogs) == 1
    box = result.dialogs[0]
    assert box.caption == "Application Error"
    assert box.buttons == [1]
    module = "stashwell.exe" if prog.windows else "stashwell"
    assert re.fullmatch(
        r"Exception EInOutError in module " + re.escape(module) +
        r" at [0-9A-F]{8}\.\r\nInvalid filename\.\r\n", box.text), box.text
    # The place is an offset into the program, not an address: a second
    # run, loaded elsewhere, reports the same one.
    again = prog.run(prog.arg(missing), prog.arg(tmp_path))
    assert again.dialogs == result.dialogs


def test_question_answered_no_leaves_the_log_unopened(prog, tmp_path):
    # A message file that does not exist is an error line in the log.
    message = tmp_path / "eud1.tmp"
    result = prog.run(prog.arg(message), prog.arg(tmp_path), answer="no")
    assert result.dialogs == [QUESTION]
    assert result.exit_code == 0
    assert result.opened == []
    assert (tmp_path / "eud1.log").is_file()


def test_question_answered_yes_opens_the_log(prog, tmp_path):
    message = tmp_path / "eud1.tmp"
    result = prog.run(prog.arg(message), prog.arg(tmp_path), answer="yes")
    assert result.dialogs == [QUESTION]
    assert result.exit_code == 0
    assert result.opened == [prog.arg(tmp_path / "eud1.log")]


def test_log_date_line_follows_the_regional_settings(prog, tmp_path):
    # German settings: day.month.year and the 24-hour clock with two-digit
    # hours (time left off at exactly midnight).
    message = tmp_path / "eud1.tmp"
    result = prog.run(prog.arg(message), prog.arg(tmp_path),
                      env=prog.locale_env("de_DE"))
    assert result.dialogs == [QUESTION]
    first_line = (tmp_path / "eud1.log").read_bytes().split(b"\r\n")[0]
    assert re.fullmatch(rb"\d{1,2}\.\d{1,2}\.\d{4}( \d\d:\d\d:\d\d)?",
                        first_line), first_line


def test_double_byte_folder_name_with_a_backslash_byte(prog, tmp_path):
    # In code page 932 the second byte of this character is "\"; the log
    # still lands in that folder, named after the message file.
    folder = tmp_path / "\u8868"
    folder.mkdir()
    message = folder / "eud1.tmp"
    result = prog.run(prog.arg(message), prog.arg(folder),
                      env=prog.locale_env("ja_JP"))
    assert result.dialogs == [QUESTION]
    assert result.exit_code == 0
    assert sorted(p.name for p in folder.iterdir()) == ["eud1.log"]
    assert listing(tmp_path) == ["\u8868"]
