#!/usr/bin/env python3
"""Runs pairs of brands of one book at the same time, each pair setting two different
variables, and checks that every brand succeeded and the book ends with the last value of
both: a brand that waits for another's lock must then work on the book the other wrote,
never lose its change, and never fail for the lock.

usage: concurrent_brands.py FOLIOSET_CLI SAMPLE_BOOK [PAIRS]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile


def main():
    cli, sample = sys.argv[1], sys.argv[2]
    pairs = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        book = os.path.join(folder, "book.exe")
        names = [row["name"] for row in show(cli, sample)["variables"]][:2]
        for run in range(pairs):
            shutil.copy(sample, book)
            first, second = f"first {run}", f"second {run}"
            brands = [subprocess.Popen([cli, "brand", "--quiet", "--set", f"{name}={value}", book],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                       text=True)
                      for name, value in zip(names, (first, second))]
            for brand in brands:
                _, error = brand.communicate()
                if brand.returncode != 0:
                    print(f"run {run}: a brand failed: {error.strip()}")
                    failures += 1
            values = {row["name"]: row["value"] for row in show(cli, book)["variables"]}
            if values.get(names[0]) != first or values.get(names[1]) != second:
                print(f"run {run}: a change was lost: {names[0]}={values.get(names[0])!r}, "
                      f"{names[1]}={values.get(names[1])!r}")
                failures += 1
    print(f"{pairs} pairs, {failures} failures")
    return 1 if failures else 0


def show(cli, book):
    return json.loads(subprocess.run([cli, "show", "--json", "--quiet", book], check=True,
                                     capture_output=True, text=True).stdout)


if __name__ == "__main__":
    sys.exit(main())
