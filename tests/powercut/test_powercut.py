"""A power cut at any moment of a run loses no attachment.

The native program runs on the power-cut file system (powercut_fs, built
beside it by the native preset), which keeps beside what programs see what
a disk would hold after a power cut: a file's bytes only after its fsync or
fdatasync, a new name only after its folder's fsync, a removed name gone at
once. A first run counts the file system's requests. Then for every request
k the run is made again from the same start, the file system stops
answering at request k, the program is killed (SIGKILL), and what the disk
would hold becomes the state. Each new state is checked:

  - every attachment is whole at its source or under a final name in the
    destination, and no file of the destination is torn or mixed: each
    holds, whole, the file it held before the run or one attachment;
  - the same message run again, as a user would retry, places every
    attachment and leaves nothing of the program's own in the destination
    (its folder .stashwell, temporary files).

Every way the program publishes a copy on POSIX is cut, chosen by what the
file system refuses: an unnamed file (O_TMPFILE) linked through
/proc/self/fd; a named temporary file renamed with RENAME_NOREPLACE; a named
file linked when that rename gives EINVAL. Each scenario runs with the
message, the attachments and the destination on the file system, and with
the destination alone on it.
"""

import contextlib
import errno
import hashlib
import os
import pathlib
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
PROGRAM = REPO / "build" / "native" / "stashwell"
POWERCUT_FS = REPO / "build" / "native" / "powercut_fs"
OWN_FOLDER = ".stashwell"
# The program's temporary files: <prefix><process>-<n><extension>.
TEMPORARY = re.compile(r"^\.stashwell-\d+-\d+\.tmp$")
RUN_LIMIT = 30

# What the file system serves, by publication path.
PATHS = {
    "unnamed+link": "tmpfile=1 noreplace=1 link=1",
    "rename-noreplace": "tmpfile=0 noreplace=1 link=0",
    "link": "tmpfile=0 noreplace=0 link=1",
}


def _fuse_refusal():
    """Why this machine cannot mount a FUSE file system, or None.
    STASHWELL_FUSE=no makes it say no on any machine."""
    if os.environ.get("STASHWELL_FUSE") == "no":
        return "STASHWELL_FUSE=no"
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse on this kernel"
    if not POWERCUT_FS.is_file():
        return None  # the test fails: the build is missing
    with tempfile.TemporaryDirectory(prefix="stashwell-fuse-probe-") as root:
        root = pathlib.Path(root)
        (root / "back").mkdir()
        (root / "mnt").mkdir()
        try:
            with PowerCutFS(root / "back", root / "mnt", root / "ctl"):
                pass
        except MountRefused as refused:
            return f"FUSE mount refused: {refused}"
    return None


class MountRefused(Exception):
    pass


class PowerCutFS:
    """powercut_fs serving `backing` on `mountpoint`, and its control."""

    def __init__(self, backing, mountpoint, control):
        self.mountpoint = pathlib.Path(mountpoint)
        self.process = subprocess.Popen(
            [str(POWERCUT_FS), str(backing), str(mountpoint), str(control)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], 20)
        line = self.process.stdout.readline() if ready else b""
        if line.strip() != b"ready":
            self.process.kill()
            _, err = self.process.communicate()
            raise MountRefused(err.decode(errors="replace").strip() or
                               f"exit code {self.process.returncode}")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket.connect(str(control))
        self.pending = b""
        self.held = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.socket.close()
        subprocess.run(["umount", str(self.mountpoint)], check=False,
                       stderr=subprocess.DEVNULL)
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            subprocess.run(["umount", "-l", str(self.mountpoint)],
                           check=False)
            self.process.kill()
            self.process.wait()

    def line(self, timeout=RUN_LIMIT):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.socket], [], [], max(left, 0))
            if not ready:
                raise TimeoutError("powercut_fs did not answer")
            data = self.socket.recv(4096)
            if not data:
                raise RuntimeError("powercut_fs closed its control socket: "
                                   + self.process.stderr.read1().decode())
            self.pending += data
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode()

    def command(self, text):
        self.socket.sendall(text.encode() + b"\n")
        answer = self.line()
        # A "held" line may come before the answer to a command.
        while answer.startswith("held "):
            self.held = answer
            answer = self.line()
        if answer.startswith("error"):
            raise RuntimeError(f"powercut_fs: {text}: {answer}")
        return answer


# --- scenarios ----------------------------------------------------------

def _bytes(seed, size):
    return random.Random(seed).randbytes(size)


class Scenario:
    """Attachments (a source folder, a name and bytes each), the files the
    destination already holds and the runs: one message each, run at
    once."""

    def __init__(self, name, attachments, existing, runs):
        self.name = name
        self.attachments = attachments  # [(folder, name, bytes)]
        self.existing = existing        # {name: bytes}
        self.runs = runs                # [[attachment index]]


SCENARIOS = {
    # A new name, a duplicate of a file the destination has, and a file
    # whose name the destination has for different bytes (a numbered name).
    "typical": Scenario(
        "typical",
        [("a", "notes.txt", _bytes(1, 3000)),
         ("a", "same.pdf", _bytes(2, 5000)),
         ("a", "report.pdf", _bytes(3, 7000))],
        {"same.pdf": _bytes(2, 5000), "report.pdf": _bytes(4, 6000)},
        [[0, 1, 2]]),
    "8MiB": Scenario(
        "8MiB", [("a", "big.bin", _bytes(5, 8 << 20))], {}, [[0]]),
    # Three attachments of one name and the same bytes: the first is copied,
    # the other two are duplicates of that copy.
    "three-duplicates": Scenario(
        "three-duplicates",
        [("a", "scan.jpg", _bytes(6, 4000)),
         ("b", "scan.jpg", _bytes(6, 4000)),
         ("c", "scan.jpg", _bytes(6, 4000))],
        {}, [[0, 1, 2]]),
    # Two messages at once on one destination: each has a file of its own
    # and the same file under the same name as the other.
    "two-at-once": Scenario(
        "two-at-once",
        [("a", "shared.doc", _bytes(7, 4000)),
         ("a", "one.txt", _bytes(8, 2000)),
         ("b", "shared.doc", _bytes(7, 4000)),
         ("b", "two.txt", _bytes(9, 2500))],
        {}, [[0, 1], [2, 3]]),
}

LAYOUTS = ("all-on-fs", "destination-on-fs")


class Layout:
    """Where the message, the attachments and the destination are."""

    def __init__(self, scenario, layout, root):
        self.scenario = scenario
        self.root = root
        self.backing = root / "backing"
        self.mount = root / "mnt"
        self.backing.mkdir()
        self.mount.mkdir()
        if layout == "all-on-fs":
            self.destination = self.mount / "dest"
            self.sources = self.mount / "in"
            self.backing_sources = self.backing / "in"
            dest_backing = self.backing / "dest"
        else:
            self.destination = self.mount
            self.sources = root / "in"
            self.backing_sources = None
            dest_backing = self.backing
        dest_backing.mkdir(exist_ok=True)
        for name, data in scenario.existing.items():
            (dest_backing / name).write_bytes(data)
        if self.backing_sources is not None:
            self.write_sources(self.backing_sources)

    def source(self, index):
        folder, name, _ = self.scenario.attachments[index]
        return self.sources / folder / name

    def message(self, run):
        return self.sources / f"mail{run}" / f"msg{run}.txt"

    def write_sources(self, top, missing_only=False):
        """The attachments and the messages below top; with missing_only
        only the messages that are gone (a retry's message)."""
        if not missing_only:
            for folder, name, data in self.scenario.attachments:
                (top / folder).mkdir(parents=True, exist_ok=True)
                (top / folder / name).write_bytes(data)
        for run, indexes in enumerate(self.scenario.runs):
            message = top / f"mail{run}" / f"msg{run}.txt"
            if missing_only and message.exists():
                continue
            lines = [f'Attachment Converted: "{self.source(i)}"'
                     for i in indexes]
            message.parent.mkdir(parents=True, exist_ok=True)
            message.write_bytes(
                ("From: Ann\r\nSubject: files\r\n\r\n" + "\r\n".join(lines) +
                 "\r\n").encode())

    def reset_sources(self):
        """Outside the file system the sources are made again for a run."""
        if self.backing_sources is None:
            shutil.rmtree(self.sources, ignore_errors=True)
            self.write_sources(self.sources)

    def sources_digest(self):
        if self.backing_sources is not None:
            return ""  # part of the file system's state
        digest = hashlib.sha256()
        for path in sorted(self.sources.rglob("*")):
            # The run's log is the program's own, and dated.
            if path.suffix == ".log":
                continue
            digest.update(str(path.relative_to(self.sources)).encode())
            if path.is_file():
                digest.update(hashlib.sha256(path.read_bytes()).digest())
        return digest.hexdigest()


def start_runs(layout):
    return [subprocess.Popen(
        [str(PROGRAM), str(layout.message(run)), str(layout.destination)],
        cwd=str(layout.root), stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
        for run in range(len(layout.scenario.runs))]


def retry(layout, run):
    """Runs one message again to its end."""
    process = subprocess.Popen(
        [str(PROGRAM), str(layout.message(run)), str(layout.destination)],
        cwd=str(layout.root), stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    pidfd = os.pidfd_open(process.pid)
    try:
        ready, _, _ = select.select([pidfd], [], [], RUN_LIMIT)
    finally:
        os.close(pidfd)
    if not ready:
        kill([process])
        process.wait()
        raise TimeoutError(f"the retry of message {run} did not end")
    process.wait()


def kill(processes):
    for process in processes:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)


def run_until_held(fs, processes):
    """Waits until the file system holds a request (True) or every run has
    ended (False)."""
    pidfds = {os.pidfd_open(p.pid): p for p in processes}
    deadline = time.monotonic() + RUN_LIMIT
    try:
        while pidfds:
            if b"\n" in fs.pending:
                break
            left = deadline - time.monotonic()
            if left <= 0:
                kill(processes)
                raise TimeoutError("the runs neither ended nor were held")
            ready, _, _ = select.select([fs.socket, *pidfds], [], [], left)
            for fd in ready:
                if fd is fs.socket:
                    data = fs.socket.recv(4096)
                    if not data:
                        raise RuntimeError("powercut_fs went away")
                    fs.pending += data
                else:
                    os.close(fd)
                    pidfds.pop(fd).wait()
        if b"\n" in fs.pending:
            line = fs.line()
            assert line.startswith("held "), line
            return True
        return False
    finally:
        for fd in pidfds:
            os.close(fd)


# --- checks ---------------------------------------------------------------

def destination_files(layout):
    """{name: bytes} of the regular files the destination shows, and the
    names of the program's own things there."""
    files, own = {}, []
    for entry in os.scandir(layout.destination):
        if entry.name == OWN_FOLDER or TEMPORARY.match(entry.name):
            own.append(entry.name)
        elif entry.is_file(follow_symlinks=False):
            files[entry.name] = pathlib.Path(entry.path).read_bytes()
        else:
            own.append(entry.name)
    return files, own


def read_or_none(path):
    try:
        return path.read_bytes()
    except FileNotFoundError:
        return None


def check_state(layout, after_retry):
    """Faults of the state on the file system, as texts."""
    faults = []
    scenario = layout.scenario
    files, own = destination_files(layout)
    held = set(files.values())
    allowed = {data for _, _, data in scenario.attachments}
    for name, data in files.items():
        before = scenario.existing.get(name)
        if before is not None and data != before:
            faults.append(f"{name}: the file the destination had is "
                          f"changed ({len(data)} bytes)")
        elif before is None and data not in allowed:
            faults.append(f"{name}: torn or mixed file ({len(data)} bytes)")
    for name in scenario.existing:
        if name not in files:
            faults.append(f"{name}: the file the destination had is gone")
    for index, (_, _, data) in enumerate(scenario.attachments):
        path = layout.source(index)
        at_source = read_or_none(path)
        if at_source is not None and at_source != data:
            faults.append(f"{path}: the source is changed")
        placed = data in held
        if after_retry:
            if not placed:
                faults.append(f"{path}: not placed after the retry")
            if at_source is not None:
                faults.append(f"{path}: still there after the retry")
        elif at_source is None and not placed:
            faults.append(f"{path}: LOST (neither at its source nor in "
                          "the destination)")
    if after_retry and own:
        faults.append(f"the program's own things left: {sorted(own)}")
    return faults


def explore(tmp_path, scenario_name, layout_name, path_name):
    """Cuts the power at every request; returns (k explored, states
    checked, faults)."""
    scenario = SCENARIOS[scenario_name]
    layout = Layout(scenario, layout_name, tmp_path)
    faults = []
    with PowerCutFS(layout.backing, layout.mount, tmp_path / "ctl") as fs:
        fs.command("options " + PATHS[path_name])
        # The uncut run: its request count bounds the cuts.
        fs.command("arm 0")
        layout.reset_sources()
        processes = start_runs(layout)
        assert not run_until_held(fs, processes)
        codes = [p.returncode for p in processes]
        total = int(fs.command("disarm").split()[1])
        served = fs.command("served").split()
        served = dict(zip(served[1::2], map(int, served[2::2])))
        # The publication path asked for is the one the program took.
        wanted = {"unnamed+link": served["tmpfile"] > 0 and served["link"] > 0,
                  "rename-noreplace": served["tmpfile"] == 0 and
                  served["noreplace"] > 0,
                  "link": served["tmpfile"] == 0 and served["noreplace"] == 0
                  and served["link"] > 0}
        assert wanted[path_name], f"{path_name} not taken: {served}"
        uncut = check_state(layout, after_retry=True)
        assert not uncut, f"the uncut run (exit codes {codes}): {uncut}"
        seen = set()
        explored = 0
        # Cut at every request, and once after the runs have ended.
        for k in range(1, total + 2):
            explored += 1
            fs.held = None
            fs.command(f"arm {k}")
            layout.reset_sources()
            processes = start_runs(layout)
            if run_until_held(fs, processes):
                kill(processes)
                fs.command("release")
                # Killed and let go, they end at once.
                for process in processes:
                    if process.returncode is not None:
                        continue
                    _, status = os.waitpid(process.pid, 0)
                    process.returncode = os.waitstatus_to_exitcode(status)
            else:
                fs.command("disarm")
                if fs.held:  # counted after the runs ended: let it go
                    fs.command("release")
            state = fs.command("reboot").split()[1] + layout.sources_digest()
            if state in seen:
                continue
            seen.add(state)
            found = check_state(layout, after_retry=False)
            # The retry: the same messages again, one after the other.
            layout.write_sources(layout.sources, missing_only=True)
            for run in range(len(scenario.runs)):
                retry(layout, run)
            found += [f"after the retry: {f}"
                      for f in check_state(layout, after_retry=True)]
            faults += [f"cut at request {k} of {total}: {f}" for f in found]
    return total, explored, len(seen), faults


FUSE_REFUSAL = _fuse_refusal()

def cases():
    for scenario in SCENARIOS:
        for layout in LAYOUTS:
            for path in PATHS:
                yield pytest.param(scenario, layout, path,
                                   id=f"{scenario}-{layout}-{path}")


@pytest.mark.parametrize("scenario,layout,path", list(cases()))
def test_power_cut_at_every_request(tmp_path, counts, scenario, layout,
                                    path):
    if FUSE_REFUSAL:
        pytest.skip(f"power-cut file system NOT RUN: {FUSE_REFUSAL}")
    assert PROGRAM.is_file(), f"missing {PROGRAM}: build the native preset"
    assert POWERCUT_FS.is_file(), (f"missing {POWERCUT_FS}: build the native "
                                   "preset with libfuse3-dev installed")
    started = time.monotonic()
    total, explored, states, faults = explore(tmp_path, scenario, layout,
                                              path)
    counts.append(f"{scenario:16} {layout:17} {path:16} requests {total:3}  "
                  f"k explored {explored:3}  states checked {states:2}  "
                  f"faults {len(faults)}  "
                  f"{time.monotonic() - started:.1f} s")
    assert not faults, "\n".join(faults[:10])


# --- the file system's own model -------------------------------------------

def _renameat2(old, new, flags):
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.renameat2(-100, bytes(old), -100, bytes(new), flags) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))


def _tmpfile_link(folder, name, data):
    fd = os.open(folder, os.O_TMPFILE | os.O_WRONLY, 0o600)
    at = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.write(fd, data)
        os.fdatasync(fd)
        # linkat with AT_SYMLINK_FOLLOW (a plain link() would link the
        # /proc entry itself).
        os.link(f"/proc/self/fd/{fd}", name, dst_dir_fd=at,
                follow_symlinks=True)
    finally:
        os.close(at)
        os.close(fd)


def _write(path, data, sync):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        os.write(fd, data)
        if sync:
            os.fdatasync(fd)
    finally:
        os.close(fd)


def _fsync(folder):
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


# Steps on a folder holding old.txt ("old", on the disk) and what the disk
# holds after them: {name: bytes}.
MODEL = [
    ("bytes flushed, folder not", lambda d: _write(d / "n", b"new", True),
     {"old.txt": b"old"}),
    ("folder flushed, bytes not",
     lambda d: (_write(d / "n", b"new", False), _fsync(d)),
     {"old.txt": b"old", "n": b""}),
    ("bytes and folder flushed",
     lambda d: (_write(d / "n", b"new", True), _fsync(d)),
     {"old.txt": b"old", "n": b"new"}),
    ("renamed, folder not flushed",
     lambda d: os.rename(d / "old.txt", d / "moved"), {}),
    ("renamed, folder flushed",
     lambda d: (os.rename(d / "old.txt", d / "moved"), _fsync(d)),
     {"moved": b"old"}),
    ("removed", lambda d: os.unlink(d / "old.txt"), {}),
    ("unnamed file linked, folder flushed",
     lambda d: (_tmpfile_link(d, "t", b"tmp"), _fsync(d)),
     {"old.txt": b"old", "t": b"tmp"}),
    ("linked, folder not flushed",
     lambda d: os.link(d / "old.txt", d / "second"), {"old.txt": b"old"}),
]


def test_the_file_system_keeps_what_a_disk_would_hold(tmp_path):
    if FUSE_REFUSAL:
        pytest.skip(f"power-cut file system NOT RUN: {FUSE_REFUSAL}")
    (tmp_path / "backing" / "d").mkdir(parents=True)
    (tmp_path / "backing" / "d" / "old.txt").write_bytes(b"old")
    (tmp_path / "mnt").mkdir()
    folder = tmp_path / "mnt" / "d"
    with PowerCutFS(tmp_path / "backing", tmp_path / "mnt",
                    tmp_path / "ctl") as fs:
        for what, steps, durable in MODEL:
            fs.command("arm 0")
            steps(folder)
            fs.command("reboot")
            held = {p.name: p.read_bytes() for p in folder.iterdir()}
            assert held == durable, what
        # What the file system is told to refuse fails as on one without it.
        fs.command("options tmpfile=0 noreplace=0 link=0")
        fs.command("arm 0")
        refused = []
        for step in (lambda: os.open(folder, os.O_TMPFILE | os.O_WRONLY),
                     lambda: _renameat2(folder / "old.txt", folder / "x", 1),
                     lambda: os.link(folder / "old.txt", folder / "y")):
            with pytest.raises(OSError) as error:
                step()
            refused.append(error.value.errno)
        assert refused == [errno.EOPNOTSUPP, errno.EINVAL, errno.EPERM]
