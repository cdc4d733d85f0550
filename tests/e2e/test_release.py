"""The release: the Windows programs' version resource and manifest, and the
packages that scripts/package builds.

Reads build/win32/stashwell.exe and build/win64/stashwell.exe (the win32 and
win64 presets) and build/packages/ (scripts/package, which the test command
runs before this file). A missing file fails the test; nothing is skipped.

The PE reader below uses only the standard library: headers, sections, the
import table and the resource tree, and the VS_VERSIONINFO block.
"""

import re
import struct
import subprocess
import xml.etree.ElementTree as ElementTree
import zipfile

import pytest

from conftest import BUILD, PROBE_32_BIT, REPO, RUNS_32_BIT, Dialog, _Wine

PACKAGES = BUILD / "packages"
PRESETS = ("win32", "win64")
MACHINES = {"win32": 0x14C, "win64": 0x8664}  # i386, x86-64

RT_VERSION = 16
RT_MANIFEST = 24
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
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


# --- PE reader --------------------------------------------------------------


class PeFile:
    """The parts of a PE image that these tests read."""

    def __init__(self, data):
        self.data = data
        assert data[:2] == b"MZ", "no MZ header"
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
        (self.machine, sections, _, _, _, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        assert magic in (0x10B, 0x20B), f"unknown optional header {magic:#x}"
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [
            struct.unpack_from("<II", data, directories + 8 * i)
            for i in range(count)
        ]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            (name, virtual_size, address, raw_size,
             raw_offset) = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0"), address,
                                  max(virtual_size, raw_size), raw_offset,
                                  raw_size))

    def offset(self, rva):
        for _, address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size:
                assert rva - address < raw_size, f"RVA {rva:#x} not in file"
                return raw_offset + rva - address
        raise AssertionError(f"RVA {rva:#x} lies in no section")

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """Names of the DLLs in the import table."""
        rva, size = self.directories[1]
        assert rva and size, "no import table"
        names = []
        position = self.offset(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, position)
            if descriptor == (0, 0, 0, 0, 0):
                return names
            names.append(self.c_string(descriptor[3]))
            position += 20

    def resources(self):
        """{(type, name, language): bytes} of every resource."""
        rva, size = self.directories[2]
        assert rva and size, "no resource section"
        base = self.offset(rva)
        found = {}

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data,
                                                 base + directory + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from(
                    "<II", self.data, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, at)[0]
                    key = self.data[at + 2:at + 2 + 2 * length].decode(
                        "utf-16-le")
                yield key, target

        def walk(directory, path):
            for key, target in entries(directory):
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + (key,))
                else:
                    data_rva, data_size = struct.unpack_from(
                        "<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found[path + (key,)] = self.data[start:start + data_size]

        walk(0, ())
        return found


def align4(position):
    return (position + 3) & ~3


def version_nodes(blob, position=0):
    """One VS_VERSIONINFO node: (key, value, children) where value is the
    text (wType 1) or the bytes of the value."""
    length, value_length, kind = struct.unpack_from("<HHH", blob, position)
    end = position + length
    key_start = position + 6
    key_end = key_start
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[key_start:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    if kind == 1:
        raw = blob[value_start:value_start + 2 * value_length]
        value = raw.decode("utf-16-le").rstrip("\0")
        value_end = value_start + 2 * value_length
    else:
        value = blob[value_start:value_start + value_length]
        value_end = value_start + value_length
    children = []
    child = align4(value_end)
    while child < end:
        node = version_nodes(blob, child)
        children.append(node)
        child = align4(child + struct.unpack_from("<H", blob, child)[0])
    return key, value, children


def read_version_info(pe):
    blobs = [data for (kind, *_), data in pe.resources().items()
             if kind == RT_VERSION]
    assert len(blobs) == 1, f"{len(blobs)} version resources"
    key, fixed, children = version_nodes(blobs[0])
    assert key == "VS_VERSION_INFO"
    strings = {}
    translations = []
    for child_key, _, grandchildren in children:
        if child_key == "StringFileInfo":
            for table_key, _, values in grandchildren:
                strings[table_key] = {name: text for name, text, _ in values}
        elif child_key == "VarFileInfo":
            for _, value, _ in grandchildren:
                translations += [struct.unpack_from("<HH", value, i)
                                 for i in range(0, len(value), 4)]
    return fixed, strings, translations


def read_manifest(pe):
    blobs = [(name, data) for (kind, name, _), data in pe.resources().items()
             if kind == RT_MANIFEST]
    assert len(blobs) == 1, f"{len(blobs)} manifests"
    name, data = blobs[0]
    # Resource 1: the manifest Windows reads when it creates the process.
    assert name == 1
    return ElementTree.fromstring(data)


def windows_program(preset):
    program = BUILD / preset / "stashwell.exe"
    if not program.is_file():
        pytest.fail(f"missing {program}: build the {preset} preset")
    return program


# --- The Windows programs ---------------------------------------------------


@pytest.mark.parametrize("preset", PRESETS)
def test_version_resource_names_the_product_and_its_version(preset):
    pe = PeFile(windows_program(preset).read_bytes())
    assert pe.machine == MACHINES[preset]
    fixed, strings, translations = read_version_info(pe)

    (signature, _, file_ms, file_ls, product_ms, product_ls, _, _, _,
     file_type, _, _, _) = struct.unpack("<13I", fixed)
    assert signature == VS_FIXEDFILEINFO_SIGNATURE
    major, minor, patch = project_version()
    assert (file_ms, file_ls) == (major << 16 | minor, patch << 16)
    assert (product_ms, product_ls) == (file_ms, file_ls)
    assert file_type == VFT_APP

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


@pytest.mark.parametrize("preset", PRESETS)
def test_manifest_runs_as_invoker_on_every_supported_windows(preset):
    root = read_manifest(PeFile(windows_program(preset).read_bytes()))
    v1 = "{urn:schemas-microsoft-com:asm.v1}"
    v3 = "{urn:schemas-microsoft-com:asm.v3}"
    compat = "{urn:schemas-microsoft-com:compatibility.v1}"
    assert root.tag == v1 + "assembly"

    identity = root.find(v1 + "assemblyIdentity")
    assert identity is not None
    assert identity.get("version") == version_text() + ".0"

    levels = root.findall(
        f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/"
        f"{v3}requestedExecutionLevel")
    assert [(e.get("level"), e.get("uiAccess")) for e in levels] == [
        ("asInvoker", "false")]

    systems = root.findall(
        f"{compat}compatibility/{compat}application/{compat}supportedOS")
    ids = [e.get("Id") for e in systems]
    assert sorted(ids) == sorted(SUPPORTED_OS)


# --- The Windows package ----------------------------------------------------


def package(name):
    path = PACKAGES / name
    if not path.is_file():
        pytest.fail(f"missing {path}: run scripts/package")
    return path


def test_zip_holds_the_32_bit_program_the_guide_and_the_licence(tmp_path):
    version = version_text()
    folder = f"stashwell-{version}-win32"
    with zipfile.ZipFile(package(f"{folder}.zip")) as archive:
        assert sorted(archive.namelist()) == sorted(
            f"{folder}/{name}"
            for name in ("stashwell.exe", "guide.txt", "LICENSE.txt"))
        assert archive.testzip() is None
        archive.extractall(tmp_path)
    unpacked = tmp_path / folder

    program = (unpacked / "stashwell.exe").read_bytes()
    assert program == windows_program("win32").read_bytes()
    pe = PeFile(program)
    assert pe.machine == MACHINES["win32"]
    assert pe.subsystem == 2  # Windows GUI: no console window
    imports = {name.lower() for name in pe.imports()}
    assert "kernel32.dll" in imports
    assert imports <= SYSTEM_DLLS, sorted(imports - SYSTEM_DLLS)

    # Texts for Windows editors: the repository's files with CR LF ends.
    for packed, source in (("guide.txt", "docs/guide.md"),
                           ("LICENSE.txt", "LICENSE")):
        data = (unpacked / packed).read_bytes()
        assert b"\n" not in data.replace(b"\r\n", b"")
        assert data.replace(b"\r\n", b"\n") == (REPO / source).read_bytes()


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
    arch = subprocess.run(["dpkg", "--print-architecture"], check=True,
                          capture_output=True, text=True).stdout.strip()
    deb = package(f"stashwell_{version}_{arch}.deb")
    fields = subprocess.run(["dpkg-deb", "-f", str(deb), "Package", "Version",
                             "Architecture", "Depends"], check=True,
                            capture_output=True, text=True).stdout
    assert f"Package: stashwell\nVersion: {version}\n" in fields
    assert f"Architecture: {arch}\n" in fields
    assert "libc6" in fields
    listing = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True,
                             capture_output=True, text=True).stdout
    for path in ("./usr/bin/stashwell", "./usr/share/man/man1/stashwell.1.gz",
                 "./usr/share/doc/stashwell/copyright"):
        assert re.search(r"\s" + re.escape(path) + r"$", listing,
                         re.MULTILINE), path

    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    program = root / "usr" / "bin" / "stashwell"
    man = subprocess.run(["gzip", "-dc", str(root / "usr/share/man/man1/"
                                             "stashwell.1.gz")],
                         check=True, capture_output=True, text=True).stdout
    assert f'"Stashwell {version}"' in man
    copyright_text = (root / "usr/share/doc/stashwell/copyright").read_text()
    assert (REPO / "LICENSE").read_text() in copyright_text

    work = tmp_path / "work"
    work.mkdir()
    sample = Sample(work, lambda p: str(p).encode())
    run = subprocess.run([str(program), str(sample.message), str(sample.dest)],
                         stdin=subprocess.DEVNULL, capture_output=True,
                         timeout=60)
    assert (run.returncode, run.stderr) == (0, b"")
    sample.check(lambda p: str(p).encode())


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
    # where the question is answered Yes and the log is opened.
    if not RUNS_32_BIT:
        pytest.skip(f"32-bit program NOT RUN: {PROBE_32_BIT}")
    version = version_text()
    folder = f"stashwell-{version}-win32"
    with zipfile.ZipFile(package(f"{folder}.zip")) as archive:
        archive.extractall(tmp_path / "zip")
    wine = _Wine(e2e_session, "win32",
                 program=tmp_path / "zip" / folder / "stashwell.exe")

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
        b"",
        b"",
        b"",
    ]
    assert source.read_bytes() == b"late\n"


def test_packaged_guide_names_every_message_box_and_departure():
    guide = (REPO / "docs" / "guide.md").read_text()
    for text in ("Check Filter Action", "Usage: Stashwell %6",
                 "Application Error", "Errors Reported. Open Log", "/V",
                 "Eudora", "same file", "65535", ".log.log"):
        assert text.lower() in guide.lower(), text
    for image in re.findall(r"\]\((images/[^)]+\.png)\)", guide):
        assert (REPO / "docs" / image).is_file(), image
