#!/usr/bin/env python3
"""How many of ten common edits move what a reload carries: a C++ program
(tests/e2e/modules/cppworld) is built before and after each edit, linked as
the SDK links modules (lld at a fixed base, the code and the data at fixed
offsets) and with gold at the same base in its own layout, and the
addresses of the globals and functions both builds have are compared.
(Before builds had a fixed place, every reload moved everything: the host
held the old build's place while the next one loaded.) Not a test: it
prints a table.

    python3 bench/carry/edits.py
"""

import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SOURCE = os.path.join(ROOT, "tests", "e2e", "modules", "cppworld")
BASE, CODE = "0x4B3D00000000", "0x4B3D10000000"
LAYOUT = os.path.join(ROOT, "cmake", "module_layout.ld")
LINKS = {
    "lld, placed": ["-fuse-ld=lld", "-Wl,-z,now", "-Wl,--image-base=" + BASE,
                    "-Wl,--section-start=.text=" + CODE, "-Wl,-T," + LAYOUT],
    "gold, base only": ["-fuse-ld=gold", "-Wl,-Ttext-segment=" + BASE],
}

# (name, text to find in main.cpp, text to put there)
EDITS = [
    ("a function body changed", "    score += (int)(frame % 3);",
     "    score += (int)(frame % 3);\n    if (frame % 1000 == 999) { score += 1; score -= 1; }"),
    ("a string made longer", '"keep going"', '"keep going, and going on"'),
    ("a function added at the end", "#if CPPWORLD_VERSION == 3 ||",
     "long added_last(long v) { return v * 7 + 3; }\n#if CPPWORLD_VERSION == 3 ||"),
    ("a function added first", "static world* the_world;",
     "long added_first(long v) { return v * 5 + 1; }\nstatic world* the_world;"),
    ("a zero global added", "static world* the_world;",
     "static long added_zero[4];\nstatic world* the_world;"),
    ("an initialised global added first", "int score = 1;", "int added_one = 9;\nint score = 1;"),
    ("a static local added", "    world* w = the_world;\n    for (size_t i",
     "    world* w = the_world;\n    static int calls;\n    calls += 1;\n    for (size_t i"),
    ("a lambda added", "    long bias = 3;",
     "    long bias = 3;\n    the_world->steps.push_back([](long v) { return v + 11; });"),
    ("a member added to a heap class", "    long side;\n", "    long side;\n    long spare = 0;\n"),
    ("a call to a new library function", "    w->name = names[frame % 4];",
     "    w->name = names[frame % 4];\n    if (frame == 123456789) { puts(\"never\"); }"),
]


def build(main_text, link, out_dir, name):
    main = os.path.join(out_dir, name + ".cpp")
    with open(main, "w") as source:
        source.write(main_text)
    library = os.path.join(out_dir, name + ".so")
    subprocess.run(["clang++", "-std=c++17", "-O0", "-g", "-fPIC", "-fno-exceptions", "-fno-rtti",
                    "-DCPPWORLD_VERSION=1", "-I" + os.path.join(ROOT, "include"), "-I" + ROOT,
                    "-shared", "-o", library, os.path.join(SOURCE, "keys.cpp"), main] + link,
                   check=True)
    return library


def symbols(library):
    """{name: (kind, address)} of the module's own globals and functions."""
    listed = subprocess.run(["nm", "--defined-only", library], capture_output=True, text=True,
                            check=True).stdout
    found = {}
    for line in listed.splitlines():
        match = re.match(r"([0-9a-f]+) ([dDbBtT]) (\S+)$", line)
        if match and not match.group(3).startswith(("_ZTV", "__", "completed.", "_DYNAMIC",
                                                    "_GLOBAL_OFFSET_TABLE_", "_edata", "_end")):
            kind = "code" if match.group(2) in "tT" else "data"
            found[match.group(3)] = (kind, int(match.group(1), 16))
    return found


def moved(before, after):
    counts = {"data": [0, 0], "code": [0, 0]}
    for name, (kind, address) in before.items():
        if name in after:
            counts[kind][1] += 1
            counts[kind][0] += after[name][1] != address
    return counts


def main():
    with open(os.path.join(SOURCE, "main.cpp")) as source:
        original = source.read()
    with tempfile.TemporaryDirectory() as scratch:
        rows = []
        for link_name, link in LINKS.items():
            base = symbols(build(original, link, scratch, "base"))
            for number, (name, find, put) in enumerate(EDITS):
                if find not in original:
                    sys.exit("edit %r finds nothing" % name)
                edited = original.replace(find, put, 1)
                after = symbols(build(edited, link, scratch, "edit%d" % number))
                rows.append((link_name, name, moved(base, after)))
    print("%-16s %-36s %15s %17s" % ("link", "edit", "globals moved", "functions moved"))
    for link_name, name, counts in rows:
        print("%-16s %-36s %9d of %3d %11d of %3d" % (link_name, name, counts["data"][0],
                                                       counts["data"][1], counts["code"][0],
                                                       counts["code"][1]))
    for link_name in LINKS:
        edits = [c for l, _, c in rows if l == link_name]
        print("%s: %d of %d edits move a global, %d move a function" % (
            link_name, sum(c["data"][0] > 0 for c in edits), len(edits),
            sum(c["code"][0] > 0 for c in edits)))


if __name__ == "__main__":
    main()
