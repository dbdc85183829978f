#!/usr/bin/env python3
"""Fails when SQL text or a test of the engine appears outside store/.

The store owns every statement and transaction and keeps what differs between the engines in its
dialect: the folders above it call the store and never write SQL themselves nor ask whether a book
is a file or a server's. Looks in the C++ string literals for the start of a statement, and in the
code for a comparison with an Engine value.
"""

import pathlib
import re
import sys

FOLDERS = ["interchange", "printing", "gui_common", "main_window", "table_view", "app", "tools", "sync"]

# Read from left to right, so that a quote in a comment or a "//" in a string is taken for what it is.
TOKEN = re.compile(
    r"//[^\n]*|/\*.*?\*/"
    r"|'(?:[^'\\\n]|\\.){1,8}'"
    r'|R"(?P<delimiter>[^(\s]*)\((?P<raw>.*?)\)(?P=delimiter)"|"(?P<text>(?:[^"\\\n]|\\.)*)"',
    re.S,
)
STATEMENT = re.compile(
    r"\b(SELECT\s|INSERT\s+INTO\b|DELETE\s+FROM\b|UPDATE\s.*\bSET\b"
    r"|BEGIN(\s+(IMMEDIATE|DEFERRED|EXCLUSIVE|ISOLATION|TRANSACTION|WORK)\b|\s*;)"
    r"|\bCOMMIT\b|\bROLLBACK\b"
    r"|CREATE\s+(TEMP\s+|UNIQUE\s+)?(TABLE|INDEX)\b|DROP\s+(TABLE|INDEX)\b|LOCK\s+TABLE\b|PRAGMA\s)"
)
ENGINE = re.compile(r"\bEngine::(Sqlite|Postgres)\b")


def line_of(text, at):
    return text.count("\n", 0, at) + 1


def problems(root):
    for folder in FOLDERS:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            text = path.read_text(encoding="utf-8")
            code = []
            at = 0
            for match in TOKEN.finditer(text):
                code.append(text[at : match.start()])
                at = match.end()
                content = match.group("raw") or match.group("text") or ""
                if STATEMENT.search(content):
                    yield f"{path.relative_to(root)}:{line_of(text, match.start())}: SQL text {match.group(0)[:60]}"
            code.append(text[at:])
            engine = ENGINE.search(" ".join(code))
            if engine:
                yield f"{path.relative_to(root)}: compares with {engine.group(0)}"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[1])
    found = list(problems(root))
    for problem in found:
        print(problem)
    if found:
        print("SQL and the engines' differences belong in store/ (contact_rows.h, engine.h's dialect).")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
