"""The release: the Windows programs' version resource and manifest, and the
packages that scripts/package builds.

Reads build/win32/stashwell.exe and build/win64/stashwell.exe (the win32 and
win64 presets), the win32 link map build/win32/stashwell.map, and
build/packages/ (scripts/package, which the test command runs before this
file): the zip, the .deb (also checked with lintian) and SHA256SUMS. A
missing file or tool fails the test. Only the run of the zip's 32-bit
program is skipped where the kernel runs no 32-bit code, after it has
unpacked the zip and found the program at its path.

What the Windows loader and a user see of the programs (PE32, subsystem,
imports, symbols, sections; the version resource and the manifest) is read
with the binutils of their target: objdump, and windres, which writes a
program's resources back as a resource script. None of it runs a program:
it is checked on every machine, also where the kernel runs no 32-bit
code.
"""

import collections
import gzip
import hashlib
import html.parser
import io
import os
import re
import shutil
import subprocess
import tarfile
import time
import xml.etree.ElementTree as ElementTree
import zipfile

import pytest

from conftest import BUILD, REPO, Dialog, _Wine

PACKAGES = BUILD / "packages"
PRESETS = ("win32", "win64")
BINUTILS = {"win32": "i686-w64-mingw32", "win64": "x86_64-w64-mingw32"}
FILE_FORMATS = {"win32": "pei-i386", "win64": "pei-x86-64"}
VFT_APP = 1

# DLLs that every Windows has; the programs may import nothing else.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll",
               "advapi32.dll", "gdi32.dll", "ole32.dll", "shlwapi.dll"}

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Windows Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}


def project_version():
    text = (REPO / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*Stashwell\s+VERSION\s+(\d+)\.(\d+)\.(\d+)",
                      text)
    assert match, "no project(Stashwell VERSION ...) line in CMakeLists.txt"
    return tuple(int(part) for part in match.groups())


def version_text():
    return ".".join(str(part) for part in project_version())


# --- The programs as the binutils read them ---------------------------------


def binutil(preset, tool, *args):
    """What the preset's binutils program `tool` (objdump, windres) prints,
    as text with each byte one character."""
    name = f"{BINUTILS[preset]}-{tool}"
    path = shutil.which(name)
    if path is None:
        pytest.fail(f"{name} not found (scripts/setup installs the "
                    "binutils-mingw-w64 packages)")
    return subprocess.run([path, *args], check=True,
                          capture_output=True).stdout.decode("latin-1")


def objdump(option, program, preset="win32"):
    """What objdump OPTION says of a Windows program."""
    return binutil(preset, "objdump", option, str(program))


def resource_script(preset):
    """The resources of the preset's program, as windres writes them back
    as a resource script."""
    return binutil(preset, "windres", "-i", str(windows_program(preset)),
                   "-O", "rc")


def rc_string(text):
    """The bytes of a string of a resource script: "" is a quote, and a
    backslash starts an escape as in C."""
    escapes = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}

    def unescape(match):
        code = match.group(1)
        return chr(int(code, 8)) if code[0] in "01234567" else escapes[code]

    text = re.sub(r"\\([0-7]{1,3}|.)", unescape, text.replace('""', '"'))
    return text.encode("latin-1")


def read_version_info(script):
    """The one version resource: ({FILEVERSION, PRODUCTVERSION, FILETYPE:
    numbers}, {table: {name: text}}, [(language, code page)])."""
    blocks = re.findall(r"^(\S+) VERSIONINFO\n(.*?)^END$", script,
                        re.MULTILINE | re.DOTALL)
    assert len(blocks) == 1, f"{len(blocks)} version resources"
    name, block = blocks[0]
    assert name == "1"
    fixed = {key: tuple(int(n, 0) for n in value.split(","))
             for key, value in re.findall(
                 r"^ (FILEVERSION|PRODUCTVERSION|FILETYPE) (.+)$", block,
                 re.MULTILINE)}
    strings = {}
    for table, values in re.findall(
            r'^    BLOCK "([^"]+)"\n    BEGIN\n(.*?)^    END$', block,
            re.MULTILINE | re.DOTALL):
        strings[table] = {
            rc_string(key).decode("cp1252"): rc_string(text).decode("cp1252")
            for key, text in re.findall(
                r'^ *VALUE "((?:[^"]|"")*)", "((?:[^"]|"")*)"$', values,
                re.MULTILINE)}
    translations = []
    for pairs in re.findall(r'^ *VALUE "Translation", (.+)$', block,
                            re.MULTILINE):
        numbers = [int(n, 0) for n in pairs.split(",")]
        translations += list(zip(numbers[::2], numbers[1::2]))
    return fixed, strings, translations


def read_manifest(script):
    manifests = re.findall(r"^(\S+) 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)^END$",
                           script, re.MULTILINE | re.DOTALL)
    assert len(manifests) == 1, f"{len(manifests)} manifests"
    name, body = manifests[0]
    # Resource 1: the manifest Windows reads when it creates the process.
    assert name == "1"
    data = b"".join(rc_string(text)
                    for text in re.findall(r'"((?:[^"]|"")*)"', body))
    return ElementTree.fromstring(data)


def windows_program(preset):
    program = BUILD / preset / "stashwell.exe"
    if not program.is_file():
        pytest.fail(f"missing {program}: build the {preset} preset")
    return program


# --- The Windows programs ---------------------------------------------------


@pytest.mark.parametrize("preset", PRESETS)
def test_version_resource_names_the_product_and_its_version(preset):
    assert (f"file format {FILE_FORMATS[preset]}\n" in
            objdump("-f", windows_program(preset), preset))
    fixed, strings, translations = read_version_info(resource_script(preset))

    assert fixed["FILEVERSION"] == (*project_version(), 0)
    assert fixed["PRODUCTVERSION"] == fixed["FILEVERSION"]
    assert fixed["FILETYPE"] == (VFT_APP,)

    assert list(strings) == ["040904E4"]  # U.S. English, Windows-1252
    assert translations == [(0x409, 1252)]
    table = strings["040904E4"]
    assert table["ProductName"] == "Stashwell"
    assert table["FileVersion"] == version_text()
    assert table["ProductVersion"] == version_text()
    assert table["OriginalFilename"] == "stashwell.exe"
    assert "attachment" in table["FileDescription"]
    assert table["CompanyName"] == "The Stashwell developers"
    assert "The Stashwell developers" in table["LegalCopyright"]
    assert "MIT" in table["LegalCopyright"]


# The manifest's XML namespaces.
NS_V1 = "{urn:schemas-microsoft-com:asm.v1}"
NS_V3 = "{urn:schemas-microsoft-com:asm.v3}"
NS_COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
NS_WS2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
NS_WS2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"


@pytest.mark.parametrize("preset", PRESETS)
def test_manifest_runs_as_invoker_on_every_supported_windows(preset):
    root = read_manifest(resource_script(preset))
    assert root.tag == NS_V1 + "assembly"

    identity = root.find(NS_V1 + "assemblyIdentity")
    assert identity is not None
    assert identity.get("version") == version_text() + ".0"

    levels = root.findall(
        f"{NS_V3}trustInfo/{NS_V3}security/{NS_V3}requestedPrivileges/"
        f"{NS_V3}requestedExecutionLevel")
    assert [(e.get("level"), e.get("uiAccess")) for e in levels] == [
        ("asInvoker", "false")]

    systems = root.findall(f"{NS_COMPAT}compatibility/{NS_COMPAT}application/"
                           f"{NS_COMPAT}supportedOS")
    ids = [e.get("Id") for e in systems]
    assert sorted(ids) == sorted(SUPPORTED_OS)


@pytest.mark.parametrize("preset", PRESETS)
def test_manifest_declares_long_path_awareness(preset):
    root = read_manifest(resource_script(preset))
    settings = root.findall(f"{NS_V3}application/{NS_V3}windowsSettings/"
                            f"{NS_WS2016}longPathAware")
    assert [e.text.strip() for e in settings] == ["true"]


@pytest.mark.parametrize("preset", PRESETS)
def test_manifest_asks_for_common_controls_6_and_dpi_awareness(preset):
    root = read_manifest(resource_script(preset))
    # The current look of the message boxes: Common Controls version 6.
    dependencies = root.findall(
        f"{NS_V1}dependency/{NS_V1}dependentAssembly/{NS_V1}assemblyIdentity")
    assert [(e.get("type"), e.get("name"), e.get("version"),
             e.get("processorArchitecture"), e.get("publicKeyToken"),
             e.get("language")) for e in dependencies] == [
        ("win32", "Microsoft.Windows.Common-Controls", "6.0.0.0", "*",
         "6595b64144ccf1df", "*")]
    # Sharp on high-DPI screens: system-wide where only dpiAware is read,
    # per monitor (version 2) where dpiAwareness is, system-wide on the
    # systems that read dpiAwareness but know no per-monitor version 2.
    settings = f"{NS_V3}application/{NS_V3}windowsSettings/"
    aware = root.findall(f"{settings}{NS_WS2005}dpiAware")
    assert [e.text.strip() for e in aware] == ["true"]
    awareness = root.findall(f"{settings}{NS_WS2016}dpiAwareness")
    assert [[v.strip() for v in e.text.split(",")] for e in awareness] == [
        ["PerMonitorV2", "System"]]


@pytest.mark.parametrize("preset", PRESETS)
def test_program_carries_no_build_time(preset):
    # A zero time stamp in the COFF header: the same commit links to the
    # same bytes on any day.
    program = windows_program(preset)
    headers = objdump("-p", program, preset)
    assert re.search(r"^Time/Date\s+Thu Jan  1 00:00:00 1970$", headers,
                     re.MULTILINE), headers[:600]
    # Nor in the resource directory, the other header with a time field:
    # its second word, at the start of the resource section.
    dump = binutil(preset, "objdump", "-s", "-j", ".rsrc",
                   str(program)).split("Contents of section .rsrc:")
    assert len(dump) == 2, "no resource section"
    first_row = dump[1].split()
    assert first_row[2] == "00000000", first_row[:5]


# --- The Windows package ----------------------------------------------------


def package(name):
    path = PACKAGES / name
    if not path.is_file():
        pytest.fail(f"missing {path}: run scripts/package")
    return path


ZIP_FOLDER = "Stashwell"  # the same in every version: filter paths survive
# The program's path in the zip: the layout test and the test that runs the
# program from the unpacked zip both take it from here.
ZIP_PROGRAM = f"{ZIP_FOLDER}/stashwell.exe"
GUIDE_IMAGES = sorted(p.name for p in (REPO / "docs" / "images").glob("*.png"))

# What a static link of the Windows programs may put into them, and the
# heading of the notice in THIRD-PARTY-NOTICES.txt that covers it.
RUNTIME_NOTICES = {
    "libstdc++.a": "GCC runtime libraries",
    "libgcc.a": "GCC runtime libraries",
    "libgcc_eh.a": "GCC runtime libraries",
    "libpthread.a": "winpthreads",
    "libwinpthread.a": "winpthreads",
    "libmingw32.a": "MinGW-w64 runtime",
    "libmingwex.a": "MinGW-w64 runtime",
    "libmsvcrt.a": "MinGW-w64 runtime",
    "libmoldname.a": "MinGW-w64 runtime",
}
# libmingwex members from gdtoa and the printf family's number formatting.
GDTOA_MEMBER = re.compile(r"[-_](gdtoa|gethex|gmisc|dmisc|misc|g_[a-z]+|"
                          r"strto[a-z]+|[a-z]*dtoa|ulp|sum|smisc|hd_init|"
                          r"hexnan|mingw_pformat)\.o$")
OWN_ARCHIVES = {"libstashwell_core.a"}


def deb_arch():
    return subprocess.run(["dpkg", "--print-architecture"], check=True,
                          capture_output=True, text=True).stdout.strip()


def deb_name():
    return f"stashwell_{version_text()}_{deb_arch()}.deb"


def release_date():
    return re.search(r"^## \S+ - (\S+)$", (REPO / "CHANGELOG.md").read_text(),
                     re.MULTILINE).group(1)


def zip_name():
    return f"stashwell-{version_text()}-win32.zip"


def unpack_zip(tmp_path):
    """Unpacks the Windows package; returns the program's folder."""
    with zipfile.ZipFile(package(zip_name())) as archive:
        assert archive.testzip() is None
        archive.extractall(tmp_path)
    return tmp_path / ZIP_FOLDER


def test_zip_holds_the_program_the_guide_the_licence_and_the_notices(
        tmp_path):
    with zipfile.ZipFile(package(zip_name())) as archive:
        files = sorted(n for n in archive.namelist() if not n.endswith("/"))
    assert files == sorted(
        [ZIP_PROGRAM] +
        [f"{ZIP_FOLDER}/{name}" for name in (
            "guide.html", "README.txt", "CHANGES.txt", "LICENSE.txt",
            "THIRD-PARTY-NOTICES.txt")] +
        [f"{ZIP_FOLDER}/images/{name}" for name in GUIDE_IMAGES])
    unpacked = unpack_zip(tmp_path)

    program = tmp_path / ZIP_PROGRAM
    assert program.read_bytes() == windows_program("win32").read_bytes()
    # A 32-bit GUI program (no console window) that imports only DLLs
    # every Windows has.
    headers = objdump("-p", program)
    assert re.search(r"file format pei-i386$", headers, re.MULTILINE)
    assert re.search(r"^Magic\s+010b\s+\(PE32\)$", headers, re.MULTILINE)
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)$", headers,
                     re.MULTILINE), headers
    imports = {name.lower()
               for name in re.findall(r"DLL Name:\s*(\S+)", headers)}
    assert "kernel32.dll" in imports
    assert imports <= SYSTEM_DLLS, sorted(imports - SYSTEM_DLLS)

    # Stripped: no symbol table and no debug sections (whose long names
    # would stand in the string table as "/<offset>").
    assert re.search(r"^SYMBOL TABLE:\nno symbols$", objdump("-t", program),
                     re.MULTILINE)
    names = re.findall(r"^\s*\d+\s+(\S+)\s", objdump("-h", program),
                       re.MULTILINE)
    assert ".text" in names and ".rsrc" in names, names
    assert not [n for n in names if n.startswith(("/", ".debug"))], names
    # A stripped program stays well under half a megabyte; one that kept
    # its symbols would be several.
    assert program.stat().st_size < 512_000, program.stat().st_size

    # Texts for Windows editors: the repository's licence with CR LF ends.
    licence = (unpacked / "LICENSE.txt").read_bytes()
    assert b"\n" not in licence.replace(b"\r\n", b"")
    assert licence.replace(b"\r\n", b"\n") == (REPO / "LICENSE").read_bytes()
    notices = (unpacked / "THIRD-PARTY-NOTICES.txt").read_bytes()
    assert b"\n" not in notices.replace(b"\r\n", b"")
    for image in GUIDE_IMAGES:
        assert ((unpacked / "images" / image).read_bytes() ==
                (REPO / "docs" / "images" / image).read_bytes())


class _GuidePage(html.parser.HTMLParser):
    """Headings, image sources, link targets and the text of an HTML page."""

    def __init__(self):
        super().__init__()
        self.headings, self.images, self.links = [], [], []
        self.text = []
        self._in_heading = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag in ("h1", "h2", "h3"):
            self._in_heading = True
            self.headings.append("")
        elif tag == "img":
            self.images.append(attrs.get("src"))
        elif tag == "a":
            self.links.append(attrs.get("href"))

    def handle_endtag(self, tag):
        if tag in ("h1", "h2", "h3"):
            self._in_heading = False

    def handle_data(self, data):
        self.text.append(data)
        if self._in_heading:
            self.headings[-1] += data


def test_zip_guide_is_a_web_page_with_its_pictures_and_no_markdown(
        tmp_path):
    unpacked = unpack_zip(tmp_path)
    page_text = (unpacked / "guide.html").read_text(encoding="utf-8")
    assert page_text.startswith("<!DOCTYPE html>")
    assert '<meta charset="utf-8">' in page_text
    page = _GuidePage()
    page.feed(page_text)
    text = "".join(page.text)

    # Every heading of the Markdown guide, and nothing of its syntax left.
    source = (REPO / "docs" / "guide.md").read_text()
    wanted = [re.sub(r"[`*]", "", line.lstrip("#").strip())
              for line in source.splitlines() if line.startswith("#")]
    assert page.headings == wanted
    for syntax in ("**", "](", "|---", "| line |", "![", "```"):
        assert syntax not in text, syntax
    assert "<table>" in page_text

    # The pictures it shows are beside it.
    assert sorted(page.images) == sorted(f"images/{n}" for n in GUIDE_IMAGES)
    for image in page.images:
        assert (unpacked / image).is_file(), image
    for link in page.links:
        assert link.startswith(("http", "#")) or (unpacked / link).is_file()

    # What a Windows user needs from it: the oldest Windows it runs on,
    # the fixed folder, the licence files as the zip names them.
    for needed in ("Windows Vista", "C:\\Program Files\\Stashwell\\stashwell.exe",
                   "LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "Troubleshooting",
                   "Setting up the mail filter"):
        assert needed in text, needed


def test_zip_readme_and_changes_are_windows_texts(tmp_path):
    unpacked = unpack_zip(tmp_path)
    texts = {}
    for name in ("README.txt", "CHANGES.txt"):
        data = (unpacked / name).read_bytes()
        # CR LF line ends only, and plain text: no Markdown quotes.
        assert data.endswith(b"\r\n") and b"\n" not in data.replace(
            b"\r\n", b""), name
        texts[name] = data.decode("ascii").replace("\r\n", "\n")
        assert "`" not in texts[name] and "@" not in texts[name], name

    readme = texts["README.txt"]
    assert readme.startswith(f"Stashwell {version_text()}\n")
    # The three steps, the program path they set up, where the guide is.
    steps = re.findall(r"^(\d)\. ", readme, re.MULTILINE)
    assert steps == ["1", "2", "3"]
    for needed in ("Unblock", "Extract All",
                   "C:\\Program Files\\Stashwell\\stashwell.exe",
                   "guide.html", "CHANGES.txt", "deleted"):
        assert needed in readme, needed

    # Every entry of CHANGELOG.md, newest first, with its items.
    changes = texts["CHANGES.txt"]
    changelog = (REPO / "CHANGELOG.md").read_text()
    entries = re.findall(r"^## (.+)$", changelog, re.MULTILINE)
    assert re.findall(r"^(.+)\n-+$", changes, re.MULTILINE) == entries
    items = re.findall(r"^- (.+)$", changelog, re.MULTILINE)
    assert re.findall(r"^- (.+)$", changes, re.MULTILINE) == [
        item.replace("`", "") for item in items]


def test_zip_guide_names_its_version_under_the_title(tmp_path):
    page = (unpack_zip(tmp_path) / "guide.html").read_text(encoding="utf-8")
    title = page.index("</h1>")
    assert page[title:].split("\n", 2)[1] == (
        f"<p>Version {version_text()}, {release_date()}</p>")


def program_texts():
    """The string literals of the program's sources, adjacent literals
    joined into one, escapes resolved."""
    literal = r'"(?:[^"\\\n]|\\.)*"'
    escapes = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\",
               "'": "'"}
    texts = []
    for path in sorted((REPO / "src").rglob("*")):
        if path.suffix not in (".cc", ".h"):
            continue
        code = path.read_text(encoding="utf-8")
        for run in re.finditer(rf"{literal}(?:\s*{literal})*", code):
            pieces = re.findall(literal, run.group(0))
            texts.append("".join(
                re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group(0)),
                       piece[1:-1]) for piece in pieces))
    return texts


def guide_quotes(guide):
    """What the guide quotes of the program: the code spans in the first
    column of its tables, and every text in double quotes outside code."""
    quoted = []
    prose = []
    for line in guide.splitlines():
        if line.startswith("    ") or line.startswith("|---"):
            continue  # code blocks: examples with paths
        if line.startswith("|"):
            quoted += re.findall(r"`([^`]+)`", line.split("|")[1])
        prose.append(re.sub(r"`[^`]*`", " ", line))
    quoted += re.findall(r'"([^"]+)"', " ".join(prose))
    return [" ".join(text.split()) if text.strip() else text
            for text in quoted]


def test_guide_quotes_only_texts_the_program_shows():
    guide = (REPO / "docs" / "guide.md").read_text()
    texts = program_texts()
    quotes = guide_quotes(guide)
    # What the guide's own log table and boxes quote, at the least.
    for needed in ("Moving from <", "Errors Reported. Open Log File?",
                   "Check Filter Action", "I/O error 112", "Stashwel"):
        assert needed in quotes, needed
    for quote in quotes:
        # A run of digits stands for a number the program fills in.
        for piece in re.split(r"\d+", quote):
            piece = piece.strip().strip('"').strip()
            if piece:
                assert any(piece in text for text in texts), (quote, piece)
    # Windows reports a full disk as code 112, which the error report shows
    # as "I/O error 112"; the program's "Disk full" is for a code Windows
    # never gives.
    assert "Disk full" not in guide


def test_guide_lists_every_log_line_the_program_writes():
    table = [line for line in (REPO / "docs" / "guide.md").read_text()
             .splitlines() if line.startswith("| `")]
    first_cells = ["".join(re.findall(r"`([^`]+)`", row.split("|")[1]))
                   for row in table]
    literal = r'"(?:[^"\\\n]|\\.)*"'
    written = []
    for path in sorted((REPO / "src").rglob("*.cc")):
        code = path.read_text(encoding="utf-8")
        for call in re.finditer(
                rf"WriteLogLine\(\s*\w+,\s*\{{\s*({literal}(?:\s*{literal})*)",
                code):
            written.append("".join(
                piece[1:-1] for piece in re.findall(literal, call.group(1))))
    assert "Moving from <" in written
    for start in written:
        assert any(cell.startswith(start.strip()) for cell in first_cells), (
            start)


def test_deb_passes_lintian_pedantic_without_a_tag():
    run = subprocess.run(["lintian", "--pedantic", str(package(deb_name()))],
                         capture_output=True, text=True, timeout=600)
    assert (run.returncode, run.stdout) == (0, "")


def test_deb_ships_the_guide_compressed_without_windows_pictures(tmp_path):
    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", str(package(deb_name())), str(root)],
                   check=True)
    doc = root / "usr" / "share" / "doc" / "stashwell"
    assert sorted(p.name for p in doc.iterdir()) == [
        "changelog.gz", "copyright", "guide.md.gz"]
    packed = (doc / "guide.md.gz").read_bytes()
    # gzip -9n: no name and no time in the header.
    assert packed[:4] == b"\x1f\x8b\x08\x00" and packed[4:8] == b"\0\0\0\0"
    guide = gzip.decompress(packed).decode("utf-8")
    source = (REPO / "docs" / "guide.md").read_text()
    title, rest = source.split("\n", 1)
    assert guide == (f"{title}\n\nVersion {version_text()}, {release_date()}"
                     f"\n{rest}")

    # The help and the manual page send the reader to files the package
    # has.
    help_text = subprocess.run([str(root / "usr" / "bin" / "stashwell"),
                                "--help"], check=True, capture_output=True,
                               text=True, timeout=60).stdout
    man = gzip.decompress((root / "usr/share/man/man1/stashwell.1.gz")
                          .read_bytes()).decode("utf-8")
    named = re.findall(r"/usr/share/doc/stashwell/[\w.]*\w", help_text + man)
    assert "/usr/share/doc/stashwell/guide.md.gz" in named
    for path in named:
        assert (root / path.lstrip("/")).is_file(), path


def runtime_archives(link_map):
    """{archive: {member}} of the archive members a link map lists."""
    linked = collections.defaultdict(set)
    section = link_map.split("Archive member included", 1)[1]
    section = re.split(r"\n(Discarded input sections|Allocating common)",
                       section)[0]
    for path, member in re.findall(r"^(\S+\.a)\(([^)]+)\)", section,
                                   re.MULTILINE):
        linked[path.rsplit("/", 1)[-1]].add(member)
    return linked


def test_zip_notices_cover_every_runtime_part_in_the_link_map(tmp_path):
    link_map = (BUILD / "win32" / "stashwell.map").read_text()
    linked = runtime_archives(link_map)
    assert "libstdc++.a" in linked and "libmingwex.a" in linked, sorted(linked)
    system = {f"lib{dll[:-4]}.a" for dll in SYSTEM_DLLS}
    needed = set()
    for archive, members in linked.items():
        if archive in OWN_ARCHIVES:
            continue
        if archive in system:
            # Import stubs of Windows' own DLLs, from the MinGW-w64 runtime.
            needed.add("MinGW-w64 runtime")
            continue
        assert archive in RUNTIME_NOTICES, f"no notice known for {archive}"
        needed.add(RUNTIME_NOTICES[archive])
        if any(GDTOA_MEMBER.search(m) for m in members):
            needed.add("gdtoa and mingw_pformat.c")
    assert "gdtoa and mingw_pformat.c" in needed  # the printf family's
    notices = (unpack_zip(tmp_path) / "THIRD-PARTY-NOTICES.txt").read_text(
        encoding="utf-8").replace("\r\n", "\n")
    headings = re.findall(r"^(.+)\n=+$", notices, re.MULTILINE)
    assert needed <= set(headings), sorted(needed - set(headings))
    # Each notice carries its licence's own words.
    for words in ("Runtime Library Exception", "Lucent Technologies",
                  "David M. Gay", "mingw-w64 project",
                  "Permission is hereby granted"):
        assert words in notices, words


def test_checksums_verify_both_packages():
    sums = package("SHA256SUMS").read_text()
    names = sorted(line.split()[1].lstrip("*") for line in sums.splitlines())
    arch = deb_arch()
    assert names == sorted([zip_name(),
                            f"stashwell_{version_text()}_{arch}.deb"])
    subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"],
                   cwd=PACKAGES, check=True, capture_output=True)
    for line in sums.splitlines():
        digest, name = line.split()
        assert (hashlib.sha256((PACKAGES / name.lstrip("*")).read_bytes())
                .hexdigest() == digest)


def source_date_epoch():
    """The packages' file time, as scripts/package takes it: the time of the
    last commit, unless SOURCE_DATE_EPOCH names one."""
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    return int(subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=REPO,
                              check=True, capture_output=True,
                              text=True).stdout)


def test_packages_hold_their_files_in_name_order_with_the_commit_time():
    epoch = source_date_epoch()
    with zipfile.ZipFile(package(zip_name())) as archive:
        infos = archive.infolist()
    names = [info.filename for info in infos]
    assert names == sorted(names, key=lambda n: n.encode())
    # No extra fields (access and change times, owners) that would differ
    # from build to build; a zip's times count in steps of two seconds.
    assert [(i.filename, i.date_time, i.extra) for i in infos] == [
        (i.filename, time.gmtime(epoch - epoch % 2)[:6], b"")
        for i in infos]

    fsys = subprocess.run(["dpkg-deb", "--fsys-tarfile",
                           str(package(deb_name()))],
                          check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(fsys)) as archive:
        members = archive.getmembers()
    assert {m.mtime for m in members} == {epoch}
    assert [m.name for m in members] == sorted(m.name for m in members)


def test_packages_build_to_the_same_bytes_from_another_folder(tmp_path):
    # The sources copied to another folder, built there (the product only)
    # and packed with the same SOURCE_DATE_EPOCH: the very same zip and
    # .deb, so SHA256SUMS checks a published package against its sources.
    source = tmp_path / "source"
    shutil.copytree(REPO, source, ignore=shutil.ignore_patterns(
        "build", ".git", "__pycache__", ".pytest_cache"))
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(source_date_epoch()))
    for preset in ("win32", "native"):
        for command in (
                ["cmake", "--preset", preset, "-DSTASHWELL_TESTS=OFF"],
                ["cmake", "--build", "--preset", preset, "--target",
                 "stashwell", "release_files"]):
            subprocess.run(command, cwd=source, env=env, check=True,
                           capture_output=True, timeout=3600)
        subprocess.run(["cpack"], cwd=source / "build" / preset, env=env,
                       check=True, capture_output=True, timeout=600)
    rebuilt = {
        zip_name(): source / "build" / "win32" / "cpack" / zip_name(),
        deb_name(): source / "build" / "native" / "cpack" / deb_name(),
    }
    sums = {line.split()[1].lstrip("*"): line.split()[0]
            for line in package("SHA256SUMS").read_text().splitlines()}
    for name, path in rebuilt.items():
        assert path.read_bytes() == package(name).read_bytes(), name
        assert hashlib.sha256(path.read_bytes()).hexdigest() == sums[name]


def test_changelog_top_entry_is_the_project_version():
    entries = re.findall(r"^## (\S+) - (\d{4}-\d\d-\d\d)$",
                         (REPO / "CHANGELOG.md").read_text(), re.MULTILINE)
    assert entries, "no entries in CHANGELOG.md"
    assert entries[0][0] == version_text()
    # The version is set once: nowhere else in the build files.
    for path in [REPO / "CMakeLists.txt", *(REPO / "cmake").glob("*"),
                 REPO / "src" / "CMakeLists.txt"]:
        text = path.read_text()
        hits = text.count(version_text())
        assert hits == (1 if path.name == "CMakeLists.txt" and
                        path.parent == REPO else 0), path


# --- A sample message through the packaged programs -------------------------


class Sample:
    """A message with three attachments in a mail client's folders: a new
    file, a duplicate of a file in the destination and a different file
    under a taken name."""

    def __init__(self, root, spell):
        self.inbox = root / "in"
        self.attach = root / "attach"
        self.dest = root / "saved files"
        for folder in (self.inbox, self.attach, self.dest):
            folder.mkdir()
        (self.attach / "report.pdf").write_bytes(b"%PDF report\n")
        (self.attach / "card.vcf").write_bytes(b"BEGIN:VCARD\r\n")
        (self.dest / "card.vcf").write_bytes(b"BEGIN:VCARD\r\n")
        (self.attach / "notes.txt").write_bytes(b"new notes\n")
        (self.dest / "notes.txt").write_bytes(b"old notes\n")
        self.message = self.inbox / "msg17.txt"
        lines = [b"From: Ann <ann@example.org>", b"To: Bob <bob@example.org>",
                 b"Subject: Files", b""]
        lines += [b'Attachment Converted: "' + spell(self.attach / name) +
                  b'"' for name in ("report.pdf", "card.vcf", "notes.txt")]
        self.message.write_bytes(b"\r\n".join(lines) + b"\r\n")

    def check(self, spell):
        assert sorted(p.name for p in self.attach.iterdir()) == []
        assert {p.name: p.read_bytes() for p in self.dest.iterdir()} == {
            "report.pdf": b"%PDF report\n",
            "card.vcf": b"BEGIN:VCARD\r\n",
            "notes.txt": b"old notes\n",
            "notes1.txt": b"new notes\n",
        }
        assert sorted(p.name for p in self.inbox.iterdir()) == ["msg17.log"]
        lines = (self.inbox / "msg17.log").read_bytes().split(b"\r\n")
        source = {n: spell(self.attach / n)
                  for n in ("report.pdf", "card.vcf", "notes.txt")}
        dest = {n: spell(self.dest / n)
                for n in ("report.pdf", "card.vcf", "notes1.txt")}
        assert lines[1:] == [
            b'Attachment Line: Attachment Converted: "' +
            source["report.pdf"] + b'"',
            b"",
            b"Moving from <" + source["report.pdf"] + b"> to <" +
            dest["report.pdf"] + b">",
            b'Attachment Line: Attachment Converted: "' +
            source["card.vcf"] + b'"',
            b"",
            b"Duplicate of <" + source["card.vcf"] + b"> already in <" +
            dest["card.vcf"] + b"> - only deleting source",
            b'Attachment Line: Attachment Converted: "' +
            source["notes.txt"] + b'"',
            b"",
            b"Different version of <" + source["notes.txt"] +
            b'> already in destination. Changing name to "' +
            dest["notes1.txt"] + b'"',
            b"Moving from <" + source["notes.txt"] + b"> to <" +
            dest["notes1.txt"] + b">",
            b"",
        ]


def test_deb_installs_a_program_that_moves_a_sample_message(tmp_path):
    version = version_text()
    arch = deb_arch()
    deb = package(deb_name())
    fields = subprocess.run(["dpkg-deb", "-f", str(deb), "Package", "Version",
                             "Architecture", "Depends", "Recommends"],
                            check=True, capture_output=True, text=True).stdout
    assert f"Package: stashwell\nVersion: {version}\n" in fields
    assert f"Architecture: {arch}\n" in fields
    # The program is linked statically: it needs no other package.
    assert "Depends:" not in fields
    # Answering Yes opens the log with xdg-open.
    assert "Recommends: xdg-utils\n" in fields
    listing = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True,
                             capture_output=True, text=True).stdout
    for path in ("./usr/bin/stashwell", "./usr/share/man/man1/stashwell.1.gz",
                 "./usr/share/doc/stashwell/copyright",
                 "./usr/share/doc/stashwell/changelog.gz",
                 "./usr/share/doc/stashwell/guide.md.gz",
                 "./usr/share/lintian/overrides/stashwell"):
        assert re.search(r"\s" + re.escape(path) + r"$", listing,
                         re.MULTILINE), path
    control = subprocess.run(["dpkg-deb", "--ctrl-tarfile", str(deb)],
                             check=True, capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(control)) as archive:
        assert "./md5sums" in archive.getnames()

    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    program = root / "usr" / "bin" / "stashwell"
    man = subprocess.run(["gzip", "-dc", str(root / "usr/share/man/man1/"
                                             "stashwell.1.gz")],
                         check=True, capture_output=True, text=True).stdout
    assert (f'.TH STASHWELL 1 "{release_date()}" "Stashwell {version}"'
            in man)
    see_also = man.split(".SH SEE ALSO", 1)[1].split(".SH", 1)[0]
    assert "/usr/share/doc/stashwell/guide.md" in see_also
    assert "source distribution" not in man
    assert ".SH WARNING" in man and "deleted" in man.split(".SH WARNING")[1]
    copyright_text = (root / "usr/share/doc/stashwell/copyright").read_text()
    assert (REPO / "LICENSE").read_text() in copyright_text
    assert "GCC Runtime Library Exception" in copyright_text
    assert "GNU Lesser General Public License" in copyright_text
    changelog = subprocess.run(
        ["gzip", "-dc", str(root / "usr/share/doc/stashwell/changelog.gz")],
        check=True, capture_output=True, text=True).stdout
    assert changelog.startswith(f"stashwell ({version}) unstable;")

    work = tmp_path / "work"
    work.mkdir()
    sample = Sample(work, lambda p: str(p).encode())
    run = subprocess.run([str(program), str(sample.message), str(sample.dest)],
                         stdin=subprocess.DEVNULL, capture_output=True,
                         timeout=60)
    assert (run.returncode, run.stderr) == (0, b"")
    sample.check(lambda p: str(p).encode())


def test_deb_passes_lintian_without_an_error_or_a_warning():
    run = subprocess.run(["lintian", "--fail-on", "error,warning",
                          str(package(deb_name()))],
                         capture_output=True, text=True, timeout=600)
    tags = [line for line in run.stdout.splitlines()
            if line.startswith(("E:", "W:"))]
    assert (run.returncode, tags) == (0, [])


def test_deb_program_is_static_stripped_bound_now_and_fortified(tmp_path):
    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", str(package(deb_name())), str(root)],
                   check=True)
    program = str(root / "usr" / "bin" / "stashwell")

    def readelf(*options):
        return subprocess.run(["readelf", "--wide", *options, program],
                              check=True, capture_output=True,
                              text=True).stdout

    sections = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", readelf("-S"),
                          re.MULTILINE)
    for unneeded in (".symtab", ".comment", ".note"):
        assert unneeded not in sections, sections
    assert not [n for n in sections if n.startswith(".debug")], sections
    dynamic = readelf("-d")
    assert re.search(r"\(FLAGS\)\s.*\bBIND_NOW\b", dynamic), dynamic
    # Static and position-independent: no loader, no shared library, and
    # still placed at a random address.
    assert "(NEEDED)" not in dynamic and "PIE" in dynamic, dynamic
    headers = readelf("-l")
    assert "GNU_RELRO" in headers and "INTERP" not in headers, headers
    # A fortified call that finds an overflow ends in the C library's
    # report, which the link pulls in only for fortified calls.
    with open(program, "rb") as f:
        assert b"buffer overflow detected" in f.read()


def test_deb_program_answers_help_and_version_without_a_run(tmp_path):
    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", str(package(deb_name())), str(root)],
                   check=True)
    program = str(root / "usr" / "bin" / "stashwell")
    work = tmp_path / "work"
    work.mkdir()
    version = f"stashwell {version_text()}\n"
    cases = [
        (["--help"], "help"), (["-h"], "help"), (["--version"], version),
        (["--help", "--version"], "help"), (["--version", "--help"], version),
    ]
    for args, expected in cases:
        run = subprocess.run([program, *args], cwd=work,
                             stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=60)
        assert (run.returncode, run.stderr) == (0, ""), args
        if expected == "help":
            assert run.stdout.startswith(
                "Usage: stashwell MESSAGE-FILE DESTINATION-FOLDER [/V]\n")
            assert "MESSAGE-FILE is deleted" in run.stdout
        else:
            assert run.stdout == expected, args
        # No run: no log, no files at all.
        assert list(work.iterdir()) == [], args


def test_windows_program_moves_a_sample_message_under_wine(
        e2e_session, tmp_path):
    # The same sources' 64-bit build, started under wine64 the way a mail
    # filter starts it; the packaged 32-bit program has its own run below.
    wine = _Wine(e2e_session, "win64")

    def spell(path):
        return wine.arg(path).encode("cp1252")

    sample = Sample(tmp_path, spell)
    result = wine.run(wine.arg(sample.message), wine.arg(sample.dest))
    assert (result.exit_code, result.dialogs) == (0, [])
    sample.check(spell)


def test_program_from_the_zip_runs_a_sample_message_and_answers_its_dialogs(
        e2e_session, tmp_path):
    # The 32-bit program as users unpack it, run under wine64's WoW64 mode:
    # the sample message, then a message whose destination is missing,
    # where the question is answered Yes and the log is opened. Where the
    # kernel runs no 32-bit code, everything before the first run is still
    # done: the zip is unpacked and the program found at its path in it.
    unpack_zip(tmp_path / "zip")
    wine = _Wine(e2e_session, "win32", program=tmp_path / "zip" / ZIP_PROGRAM)

    def spell(path):
        return wine.arg(path).encode("cp1252")

    sample = Sample(tmp_path, spell)
    result = wine.run(wine.arg(sample.message), wine.arg(sample.dest))
    assert (result.exit_code, result.dialogs, result.opened) == (0, [], [])
    sample.check(spell)

    message = sample.inbox / "msg18.txt"
    source = sample.attach / "late.txt"
    source.write_bytes(b"late\n")
    message.write_bytes(b'Attachment Converted: "' + spell(source) +
                        b'"\r\n')
    nowhere = tmp_path / "nowhere"
    result = wine.run(wine.arg(message), wine.arg(nowhere), answer="yes")
    log = sample.inbox / "msg18.log"
    assert result.exit_code == 0
    assert result.dialogs == [
        Dialog("Stashwel", "Errors Reported. Open Log File?", [6, 7])]
    assert result.opened == [wine.arg(log)]
    assert log.read_bytes().split(b"\r\n")[1:] == [
        b'Attachment Line: Attachment Converted: "' + spell(source) + b'"',
        b"",
        b"Destination Directory <" + spell(nowhere) + b"> does not exist",
        # The header echo: From, To and Subject, none seen in this message.
        b"",
        b"",
        b"",
        b"",  # after the last line end
    ]
    assert source.read_bytes() == b"late\n"


def test_packaged_guide_names_every_message_box_and_departure():
    guide = (REPO / "docs" / "guide.md").read_text()
    for text in ("Check Filter Action", "Usage: Stashwell %6",
                 "Application Error", "Errors Reported. Open Log", "/V",
                 "Eudora", "same file", "65535", ".log.log", "Windows Vista",
                 "dated 1975", "never a duplicate", "read-only attachment",
                 "`/` also ends the file name", "Troubleshooting",
                 "message file is deleted after the run"):
        assert text.lower() in guide.lower(), text
    for image in re.findall(r"\]\((images/[^)]+\.png)\)", guide):
        assert (REPO / "docs" / image).is_file(), image
