#!/usr/bin/env python3
"""Checks that every relative link in README.md and docs/ leads somewhere:
the file exists, and an anchor (#part) names a heading of that file, made
into an anchor as GitHub makes it. Prints each dead link; exits 1 if any.

    links.py SOURCE_DIRECTORY
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
documents = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
link = re.compile(r"\]\(([^)\s]+)\)")


def anchors(path):
    """The anchors of a Markdown file's headings, outside code blocks."""
    found, fenced = set(), False
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            found.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return found


dead, checked = [], 0
for document in documents:
    fenced = False
    for number, line in enumerate(document.read_text(encoding="utf-8").splitlines(), 1):
        if line.startswith("```"):
            fenced = not fenced
        if fenced:
            continue
        for target in link.findall(line):
            if re.match(r"[a-z]+:", target):  # an address on the web, not checked here
                continue
            checked += 1
            name, _, anchor = target.partition("#")
            path = (document.parent / name).resolve() if name else document
            where = f"{document.relative_to(root)}:{number}: {target}"
            if not path.exists():
                dead.append(f"{where} (no such file)")
            elif anchor and (path.suffix != ".md" or anchor not in anchors(path)):
                dead.append(f"{where} (no such heading)")
for line in dead:
    print(line)
print(f"{checked - len(dead)} passed, {len(dead)} failed")
sys.exit(1 if dead else 0)
