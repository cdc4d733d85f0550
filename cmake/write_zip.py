"""Packs a folder's contents into a zip that depends only on those contents.

    python3 write_zip.py ZIP FOLDER [TIME]

Members in the order of their names (folders before what they hold), each
with its Unix permissions and the time TIME (seconds since 1970, UTC; the
file's own time when TIME is empty), stored as a UTC time, with no extra
fields: no access or change times, no owner. Run by zip_in_order.cmake.
"""

import os
import stat
import sys
import time
import zipfile

# The oldest time a zip entry can hold.
ZIP_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC


def entries(folder):
    """(name in the zip, path on disk) of every folder and file below."""
    found = []
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            member = os.path.relpath(path, folder).replace(os.sep, "/")
            if os.path.isdir(path):
                member += "/"
            found.append((member, path))
    return sorted(found, key=lambda entry: entry[0].encode("utf-8"))


def main(zip_path, folder, stamp=""):
    with zipfile.ZipFile(zip_path, "w") as archive:
        for member, path in entries(folder):
            status = os.lstat(path)
            when = int(stamp) if stamp else int(status.st_mtime)
            info = zipfile.ZipInfo(member,
                                   time.gmtime(max(when, ZIP_EPOCH))[:6])
            info.create_system = 3  # Unix: the permissions below count
            mode = stat.S_IMODE(status.st_mode)
            if member.endswith("/"):
                info.external_attr = (stat.S_IFDIR | mode) << 16 | 0x10
                archive.writestr(info, b"")
            else:
                info.external_attr = (stat.S_IFREG | mode) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as source:
                    archive.writestr(info, source.read(), compresslevel=9)


if __name__ == "__main__":
    main(*sys.argv[1:])
