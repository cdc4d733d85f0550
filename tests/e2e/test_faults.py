"""Real faults during whole runs: a full disk, folders and files the system
will not change, and a destination file that another program holds open.

Whatever fails, no attachment may be lost: each one is afterwards at its
source or, with the same bytes, in the destination folder. These tests need
root (to mount a size-limited tmpfs and to set the immutable attribute).
"""

import contextlib
import os
import pathlib
import resource
import shutil
import subprocess
import tempfile

import pytest

from conftest import (NATIVE_PROGRAM, Dialog, held_open, immutable,
                      small_disk, windows_only)

QUESTION = Dialog("Stashwel", "Errors Reported. Open Log File?", [6, 7])
PREFIX = "Attachment Converted: "
# Win32 codes for a full disk: ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL.
DISK_FULL_CODES = (112, 39)


@pytest.fixture(autouse=True)
def needs_root():
    """Mounts and the immutable attribute need root; without it these tests
    fail rather than pass unseen."""
    if os.geteuid() != 0:
        pytest.fail("these tests need root: mount and chattr")


def fill(folder):
    """Fills the file system of folder to the last byte."""
    block = b"\0" * 4096
    with open(folder / "filler", "wb", buffering=0) as out:
        for size in (4096, 512, 1):
            try:
                while True:
                    out.write(block[:size])
            except OSError:
                pass


def read_log(path):
    data = pathlib.Path(path).read_bytes()
    return data.decode("cp1252")


def assert_kept(sources, destination):
    """Every attachment is at its source or, with its bytes, in the
    destination folder."""
    placed = [p.read_bytes() for p in pathlib.Path(destination).iterdir()
              if p.is_file()] if pathlib.Path(destination).is_dir() else []
    for path, data in sources.items():
        if path.exists():
            assert path.read_bytes() == data, path
        else:
            assert data in placed, f"{path} lost"


class Tree:
    def __init__(self, prog, root, destination=None):
        self.prog = prog
        self.mail = root / "mail"
        self.attach = root / "attach"
        self.saved = destination or root / "saved"
        for folder in (self.mail, self.attach, self.saved):
            folder.mkdir(parents=True, exist_ok=True)
        self.message = self.mail / "msg.txt"
        self.log = self.mail / "msg.log"
        self.sources = {}

    def attachment(self, name, data):
        path = self.attach / name
        path.write_bytes(data)
        self.sources[path] = data
        return path

    def write(self, *paths):
        self.message.write_bytes("".join(
            PREFIX + self.prog.arg(p) + "\r\n" for p in paths).encode())

    def run(self):
        return self.prog.run(self.prog.arg(self.message),
                             self.prog.arg(self.saved))


def test_full_disk_during_a_copy_keeps_the_source(prog, tmp_path):
    with small_disk(tmp_path / "small") as small:
        tree = Tree(prog, tmp_path, destination=small / "saved")
        big = tree.attachment("big.bin", os.urandom(256 * 1024))
        tree.write(big)
        target = prog.arg(tree.saved) + prog.sep + "big.bin"
        result = tree.run()
        log = read_log(tree.log)
        assert result.exit_code == 0, result
        assert result.dialogs == [QUESTION]
        moving = f"Moving from <{prog.arg(big)}> to <{target}>\r\n"
        assert moving in log, log
        code = int(log.split("Copy File returned error; Code ")[1]
                   .split("\r\n")[0])
        assert code in DISK_FULL_CODES, log
        assert log.endswith(
            "Error - destination file not found after copy (source not "
            "deleted)\r\n"), log
        # No partial copy is left behind, and the source is whole.
        assert list(tree.saved.iterdir()) == []
        assert big.read_bytes() == tree.sources[big]


def test_full_disk_while_writing_the_log_ends_with_the_report(prog,
                                                             tmp_path):
    with small_disk(tmp_path / "small", size="16k") as small:
        tree = Tree(prog, tmp_path)
        tree.mail = small
        tree.message = small / "msg.txt"
        tree.log = small / "msg.log"
        names = [f"attachment-with-a-long-name-{n:02}.txt" for n in range(8)]
        paths = [tree.attachment(name, name.encode()) for name in names]
        tree.write(*paths)
        message = tree.message.read_bytes()
        fill(small)
        result = tree.run()
        assert result.exit_code == 1, result
        assert len(result.dialogs) == 1, result
        box = result.dialogs[0]
        assert box.caption == "Application Error"
        assert box.text.startswith("Exception EInOutError in module ")
        assert any(box.text.endswith(f".\r\nI/O error {code}.\r\n")
                   for code in DISK_FULL_CODES), box.text
        # The scan stopped: the message stays, and nothing is lost.
        assert tree.message.read_bytes() == message
        assert_kept(tree.sources, tree.saved)
        log = tree.log.read_bytes()
        assert len(log) % 128 == 0, log


def test_destination_folder_refusing_new_files(prog, tmp_path):
    tree = Tree(prog, tmp_path)
    source = tree.attachment("a.pdf", b"attachment")
    tree.write(source)
    with immutable(tree.saved):
        result = tree.run()
    log = read_log(tree.log)
    assert result.exit_code == 0, result
    assert result.dialogs == [QUESTION]
    assert "Copy File returned error; Code 5\r\n" in log, log
    assert log.endswith("Error - destination file not found after copy "
                        "(source not deleted)\r\n"), log
    assert source.read_bytes() == b"attachment"
    assert list(tree.saved.iterdir()) == []


@contextlib.contextmanager
def read_only(path):
    """No write bit: Windows' read-only attribute under wine, and a file
    the POSIX platform refuses to delete."""
    path.chmod(0o444)
    try:
        yield
    finally:
        path.chmod(0o644)


@pytest.mark.parametrize("duplicate", [False, True],
                         ids=["move", "duplicate"])
@pytest.mark.parametrize("lock", [immutable, read_only],
                         ids=["immutable", "read-only"])
def test_undeletable_source_stays_beside_its_copy(prog, tmp_path, duplicate,
                                                  lock):
    tree = Tree(prog, tmp_path)
    source = tree.attachment("a.pdf", b"attachment")
    if duplicate:
        (tree.saved / "a.pdf").write_bytes(b"attachment")
    tree.write(source)
    with lock(source):
        result = tree.run()
    log = read_log(tree.log)
    assert result.exit_code == 0, result
    assert result.dialogs == [QUESTION]
    assert log.endswith("\r\nError - could not delete source file\r\n"), log
    assert source.read_bytes() == b"attachment"
    assert (tree.saved / "a.pdf").read_bytes() == b"attachment"
    assert sorted(p.name for p in tree.saved.iterdir()) == ["a.pdf"]


def reachable_by_all(folder):
    """Whether every user may enter folder: others may search each folder
    on the way to it."""
    folder = pathlib.Path(folder).resolve()
    return all(p.stat().st_mode & 0o001 for p in (folder, *folder.parents))


@pytest.fixture
def open_tmp_path():
    """A fresh folder that every user may reach (pytest's own is root's),
    in the first temporary folder that every user may reach."""
    bases = [b for b in (tempfile.gettempdir(), "/tmp", "/var/tmp")
             if os.path.isdir(b) and reachable_by_all(b)]
    if not bases:
        pytest.fail("no temporary folder that every user may reach")
    folder = pathlib.Path(tempfile.mkdtemp(prefix="stashwell-faults-",
                                           dir=bases[0]))
    folder.chmod(0o755)
    assert reachable_by_all(folder)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def test_unprivileged_user_meets_a_folder_and_a_file_it_may_not_change(
        open_tmp_path):
    """Natively as the user nobody: the destination belongs to root and
    refuses new files; a source in a folder nobody may not change cannot be
    deleted; a destination or source inside a folder nobody may not enter
    cannot be reached, which the log says with the code, not as missing."""
    if not os.access(NATIVE_PROGRAM, os.X_OK):
        pytest.fail(f"missing program {NATIVE_PROGRAM}")
    tmp_path = open_tmp_path
    # nobody runs a copy of the program from the open folder: the build
    # folder may lie where nobody may enter (a checkout in root's home
    # folder). The copy needs nothing else from the build folder.
    program = tmp_path / "bin" / "stashwell"
    program.parent.mkdir()
    shutil.copyfile(NATIVE_PROGRAM, program)
    program.chmod(0o755)
    mail = tmp_path / "mail"
    attach = tmp_path / "attach"
    locked = tmp_path / "locked"
    saved = tmp_path / "saved"
    open_saved = tmp_path / "open"
    for folder in (mail, attach, locked, saved, open_saved):
        folder.mkdir()
    for folder in (mail, attach, open_saved):
        folder.chmod(0o777)
    for folder in (locked, saved):
        folder.chmod(0o755)
    closed = tmp_path / "closed"
    (closed / "dest").mkdir(parents=True)
    (closed / "hidden.txt").write_bytes(b"hidden")
    closed.chmod(0o000)
    first = attach / "first.txt"
    first.write_bytes(b"first")
    second = locked / "second.txt"
    second.write_bytes(b"second")
    for path in (first, second):
        path.chmod(0o644)
    message = mail / "msg.txt"

    def run(destination, source):
        message.write_bytes(f"{PREFIX}{source}\r\n".encode())
        message.chmod(0o666)
        return subprocess.run(
            ["setpriv", "--reuid", "65534", "--regid", "65534",
             "--clear-groups", str(program), str(message),
             str(destination)],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
            start_new_session=True)

    result = run(saved, first)
    assert result.returncode == 0, result
    log = (mail / "msg.log").read_bytes().decode()
    assert "Copy File returned error; Code 5\r\n" in log, log
    assert first.read_bytes() == b"first"
    assert list(saved.iterdir()) == []

    result = run(open_saved, second)
    assert result.returncode == 0, result
    log = (mail / "msg.log").read_bytes().decode()
    assert log.endswith("\r\nError - could not delete source file\r\n"), log
    assert second.read_bytes() == b"second"
    assert (open_saved / "second.txt").read_bytes() == b"second"

    unreachable = [
        (closed / "dest", first, f"Destination Directory <{closed / 'dest'}>"),
        (open_saved, closed / "hidden.txt",
         f"Source File <{closed / 'hidden.txt'}>"),
    ]
    for destination, source, subject in unreachable:
        result = run(destination, source)
        assert result.returncode == 0, result
        log = (mail / "msg.log").read_bytes().decode()
        assert f"\r\n{subject} cannot be reached; Code 5\r\n" in log, log
        assert "does not exist" not in log, log
    closed.chmod(0o755)
    assert (closed / "hidden.txt").read_bytes() == b"hidden"
    assert list((closed / "dest").iterdir()) == []
    assert first.read_bytes() == b"first"


@windows_only
def test_destination_file_held_open_without_sharing(prog, tmp_path):
    tree = Tree(prog, tmp_path)
    source = tree.attachment("a.pdf", b"attachment")
    held = tree.saved / "a.pdf"
    held.write_bytes(b"held by another program")
    tree.write(source)
    message = tree.message.read_bytes()
    with held_open(prog, held, "exclusive", tmp_path):
        result = tree.run()
    # The comparison cannot open the held file: the run ends with the
    # sharing violation, and neither file is touched.
    assert result.exit_code == 1, result
    assert len(result.dialogs) == 1, result
    assert result.dialogs[0].caption == "Application Error"
    assert result.dialogs[0].text.endswith(".\r\nI/O error 32.\r\n"), result
    assert source.read_bytes() == b"attachment"
    assert held.read_bytes() == b"held by another program"
    assert tree.message.read_bytes() == message


def test_file_size_limit_fails_the_copy_and_leaves_the_name_free(tmp_path):
    """Natively, under a file-size limit smaller than the attachment: the
    copy fails like on a full disk instead of the run being killed midway,
    nothing stands under the attachment's name, and another message's file
    that holds just the bytes a torn copy would have held is moved, not taken
    for a duplicate."""
    if not os.access(NATIVE_PROGRAM, os.X_OK):
        pytest.fail(f"missing program {NATIVE_PROGRAM}")
    limit = 64 * 1024
    data = os.urandom(1024 * 1024)
    saved = tmp_path / "saved"
    saved.mkdir()

    def run(name, attachment, fsize=None):
        folder = tmp_path / name
        folder.mkdir()
        source = folder / "report.pdf"
        source.write_bytes(attachment)
        message = folder / "msg.txt"
        message.write_bytes(f"{PREFIX}{source}\r\n".encode())

        def limit_size():
            if fsize is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))

        result = subprocess.run(
            [str(NATIVE_PROGRAM), str(message), str(saved)],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
            start_new_session=True, preexec_fn=limit_size)
        return result, source, read_log(folder / "msg.log")

    result, source, log = run("first", data, fsize=limit)
    assert result.returncode == 0, result
    assert "Copy File returned error; Code 112\r\n" in log, log
    assert source.read_bytes() == data
    assert list(saved.iterdir()) == []

    result, source, log = run("second", data[:limit])
    assert result.returncode == 0, result
    assert "Duplicate of" not in log, log
    assert log.endswith(f"Moving from <{source}> to "
                        f"<{saved}/report.pdf>\r\n"), log
    assert not source.exists()
    assert (saved / "report.pdf").read_bytes() == data[:limit]
