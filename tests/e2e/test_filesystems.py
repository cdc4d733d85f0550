"""The native program with its destination on the file systems users meet:
disk images on loop devices, tmpfs and overlayfs, NTFS, exFAT and FAT32
through their FUSE drivers, and a network share (sshfs to an sshd on
127.0.0.1 that the session starts).

Each file system is made and mounted once per session under a temporary
folder and unmounted at its end. Each runs the same rows: the typical
message (a new name, a duplicate, a numbered name), a full disk, names the
file system refuses, a name differing only in letter case, a read-only
mount and a burst of runs at once moving files of one name into one
folder. After every row no temporary file or folder of the program is left
in its destination folder.

A file system this machine cannot have (no loop device, no FUSE, a tool
missing) is skipped with the reason, which the test command names as NOT
RUN. Needs root.
"""

import contextlib
import dataclasses
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

from conftest import NATIVE_PROGRAM

PREFIX = b"Attachment Converted: "
SYSTEM_PATH = "/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin"
# Names the FAT family and Windows refuse, and one that is no UTF-8.
QUESTION_MARK = b"what?.txt"
NOT_UTF8 = b"caf\xe9.txt"
DEVICE = b"con.txt"


@dataclasses.dataclass
class Kind:
    """What a file system does with names."""
    ignores_case: bool = False
    refuses: tuple = ()
    burst: int = 20
    # The code a full disk fails the copy with: ERROR_DISK_FULL, but
    # fusefat says EPERM (5) and SFTP has no word for it (EIO, 1117).
    full_disk: int = 112


KINDS = {
    "ext4": Kind(burst=50),
    "xfs": Kind(),
    "btrfs": Kind(),
    "tmpfs": Kind(),
    "overlayfs": Kind(),
    "ntfs-3g": Kind(refuses=(NOT_UTF8,), burst=50),
    "ntfs-3g windows_names": Kind(refuses=(QUESTION_MARK, NOT_UTF8, DEVICE)),
    "lowntfs-3g ignore_case": Kind(ignores_case=True, refuses=(NOT_UTF8,)),
    "exfat-fuse": Kind(ignores_case=True, refuses=(QUESTION_MARK, NOT_UTF8),
                       burst=50),
    "fusefat FAT32": Kind(ignores_case=True,
                          refuses=(QUESTION_MARK, NOT_UTF8), full_disk=5),
    "sshfs": Kind(full_disk=1117),
}


def tool(name):
    found = shutil.which(name, path=SYSTEM_PATH)
    if found is None:
        pytest.skip(f"{name} is not installed")
    return found


def run(*command, timeout=120):
    result = subprocess.run([str(c) for c in command], capture_output=True,
                            timeout=timeout, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        raise RuntimeError(f"{command} failed ({result.returncode}): "
                           f"{result.stdout!r} {result.stderr!r}")
    return result.stdout.decode()


def need_fuse():
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        pytest.skip(f"no FUSE: /dev/fuse {error.strerror}")


class Mounts:
    """Mounts made under one folder, unmounted in reverse order."""

    def __init__(self, stack, root):
        self.stack = stack
        self.root = root

    def folder(self, name):
        path = self.root / name
        path.mkdir()
        return path

    def image(self, name, size):
        path = self.root / f"{name}.img"
        with open(path, "wb") as image:
            image.truncate(size)
        return path

    def loop(self, image):
        tool("losetup")
        try:
            device = run("losetup", "--find", "--show", image).strip()
        except RuntimeError as error:
            pytest.skip(f"no loop device: {error}")
        self.stack.callback(subprocess.run, ["losetup", "-d", device],
                            capture_output=True)
        return device

    def mount(self, command, point, fuse=False):
        try:
            run(*command)
        except RuntimeError as error:
            pytest.skip(f"cannot mount: {error}")
        self.stack.callback(unmount, point)
        if fuse:
            wait_for_mount(point)
        return point


def unmount(point):
    for _ in range(50):
        if subprocess.run(["umount", str(point)],
                          capture_output=True).returncode == 0:
            return
        time.sleep(0.1)
    subprocess.run(["umount", "-l", str(point)], capture_output=True)


def wait_for_mount(point):
    deadline = time.monotonic() + 10
    while not os.path.ismount(point) and time.monotonic() < deadline:
        time.sleep(0.05)


def disk_image(m, kind, size, mkfs):
    image = m.image(kind, size)
    run(tool(mkfs[0]), *mkfs[1:], image)
    point = m.folder(kind)
    return m.mount(["mount", "-o", "loop", image, point], point)


def tmpfs(m, name, size="16m"):
    point = m.folder(name)
    return m.mount(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs",
                    point], point)


def overlay(m):
    base = tmpfs(m, "overlay-base")
    for name in ("lower", "upper", "work"):
        (base / name).mkdir()
    point = m.folder("overlay")
    return m.mount(["mount", "-t", "overlay", "overlay", "-o",
                    f"lowerdir={base}/lower,upperdir={base}/upper,"
                    f"workdir={base}/work", point], point)


def ntfs(m, driver, options):
    need_fuse()
    program = tool(driver)
    image = m.image("ntfs", 16 << 20)
    run(tool("mkntfs"), "-Q", "-F", "-q", image)
    point = m.folder("ntfs")
    command = [program, image, point] + (["-o", options] if options else [])
    return m.mount(command, point, fuse=True)


def exfat(m):
    need_fuse()
    program = tool("mount.exfat-fuse")
    image = m.image("exfat", 16 << 20)
    run(tool("mkfs.exfat"), image)
    # The driver mounts block devices only.
    device = m.loop(image)
    point = m.folder("exfat")
    return m.mount([program, device, point], point, fuse=True)


def fat32(m):
    need_fuse()
    program = tool("fusefat")
    # FAT32 needs 65525 clusters at least: 40 MiB in 512-byte clusters.
    image = m.image("fat32", 40 << 20)
    run(tool("mkfs.vfat"), "-F", "32", "-S", "512", "-s", "1", image)
    point = m.folder("fat32")
    return m.mount([program, "-o", "rw+", image, point], point, fuse=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def sshfs(m):
    need_fuse()
    sshd = tool("sshd")
    keygen = tool("ssh-keygen")
    program = tool("sshfs")
    served = tmpfs(m, "served")
    keys = m.folder("ssh")
    for name in ("host", "client"):
        run(keygen, "-q", "-t", "ed25519", "-N", "", "-f", keys / name)
    shutil.copy(keys / "client.pub", keys / "authorized_keys")
    port = free_port()
    config = keys / "sshd_config"
    config.write_text(
        f"Port {port}\nListenAddress 127.0.0.1\nHostKey {keys}/host\n"
        f"AuthorizedKeysFile {keys}/authorized_keys\n"
        f"PidFile {keys}/sshd.pid\nPermitRootLogin prohibit-password\n"
        "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
        "UsePAM no\nStrictModes no\nSubsystem sftp internal-sftp\n")
    # sshd's privilege separation folder, which its service would make.
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
    server = subprocess.Popen([sshd, "-D", "-e", "-f", config],
                              stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)

    def stop():
        server.terminate()
        server.communicate(timeout=30)

    m.stack.callback(stop)
    deadline = time.monotonic() + 10
    while True:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                break
        if server.poll() is not None or time.monotonic() > deadline:
            pytest.skip(f"sshd did not start: {server.stderr.read()!r}")
        time.sleep(0.05)
    point = m.folder("sshfs")
    return m.mount(
        [program, "-p", port, "-o",
         f"IdentityFile={keys}/client,StrictHostKeyChecking=no,"
         "UserKnownHostsFile=/dev/null,BatchMode=yes",
         f"root@127.0.0.1:{served}", point], point, fuse=True)


MAKERS = {
    "ext4": lambda m: disk_image(m, "ext4", 16 << 20,
                                 ["mkfs.ext4", "-q", "-F"]),
    "xfs": lambda m: disk_image(m, "xfs", 300 << 20,
                                ["mkfs.xfs", "-q", "-f"]),
    "btrfs": lambda m: disk_image(m, "btrfs", 128 << 20,
                                  ["mkfs.btrfs", "-q", "-f"]),
    "tmpfs": lambda m: tmpfs(m, "tmpfs"),
    "overlayfs": overlay,
    "ntfs-3g": lambda m: ntfs(m, "ntfs-3g", None),
    "ntfs-3g windows_names": lambda m: ntfs(m, "ntfs-3g", "windows_names"),
    "lowntfs-3g ignore_case": lambda m: ntfs(m, "lowntfs-3g", "ignore_case"),
    "exfat-fuse": exfat,
    "fusefat FAT32": fat32,
    "sshfs": sshfs,
}


class FileSystem:
    def __init__(self, name, root, work):
        self.name = name
        self.kind = KINDS[name]
        self.root = root
        self.work = work
        self.rows = 0

    def folder(self, name):
        """A new destination folder on the file system."""
        path = self.root / name
        path.mkdir()
        return path

    def local(self, name):
        """A new folder on the machine's own disk, for sources and mail."""
        path = self.work / name
        path.mkdir()
        return path


@pytest.fixture(scope="session", params=list(KINDS))
def fs(request):
    if os.geteuid() != 0:
        pytest.fail("these tests need root: mount")
    if not os.access(NATIVE_PROGRAM, os.X_OK):
        pytest.fail(f"missing program {NATIVE_PROGRAM}")
    with contextlib.ExitStack() as stack:
        root = pathlib.Path(tempfile.mkdtemp(prefix="stashwell-fs-"))
        stack.callback(shutil.rmtree, root, ignore_errors=True)
        work = root / "work"
        work.mkdir()
        point = MAKERS[request.param](Mounts(stack, root))
        yield FileSystem(request.param, point, work)


class Message:
    """A message file with attachment lines, run by the native program."""

    def __init__(self, fs, name):
        self.mail = fs.local(name + "-mail")
        self.attach = fs.local(name + "-attach")
        self.message = self.mail / "eud7.tmp"
        self.log = self.mail / "eud7.log"
        self.lines = []

    def attachment(self, name, data):
        path = os.path.join(os.fsencode(self.attach), name)
        with open(path, "wb") as out:
            out.write(data)
        self.lines.append(PREFIX + b'"' + path + b'"')
        return path

    def start(self, destination):
        self.message.write_bytes(b"From: Ann\r\nSubject: files\r\n\r\n" +
                                 b"\r\n".join(self.lines) + b"\r\n")
        return subprocess.Popen(
            [str(NATIVE_PROGRAM), str(self.message), str(destination)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, start_new_session=True)

    def run(self, destination):
        return finish(self.start(destination))

    def read_log(self):
        return self.log.read_bytes() if self.log.exists() else b""


def finish(process):
    try:
        _, err = process.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        process.communicate()
        pytest.fail("the program did not end within 120 s")
    return process.returncode, err


def listing(folder):
    return sorted(os.listdir(os.fsencode(folder)))


def assert_no_leftovers(destination):
    """No temporary file or folder of the program, nor a file FUSE hides
    because it was removed while open, in the destination folder."""
    left = []
    for folder, folders, files in os.walk(os.fsencode(destination)):
        for name in folders + files:
            if name.startswith((b".stashwell", b".fuse_hidden")):
                left.append(os.path.join(folder, name))
    assert left == []


def copy_errors(log):
    return [line for line in log.split(b"\r\n") if b"Code " in line]


def test_typical_message(fs):
    destination = fs.folder("typical")
    (destination / "notes.txt").write_bytes(b"same notes")
    (destination / "plan.doc").write_bytes(b"old plan")
    m = Message(fs, "typical")
    m.attachment(b"report.pdf", b"the report")
    m.attachment(b"notes.txt", b"same notes")
    m.attachment(b"plan.doc", b"new plan")
    exit_code, err = m.run(destination)
    log = m.read_log()
    assert exit_code == 0, err
    assert copy_errors(log) == []
    assert b"Duplicate of <" in log and b"Different version of <" in log
    assert listing(destination) == [b"notes.txt", b"plan.doc", b"plan1.doc",
                                    b"report.pdf"]
    assert (destination / "report.pdf").read_bytes() == b"the report"
    assert (destination / "notes.txt").read_bytes() == b"same notes"
    assert (destination / "plan.doc").read_bytes() == b"old plan"
    assert (destination / "plan1.doc").read_bytes() == b"new plan"
    assert listing(m.attach) == []
    assert_no_leftovers(destination)


def fill(root):
    """Fills the file system to its last byte; returns the filler."""
    filler = root / "filler"
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        free = os.statvfs(root)
        with contextlib.suppress(OSError):
            os.posix_fallocate(fd, 0, free.f_bavail * free.f_frsize)
        os.lseek(fd, 0, os.SEEK_END)
        block = b"\0" * 65536
        for size in (65536, 4096, 512, 1):
            with contextlib.suppress(OSError):
                while True:
                    os.write(fd, block[:size])
    finally:
        # A network share may report the full disk again when it closes.
        with contextlib.suppress(OSError):
            os.close(fd)
    return filler


def test_full_disk(fs):
    destination = fs.folder("full")
    m = Message(fs, "full")
    source = m.attachment(b"big.bin", os.urandom(4 << 20))
    filler = fill(fs.root)
    try:
        exit_code, err = m.run(destination)
    finally:
        filler.unlink()
    log = m.read_log()
    assert exit_code == 0, err
    assert copy_errors(log) == [
        b"Copy File returned error; Code %d" % fs.kind.full_disk], log
    assert os.path.getsize(source) == 4 << 20
    assert listing(destination) == []
    assert_no_leftovers(destination)


def test_names_the_file_system_refuses(fs):
    destination = fs.folder("names")
    m = Message(fs, "names")
    names = (QUESTION_MARK, NOT_UTF8, DEVICE)
    sources = {name: m.attachment(name, b"named " + name) for name in names}
    exit_code, err = m.run(destination)
    log = m.read_log()
    assert exit_code == 0, err
    refused = fs.kind.refuses
    assert len(copy_errors(log)) == len(refused), log
    assert listing(destination) == sorted(set(names) - set(refused))
    for name, source in sources.items():
        assert os.path.exists(source) == (name in refused), name
    assert_no_leftovers(destination)


def test_name_differing_only_in_case(fs):
    destination = fs.folder("case")
    (destination / "Report.pdf").write_bytes(b"theirs")
    m = Message(fs, "case")
    m.attachment(b"report.pdf", b"mine")
    exit_code, err = m.run(destination)
    assert exit_code == 0, err
    assert copy_errors(m.read_log()) == []
    mine = "report1.pdf" if fs.kind.ignores_case else "report.pdf"
    # lowntfs-3g with ignore_case lists every name in lower case.
    names = listing(destination)
    if fs.kind.ignores_case:
        names = sorted(name.lower() for name in names)
    assert names == sorted([b"Report.pdf" if not fs.kind.ignores_case
                            else b"report.pdf", os.fsencode(mine)])
    assert (destination / "Report.pdf").read_bytes() == b"theirs"
    assert (destination / mine).read_bytes() == b"mine"
    assert listing(m.attach) == []
    assert_no_leftovers(destination)


def test_read_only_mount(fs):
    fs.folder("read-only")
    view = fs.local("read-only-view")
    run("mount", "--bind", fs.root, view)
    try:
        run("mount", "-o", "remount,bind,ro", view)
        m = Message(fs, "read-only")
        source = m.attachment(b"report.pdf", b"the report")
        exit_code, err = m.run(view / "read-only")
    finally:
        unmount(view)
    assert exit_code == 0, err
    assert copy_errors(m.read_log()) == [
        b"Copy File returned error; Code 19"]
    assert os.path.exists(source)
    assert listing(fs.root / "read-only") == []


def test_burst_of_runs_with_one_attachment_name(fs):
    destination = fs.folder("burst")
    count = fs.kind.burst
    messages = []
    for n in range(count):
        m = Message(fs, f"burst{n}")
        m.attachment(b"image001.png", b"picture %d" % n)
        messages.append(m)
    processes = [m.start(destination) for m in messages]
    results = [finish(p) for p in processes]
    for m, (exit_code, err) in zip(messages, results):
        assert exit_code == 0, err
        assert copy_errors(m.read_log()) == [], m.read_log()
        assert listing(m.attach) == []
    names = listing(destination)
    assert len(names) == count
    assert set(names) == {b"image001.png"} | {b"image001%d.png" % n
                                              for n in range(1, count)}
    assert sorted((destination / os.fsdecode(n)).read_bytes()
                  for n in names) == sorted(b"picture %d" % n
                                            for n in range(count))
    assert_no_leftovers(destination)
