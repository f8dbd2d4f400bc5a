#!/usr/bin/env python3
"""Checks that the includes between the folders of src/ follow the layering of
docs/architecture.md: each folder includes only itself and the folders below it, and no two
folders include each other, directly or round a circle. Prints every include that breaks it
and exits 1; exits 0 when there is none.

Usage: check_layers.py [SRC_DIR]   (default: the src/ folder next to this script's parent)
"""
import os
import re
import sys

# Which folders each folder may include (besides itself). Everything else is refused.
ALLOWED = {
    "api": {"core", "reports", "outbox", "transport", "platform", "json", "log", "win", "mirto"},
    "core": {"reports", "outbox", "transport", "platform", "json", "log", "win"},
    "reports": {"transport", "platform", "json", "log", "win"},
    "outbox": {"transport", "platform", "win"},
    "transport": {"win"},
    "platform": {"win"},
    "json": set(),
    "win": set(),
    "log": {"win"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)


def folder_includes(src):
    """[(file, line number, including folder, included folder)] for every quoted include."""
    found = []
    for folder in sorted(os.listdir(src)):
        top = os.path.join(src, folder)
        if not os.path.isdir(top):
            continue
        for directory, _, files in os.walk(top):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8") as source:
                    text = source.read()
                for match in INCLUDE.finditer(text):
                    line = text.count("\n", 0, match.start()) + 1
                    found.append((path, line, folder, match.group(1)))
    return found


def cycles(edges):
    """The folder cycles in {folder: {included folders}}, each as a list of folders."""
    found, state = [], {}

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == "open":
                found.append(path[path.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])
    return found


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "src")
    problems, edges = [], {}
    for path, line, folder, target in folder_includes(src):
        if target == folder:
            continue
        edges.setdefault(folder, set()).add(target)
        where = "%s:%d" % (os.path.relpath(path, os.path.join(src, "..")), line)
        if folder not in ALLOWED:
            problems.append("%s: folder %s/ has no place in the layering" % (where, folder))
        elif target not in ALLOWED[folder]:
            problems.append("%s: %s/ may not include %s/" % (where, folder, target))
    for cycle in cycles(edges):
        problems.append("folders include each other: " + " -> ".join(cycle))
    for problem in problems:
        print("layers: " + problem)
    if problems:
        return 1
    print("layers: clean")
    return 0


if __name__ == "__main__":
    sys.exit(main())
