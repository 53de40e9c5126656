#!/usr/bin/python3
"""Times Folioset against the standard tools on one big book, all in the same run.

Builds a book with 100 MB of mixed content and one with 300 MB (bench/make_bench_book), then,
for each round:
  open:  folioset-cli show BOOK            against  cabextract of the book's cabinet
  brand: folioset-cli brand BOOK --set ..  against  gcab -c -z of the book's info.mfs
  brand early: the same on a book of the same content in a folder that sorts after the
         variables file, so that the change lies before all the content
  read-only commands: the peak memory of show and list on both books, which holds to a
         constant whatever the content
  start-up: folioset-cli --version against cabextract --version, whole processes in turn
  small books: the processor time (user and system) per book of a manifest of 300 copies
         of typical.exe in one process
and once: the size of the branded book's SYSTEM_MFS against gcab's cabinet, the rewrite
benchmark (replace 50 MB in a 300 MB executable against a copy with fsync, bench_resources),
and a manifest of 1,000 small books in one process against the README's xargs recipe
(bench/many_books.py).
Prints each round, the median ratios and the peak memory (resident high-water mark of each
process) per MB of content. Needs an optimised build with -DFOLIOSET_BENCH=ON.

Usage: bench/compare.py [--build DIR] [--rounds N] [--work DIR]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import pefile

import many_books

GOALS = {"open": 0.35, "brand": 0.2, "brand early": 0.2, "size": 1.01, "read memory": 0.48,
         "read memory 300": 0.16, "brand memory": 1.25, "rewrite": 1.2, "many books": 0.5,
         "start-up": 1.6, "ms per book": 0.8}
# The read-only commands hold about this much whatever the book's size (MB).
READ_MEMORY = 48
# Whole processes of each per start-up round, in turn: one start takes a millisecond or two.
STARTS = 20
SMALL_BOOKS = 300
# The brand's value is longer than the bench book's ("Big Book"): everything behind the
# variables file moves.
BRAND_VALUE = "Title=Edition {}"
# The early book's content folder sorts after Variables.xml.
EARLY_PAGES = "www"
MB = 1e6
LAST_CPU = [0.0]  # processor seconds of the last run


def run(command, cwd=None):
    """Runs command quietly; returns (seconds, peak resident bytes) of that process alone.
    Its processor seconds (user and system) are added to CPU under the program's name: on a
    loaded machine they tell the work done where the wall times mostly tell the load."""
    start = time.perf_counter()
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    error = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if child.returncode != 0:
        sys.exit(f"{command[0]} failed ({child.returncode}): {error}")
    LAST_CPU[0] = usage.ru_utime + usage.ru_stime
    return seconds, usage.ru_maxrss * 1024


def system_mfs_size(path):
    image = pefile.PE(path, fast_load=True)
    image.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.name is not None and str(kind.name) == "RCDATA":
            for name in kind.directory.entries:
                if name.name is not None and str(name.name) == "SYSTEM_MFS":
                    return name.directory.entries[0].data.struct.Size
    sys.exit(f"{path}: no SYSTEM_MFS resource")


def rewrite_times(build):
    output = subprocess.run(
        [os.path.join(build, "bench", "bench_resources"), "--benchmark_format=json",
         "--benchmark_filter=ReplaceSystemMFS|PlainCopy"],
        check=True, capture_output=True, text=True).stdout
    times = {b["name"].split("/")[0]: b["real_time"] / 1000.0
             for b in json.loads(output)["benchmarks"]}
    return times["BM_ReplaceSystemMFS"], times["BM_PlainCopy"]


def brand_round(cli, book, branded, work, number):
    """Brands a copy of book against gcab packing its info.mfs; returns our seconds, peak and
    processor seconds, then gcab's seconds and processor seconds."""
    shutil.copyfile(book, branded)
    ours, peak = run([cli, "brand", branded, "--set", BRAND_VALUE.format(number)])
    cpu = LAST_CPU[0]
    theirs, _ = run(["gcab", "-c", "-z", "gcab.cab", "info.mfs"], cwd=work)
    return ours, peak, cpu, theirs, LAST_CPU[0]


def read_peak(cli, book):
    """The larger peak memory of show and list on book."""
    return max(run([cli, "show", book])[1], run([cli, "list", book])[1])


def start_up(cli):
    """Median seconds of folioset-cli --version over cabextract --version's, run in turn."""
    ours, theirs = [], []
    for _ in range(STARTS):
        ours.append(run([cli, "--version"])[0])
        theirs.append(run(["cabextract", "--version"])[0])
    return statistics.median(ours) / statistics.median(theirs)


def load():
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    cli = os.path.join(args.build, "src", "cli", "folioset-cli")
    work = args.work or tempfile.mkdtemp(prefix="folioset-compare-")
    os.makedirs(work, exist_ok=True)
    try:
        print(f"load average at start: {load()} ({os.cpu_count()} cores)")
        make_book = os.path.join(args.build, "bench", "make_bench_book")
        early_work = os.path.join(work, "early")
        big_work = os.path.join(work, "big")
        run([make_book, work])
        run([make_book, "--pages", EARLY_PAGES, early_work])
        run([make_book, "--megabytes", "300", big_work])
        big_book = os.path.join(big_work, "book.exe")
        big_content = os.path.getsize(os.path.join(big_work, "info.mfs"))
        book = os.path.join(work, "book.exe")
        branded = os.path.join(work, "branded.exe")
        early_book = os.path.join(early_work, "book.exe")
        early_branded = os.path.join(early_work, "branded.exe")
        extracted = os.path.join(work, "extracted")
        content = os.path.getsize(os.path.join(work, "info.mfs"))
        print(f"book: {os.path.getsize(book) / MB:.1f} MB, content (info.mfs) "
              f"{content / MB:.1f} MB, cabinet {os.path.getsize(os.path.join(work, 'info.cab')) / MB:.1f} MB")

        rows = {"open": [], "brand": [], "brand early": []}
        peaks = {"open": [], "brand": [], "brand early": []}
        read_peaks, big_read_peaks, starts, per_book = [], [], [], []
        print(f"{'round':>5} {'step':<11} {'folioset s':>10} {'anchor s':>9} {'ratio':>6} "
              f"{'peak MB':>8} {'cpu s':>6} {'anchor cpu s':>12}")
        for number in range(1, args.rounds + 1):
            ours, peak = run([cli, "show", book])
            cpu = LAST_CPU[0]
            theirs, _ = run(["cabextract", "-q", "-d", extracted,
                             os.path.join(work, "info.cab")])
            anchor_cpu = LAST_CPU[0]
            shutil.rmtree(extracted)
            rows["open"].append((ours, theirs))
            peaks["open"].append(peak)
            (ours_brand, peak_brand, cpu_brand, theirs_brand,
             anchor_cpu_brand) = brand_round(cli, book, branded, work, number)
            rows["brand"].append((ours_brand, theirs_brand))
            peaks["brand"].append(peak_brand)
            (ours_early, peak_early, cpu_early, theirs_early,
             anchor_cpu_early) = brand_round(cli, early_book, early_branded, early_work, number)
            rows["brand early"].append((ours_early, theirs_early))
            peaks["brand early"].append(peak_early)
            read_peaks.append(read_peak(cli, book))
            big_read_peaks.append(read_peak(cli, big_book))
            starts.append(start_up(cli))
            per_book.append(many_books.cpu_per_book(cli, work, SMALL_BOOKS))
            print(f"{number:>5} read-only peak MB {read_peaks[-1] / MB:.0f} (300 MB book "
                  f"{big_read_peaks[-1] / MB:.0f}), start-up ratio {starts[-1]:.2f}, "
                  f"ms per small book {per_book[-1] * 1000:.2f}")
            for step, (a, b), p, c, d in (
                    ("open", rows["open"][-1], peak, cpu, anchor_cpu),
                    ("brand", rows["brand"][-1], peak_brand, cpu_brand, anchor_cpu_brand),
                    ("brand early", rows["brand early"][-1], peak_early, cpu_early,
                     anchor_cpu_early)):
                print(f"{number:>5} {step:<11} {a:>10.3f} {b:>9.3f} {a / b:>6.2f} "
                      f"{p / MB:>8.0f} {c:>6.2f} {d:>12.2f}")

        ours_size = system_mfs_size(branded)
        gcab_size = os.path.getsize(os.path.join(work, "gcab.cab"))
        early_size = system_mfs_size(early_branded)
        early_gcab_size = os.path.getsize(os.path.join(early_work, "gcab.cab"))
        brand_peak = max(peaks["brand"] + peaks["brand early"])
        replace, copy = rewrite_times(args.build)
        manifest, _, _, recipe = many_books.measure(cli, work)

        results = {
            "open": statistics.median(a / b for a, b in rows["open"]),
            "brand": statistics.median(a / b for a, b in rows["brand"]),
            "brand early": statistics.median(a / b for a, b in rows["brand early"]),
            "size": max(ours_size / gcab_size, early_size / early_gcab_size),
            "read memory": statistics.median(read_peaks) / content,
            "read memory 300": statistics.median(big_read_peaks) / big_content,
            "brand memory": brand_peak / content,
            "rewrite": replace / copy,
            "many books": manifest / recipe,
            "start-up": statistics.median(starts),
            "ms per book": statistics.median(per_book) * 1000,
        }
        print(f"SYSTEM_MFS {ours_size} B, gcab's cabinet {gcab_size} B; early book "
              f"{early_size} B, gcab's {early_gcab_size} B")
        print(f"replace 50 MB in a 300 MB executable {replace:.3f} s, copy with fsync "
              f"{copy:.3f} s")
        print(f"1,000 small books: a manifest in one process {1000 / manifest:.0f} books/s, "
              f"xargs -P 2 -n 100 {1000 / recipe:.0f} books/s")
        print(f"peak memory: open {max(peaks['open']) / MB:.0f} MB, brand "
              f"{brand_peak / MB:.0f} MB, content {content / MB:.0f} MB; show and list "
              f"{statistics.median(read_peaks) / MB:.0f} MB, on {big_content / MB:.0f} MB of "
              f"content {statistics.median(big_read_peaks) / MB:.0f} MB (goal about "
              f"{READ_MEMORY} MB)")
        print(f"\n{'row':<15} {'ratio':>6} {'goal':>6}   (ms per book: milliseconds)")
        for row, ratio in results.items():
            mark = "ok" if ratio <= GOALS[row] else "MISSED"
            print(f"{row:<15} {ratio:>6.2f} {GOALS[row]:>6.2f}  {mark}")
        print(f"load average at end: {load()}")
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
