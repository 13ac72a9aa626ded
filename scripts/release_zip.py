#!/usr/bin/python3
"""Packs one release program with the merchant's guide:

    release_zip.py OUT.zip KASSARO.EXE GUIDE.txt x64|x86

The zip holds Kassaro.exe and "使用说明.txt" (the guide as UTF-8 with a byte-order mark and CRLF line
ends, so that Windows 7 Notepad shows it). The guide's file name is stored in GBK, which the Explorer of
a Simplified Chinese Windows (7 to 11) reads without the UTF-8 flag, with the UTF-8 name beside it in
Info-ZIP's Unicode path field for other unpackers. The program's machine type is checked, so that the
x86 zip cannot carry the x86-64 program or the other way round.
"""
import struct
import sys
import time
import zipfile
import zlib

GUIDE_NAME = "使用说明.txt"
MACHINES = {"x64": 0x8664, "x86": 0x14C}


class LocalNameInfo(zipfile.ZipInfo):
    """A member whose name is stored in GBK, without the UTF-8 flag."""

    def _encodeFilenameFlags(self):
        return self.filename.encode("gbk"), self.flag_bits & ~0x800


def unicode_path_field(stored_name, name):
    # Info-ZIP Unicode Path Extra Field (0x7075): version 1, CRC-32 of the stored name, the UTF-8 name.
    data = struct.pack("<BI", 1, zlib.crc32(stored_name)) + name.encode("utf-8")
    return struct.pack("<HH", 0x7075, len(data)) + data


def machine_of(exe):
    with open(exe, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ":
        sys.exit(f"{exe} is not a Windows program")
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{exe} is not a Windows program")
    return struct.unpack_from("<H", head, pe + 4)[0]


def main():
    if len(sys.argv) != 5 or sys.argv[4] not in MACHINES:
        sys.exit(__doc__)
    out, exe, guide, arch = sys.argv[1:]
    if machine_of(exe) != MACHINES[arch]:
        sys.exit(f"{exe} is not an {arch} program")
    with open(guide, encoding="utf-8") as f:
        text = f.read()
    guide_bytes = b"\xef\xbb\xbf" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")

    now = time.localtime()[:6]
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        z.write(exe, "Kassaro.exe")
        info = LocalNameInfo(GUIDE_NAME, date_time=now)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        info.extra = unicode_path_field(GUIDE_NAME.encode("gbk"), GUIDE_NAME)
        z.writestr(info, guide_bytes)


if __name__ == "__main__":
    main()
