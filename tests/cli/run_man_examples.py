#!/usr/bin/env python3
"""Runs every example of a man page ("$ command" lines of its .EX blocks in EXAMPLES), or of a
Markdown page (its indented "$ command" lines), in a fresh folder holding the files the
examples name, with the built programs first on PATH. Each must exit with status 0.

usage: run_man_examples.py PAGE PROGRAM_DIR... --samples SAMPLES_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Escapes the pages use, as the shell must see them.
GROFF_ESCAPES = [("\\-", "-"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\e", "\\")]


def examples(page_text):
    section = re.search(r"^\.SH EXAMPLES\n(.*?)(?=^\.SH )", page_text, re.M | re.S)
    if not section:
        return []
    commands, in_example = [], False
    for line in section.group(1).splitlines():
        if line == ".EX":
            in_example = True
        elif line == ".EE":
            in_example = False
        elif in_example and line.startswith("$ "):
            command = line[2:]
            for escape, plain in GROFF_ESCAPES:
                command = command.replace(escape, plain)
            commands.append(command)
    return commands


def markdown_examples(page_text):
    return [line.strip()[2:] for line in page_text.splitlines()
            if line.startswith("    ") and line.strip().startswith("$ ")]


# The manifests the examples brand: the three books of books/ with their own values, icon and
# output.
MANIFESTS = {
    "books.csv": "book,icon,output,Author,Website\n"
                 "books/book0.exe,,,Ann Lee,https://ann.example\n"
                 "books/book1.exe,brand.ico,,Bo Park,\n"
                 "books/book2.exe,,branded2.exe,,https://cy.example\n",
    "books.jsonl": '{"book": "books/book0.exe", "set": {"Author": "Ann Lee"}}\n'
                   '{"book": "books/book1.exe", "icon": "brand.ico", "output": "branded1.exe",'
                   ' "set": {"Company": "Park Books"}}\n',
}


def prepare(folder, samples):
    book = os.path.join(samples, "typical.exe")
    shutil.copy(book, os.path.join(folder, "book.exe"))
    shutil.copy(os.path.join(samples, "icons", "brand_1.ico"), os.path.join(folder, "brand.ico"))
    with open(os.path.join(folder, "values.json"), "w") as values:
        values.write('{"Website": "https://reseller.example", "Company": "Lee Books"}')
    # A code-signing identity made for the run, as reseller.p12 with its password.
    pki = os.path.join(folder, "pki")
    os.mkdir(pki)
    subprocess.run(["bash", os.path.join(os.path.dirname(__file__), "..", "signing",
                                         "make_test_pki.sh"), pki], check=True)
    shutil.copy(os.path.join(pki, "signer.p12"), os.path.join(folder, "reseller.p12"))
    with open(os.path.join(folder, "password.txt"), "w") as password:
        password.write("secret\n")
    for name, text in MANIFESTS.items():
        with open(os.path.join(folder, name), "w") as manifest:
            manifest.write(text)
    os.mkdir(os.path.join(folder, "books"))
    for i in range(3):
        shutil.copy(book, os.path.join(folder, "books", "book%d.exe" % i))
    for path, _, files in os.walk(folder):
        for name in files:
            os.chmod(os.path.join(path, name), 0o644)


def main():
    arguments = sys.argv[1:]
    samples = arguments[arguments.index("--samples") + 1]
    page = arguments[0]
    program_dirs = [os.path.abspath(d) for d in arguments[1:arguments.index("--samples")]]
    with open(page) as f:
        text = f.read()
    commands = markdown_examples(text) if page.endswith(".md") else examples(text)
    if not commands:
        print("%s: no examples found" % page)
        return 1
    failed = 0
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen",
                       PATH=os.pathsep.join(program_dirs + [os.environ.get("PATH", "")]))
    for command in commands:
        with tempfile.TemporaryDirectory() as folder:
            prepare(folder, samples)
            run = subprocess.run(["bash", "-c", command], cwd=folder, env=environment,
                                 capture_output=True, text=True)
            if run.returncode != 0:
                failed += 1
                print("FAILED (%d): %s\n%s%s" % (run.returncode, command, run.stdout, run.stderr))
    print("%s: %d examples, %d failed" % (os.path.basename(page), len(commands), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
