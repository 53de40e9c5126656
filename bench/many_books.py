#!/usr/bin/python3
"""Times a manifest of many small books branded in one folioset-cli process against the README's
recipe of one process per core with xargs (xargs -P 2 -n 100), on fresh copies of the same
sample each time; and the same manifest again (every book unchanged, none written) and its
--check. Prints books per second of each and their ratio.

Usage: bench/many_books.py FOLIOSET_CLI [--books N] [--sample BOOK.exe]
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data",
                      "samples", "typical.exe")
ICON = os.path.join(os.path.dirname(SAMPLE), "icons", "brand_1.ico")


def fresh_books(work, count, sample):
    books = os.path.join(work, "books")
    shutil.rmtree(books, ignore_errors=True)
    os.makedirs(books)
    for i in range(count):
        shutil.copyfile(sample, os.path.join(books, f"book{i}.exe"))
    return books


def timed(command, work):
    start = time.perf_counter()
    subprocess.run(command, cwd=work, check=True, stdout=subprocess.DEVNULL, shell=True)
    return time.perf_counter() - start


def write_manifest(work, name, count, icon=""):
    """A manifest of count books, one value each, and the icon when given."""
    with open(os.path.join(work, name), "w") as manifest:
        manifest.write("book,icon,Author\n")
        for i in range(count):
            manifest.write(f"books/book{i}.exe,{icon},Reader {i}\n")


def measure(cli, work, count=1000, sample=SAMPLE):
    """Seconds of (the manifest in one process, it again, its --check, the xargs recipe) for
    count books."""
    cli = os.path.abspath(cli)
    write_manifest(work, "books.csv", count, ICON)
    fresh_books(work, count, sample)
    one = timed(f"'{cli}' brand --quiet --manifest books.csv", work)
    again = timed(f"'{cli}' brand --quiet --manifest books.csv", work)
    check = timed(f"'{cli}' brand --quiet --check --manifest books.csv", work)
    fresh_books(work, count, sample)
    recipe = timed("find books -name '*.exe' -print0 | "
                   f"xargs -0 -P 2 -n 100 '{cli}' brand --quiet --set Author=Ann", work)
    shutil.rmtree(os.path.join(work, "books"))
    return one, again, check, recipe


def cpu_per_book(cli, work, count, sample=SAMPLE):
    """Processor seconds (user and system) per book of a manifest of count books in one
    process: the work a book costs, which the load of a shared machine hardly moves."""
    cli = os.path.abspath(cli)
    write_manifest(work, "small.csv", count)
    fresh_books(work, count, sample)
    child = subprocess.Popen([cli, "brand", "--quiet", "--manifest", "small.csv"], cwd=work,
                             stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{cli} brand --manifest failed")
    shutil.rmtree(os.path.join(work, "books"))
    return (usage.ru_utime + usage.ru_stime) / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cli")
    parser.add_argument("--books", type=int, default=1000)
    parser.add_argument("--sample", default=SAMPLE)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="folioset-many-") as work:
        one, again, check, recipe = measure(args.cli, work, args.books, args.sample)
    print(f"manifest, one process     {one:7.2f} s {args.books / one:8.1f} books/s")
    print(f"  again, all unchanged    {again:7.2f} s {args.books / again:8.1f} books/s")
    print(f"  its --check             {check:7.2f} s {args.books / check:8.1f} books/s")
    print(f"xargs -P 2 -n 100         {recipe:7.2f} s {args.books / recipe:8.1f} books/s")
    print(f"manifest / xargs time     {one / recipe:7.2f}  (goal <= 0.5)")


if __name__ == "__main__":
    main()
