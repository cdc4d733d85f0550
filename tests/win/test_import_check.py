"""The Windows programs import only DLLs that every Windows has, and are
GUI-subsystem programs, so no console window flashes up when the mail client
starts them.

Reads build/win32/stashwell.exe and build/win64/stashwell.exe, as the win32
and win64 presets build them; a missing program fails the test.
"""

import pathlib
import re
import shutil
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

ALLOWED = {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll",
           "advapi32.dll", "gdi32.dll", "ole32.dll", "shlwapi.dll"}

TARGETS = [
    ("win32", "i686-w64-mingw32-objdump"),
    ("win64", "x86_64-w64-mingw32-objdump"),
]


def headers(preset, objdump):
    program = REPO / "build" / preset / "stashwell.exe"
    if not program.is_file():
        pytest.fail(f"missing {program}: build the {preset} preset")
    tool = shutil.which(objdump)
    if tool is None:
        pytest.fail(f"{objdump} not found (install binutils-mingw-w64)")
    return subprocess.run([tool, "-p", str(program)], check=True,
                          capture_output=True, text=True).stdout


@pytest.mark.parametrize("preset,objdump", TARGETS)
def test_imports_only_system_dlls(preset, objdump):
    imports = re.findall(r"DLL Name:\s*(\S+)", headers(preset, objdump))
    assert imports, "no import table found"
    assert "kernel32.dll" in {name.lower() for name in imports}
    unexpected = sorted(n for n in imports if n.lower() not in ALLOWED)
    assert unexpected == [], f"{preset} imports {unexpected}"


@pytest.mark.parametrize("preset,objdump", TARGETS)
def test_is_a_gui_subsystem_program(preset, objdump):
    assert re.search(r"^Subsystem\s+00000002\b", headers(preset, objdump),
                     re.MULTILINE), "not a Windows GUI program"
