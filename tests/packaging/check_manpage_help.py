#!/usr/bin/env python3
"""A manual page names the same commands and options as the program's --help.

Usage: check_manpage_help.py PROGRAM PAGE

From --help: the "Uso:" lines and the first line of each entry under "Comandi:" (the text before
its description) must be lines of the page's SINTESI or COMANDI sections, and the other way round
for the page's command entries; the options named in those lines and in the other entries (the
options' own) must be exactly the options the page's OPZIONI section describes.
"""
import re
import subprocess
import sys

program, page = sys.argv[1], sys.argv[2]
OPTION = re.compile(r"(?<![\w-])--?[a-z][a-z-]*")


def head(line):
    """An entry's first line without its description (after two or more spaces)."""
    return re.split(r"\s{2,}", line.strip())[0]


help_text = subprocess.run([program, "--help"], check=True, capture_output=True, text=True).stdout
section, usage, commands, options = None, [], [], set()
for line in help_text.splitlines():
    if line.startswith("Uso:") or (section == "Uso" and line.startswith("     ")):
        section = "Uso"
        usage.append(" ".join(line.removeprefix("Uso:").split()))
        options.update(OPTION.findall(usage[-1]))
    elif line in ("Comandi:", "Opzioni:"):
        section = line[:-1]
    elif not line.strip():
        section = None if section == "Uso" else section
    elif re.match(r"  \S", line):  # an entry: a command under "Comandi:", an option elsewhere
        entry = head(line)
        options.update(OPTION.findall(entry))
        if section == "Comandi":
            commands.append(" ".join(entry.split()))

rendered = subprocess.run(["groff", "-Kutf8", "-man", "-Tutf8", "-P-cbou", "-rLL=2000n", page], check=True,
                          capture_output=True, text=True).stdout
rendered = rendered.replace("\u2212", "-").replace("\u2010", "-")
sections, name = {}, None
for line in rendered.splitlines():
    if re.match(r"[A-Z]", line):
        name = line.strip()
    elif name:
        sections.setdefault(name, []).append(line)


def tags(section):
    """The tags of a section's entries: a line at the margin followed by its indented body, or a
    short tag with its body on the same line."""
    lines = sections.get(section, []) + [""]
    found = []
    for line, following in zip(lines, lines[1:]):
        if re.match(r" {7}\S", line) and re.match(r" {14}\S", following):
            found.append(" ".join(line.split()))
        elif re.match(r" {7}\S.{0,5} +\S", line) and line[14:15].strip():
            found.append(line[7:14].strip())
    return found


synopsis = [" ".join(line.split()) for line in sections.get("SINTESI", []) if line.strip()]
problems = []
for line in usage:
    if line not in synopsis:
        problems.append(f"la sintesi non ha «{line}»")
page_commands = tags("COMANDI")
problems += [f"COMANDI non ha «{c}»" for c in commands if c not in page_commands]
problems += [f"COMANDI ha «{c}», che --help non ha" for c in page_commands if c not in commands]
page_options = {o for tag in tags("OPZIONI") for o in OPTION.findall(tag)}
problems += [f"OPZIONI non descrive {o}" for o in sorted(options - page_options)]
problems += [f"OPZIONI descrive {o}, che --help non ha" for o in sorted(page_options - options)]
if not usage or (commands == [] and page_commands != []):
    problems.append("--help non si legge come previsto")
for problem in problems:
    print(f"{page}: {problem}", file=sys.stderr)
sys.exit(1 if problems else 0)
