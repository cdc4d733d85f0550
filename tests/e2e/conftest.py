"""End-to-end harness: runs the real program natively and under wine64.

Every test that takes the `prog` fixture runs twice:

- "native": build/native/stashwell, as built by the `native` preset.
- "win32": build/win32/stashwell.exe, the product, as built by the `win32`
  preset, under wine64 (its WoW64 mode, with wine's 32-bit DLLs) through
  scripts/wine-run, with the test helpers the same preset builds into
  build/win32/tests/win/:
    dialog_helper.exe     watches for message boxes, reports and answers them
    run_command_line.exe  prints "started", starts the program with an exact
                          command line, waits for it and for what it
                          started, and reports its exit code
    open_recorder.exe     registered for ".log" files in the session's wine
                          prefix; records the path the shell was asked to open

`@all_programs` on a test (or as a module's `pytestmark`) adds a third run,
"win64": the same sources' 64-bit build with its own helpers from
build/win64/tests/win/, for the scenarios where pointer size, handle size
and the C runtime's file offsets could make the two Windows programs
differ (placement, comparison, large files).

On a kernel that refuses 32-bit code (scripts/can-run-32-bit says so;
STASHWELL_RUN_32_BIT=no makes it say so anywhere) every "win32" test still
goes through its set-up: the program and the helpers must be there and be
32-bit Windows programs, the test's files are written and its command line
is made. It stops, as skipped, at the first step that would start a 32-bit
program, and "win64" runs the test in its place. The session's header says
which program stands for the product, and its summary names every test
that was skipped, with the reason.

A missing program fails the test. Under wine a
program that cannot start (a 32-bit one without wine's 32-bit DLLs) may do
nothing and still exit 0, so every wine run must show that it ran: the
dialog helper's first line and the launcher's report of the program's exit
code are required, and a session's first run of each Windows program must
show the usage box.

    prog.name            "native", "win32" or "win64"
    prog.windows         False natively, True under wine
    prog.arg(path)       host path -> the text the program must receive:
                         as-is natively, "Z:\\..." with backslashes under wine
    prog.sep             "/" natively, "\\" under wine
    prog.run(*args, answer="no", cmdline=None, env=None, timeout=60,
             cwd=None) -> Result
    prog.need_wine(what) under wine: skips the test, naming `what`, where
                         the program cannot run (before any other wine
                         command a test starts itself)

`timeout` is for hangs: natively it is the limit; under wine the limit is
never below WINE_RUN_LIMIT, since a wine start on a loaded machine can take
tens of seconds. A run that passes its limit fails the test with what the
program, the launcher and the dialog helper printed.

`args` are separate arguments (str, pathlib.Path or bytes): natively argv;
under wine joined into one Windows command line, each quoted with double
quotes when it holds a blank or a tab or is empty. `cmdline` replaces them:
under wine the raw text that follows the program's path and one space
(bytes, or str encoded in the ANSI code page of the run's locale: cp1252
unless LC_ALL names a Japanese, Korean or Chinese locale); natively a list
of argv strings. `answer` ("yes" or "no") answers the "Stashwel" question:
under wine the dialog helper presses Yes or No; natively "yes" runs the
program on a pseudo-terminal and types "y" when the question appears there,
"no" runs it with no terminal at all (stdin from /dev/null, a session of its
own), where it answers No itself. `env` adds to the environment. The program
runs in a fresh empty folder unless `cwd` says otherwise.

    prog.locale_env("de_DE") -> {"LOCPATH": ..., "LC_ALL": "de_DE.UTF-8"}
                         an env for prog.run under that locale, compiled
                         once per session (natively LC_TIME follows it; wine
                         takes the Windows locale and code page from it)

    Result.exit_code     int
    Result.dialogs       [Dialog(caption, text, buttons)] in the order shown
    Result.opened        paths the shell was asked to open
    Result.stderr        text (natively: stderr, or the terminal's output
                         when run on one)

Natively the POSIX platform writes message boxes as caption, ": ", text,
"\\n" and the question as caption, ": ", text, " [y/N] " plus the answer;
those are parsed back into dialogs by the three captions the program uses.
The shell request is recorded by a fake `xdg-open` (and `open`) put first on
PATH.
"""

import collections
import contextlib
import errno
import fcntl
import json
import os
import pathlib
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
import sys  # noqa: E402
sys.path.insert(0, str(REPO / "tests"))
from not_run import name_not_run, skipped_tests  # noqa: E402
BUILD = REPO / "build"
NATIVE_PROGRAM = BUILD / "native" / "stashwell"
WINDOWS_PRESETS = ("win32", "win64")
WINE_RUN = REPO / "scripts" / "wine-run"
CAN_RUN_32_BIT = REPO / "scripts" / "can-run-32-bit"
MAKE_LOCALES = REPO / "tests" / "win" / "make_locales.sh"

QUESTION_CAPTION = "Stashwel"
USAGE_CAPTION = "Check Filter Action"
BOX_CAPTIONS = ("Check Filter Action", "Application Error")
QUESTION_MARK = " [y/N] "
IDOK, IDYES, IDNO = 1, 6, 7

Dialog = collections.namedtuple("Dialog", "caption text buttons")


# Limits for hangs, far above what a correct run needs even while other
# builds load the machine: a wine program's run, and the making and ending
# of the session's wine prefix and its server.
WINE_RUN_LIMIT = 600
WINE_PREFIX_LIMIT = 900


def _probe_32_bit():
    probe = subprocess.run([str(CAN_RUN_32_BIT)], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=120)
    if probe.returncode not in (0, 1):
        raise RuntimeError(f"{CAN_RUN_32_BIT} failed ({probe.returncode}): "
                           f"{probe.stdout}{probe.stderr}")
    return probe.returncode == 0, probe.stdout.strip()


# Whether wine64 can run the 32-bit program on this machine's kernel, and
# the Windows program that stands for the product in the suite.
RUNS_32_BIT, PROBE_32_BIT = _probe_32_bit()
PRODUCT = "win32" if RUNS_32_BIT else "win64"
# The Windows programs of a test that takes `prog`: the product always,
# and where it cannot run the 64-bit program beside it.
WINDOWS_PROGRAMS = ["win32"] if RUNS_32_BIT else ["win32", "win64"]
NOT_RUN_32_BIT = "32-bit program NOT RUN"
# Machine field of a PE header, by preset.
PE_MACHINES = {"win32": 0x14C, "win64": 0x8664}  # i386, x86-64


def pytest_report_header(config):
    return [f"Windows program under test: {PRODUCT} ({PROBE_32_BIT})"]


def pytest_terminal_summary(terminalreporter):
    skipped = skipped_tests(terminalreporter)
    name_not_run(terminalreporter, skipped)
    if not RUNS_32_BIT:
        terminalreporter.section(NOT_RUN_32_BIT, sep="!")
        terminalreporter.write_line(
            f"{PROBE_32_BIT}: the win32 tests went through their set-up and "
            "stopped before the first 32-bit start; the win64 program ran "
            "them in the product's place")


class Result:
    def __init__(self, exit_code, dialogs, opened, stderr):
        self.exit_code = exit_code
        self.dialogs = dialogs
        self.opened = opened
        self.stderr = stderr

    def __repr__(self):
        return (f"Result(exit_code={self.exit_code!r}, "
                f"dialogs={self.dialogs!r}, opened={self.opened!r}, "
                f"stderr={self.stderr!r})")


def _decode(data):
    return data.decode("utf-8", errors="surrogateescape")


def _read_lines(path):
    try:
        return _decode(pathlib.Path(path).read_bytes()).splitlines()
    except FileNotFoundError:
        return []


def parse_native_dialogs(text):
    """Message boxes and the question as the POSIX platform writes them.

    A box is caption, ": ", text, "\\n", where the text may hold CR LF: it
    ends at the first LF with no CR before it. The question is caption,
    ": ", text, " [y/N] " and the answer up to the line end (none on a
    terminal, which does not echo here).
    """
    dialogs = []
    pos = 0
    while pos < len(text):
        if text.startswith(QUESTION_CAPTION + ": ", pos):
            start = pos + len(QUESTION_CAPTION) + 2
            mark = text.find(QUESTION_MARK, start)
            if mark >= 0:
                dialogs.append(
                    Dialog(QUESTION_CAPTION, text[start:mark], [IDYES, IDNO]))
                end = text.find("\n", mark)
                pos = len(text) if end < 0 else end + 1
                continue
        caption = next((c for c in BOX_CAPTIONS
                        if text.startswith(c + ": ", pos)), None)
        if caption:
            start = pos + len(caption) + 2
            end = start
            while True:
                end = text.find("\n", end)
                if end < 0 or end == start or text[end - 1] != "\r":
                    break
                end += 1
            if end < 0:
                end = len(text)
            dialogs.append(Dialog(caption, text[start:end], [IDOK]))
            pos = end + 1
            continue
        end = text.find("\n", pos)
        pos = len(text) if end < 0 else end + 1
    return dialogs


def windows_quote(arg, code_page):
    """One argument as bytes of a Windows command line."""
    if not isinstance(arg, bytes):
        arg = str(arg).encode(code_page)
    if arg == b"" or b" " in arg or b"\t" in arg:
        return b'"' + arg + b'"'
    return arg


class _Session:
    """Folders and the wine prefix shared by one pytest session."""

    def __init__(self):
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="stashwell-e2e-"))
        self.fake_bin = self.root / "bin"
        self.fake_bin.mkdir()
        for opener in ("xdg-open", "open"):
            script = self.fake_bin / opener
            script.write_text(
                "#!/bin/sh\n"
                "# Records the path the program asked the desktop to open.\n"
                'printf "%s\\n" "$1" >>"${STASHWELL_OPEN_RECORD:-/dev/null}"\n')
            script.chmod(0o755)
        self.wine_prefix = self.root / "wine-prefix"
        self.wine_ready = False
        self.programs_checked = set()
        self.runs = 0

    def locale_env(self, name):
        """Compiles the UTF-8 Unix locale `name` (like "de_DE") once."""
        folder = self.root / "locales"
        if not (folder / f"{name}.UTF-8" / "LC_CTYPE").is_file():
            subprocess.run(["sh", str(MAKE_LOCALES), str(folder), name],
                           check=True, timeout=300)
        return {"LOCPATH": str(folder), "LC_ALL": f"{name}.UTF-8"}

    def run_folder(self):
        self.runs += 1
        folder = self.root / f"run{self.runs}"
        folder.mkdir()
        return folder

    def wine_env(self):
        env = dict(os.environ)
        env["WINEPREFIX"] = str(self.wine_prefix)
        return env

    def ensure_wine(self):
        if self.wine_ready:
            return
        # The product's recorder answers for every Windows program.
        recorder = windows_helpers(PRODUCT) / "open_recorder.exe"
        if not recorder.is_file():
            pytest.fail(f"missing test helper {recorder}: build the "
                        f"{PRODUCT} preset")
        # One server for the whole session, its background processes
        # detached from every pipe of the tests.
        subprocess.run([str(WINE_RUN), "--start"], env=self.wine_env(),
                       check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=WINE_PREFIX_LIMIT)
        command = f'"{to_windows_path(recorder)}" "%1"'
        for key, value in ((r"HKCR\.log", "StashwellTest.log"),
                           (r"HKCR\StashwellTest.log\shell\open\command",
                            command)):
            subprocess.run(
                [str(WINE_RUN), "reg", "add", key, "/ve", "/d", value, "/f"],
                env=self.wine_env(), check=True, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, timeout=WINE_RUN_LIMIT)
        self.wine_ready = True

    def close(self):
        if self.wine_prefix.exists():
            subprocess.run([str(WINE_RUN), "--kill"], env=self.wine_env(),
                           timeout=WINE_RUN_LIMIT)
        shutil.rmtree(self.root, ignore_errors=True)


# ANSI code pages of the locales whose code page is not 1252.
_CODE_PAGES = {"ja": "cp932", "ko": "cp949", "zh_CN": "gbk", "zh_SG": "gbk",
               "zh_TW": "cp950", "zh_HK": "cp950"}


def ansi_code_page(env):
    """The ANSI code page wine uses for a run with this environment."""
    name = env.get("LC_ALL") or ""
    for prefix, code_page in _CODE_PAGES.items():
        if name.startswith(prefix):
            return code_page
    return "cp1252"


def to_windows_path(path):
    return "Z:" + os.path.abspath(str(path)).replace("/", "\\")


def windows_program(preset):
    return BUILD / preset / "stashwell.exe"


def windows_helpers(preset):
    return BUILD / preset / "tests" / "win"


def pe_machine(path):
    """The machine field of a PE image's header, None when it is none."""
    data = pathlib.Path(path).read_bytes()[:4096]
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe = int.from_bytes(data[0x3C:0x40], "little")
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    return int.from_bytes(data[pe + 4:pe + 6], "little")


class _Native:
    name = "native"
    sep = "/"
    windows = False

    def __init__(self, session):
        self.session = session
        if not os.access(NATIVE_PROGRAM, os.X_OK):
            pytest.fail(f"missing program {NATIVE_PROGRAM}: build the native "
                        "preset")

    def arg(self, path):
        return str(path)

    def locale_env(self, name):
        return self.session.locale_env(name)

    def run(self, *args, answer="no", cmdline=None, env=None, timeout=60,
            cwd=None):
        folder = self.session.run_folder()
        record = folder / "opened.txt"
        if isinstance(cmdline, (str, bytes)):
            raise TypeError("natively cmdline is a list of argv strings")
        argv = [str(NATIVE_PROGRAM)]
        argv += [a if isinstance(a, bytes) else str(a)
                 for a in (cmdline if cmdline is not None else args)]
        full_env = dict(os.environ)
        full_env.update(env or {})
        full_env["PATH"] = (str(self.session.fake_bin) + os.pathsep +
                            full_env.get("PATH", ""))
        full_env["STASHWELL_OPEN_RECORD"] = str(record)
        cwd = str(cwd or folder)
        if answer == "yes":
            exit_code, output, group = self._run_on_terminal(
                argv, full_env, cwd, timeout)
        elif answer == "no":
            exit_code, output, group = self._run_detached(
                argv, full_env, cwd, timeout)
        else:
            raise ValueError(f"answer must be 'yes' or 'no', not {answer!r}")
        _wait_for_group(group)
        text = _decode(output)
        return Result(exit_code, parse_native_dialogs(text),
                      _read_lines(record), text)

    @staticmethod
    def _run_detached(argv, env, cwd, timeout):
        process = subprocess.Popen(
            argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            start_new_session=True)
        try:
            _, err = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            _kill_group(process.pid)
            process.communicate()
            pytest.fail(f"{argv} did not end within {timeout} s")
        return process.returncode, err, process.pid

    @staticmethod
    def _run_on_terminal(argv, env, cwd, timeout):
        master, slave = pty.openpty()
        # Bytes exactly as written (no CR added before LF), and the typed
        # answer is not echoed into the output.
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.OPOST
        attrs[3] &= ~termios.ECHO
        termios.tcsetattr(slave, termios.TCSANOW, attrs)

        def take_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            # The program leads the session: when it ends, what it started
            # (the opener) would get SIGHUP. Ignoring it is inherited.
            signal.signal(signal.SIGHUP, signal.SIG_IGN)

        process = subprocess.Popen(
            argv, env=env, cwd=cwd, stdin=slave, stdout=slave, stderr=slave,
            start_new_session=True, preexec_fn=take_terminal)
        os.close(slave)
        output = b""
        answered = 0
        deadline = time.monotonic() + timeout
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    _kill_group(process.pid)
                    process.wait()
                    pytest.fail(f"{argv} did not end within {timeout} s")
                ready, _, _ = select.select([master], [], [], min(left, 0.5))
                if ready:
                    try:
                        data = os.read(master, 65536)
                    except OSError as error:
                        if error.errno != errno.EIO:
                            raise
                        data = b""
                    if not data:
                        break  # every holder of the terminal has closed it
                    output += data
                    asked = output.count(QUESTION_MARK.encode())
                    if asked > answered:
                        os.write(master, b"y\n")
                        answered = asked
                elif process.poll() is not None:
                    break
            exit_code = process.wait(timeout=max(deadline - time.monotonic(),
                                                 1))
        finally:
            os.close(master)
        return exit_code, output, process.pid


def _kill_group(group):
    try:
        os.killpg(group, signal.SIGKILL)
    except ProcessLookupError:
        pass


def _wait_for_group(group, limit=10.0):
    """Waits for what the program started (the opener) to end."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            os.killpg(group, 0)
        except ProcessLookupError:
            return
        except PermissionError:
            return
        time.sleep(0.02)


class _Wine:
    """A Windows program under wine64 with the helpers of its preset;
    `program` replaces the preset's build of it (a packaged copy, say)."""
    sep = "\\"
    windows = True

    def __init__(self, session, preset="win32", program=None):
        self.session = session
        self.name = preset
        self.program = pathlib.Path(program or windows_program(preset))
        self.helpers = windows_helpers(preset)
        # Where the kernel refuses 32-bit code, a win32 test goes as far
        # as it can without starting a program: these checks and its own
        # set-up run everywhere.
        self.runnable = preset != "win32" or RUNS_32_BIT
        for needed in (self.program, self.helpers / "dialog_helper.exe",
                       self.helpers / "run_command_line.exe",
                       self.helpers / "open_recorder.exe",
                       self.helpers / "hold_file.exe"):
            if not needed.is_file():
                hint = "" if program else f": build the {preset} preset"
                pytest.fail(f"missing {needed}{hint}")
            machine = pe_machine(needed)
            if machine != PE_MACHINES[preset]:
                pytest.fail(f"{needed} is no {preset} program (machine "
                            f"{machine!r})")
        if not os.access(WINE_RUN, os.X_OK):
            pytest.fail(f"missing {WINE_RUN}")
        if not self.runnable:
            return
        session.ensure_wine()
        if self.program not in session.programs_checked:
            self._check_it_runs()
            session.programs_checked.add(self.program)

    def _check_it_runs(self):
        # With no arguments the program shows its usage box: proof that
        # this program, with its DLLs, really runs in this prefix.
        result = self.run()
        if (result.exit_code, [d.caption for d in result.dialogs]) != (
                0, [USAGE_CAPTION]):
            pytest.fail(f"{self.program} does not run under wine64 "
                        f"(missing 32-bit DLLs?): {result!r}")

    def arg(self, path):
        return to_windows_path(path)

    def locale_env(self, name):
        return self.session.locale_env(name)

    def need_wine(self, what):
        """Skips the test at `what`, its first wine start, where this
        program cannot run."""
        if not self.runnable:
            pytest.skip(f"{NOT_RUN_32_BIT} at {what} ({PROBE_32_BIT})")

    @staticmethod
    def _start_dialog_helper(command, env, folder, out_path, err_path):
        """Starts the dialog helper and returns once it watches for boxes.

        Wine now and then fails to start a process at all (exit code 1, not
        a word printed) on a loaded machine. A helper that ends before it
        reports that it watches is started again, up to three times; the
        program under test starts only after that, so no box of the run
        can come before the helper looks."""
        for attempt in range(3):
            with open(out_path, "wb") as out, open(err_path, "wb") as err:
                helper = subprocess.Popen(
                    command, env=env, cwd=str(folder),
                    stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            deadline = time.monotonic() + WINE_RUN_LIMIT
            while time.monotonic() < deadline:
                if b"\n" in out_path.read_bytes():
                    return helper
                if helper.poll() is not None:
                    break
                time.sleep(0.01)
            else:
                return helper  # the checks after the run report it
            if b"\n" in out_path.read_bytes():
                return helper
        return helper

    def run(self, *args, answer="no", cmdline=None, env=None, timeout=60,
            cwd=None):
        limit = max(timeout, WINE_RUN_LIMIT)
        if answer not in ("yes", "no"):
            raise ValueError(f"answer must be 'yes' or 'no', not {answer!r}")
        folder = self.session.run_folder()
        stop = folder / "stop"
        record = folder / "opened.txt"
        command_file = folder / "command-line.txt"
        full_env = self.session.wine_env()
        full_env.update(env or {})
        full_env["STASHWELL_OPEN_RECORD"] = to_windows_path(record)
        code_page = ansi_code_page(full_env)
        head = ('"' + to_windows_path(self.program) + '"').encode(code_page)
        if cmdline is not None:
            tail = (cmdline if isinstance(cmdline, bytes) else
                    cmdline.encode(code_page))
            command_file.write_bytes(head + b" " + tail)
        else:
            line = b" ".join(windows_quote(a, code_page) for a in args)
            command_file.write_bytes(head + (b" " + line if args else b""))
        self.need_wine("the program's run")
        answers = f"{QUESTION_CAPTION}={IDYES if answer == 'yes' else IDNO}"
        # Output goes to files, not pipes: a wine process may hand its
        # output handles on to background processes of the prefix, and a
        # pipe would then not end with the process.
        helper_out = folder / "dialogs.jsonl"
        helper_err = folder / "dialog_helper.err"
        run_out = folder / "launcher.txt"
        run_err = folder / "stderr.txt"
        helper = self._start_dialog_helper(
            [str(WINE_RUN), str(self.helpers / "dialog_helper.exe"),
             to_windows_path(stop), answers, str(limit + 60)],
            full_env, folder, helper_out, helper_err)
        try:
            # The launcher's first act is to print "started": a launcher
            # that printed nothing never started the program, and wine's
            # failure to start it at all is tried again, up to three times,
            # as for the dialog helper.
            for attempt in range(3):
                with open(run_out, "wb") as out, open(run_err, "wb") as err:
                    run = subprocess.run(
                        [str(WINE_RUN),
                         str(self.helpers / "run_command_line.exe"),
                         to_windows_path(command_file)],
                        env=full_env, cwd=str(cwd or folder),
                        stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                        timeout=limit)
                if not _wine_started_nothing(run.returncode,
                                             run_out.read_bytes(),
                                             run_err.read_bytes()):
                    break
        except subprocess.TimeoutExpired:
            stop.touch()
            helper.kill()
            helper.wait()
            # Whatever hangs in the prefix goes with its server.
            subprocess.run([str(WINE_RUN), "--kill"], env=full_env,
                           timeout=WINE_PREFIX_LIMIT)
            self.session.wine_ready = False
            printed = "\n".join(
                f"{path.name}: {_decode(path.read_bytes())!r}"
                for path in (run_out, run_err, helper_out, helper_err))
            pytest.fail(f"{self.name} run of {args or cmdline!r} did not "
                        f"end within {limit} s; what was printed:\n"
                        f"{printed}")
        stop.touch()
        try:
            helper.wait(timeout=WINE_RUN_LIMIT)
        except subprocess.TimeoutExpired:
            helper.kill()
            helper.wait()
        if helper.returncode != 0:
            pytest.fail(f"dialog_helper failed ({helper.returncode}): "
                        f"{_decode(helper_err.read_bytes())}")
        lines = [json.loads(line) for line in
                 _decode(helper_out.read_bytes()).splitlines() if line.strip()]
        # Both helpers are programs of the preset under test: when they
        # report, that preset's programs run in this prefix.
        if not lines or lines[0] != {"watching": True}:
            pytest.fail(f"dialog_helper of {self.name} did not run: "
                        f"{lines!r} {_decode(helper_err.read_bytes())}")
        report = _decode(run_out.read_bytes())
        if report.replace("\r\n", "\n") != (
                f"started\nexit {run.returncode}\n"):
            pytest.fail(f"{self.name} run of {args or cmdline!r} did not run "
                        f"(launcher reported {report!r}, wine exit code "
                        f"{run.returncode}): "
                        f"{_decode(run_err.read_bytes())}")
        dialogs = [Dialog(box["caption"], box["text"], box["buttons"])
                   for box in lines[1:]]
        return Result(run.returncode, dialogs, _read_lines(record),
                      _decode(run_err.read_bytes()))


def _wine_started_nothing(returncode, out, err):
    """Whether wine failed to start a program at all: on a loaded machine
    it now and then exits 1 before the program's first instruction, having
    printed not a word (out and err: what it printed)."""
    return returncode == 1 and out == b"" and err == b""


@pytest.fixture(scope="session")
def e2e_session():
    session = _Session()
    yield session
    session.close()


@contextlib.contextmanager
def small_disk(folder, size="64k"):
    """A tmpfs of the given size mounted on folder: a disk that fills up.
    Needs root; fails the test otherwise."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs",
                    str(folder)], check=True)
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=True)


@contextlib.contextmanager
def immutable(*paths):
    """chattr +i: not even root may change, delete or add to them."""
    names = [str(p) for p in paths]
    subprocess.run(["chattr", "+i", *names], check=True)
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", *names], check=True)


@contextlib.contextmanager
def held_open(prog, path, mode, folder):
    """Holds path open from another wine program while the body runs: mode
    "write" (others may only read) or "exclusive" (no other open)."""
    helper = prog.helpers / "hold_file.exe"
    if not helper.is_file():
        pytest.fail(f"missing test helper {helper}: build the {prog.name} "
                    "preset")
    prog.need_wine("hold_file.exe")
    stop = pathlib.Path(folder) / "stop-holding"
    # Held for as long as the body's run may take. A holder wine failed to
    # start (it ended with code 1, having printed nothing) is started again,
    # up to three times.
    for attempt in range(3):
        holder = subprocess.Popen(
            [str(WINE_RUN), str(helper), mode, prog.arg(path), prog.arg(stop),
             str(WINE_RUN_LIMIT + 60)],
            env=prog.session.wine_env(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([holder.stdout], [], [], WINE_RUN_LIMIT)
        line = holder.stdout.readline() if ready else b""
        if line.strip() == b"held":
            break
        holder.kill()
        _, err = holder.communicate()
        if not _wine_started_nothing(holder.returncode, line, err):
            break
    try:
        if line.strip() != b"held":
            pytest.fail(f"hold_file.exe did not hold {path}: {line!r} "
                        f"{_decode(err)}")
        yield
    finally:
        stop.touch()
        try:
            holder.communicate(timeout=WINE_RUN_LIMIT)
        except subprocess.TimeoutExpired:
            holder.kill()
            holder.communicate()


# Behaviour only Windows has (share modes, hidden and system attributes) is
# tested once, with the product under wine: `@windows_only` on a test that
# takes `prog`.
windows_only = pytest.mark.parametrize("prog", WINDOWS_PROGRAMS,
                                       indirect=True)

# Scenarios where the 32-bit and the 64-bit Windows programs could differ
# (sizes, offsets, handles): run with both.
all_programs = pytest.mark.parametrize(
    "prog", ["native", "win32", "win64"], indirect=True)


@pytest.fixture(params=["native", *WINDOWS_PROGRAMS])
def prog(request, e2e_session):
    if request.param == "native":
        return _Native(e2e_session)
    return _Wine(e2e_session, request.param)

