#!/usr/bin/env python3
"""The man page names every option each command's --help lists in that command's synopsis and
heads exactly one entry of OPTIONS with it, and no sentence of it stands twice.

usage: check_man_page.py PAGE FOLIOSET_CLI
"""
import re
import shlex
import subprocess
import sys

COMMANDS = ["show", "brand", "extract", "list", "verify"]
OPTION = re.compile(r"(?:^|[][ ,|(])(--?[a-z][a-z0-9-]*)")


def help_options(cli, *command):
    text = subprocess.run([cli, *command, "--help"], check=True, capture_output=True,
                          text=True).stdout
    if not command:
        text = text[text.index("Options of every command"):]
    return set(OPTION.findall(text)) - {"--"}


def sections(page):
    """The page's lines under each .SH heading."""
    found, name = {}, None
    for line in page.splitlines():
        if line.startswith(".SH "):
            name = line[4:].strip().strip('"')
            found[name] = []
        elif name:
            found[name].append(line)
    return found


def plain(line):
    """A roff line's text: escapes resolved, the arguments of font macros joined as printed."""
    line = line.replace("\\-", "-").replace("\\(dq", '"').replace("\\(aq", "'")
    line = line.replace("\\(lq", '"').replace("\\(rq", '"').replace("\\e", "\\")
    line = re.sub(r"\\f[BIPR]|\\%|\\&", "", line).replace("\\ ", " ").replace("\\~", " ")
    line = re.sub(r"\\\[u[0-9A-F]+\]", "…", line)
    if not line.startswith("."):
        return line
    macro, _, rest = line.partition(" ")
    try:
        words = shlex.split(rest, posix=True)
    except ValueError:
        words = rest.split()
    if macro in (".B", ".I"):
        return " ".join(words)
    if macro in (".BR", ".RB", ".BI", ".IB", ".IR", ".RI"):
        return "".join(words)
    return None  # .TP, .PP, .br: no text


def synopses(lines):
    """Each command's synopsis text (brand's two joined)."""
    found, command = {}, None
    for line in lines:
        if line.startswith(".B folioset-cli"):
            words = line.split()
            command = words[2] if len(words) > 2 else None
            found.setdefault(command, "")
        elif line == ".br":
            command = None
        if command:
            found[command] += " " + (plain(line) or "")
    return found


def option_headings(lines):
    """The options each entry of OPTIONS is headed by, one list per entry."""
    headings = []
    for previous, line in zip(lines, lines[1:]):
        if previous == ".TP":
            headings.append(re.findall(r"(?<![\w-])(--?[a-z][a-z0-9-]*)", plain(line) or ""))
    return headings


def sentences(page):
    """The page's sentences outside examples and the synopsis, blanks made one."""
    text, example = [], False
    for name, lines in sections(page).items():
        if name == "SYNOPSIS":
            continue
        for line in lines:
            example = line == ".EX" or (example and line != ".EE")
            if not example:
                text.append(plain(line) or "\n")
    flowing = re.sub(r"[ \t]+", " ", " ".join(text))
    return [s.strip() for s in re.split(r"(?<=[.!?])\"?\s+|\n", flowing) if s.strip()]


def main():
    page_path, cli = sys.argv[1], sys.argv[2]
    page = open(page_path, encoding="utf-8").read()
    parts = sections(page)
    problems = []
    common = help_options(cli)
    synopsis = synopses(parts["SYNOPSIS"])
    headings = option_headings(parts["OPTIONS"])
    for command in COMMANDS:
        for option in sorted(help_options(cli, command) | common):
            if option in ("-h", "--help", "--version"):
                continue  # a synopsis line of their own
            if not re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])",
                             synopsis.get(command, "")):
                problems.append(f"the synopsis of {command} lacks {option}")
    for option in sorted(common | set().union(*(help_options(cli, c) for c in COMMANDS))):
        count = sum(option in heading for heading in headings)
        if count != 1:
            problems.append(f"{option} heads {count} entries of OPTIONS, not one")
    said = sentences(page)
    for i, sentence in enumerate(said):
        if len(sentence.split()) < 4:
            continue
        for other in said[:i]:
            if other == sentence or other.endswith(" " + sentence):
                problems.append(f"a sentence stands twice: {sentence!r}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
