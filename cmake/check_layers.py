#!/usr/bin/env python3
"""Refuses an include that points up the client's floors: each folder of src/ may include
its own headers and those of the folders below it, never one above. Run by the build."""
import pathlib
import re
import sys

# Lowest first.
FLOORS = ["foundation", "description", "transfer", "install", "service", "persistence", "session", "ui", "app"]
RANK = {name: rank for rank, name in enumerate(FLOORS)}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.MULTILINE)


def upward_includes(source_root):
    found = []
    for path in sorted(source_root.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        floor = path.relative_to(source_root).parts[0]
        if floor not in RANK:
            found.append(f"{path}: the folder {floor}/ is on no floor (cmake/check_layers.py)")
            continue
        text = path.read_text(errors="replace")
        for match in INCLUDE.finditer(text):
            included = match.group(1)
            line = text.count("\n", 0, match.start()) + 1
            if ".." in included.split("/"):
                found.append(f"{path}:{line}: include project headers from src/, never with ..")
                continue
            target = included.split("/")[0]
            if target in RANK and RANK[target] > RANK[floor]:
                found.append(f"{path}:{line}: {floor}/ may not include {target}/ (it is a floor above)")
    return found


def main():
    source_root = pathlib.Path(sys.argv[1])
    problems = upward_includes(source_root)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    if len(sys.argv) > 2:
        pathlib.Path(sys.argv[2]).write_text("ok\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
