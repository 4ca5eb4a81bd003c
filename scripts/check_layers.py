#!/usr/bin/env python3
"""Fails on an #include that points up or sideways in the layer graph.

The graph is the ```layers block of docs/ARCHITECTURE.md: each line names a
folder and the folders its files may include besides itself; "parent/*"
stands for each folder in parent that has no line of its own (a new bridge
needs no new line). A file belongs to the longest folder of the graph that
holds it. Test files (*_test.cpp,
*_fixture.h) may also include the test helpers and the sample images; tests/,
bench/ and fuzz/ may include anything. A layer's test helpers and fakes (its
testing/ folder) are for tests only: no other file includes them.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
TEST_HELPERS = ("tests/support", "tools/sample_images")
ANYTHING = ("tests", "bench", "fuzz")


def graph():
    text = (ROOT / "docs/ARCHITECTURE.md").read_text()
    block = re.search(r"```layers\n(.*?)```", text, re.S)
    if not block:
        sys.exit("docs/ARCHITECTURE.md has no layers block")
    allowed, each = {}, {}
    for line in block.group(1).splitlines():
        if line.strip():
            folder, _, below = line.partition(":")
            folder = folder.strip()
            if folder.endswith("/*"):
                each[folder[:-2]] = below.split()
            else:
                allowed[folder] = below.split()
    for parent, below in each.items():
        for child in sorted((ROOT / parent).iterdir()):
            name = f"{parent}/{child.name}"
            if child.is_dir() and name not in allowed:
                allowed[name] = below
    return allowed


def owner(path, folders):
    """The longest folder of `folders` holding `path`, or None."""
    best = None
    for folder in folders:
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def main():
    allowed = graph()
    problems = []
    for file in sorted(ROOT.rglob("*")):
        if file.suffix not in (".cpp", ".h") or not file.is_file():
            continue
        relative = file.relative_to(ROOT).as_posix()
        if relative.startswith("build/") or relative.split("/")[0] in ANYTHING:
            continue
        home = owner(relative, allowed)
        if home is None:
            problems.append(f"{relative}: its folder is not in the layer graph")
            continue
        is_test = relative.endswith("_test.cpp") or relative.endswith("_fixture.h")
        for number, line in enumerate(file.read_text(errors="replace").splitlines(), 1):
            match = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if not match or "/" not in match.group(1):
                continue
            included = match.group(1)
            if is_test and any(included.startswith(helper + "/") for helper in TEST_HELPERS):
                continue
            if "/testing/" in included and not is_test and "/testing/" not in relative:
                problems.append(f"{relative}:{number}: only tests may include {included}")
                continue
            target = owner(included, allowed)
            if target == home:
                continue
            if target and any(target == below or target.startswith(below + "/") for below in allowed[home]):
                continue
            problems.append(f"{relative}:{number}: {home} may not include {included}")
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) against the layer graph in docs/ARCHITECTURE.md")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
