#!/usr/bin/env python3
"""Runs brands at the same time and checks what they leave.

pairs: pairs of brands of one book at the same time, each pair setting two different
variables; every brand must succeed and the book end with the last value of both: a brand
that waits for another's lock must then work on the book the other wrote, never lose its
change, and never fail for the lock.

batch: two processes at once (xargs -P 2) over BOOKS copies writing to one pipe, as text, as
--json-lines and as --json documents, and show as --json-lines: every line must be whole, every
JSON line and document must parse, and every book be reported once.

scratch: BOOKS copies in one folder branded by one process (several at once on its threads)
through WRAPPER, which makes the file system one without nameless files: every book must be
branded, a scratch file a killed process left there removed, and nothing else left.

usage: concurrent_brands.py FOLIOSET_CLI SAMPLE_BOOK pairs [PAIRS]
       concurrent_brands.py FOLIOSET_CLI SAMPLE_BOOK batch [BOOKS]
       concurrent_brands.py FOLIOSET_CLI SAMPLE_BOOK scratch BOOKS WRAPPER
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile


def pairs(cli, sample, count):
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        book = os.path.join(folder, "book.exe")
        names = sorted(show(cli, sample)["variables"])[:2]
        for run in range(count):
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
            values = show(cli, book)["variables"]
            if values.get(names[0]) != first or values.get(names[1]) != second:
                print(f"run {run}: a change was lost: {names[0]}={values.get(names[0])!r}, "
                      f"{names[1]}={values.get(names[1])!r}")
                failures += 1
    print(f"{count} pairs, {failures} failures")
    return failures


# A text line of brand: a book's, or a process's summary.
TEXT_LINE = re.compile(r"(branded \S+/book\d+\.exe: 1 value set, icon kept|\d+ branded, 0 unchanged, 0 failed, 0 not reached)")


def json_documents(text):
    """The JSON documents one after another in text; raises ValueError where one is cut."""
    decoder, documents, at = json.JSONDecoder(), [], 0
    while text[at:].strip():
        at += len(text[at:]) - len(text[at:].lstrip())
        document, at = decoder.raw_decode(text, at)
        documents.append(document)
    return documents


def batch(cli, sample, count):
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        books = []
        for i in range(count):
            books.append(os.path.join(folder, f"book{i}.exe"))
            shutil.copy(sample, books[-1])
        # A --json document of ten books stays within the 4096 bytes a pipe takes whole.
        runs = [("text", "brand", 20, []), ("json-lines", "brand", 20, ["--json-lines"]),
                ("json", "brand", 10, ["--json"]), ("show json-lines", "show", 20, ["--json-lines"])]
        for number, (name, command, per_process, options) in enumerate(runs):
            values = ["--set", f"Author=run {number}"] if command == "brand" else []
            run = subprocess.run(["xargs", "-0", "-P", "2", "-n", str(per_process), cli, command,
                                  "--quiet"] + values + options,
                                 input="\0".join(books), capture_output=True, text=True)
            problem = check_batch(name, run.stdout, count, per_process)
            if run.returncode != 0 or run.stderr or problem:
                print(f"{name}: exit {run.returncode}, {problem or run.stderr.strip()}")
                failures += 1
    print(f"{count} books in {len(runs)} batches, {failures} failures")
    return failures


def scratch(cli, sample, count, wrapper):
    with tempfile.TemporaryDirectory() as folder:
        books = []
        for i in range(count):
            books.append(os.path.join(folder, f"book{i}.exe"))
            shutil.copy(sample, books[-1])
        with open(os.path.join(folder, "$vex$new$00000001$1$"), "wb") as left:
            left.write(b"left by a killed brand")
        run = subprocess.run([wrapper, cli, "brand", "--quiet", "--set", "Author=Ann"] + books,
                             capture_output=True, text=True)
        if run.returncode == 77:
            print("nameless files cannot be turned off here: skipped")
            return 0
        others = sorted(set(os.listdir(folder)) - {os.path.basename(book) for book in books})
        ok = run.returncode == 0 and f"{count} branded, 0 unchanged, 0 failed, 0 not reached" in run.stdout and not others
        print(f"{count} books: exit {run.returncode}, left {others}, {run.stderr.strip()[:400]}")
        return 0 if ok else 1


def check_batch(name, out, count, per_process):
    """What is wrong with the output of a batch, or None."""
    processes = -(-count // per_process)
    try:
        if name == "text":
            lines = out.splitlines()
            broken = [line for line in lines if not TEXT_LINE.fullmatch(line)]
            if broken or len(lines) != count + processes:
                return f"{len(lines)} lines, {len(broken)} not whole: {broken[:2]}"
        elif name == "json":
            documents = json_documents(out)
            reported = sum(len(document["books"]) for document in documents)
            if len(documents) != processes or reported != count:
                return f"{len(documents)} documents of {reported} books"
        else:
            objects = [json.loads(line) for line in out.splitlines()]
            types = [line["type"] for line in objects]
            if types.count("book") != count or types.count("summary") != processes:
                return f"{types.count('book')} book lines, {types.count('summary')} summaries"
    except ValueError as error:
        return f"output that is no JSON: {error}"
    return None


def show(cli, book):
    return json.loads(subprocess.run([cli, "show", "--json", "--quiet", book], check=True,
                                     capture_output=True, text=True).stdout)["books"][0]


def main():
    cli, sample, mode = sys.argv[1], sys.argv[2], sys.argv[3]
    if mode == "pairs":
        failures = pairs(cli, sample, int(sys.argv[4]) if len(sys.argv) > 4 else 20)
    elif mode == "scratch":
        failures = scratch(cli, sample, int(sys.argv[4]), sys.argv[5])
    else:
        failures = batch(cli, sample, int(sys.argv[4]) if len(sys.argv) > 4 else 400)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
