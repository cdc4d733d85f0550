"""Attachment placement in whole runs, natively and under wine64: every
test here runs with the native, the 32-bit and the 64-bit Windows program,
since sizes, offsets and handles are where the two Windows builds could
differ.

Each test writes a message file whose attachment lines point at real
files, runs the program, and compares the log after its date line byte for
byte with the files left in the folders.
"""

import os
import pathlib

import pytest

from conftest import PRODUCT, all_programs, immutable, small_disk

pytestmark = all_programs

QUESTION_CAPTION = "Stashwel"
PREFIX = "Attachment Converted: "
NOT_FOUND = ("Error - destination file not found after copy "
             "(source not deleted)\r\n")


def listing(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir())


def log_after_first_line(log):
    data = pathlib.Path(log).read_bytes()
    first, end, rest = data.partition(b"\r\n")
    assert end and first, f"log without a date line: {data!r}"
    return rest.decode("cp1252")


def echo(line):
    return "Attachment Line: " + line + "\r\n\r\n"


class Run:
    """A message file, an attachment folder and a destination folder."""

    def __init__(self, prog, root):
        self.prog = prog
        self.root = root
        self.mail = root / "mail"
        self.attach = root / "attach"
        self.saved = root / "saved"
        for folder in (self.mail, self.attach, self.saved):
            folder.mkdir()
        self.message = self.mail / "eud7.tmp"
        self.log = self.mail / "eud7.log"
        self.lines = []

    def path(self, path):
        """A host path as the program receives it and the log shows it."""
        return self.prog.arg(path)

    def attachment(self, name, data=b"contents", folder=None):
        path = (folder or self.attach) / name
        path.write_bytes(data)
        return path

    def line(self, path_text):
        """Adds an attachment line for a path text; returns the line."""
        line = PREFIX + '"' + path_text + '"'
        self.lines.append(line)
        return line

    def run(self, destination_text=None, *extra, timeout=60):
        self.message.write_bytes(
            ("From: Ann\r\nSubject: files\r\n\r\n" + "\r\n".join(self.lines) +
             "\r\n").encode("cp1252"))
        destination = (destination_text if destination_text is not None
                       else self.path(self.saved))
        return self.prog.run(self.path(self.message), destination, *extra,
                             timeout=timeout)

    def moving(self, source_text, target_text):
        return f"Moving from <{source_text}> to <{target_text}>\r\n"


@pytest.fixture
def r(prog, tmp_path):
    return Run(prog, tmp_path)


def test_new_name_is_moved(r):
    source = r.attachment("report.pdf", b"the report")
    line = r.line(r.path(source))
    target = r.path(r.saved) + r.prog.sep + "report.pdf"
    result = r.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert log_after_first_line(r.log) == (
        echo(line) + r.moving(r.path(source), target))
    assert listing(r.attach) == []
    assert (r.saved / "report.pdf").read_bytes() == b"the report"


def test_duplicate_leaves_the_destination_untouched(r):
    kept = r.saved / "notes.txt"
    kept.write_bytes(b"same notes")
    os.utime(kept, (1_000_000_000, 1_000_000_000))
    source = r.attachment("notes.txt", b"same notes")
    line = r.line(r.path(source))
    target = r.path(r.saved) + r.prog.sep + "notes.txt"
    result = r.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert log_after_first_line(r.log) == (
        echo(line) + f"Duplicate of <{r.path(source)}> already in <{target}>"
        " - only deleting source\r\n")
    assert listing(r.attach) == []
    assert listing(r.saved) == ["notes.txt"]
    assert kept.read_bytes() == b"same notes"
    assert kept.stat().st_mtime == 1_000_000_000


def assert_moved_under_numbered_name(r, line, source, numbered):
    """Runs; the run asks nothing and logs the different version and its
    move under the numbered path."""
    result = r.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert log_after_first_line(r.log) == (
        echo(line) + f"Different version of <{r.path(source)}> already in "
        f"destination. Changing name to \"{numbered}\"\r\n" +
        r.moving(r.path(source), numbered))


def test_different_version_takes_a_numbered_name(r):
    (r.saved / "plan.doc").write_bytes(b"old plan")
    (r.saved / "plan2.doc").write_bytes(b"older plan")
    source = r.attachment("plan.doc", b"new plan")
    line = r.line(r.path(source))
    numbered = r.path(r.saved) + r.prog.sep + "plan1.doc"
    assert_moved_under_numbered_name(r, line, source, numbered)
    assert listing(r.saved) == ["plan.doc", "plan1.doc", "plan2.doc"]
    assert (r.saved / "plan.doc").read_bytes() == b"old plan"
    assert (r.saved / "plan1.doc").read_bytes() == b"new plan"
    assert listing(r.attach) == []


# Thirty numbered names taken but the 17th, and names that look numbered
# but are not that name: the run places the attachment exactly where a
# lookup of one number after the other would.
@pytest.mark.parametrize("other,windows_free,native_free", [
    (None, 17, 17),
    ("plan017.doc", 17, 17),
    ("plan4294967313.doc", 17, 17),
    ("PLAN17.DOC", 31, 17),
])
def test_many_numbered_names_taken_the_first_free_one_is_taken(
        r, other, windows_free, native_free):
    (r.saved / "plan.doc").write_bytes(b"old plan")
    for n in range(1, 31):
        if n != 17:
            (r.saved / f"plan{n}.doc").write_bytes(b"older plan")
    if other:
        (r.saved / other).write_bytes(b"not a numbered plan")
    source = r.attachment("plan.doc", b"new plan")
    line = r.line(r.path(source))
    free = f"plan{windows_free if r.prog.windows else native_free}.doc"
    numbered = r.path(r.saved) + r.prog.sep + free
    assert_moved_under_numbered_name(r, line, source, numbered)
    assert (r.saved / free).read_bytes() == b"new plan"
    assert listing(r.attach) == []


FOUR_GIB = 1 << 32
HEAD = b"head\0\0\0\0"
TAIL = b"tail-end"


def sparse_file(path, size, tail=TAIL):
    """HEAD at the start, `tail` at 4 GiB, holes between: a file past 4 GiB
    that costs a few blocks of disk."""
    with open(path, "wb") as file:
        file.write(HEAD)
        if size > FOUR_GIB:
            file.seek(FOUR_GIB)
            file.write(tail)
        file.truncate(size)
    return path


def head_and_tail(path):
    with open(path, "rb") as file:
        head = file.read(len(HEAD))
        file.seek(FOUR_GIB)
        return os.path.getsize(path), head, file.read()


# An attachment of 4 GiB and 8 bytes against a destination file of the same
# name: the same size but different past 4 GiB, or the same in its low 32
# size bits and first bytes but 4 GiB shorter. A size or an offset cut to
# 32 bits would take either for a duplicate and delete the only copy of the
# attachment; each must be compared whole and the attachment moved whole
# to a numbered name.
@pytest.mark.parametrize("kept_size,kept_tail", [
    (FOUR_GIB + len(TAIL), b"tail-END"),
    (len(HEAD), b""),
], ids=["differs-past-4-GiB", "4-GiB-shorter"])
def test_an_attachment_past_4_gib_is_compared_and_moved_whole(
        r, kept_size, kept_tail):
    if r.prog.name not in ("native", "win32", PRODUCT):
        # Gigabytes through wine take minutes: the product's run is the one
        # that counts, and the 32-bit one is where sizes could be cut.
        pytest.skip(f"4 GiB runs are made with {PRODUCT}, the product")
    size = FOUR_GIB + len(TAIL)
    kept = sparse_file(r.saved / "disk.img", kept_size, kept_tail)
    try:
        source = sparse_file(r.attach / "disk.img", size)
        line = r.line(r.path(source))
        numbered = r.path(r.saved) + r.prog.sep + "disk1.img"
        # Reading and copying gigabytes through wine takes a while.
        result = r.run(timeout=900)
        assert (result.exit_code, result.dialogs) == (0, [])
        assert log_after_first_line(r.log) == (
            echo(line) + f"Different version of <{r.path(source)}> already "
            f"in destination. Changing name to \"{numbered}\"\r\n" +
            r.moving(r.path(source), numbered))
        assert listing(r.saved) == ["disk.img", "disk1.img"]
        assert head_and_tail(r.saved / "disk1.img") == (size, HEAD, TAIL)
        assert listing(r.attach) == []
        assert head_and_tail(kept) == (kept_size, HEAD, kept_tail)
    finally:
        # pytest keeps the folders of recent sessions: no 4 GiB copy stays.
        for folder in (r.attach, r.saved):
            for path in folder.iterdir():
                path.unlink()


def test_vcf_only_moves_vcf_names_and_passes_the_rest_over(r):
    handled = ["card.vcf", "CARD2.VCF", "a.b.Vcf", ".vcf"]
    passed = ["card.vcf.txt", "cardvcf", "report.pdf"]
    expected = ""
    for name in handled + passed:
        source = r.attachment(name, name.encode())
        line = r.line(r.path(source))
        expected += echo(line)
        if name in handled:
            expected += r.moving(r.path(source),
                                 r.path(r.saved) + r.prog.sep + name)
    result = r.run(None, "/v")
    assert result.exit_code == 0
    assert result.dialogs == []
    assert log_after_first_line(r.log) == expected
    assert listing(r.attach) == sorted(passed)
    assert listing(r.saved) == sorted(handled)


def test_vcf_only_with_nothing_to_move_leaves_no_log(r):
    source = r.attachment("report.pdf")
    r.line(r.path(source))
    result = r.run(None, "/V")
    assert result.exit_code == 0
    assert result.dialogs == []
    assert listing(r.mail) == []
    assert listing(r.attach) == ["report.pdf"]


def test_trailing_separator_on_the_destination_gives_two(r):
    source = r.attachment("report.pdf")
    line = r.line(r.path(source))
    destination = r.path(r.saved) + r.prog.sep
    result = r.run(destination)
    assert result.exit_code == 0
    assert log_after_first_line(r.log) == (
        echo(line) + r.moving(r.path(source),
                              destination + r.prog.sep + "report.pdf"))
    assert listing(r.saved) == ["report.pdf"]
    assert listing(r.attach) == []


def test_a_folder_in_the_way_takes_the_name(r):
    # A folder holds the name as a different file would: the attachment
    # goes under the next numbered name, and the folder is left alone.
    (r.saved / "report.pdf").mkdir()
    source = r.attachment("report.pdf", b"move me")
    line = r.line(r.path(source))
    target = r.path(r.saved) + r.prog.sep + "report1.pdf"
    result = r.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert log_after_first_line(r.log) == (
        echo(line) + f"Different version of <{r.path(source)}> already in "
        f"destination. Changing name to \"{target}\"\r\n" +
        r.moving(r.path(source), target))
    assert not source.exists()
    assert (r.saved / "report.pdf").is_dir()
    assert (r.saved / "report1.pdf").read_bytes() == b"move me"


def same_file_spellings(r):
    """The attachment folder written in several ways."""
    folder = r.path(r.attach)
    sep = r.prog.sep
    (r.attach / "sub").mkdir()
    spellings = [folder, folder + sep, folder + sep + ".",
                 folder + sep + "sub" + sep + ".."]
    if r.prog.windows:
        spellings.append(folder.upper())
    else:
        link = r.root / "link"
        link.symlink_to(r.attach, target_is_directory=True)
        spellings.append(r.path(link))
    return spellings


def test_the_same_file_is_never_deleted_as_its_own_duplicate(r):
    # A second attachment from elsewhere is moved, so the log is kept and
    # shows the line of the first.
    other = r.root / "other"
    other.mkdir()
    for number, spelling in enumerate(same_file_spellings(r)):
        r.lines = []
        if r.log.exists():
            r.log.unlink()
        source = r.attachment("only.pdf", b"the only copy")
        mover = r.attachment(f"mover{number}.txt", b"m", folder=other)
        first = r.line(r.path(source))
        second = r.line(r.path(mover))
        result = r.run(spelling)
        assert result.exit_code == 0, spelling
        assert result.dialogs == [], spelling
        assert log_after_first_line(r.log) == (
            echo(first) + f"File <{r.path(source)}> is already in the "
            "destination folder - left in place\r\n" + echo(second) +
            r.moving(r.path(mover), spelling + r.prog.sep +
                     f"mover{number}.txt")), spelling
        assert source.read_bytes() == b"the only copy", spelling


def test_the_same_file_alone_leaves_no_log(r):
    source = r.attachment("only.pdf", b"the only copy")
    r.line(r.path(source))
    result = r.run(r.path(r.attach))
    assert result.exit_code == 0
    assert result.dialogs == []
    assert listing(r.mail) == []
    assert source.read_bytes() == b"the only copy"


def test_a_hostile_name_cannot_climb_out_of_the_destination(r):
    # The line names attach/x.txt by way of two folders and "..": written
    # with "/", which Windows also takes as a separator. Its file-name part
    # is "x.txt", whatever system reads it.
    (r.attach / "sub" / "deeper").mkdir(parents=True)
    r.attachment("x.txt", b"escapee")
    text = r.path(r.attach / "sub" / "deeper") + "/../../x.txt"
    line = r.line(text)
    target = r.path(r.saved) + r.prog.sep + "x.txt"
    result = r.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert log_after_first_line(r.log) == echo(line) + r.moving(text, target)
    assert listing(r.saved) == ["x.txt"]
    assert (r.saved / "x.txt").read_bytes() == b"escapee"
    assert listing(r.root) == ["attach", "mail", "saved"]
    assert listing(r.attach) == ["sub"]


def failed_copy_log(r, line, source, code):
    target = r.path(r.saved) + r.prog.sep + source.name
    return (echo(line) + r.moving(r.path(source), target) +
            f"Copy File returned error; Code {code}\r\n" + NOT_FOUND)


def test_a_destination_that_refuses_new_files_gives_code_5(r):
    source = r.attachment("report.pdf", b"keep me")
    line = r.line(r.path(source))
    with immutable(r.saved):
        result = r.run()
    assert result.exit_code == 0
    assert [d.caption for d in result.dialogs] == [QUESTION_CAPTION]
    assert log_after_first_line(r.log) == failed_copy_log(r, line, source, 5)
    assert source.read_bytes() == b"keep me"
    assert listing(r.saved) == []


def test_a_full_disk_gives_code_112_and_leaves_no_partial_copy(r):
    data = os.urandom(512 * 1024)
    source = r.attachment("big.bin", data)
    line = r.line(r.path(source))
    with small_disk(r.saved, "64k"):
        result = r.run()
        left = listing(r.saved)
    # Whatever the copy left behind, the source stays whole.
    assert source.read_bytes() == data
    assert result.exit_code == 0
    assert [d.caption for d in result.dialogs] == [QUESTION_CAPTION]
    log = log_after_first_line(r.log)
    assert left == []
    assert log == failed_copy_log(r, line, source, 112)


def test_a_source_that_cannot_be_deleted_stays_beside_its_copy(r):
    source = r.attachment("report.pdf", b"both")
    source.chmod(0o444)
    line = r.line(r.path(source))
    target = r.path(r.saved) + r.prog.sep + "report.pdf"
    result = r.run()
    assert result.exit_code == 0
    assert [d.caption for d in result.dialogs] == [QUESTION_CAPTION]
    assert log_after_first_line(r.log) == (
        echo(line) + r.moving(r.path(source), target) +
        "Error - could not delete source file\r\n")
    assert source.read_bytes() == b"both"
    assert (r.saved / "report.pdf").read_bytes() == b"both"


def test_a_read_only_destination_file_is_compared_without_stopping(r):
    same = r.saved / "notes.txt"
    same.write_bytes(b"same notes")
    same.chmod(0o444)
    other = r.saved / "plan.doc"
    other.write_bytes(b"old plan")
    other.chmod(0o444)
    first = r.attachment("notes.txt", b"same notes")
    second = r.attachment("plan.doc", b"new plan")
    lines = [r.line(r.path(first)), r.line(r.path(second))]
    target = r.path(r.saved) + r.prog.sep
    result = r.run()
    assert result.exit_code == 0
    assert result.dialogs == []
    assert log_after_first_line(r.log) == (
        echo(lines[0]) + f"Duplicate of <{r.path(first)}> already in "
        f"<{target}notes.txt> - only deleting source\r\n" + echo(lines[1]) +
        f"Different version of <{r.path(second)}> already in destination. "
        f"Changing name to \"{target}plan1.doc\"\r\n" +
        r.moving(r.path(second), target + "plan1.doc"))
    assert listing(r.attach) == []
    assert listing(r.saved) == ["notes.txt", "plan.doc", "plan1.doc"]
    assert (r.saved / "plan1.doc").read_bytes() == b"new plan"
