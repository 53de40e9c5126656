#!/usr/bin/python3
"""Cuts the SYSTEM_MFS cabinet out of each sample e-book into tests/data/cab/<book>.cab."""
import os
import sys

import pefile

here = os.path.dirname(os.path.abspath(__file__))
samples = os.path.join(here, "..", "data", "samples")
target = os.path.join(here, "..", "data", "cab")

for book in sorted(os.listdir(samples)):
    if not book.endswith(".exe"):
        continue
    pe = pefile.PE(os.path.join(samples, book))
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        continue
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if str(type_entry.name) != "RCDATA":
            continue
        for name_entry in type_entry.directory.entries:
            if str(name_entry.name) != "SYSTEM_MFS":
                continue
            data_entry = name_entry.directory.entries[0].data.struct
            data = pe.get_data(data_entry.OffsetToData, data_entry.Size)
            out = os.path.join(target, book.replace(".exe", ".cab"))
            with open(out, "wb") as f:
                f.write(data)
            print(f"{out}: {len(data)} bytes", file=sys.stderr)
