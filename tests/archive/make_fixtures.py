#!/usr/bin/env python3
"""Writes the zip archives the reader's tests open into the folder given as the only argument.

Ordinary archives come from the zipfile module. Those that need exact name bytes, the UTF-8 flag
cleared on a non-ASCII name, or a deliberately broken deflate stream are laid out byte by byte here.
"""
import os
import struct
import sys
import zipfile
import zlib

# Contents that the tests regenerate to compare with what was extracted.
STORED_BIN = bytes(i % 251 for i in range(3000))
DEFLATED_TXT = "".join(f"line {i}\n" for i in range(2000)).encode()
ZIP64_ENTRIES = 65540


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def zip_with(folder, name, entries, compression=zipfile.ZIP_DEFLATED):
    path = os.path.join(folder, name)
    with zipfile.ZipFile(path, "w", compression) as archive:
        for entry_name, data in entries:
            method = zipfile.ZIP_STORED if entry_name.endswith("/") else compression
            archive.writestr(zipfile.ZipInfo(entry_name, (2024, 5, 1, 12, 0, 0)), data, method)
    return path


def stored(name, data, flags=0):
    return name, flags, 0, data, zlib.crc32(data), len(data)


def deflated(name, data, flags=0):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return name, flags, 8, packer.compress(data) + packer.flush(), zlib.crc32(data), len(data)


def raw_zip(folder, name, entries, unlisted=()):
    """entries: (name bytes, general-purpose flags, method, data as stored, CRC-32, uncompressed size).
    The central directory leaves out the entries named in unlisted."""
    body, central = bytearray(), bytearray()
    listed = 0
    for entry_name, flags, method, data, crc, size in entries:
        offset = len(body)
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x21, crc, len(data), size,
                            len(entry_name), 0) + entry_name + data
        if entry_name in unlisted:
            continue
        listed += 1
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, flags, method, 0, 0x21, crc,
                               len(data), size, len(entry_name), 0, 0, 0, 0, 0, offset) + entry_name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, listed, listed, len(central), len(body), 0)
    path = os.path.join(folder, name)
    write(folder, name, bytes(body + central + end))
    return path


def check_readable(path):
    with zipfile.ZipFile(path) as archive:
        assert archive.testzip() is None, path


def main(folder):
    os.makedirs(folder, exist_ok=True)

    layout = zip_with(folder, "layout.zip", [
        ("docs/", b""),
        ("docs/a.txt", b"alpha document\n"),
        ("empty.txt", b""),
        ("Bin/App.DLL", b"application library"),
        ("Dup.txt", b"first"),
        ("dup.TXT", b"second"),
        ("deflated.txt", DEFLATED_TXT),
    ])
    with zipfile.ZipFile(layout, "a") as archive:
        archive.writestr(zipfile.ZipInfo("stored.bin", (2024, 5, 1, 12, 0, 0)), STORED_BIN, zipfile.ZIP_STORED)

    zip_with(folder, "backslash.zip", [("bin\\x.dll", b"backslash name"), ("bin/y.dll", b"slash name")])

    zip_with(folder, "longnames.zip", [
        ("long/" + "a" * 300, b"first"),
        ("long/" + "a" * 255 + "b" * 20, b"second entry"),
        ("short.txt", b"short"),
    ])

    write(folder, "notzip.zip", b"This is plain text, not an archive.\n" * 50)
    with open(layout, "rb") as source:
        whole = source.read()
    write(folder, "truncated.zip", whole[: len(whole) // 2])

    # The damaged entry inflates its first half, then meets a block of the reserved type 3, which
    # inflate rejects. Its header still claims the whole content's CRC and size.
    text = "".join(f"record {i:05d} of the damaged entry\n" for i in range(1500)).encode()
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    broken = packer.compress(text[: len(text) // 2]) + packer.flush(zlib.Z_FULL_FLUSH) + b"\x07" + b"\x00" * 16
    raw_zip(folder, "damaged.zip", [
        deflated(b"intact.txt", text),
        (b"damaged.txt", 0, 8, broken, zlib.crc32(text), len(text)),
    ])

    # Entries whose central directory lies: a wrong CRC, a size larger and one smaller than the data.
    lying_text = b"the real content of a lying entry\n" * 150
    _, _, _, packed, _, _ = deflated(b"", lying_text)
    raw_zip(folder, "lying.zip", [
        stored(b"fine.txt", b"intact"),
        (b"badcrc.txt", 0, 0, b"crc does not match", 0x12345678, 18),
        (b"longer.txt", 0, 0, b"short data", zlib.crc32(b"short data"), 50),
        (b"shorter.txt", 0, 8, packed, zlib.crc32(lying_text), 10),
    ])

    # For the reader that follows an archive as it arrives: sizes only after the data (flag bit 3), an
    # entry the directory does not list, and an archive that stops inside an entry's data.
    raw_zip(folder, "descriptor.zip", [stored(b"first.txt", b"sizes up front"),
                                       stored(b"second.txt", b"sizes after the data", flags=0x8)])
    raw_zip(folder, "unlisted.zip", [stored(b"a.txt", b"listed"), deflated(b"b.txt", b"not listed" * 40)],
            unlisted=(b"b.txt",))
    with open(raw_zip(folder, "cut.zip", [stored(b"a.txt", b"whole"), stored(b"b.txt", b"x" * 4000)]), "rb") as source:
        write(folder, "cut.zip", source.read()[:1000])

    unsafe = [
        stored(b"good/ok.txt", b"good"),
        stored(b"ok2.txt", b"also good"),
        stored(b"../sibling/escape-dotdot.txt", b"evil"),
        stored(b"a/../../sibling/escape-nested.txt", b"evil"),
        stored(b"/escape-rooted-slash-5d1c.txt", b"evil"),
        stored(b"\\escape-rooted-backslash-5d1c.txt", b"evil"),
        stored(b"C:escape-drive-5d1c.txt", b"evil"),
        stored(b"c:/escape-drive-root-5d1c.txt", b"evil"),
        stored(b"\xff\xfe-not-utf8.txt", b"evil", flags=0x800),
    ]
    raw_zip(folder, "unsafe.zip", unsafe)

    unicode_zip = raw_zip(folder, "unicode.zip", [
        deflated("Документы/Отчёт.TXT".encode(), "отчёт за год".encode(), flags=0x800),
        stored("资料/说明.txt".encode(), "说明文字".encode(), flags=0x800),
        stored(b"caf\xe9.txt", b"ansi name"),
        stored(b"readme.txt", b"plain"),
    ])
    check_readable(unicode_zip)

    # More entries than the classic end record can count, so the Zip64 end record is written.
    zip64 = os.path.join(folder, "zip64.zip")
    with zipfile.ZipFile(zip64, "w", zipfile.ZIP_STORED) as archive:
        for i in range(ZIP64_ENTRIES):
            name = f"{i:x}"
            archive.writestr(zipfile.ZipInfo(name, (2024, 5, 1, 12, 0, 0)), name.encode())

    write(folder, "fixtures.stamp", b"")


if __name__ == "__main__":
    main(sys.argv[1])
