#!/usr/bin/env python3
"""Writes the seeds shaped like inputs that once cost far more than their size: directory tables
that overlap (pe), images named many times (ico), members listed against their offset order
(cab). Run from the repository root; the seeds land in fuzz/corpus."""
import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"
SAMPLES = Path(__file__).resolve().parent.parent / "tests" / "data" / "samples"


def overlapping_tables_exe():
    """typical.exe whose resource section holds tables 8 bytes apart, each listing every entry
    of the next ones, all naming one name and one data entry."""
    image = bytearray((SAMPLES / "typical.exe").read_bytes())
    nt = struct.unpack_from("<I", image, 0x3C)[0]
    table = nt + 24 + struct.unpack_from("<H", image, nt + 20)[0] + 8 * 40
    rva, _, raw = struct.unpack_from("<III", image, table + 12)
    tables, entries, name_at, leaf_at, region = 150, 0x800, 0x700, 0x800, 0x900
    size = (region + 8 * tables + 16 + 8 * entries + 0x1FF) & ~0x1FF
    section = bytearray(size)
    struct.pack_into("<H", section, 14, tables)
    for k in range(tables):
        struct.pack_into("<II", section, 16 + 8 * k, k + 1, 0x80000000 | (region + 8 * k))
    struct.pack_into("<HH", section, name_at, 1, ord("N"))
    struct.pack_into("<II", section, leaf_at, rva + name_at, 4)
    for at in range(region, size - 7, 8):
        struct.pack_into("<II", section, at, 0x80000000 | name_at, entries)
    struct.pack_into("<I", image, table + 8, size)
    struct.pack_into("<I", image, table + 16, size)
    return bytes(image[:raw]) + bytes(section)


def icon(entries, images):
    """An .ico image of (offset, size) entries followed by the image bytes."""
    out = struct.pack("<HHH", 0, 1, len(entries))
    for offset, size in entries:
        out += struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, size, offset)
    return out + images


def one_image_many_times_ico():
    count = 300
    start = 6 + 16 * count
    return icon([(start, 100)] * count, b"i" * 100)


def image_over_directory_ico():
    return icon([(0, 60), (22, 40)], b"d" * 40)


def mszip_stored_block(data):
    return b"CK" + struct.pack("<BHH", 1, len(data), len(data) ^ 0xFFFF) + data


def members_backwards_cab():
    """One MSZIP folder of 400 small blocks and 40 members listed from the last offset to the
    first."""
    blocks = [bytes([65 + b % 26]) * 40 for b in range(400)]
    members = 40
    member_size = len(blocks) * 40 // members
    files = b""
    for i in reversed(range(members)):
        files += struct.pack("<IIHHHH", member_size, i * member_size, 0, 0x5A21, 0x6000, 0x20)
        files += b"info.mfs\0"
    header_size, folder_size = 36, 8
    files_offset = header_size + folder_size
    data_offset = files_offset + len(files)
    data = b""
    for block in blocks:
        encoded = mszip_stored_block(block)
        data += struct.pack("<IHH", 0, len(encoded), len(block)) + encoded  # no checksum
    total = data_offset + len(data)
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, files_offset, 0, 3, 1, 1,
                         members, 0, 0, 0)
    folder = struct.pack("<IHH", data_offset, len(blocks), 1)
    return header + folder + files + data


def mfs_folder_head(name, children):
    return struct.pack("<I", len(name)) + name + struct.pack("<III", 0x5A216000, 0x10, children)


def folders_counting_many_items_mfs():
    """A body (the fuzzer seals it) whose folders count 600,000 items between them and hold
    none: refused as counted, before any item is made."""
    return (mfs_folder_head(b"", 2) + b"D" + mfs_folder_head(b"a", 400000) + b"D" +
            mfs_folder_head(b"b", 200000))


def escaped_values_json():
    """Each kind of escape the length check decodes: a pair of surrogates, a two-byte
    character, an escaped quote and backslash."""
    return b'{"a\\u00e9": "\\ud83d\\ude00\\u00e9\\"\\\\x", "b": "\\u0041"}'


def main():
    seeds = {
        "pe/overlapping_tables.exe": overlapping_tables_exe(),
        "ico/one_image_many_times.ico": one_image_many_times_ico(),
        "ico/image_over_directory.ico": image_over_directory_ico(),
        "cab/members_backwards.cab": members_backwards_cab(),
        "mfs/folders_counting_many_items.bin": folders_counting_many_items_mfs(),
        "values_json/escaped_values.json": escaped_values_json(),
    }
    for name, data in seeds.items():
        (CORPUS / name).write_bytes(data)


if __name__ == "__main__":
    main()
