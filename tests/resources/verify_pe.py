#!/usr/bin/env python3
"""Checks a rewritten PE32 image with pefile, a parser we did not write.

usage: verify_pe.py FILE [--has TYPE NAME LANG DATAFILE]... [--absent TYPE NAME LANG]...
                         [--overlay DATAFILE] [--unsigned] [--keep ORIGINAL]

TYPE and NAME are integers or texts. Exits 0 when the headers are consistent, every listed
resource holds exactly the bytes of DATAFILE, every absent one is missing, the overlay (bytes
after the last section) equals DATAFILE, every other resource of ORIGINAL is still there with
the same bytes, and CheckSum is the standard checksum; otherwise
prints each fault and exits 1.
"""
import sys

import pefile

faults = []


def fault(text):
    faults.append(text)


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def ident(text):
    return int(text) if text.isdigit() else text


def find(pe, type_, name, lang):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return None
    def matches(entry, key):
        if isinstance(key, int):
            return entry.name is None and entry.id == key
        return entry.name is not None and str(entry.name) == key
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if not matches(t, type_):
            continue
        for n in t.directory.entries:
            if not matches(n, name):
                continue
            for l in n.directory.entries:
                if l.id == lang:
                    return l.data.struct
    return None


def all_resources(pe):
    """(type, name, lang) -> bytes of every resource."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    key = lambda e: str(e.name) if e.name is not None else e.id
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for l in n.directory.entries:
                s = l.data.struct
                found[(key(t), key(n), l.id)] = pe.get_data(s.OffsetToData, s.Size)
    return found


def check_layout(pe, length):
    oh = pe.OPTIONAL_HEADER
    sa, fa = oh.SectionAlignment, oh.FileAlignment
    sections = pe.sections
    for s, nxt in zip(sections, sections[1:]):
        expected = s.VirtualAddress + align(max(s.Misc_VirtualSize, 1), sa)
        if nxt.VirtualAddress != expected:
            fault("section %s at 0x%X, expected 0x%X after %s" % (
                nxt.Name.rstrip(b"\0"), nxt.VirtualAddress, expected, s.Name.rstrip(b"\0")))
    last = sections[-1]
    if oh.SizeOfImage != align(last.VirtualAddress + last.Misc_VirtualSize, sa):
        fault("SizeOfImage 0x%X, expected 0x%X" % (
            oh.SizeOfImage, align(last.VirtualAddress + last.Misc_VirtualSize, sa)))
    raw = sorted((s.PointerToRawData, s.SizeOfRawData, s.Name) for s in sections if s.SizeOfRawData)
    for (p, size, name), (q, _, other) in zip(raw, raw[1:]):
        if p + size > q:
            fault("raw data of %s overlaps %s" % (name, other))
    for p, size, name in raw:
        if p % fa or size % fa:
            fault("raw data of %s not aligned to FileAlignment" % name)
        if p + size > length:
            fault("raw data of %s runs past the end of the file" % name)
    for i, d in enumerate(oh.DATA_DIRECTORY):
        if i == 4 or not d.VirtualAddress or not d.Size:
            continue
        if i == 11 and d.VirtualAddress < oh.SizeOfHeaders:
            continue  # bound imports live in the headers
        if not any(s.contains_rva(d.VirtualAddress) for s in sections):
            fault("data directory %d at 0x%X lies in no section" % (i, d.VirtualAddress))
    rdir = oh.DATA_DIRECTORY[2]
    if rdir.VirtualAddress:
        rsrc = [s for s in sections if s.VirtualAddress == rdir.VirtualAddress]
        if not rsrc:
            fault("no section starts at the resource directory")
        elif rsrc[0].Misc_VirtualSize != rdir.Size:
            fault("resource VirtualSize 0x%X differs from its directory size 0x%X" % (
                rsrc[0].Misc_VirtualSize, rdir.Size))
    if oh.CheckSum != pe.generate_checksum():
        fault("CheckSum 0x%X, standard checksum 0x%X" % (oh.CheckSum, pe.generate_checksum()))
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        s = entry.struct
        if s.AddressOfRawData and s.PointerToRawData and s.SizeOfData:
            if pe.get_data(s.AddressOfRawData, s.SizeOfData) != \
                    pe.__data__[s.PointerToRawData:s.PointerToRawData + s.SizeOfData]:
                fault("debug data at RVA 0x%X differs from file offset 0x%X" % (
                    s.AddressOfRawData, s.PointerToRawData))


def main(argv):
    path, args = argv[1], argv[2:]
    with open(path, "rb") as f:
        data = f.read()
    pe = pefile.PE(data=data)
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        fault("not PE32")
    check_layout(pe, len(data))
    changed = set()
    keep = None
    i = 0
    while i < len(args):
        option = args[i]
        if option == "--has":
            type_, name, lang, datafile = ident(args[i + 1]), ident(args[i + 2]), int(args[i + 3]), args[i + 4]
            changed.add((type_, name, lang))
            i += 5
            with open(datafile, "rb") as f:
                expected = f.read()
            entry = find(pe, type_, name, lang)
            if entry is None:
                fault("resource %r %r %d missing" % (type_, name, lang))
            elif pe.get_data(entry.OffsetToData, entry.Size) != expected:
                fault("resource %r %r %d holds other bytes (%d, expected %d)" % (
                    type_, name, lang, entry.Size, len(expected)))
        elif option == "--absent":
            type_, name, lang = ident(args[i + 1]), ident(args[i + 2]), int(args[i + 3])
            changed.add((type_, name, lang))
            i += 4
            if find(pe, type_, name, lang) is not None:
                fault("resource %r %r %d should be gone" % (type_, name, lang))
        elif option == "--overlay":
            with open(args[i + 1], "rb") as f:
                expected = f.read()
            i += 2
            end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
            if data[end:] != expected:
                fault("overlay differs (%d bytes, expected %d)" % (len(data) - end, len(expected)))
        elif option == "--keep":
            keep = args[i + 1]
            i += 2
        elif option == "--unsigned":
            i += 1
            d = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
            if d.VirtualAddress or d.Size:
                fault("certificate table still present")
        else:
            fault("unknown option " + option)
            break
    if keep is not None:
        now = all_resources(pe)
        for key, value in all_resources(pefile.PE(keep)).items():
            if key in changed:
                continue
            if key not in now:
                fault("resource %r of the original is gone" % (key,))
            elif now[key] != value:
                fault("resource %r of the original holds other bytes" % (key,))
    for text in faults:
        print(text)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
