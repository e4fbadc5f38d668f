#!/usr/bin/env python3
"""How a reload matches functions whose names count (lambdas, clones) and
file statics, on real builds of common edits: figures, not a test.

    match_edits.py linux|windows

Builds, with the host tree's compiler and the modules' options (-O0 -g, no
exceptions, no RTTI, and again with RTTI), a C++ program holding lambdas in
std::function objects, edited as people edit it: a lambda added before the
others, two of one signature swapped, a body changed, two bodies of one
signature changed, a function with a lambda added before, a plain function
added, the same sources built in another folder. Then the test module
wholer (C) and the demo (C++, made whole-state), each edited and moved, at
-O0 and -O2 (where GCC makes clones). match_bench says where each function
and object of one build goes in the next; this checks each against what it
really is (a lambda by the marker on the line its operator() starts at,
through addr2line; anything else by its name) and prints, per edit:

  functions: how many of the old build's functions whose names count
    (those a std::function points at: its invoker and manager, in brackets)
  by name: the rule before (the same counted name): right, wrong, missing
  now: right (the same one, or one of the same whole code), wrong, unsure
    (named, and a fault if called), removed (gone, or said so)
  objects: kept of all
"""

import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

PROGRAM = """\
#include <functional>
#include <vector>
#include "engine/keep.h"
ENGINE_KEEP_ALL;
static int twice(int x) { return x * 2; }
std::function<int(int)> slots[8];
std::vector<std::function<void()>> tasks;
static int counter;
//@function
static void set_up() {
    //@lambda
    slots[0] = [](int x) { return x + 1; };  // L:a
    slots[1] = [](int x) { return x * 3; };  // L:b
    slots[2] = [](int x) { return twice(x) - 4; };  // L:c
    int k = 5;
    slots[3] = [k](int x) { return x + k; };  // L:d
    slots[4] = [](int x) { return x ^ 0x55; };  // L:e
}
static void more() {
    tasks.push_back([] { counter += 1; });  // L:f
    tasks.push_back([] { counter *= 2; });  // L:g
    slots[5] = [](int x) { return x - counter; };  // L:h
}
extern "C" void run() {
    //@call
    set_up();
    more();
}
"""

LINE_A = "    slots[0] = [](int x) { return x + 1; };  // L:a\n"
LINE_B = "    slots[1] = [](int x) { return x * 3; };  // L:b\n"


def edited(name):
    text = PROGRAM
    if name == "a lambda added before the others":
        text = text.replace("    //@lambda\n",
                            "    slots[7] = [](int x) { return x + 100; };  // L:new\n")
    elif name == "two of one signature swapped":
        text = text.replace(LINE_A + LINE_B, LINE_B + LINE_A)
    elif name == "a body changed":
        text = text.replace("twice(x) - 4", "twice(x) - 5")
    elif name == "two bodies of one signature changed":
        text = text.replace("x + 1;", "x + 2;").replace("x * 3;", "x * 4;")
    elif name == "a function with a lambda added before":
        text = text.replace("//@function\n", "static void extra() {\n"
                            "    slots[6] = [](int x) { return x / 3; };  // L:x\n}\n")
        text = text.replace("    //@call\n", "    extra();\n")
    elif name == "a plain function added":
        text = text.replace("//@function\n", "static int spare(int x) { return x + 9; }\n"
                            "int (*spare_pointer)(int) = spare;\n")
    return text


EDITS = ["the same build again", "a lambda added before the others",
         "two of one signature swapped", "a body changed", "two bodies of one signature changed",
         "a function with a lambda added before", "a plain function added", "moved"]


class Tree:
    def __init__(self, kind):
        self.kind = kind
        self.windows = kind == "windows"
        self.build = os.path.join(ROOT, "out", kind)
        self.work = os.path.join(self.build, "match-edits")
        self.suffix = ".dll" if self.windows else ".so"
        self.cxx = ["x86_64-w64-mingw32-g++-posix"] if self.windows else ["clang++"]
        self.cc = ["x86_64-w64-mingw32-gcc-posix"] if self.windows else ["clang"]
        self.addr2line = "x86_64-w64-mingw32-addr2line" if self.windows else "addr2line"
        self.nm = "x86_64-w64-mingw32-nm" if self.windows else "nm"
        libs = ["base/libengine_base.a", "input/libengine_input_record.a"]
        self.libraries = [os.path.join(self.build, lib) for lib in libs]
        bench = os.path.join(self.build, "bench", "carry", "match_bench")
        self.bench = ["wine", bench + ".exe"] if self.windows else [bench]

    def compile(self, sources, output, options):
        link = ["-shared"] + (["-static"] if self.windows else ["-fPIC", "-fuse-ld=gold"])
        command = (self.cxx + ["-std=c++17"] + options + link + ["-I", os.path.join(ROOT, "include"), "-I", ROOT] +
                   sources + self.libraries + ["-o", output])
        subprocess.run(command, check=True, cwd=os.path.dirname(sources[0]))

    def match(self, old, new):
        env = dict(os.environ, WINEDEBUG="-all",
                   WINEPREFIX=os.path.join(self.build, "wineprefix"))
        done = subprocess.run(self.bench + [old, new], capture_output=True, text=True, env=env)
        if done.returncode != 0:
            raise RuntimeError(done.stderr)
        return done.stdout.replace("\r", "").splitlines()


# A closure type's place in a mangled name: clang's "3$_0" (one count per
# file), or GCC's enclosing function and "UliE0_" (per function).
TOKEN = re.compile(r"\d+\$_\d+|Z(L?\d+\w+?v)E(?:NK)?(Ul\w*?E\d*_)")


def token(name):
    match = TOKEN.search(name)
    if not match:
        return None
    return match.group(0) if "$_" in match.group(0) else match.group(1) + match.group(2)


def lambda_markers(tree, library, source):
    """The marker of each closure type's lambda, by its token."""
    lines = open(source).read().splitlines()
    symbols = subprocess.run([tree.nm, library], capture_output=True, text=True).stdout
    found = {}
    for line in symbols.splitlines():
        fields = line.split()
        if len(fields) != 3 or "clE" not in fields[2]:
            continue
        key = token(fields[2])
        if not key:
            continue
        where = subprocess.run([tree.addr2line, "-e", library, fields[0]], capture_output=True,
                               text=True).stdout.strip()
        number = re.search(r":(\d+)", where)
        if number and 0 < int(number.group(1)) <= len(lines):
            marker = re.search(r"// L:(\w+)", lines[int(number.group(1)) - 1])
            if marker:
                found[key] = marker.group(1)
    return found


# A constructor's or destructor's forms (complete, base) lie at one address:
# one function.
def unaliased(name):
    return re.sub(r"([CD])[012]([IE])", r"\1x\2", name)


def tally(lines, old_markers, new_markers, new_keys, moved=False):
    figures = dict(functions=0, pointed=0, name_right=0, name_wrong=0, name_missing=0, right=0,
                   wrong=0, unsure=0, removed=0, pointed_right=0, kept="", before=0)
    for line in lines:
        if line.startswith("kept "):
            figures["kept"] = line.split(" ", 1)[1]
        if line.startswith("object ") and " -> " in line:
            # Before, a file's own objects were keyed by its path as the
            # build gave it: a build from another folder found none of them.
            old, new = line[len("object "):].split(" -> ")
            figures["before"] += new not in ("removed", "unsure") and not (moved and ":" in old)
        if not line.startswith("function "):
            continue
        old, new = line[len("function "):].split(" -> ")
        new_key = new.split(" (")[0]
        pointed = "_M_invoke" in old or "_M_manager" in old
        figures["functions"] += 1
        figures["pointed"] += pointed
        old_token = token(old)
        truth = old_markers.get(old_token) if old_token else None
        def same(candidate):
            if candidate.split(":")[-1] not in new_keys:
                return None
            if truth is None:
                return candidate == old
            return new_markers.get(token(candidate)) == truth and (
                unaliased(TOKEN.sub("", old)) == unaliased(TOKEN.sub("", candidate)))
        # The rule before: the same counted name.
        verdict = same(old)
        figures["name_missing" if verdict is None else
                "name_right" if verdict else "name_wrong"] += 1
        if new_key == "unsure":
            figures["unsure"] += 1
        elif new_key == "removed":
            figures["removed"] += 1
        elif same(new_key) or "(alike)" in new:
            figures["right"] += 1
            figures["pointed_right"] += pointed
        else:
            figures["wrong"] += 1
            print("    wrong: %s -> %s" % (old, new))
    return figures


def show(label, f):
    print("  %-42s functions %3d (%2d)  by name %3d/%3d/%3d  now %3d/%d/%d/%d  objects kept %s "
          "(before %d)" % (label, f["functions"], f["pointed"], f["name_right"], f["name_wrong"],
                           f["name_missing"], f["right"], f["wrong"], f["unsure"], f["removed"],
                           f["kept"].replace(" objects", ""), f["before"]))


def markers_of(tree, source, options, library):
    """A lambda's marker by its closure token. The compilers number lambdas
    before they optimise: an unoptimised build of the same source, whose
    operator() lies on its line, tells them."""
    plain = library + ".O0" + tree.suffix
    tree.compile([source], plain, [o for o in options if not o.startswith("-O")] + ["-O0"])
    return lambda_markers(tree, plain, source)


def lambda_program(tree, options, label):
    print("%s, %s:" % (label, " ".join(options)))
    base = os.path.join(tree.work, "lambdas", "original")
    os.makedirs(base, exist_ok=True)
    old_source = os.path.join(base, "program.cpp")
    with open(old_source, "w") as out:
        out.write(PROGRAM)
    old = os.path.join(base, "program" + tree.suffix)
    tree.compile([old_source], old, options)
    old_markers = markers_of(tree, old_source, options, old)
    for edit in EDITS:
        folder = os.path.join(tree.work, "lambdas", "moved" if edit == "moved" else "edited")
        os.makedirs(folder, exist_ok=True)
        source = os.path.join(folder, "program.cpp")
        with open(source, "w") as out:
            out.write(edited(edit))
        new = os.path.join(folder, "program-%d%s" % (EDITS.index(edit), tree.suffix))
        tree.compile([source], new, options)
        new_markers = markers_of(tree, source, options, new)
        lines = tree.match(old, new)
        new_keys = set(subprocess_keys(tree, new, lines))
        show(edit, tally(lines, old_markers, new_markers, new_keys, edit == "moved"))


def subprocess_keys(tree, library, lines):
    """The names of the new build's symbols."""
    symbols = subprocess.run([tree.nm, library], capture_output=True, text=True).stdout
    return [line.split()[-1] for line in symbols.splitlines() if line.split()]


C_EDITS = {
    "wholer": (["tests/e2e/modules/wholer/main.c", "tests/e2e/modules/wholer/world.c",
                "tests/e2e/modules/wholer/heap.cpp", "tests/e2e/modules/wholer/wholer.h"],
               "tests/e2e/modules/wholer/world.c",
               "current->value += 1;", "current->value += 2;",
               "void world_scribble(void) {", "int world_spare(int x) { return x * 5 + 1; }\n"
               "void world_scribble(void) {"),
    "demo": (["demo/main.cpp", "demo/draw.cpp", "demo/font.cpp", "demo/tones.cpp", "demo/draw.h",
              "demo/tones.h"],
             "demo/draw.cpp", "u32 rgb(u32 red, u32 green, u32 blue) {\n",
             "u32 rgb(u32 red, u32 green, u32 blue) {\n    green |= 0;\n",
             "u32 rgb(u32 red, u32 green, u32 blue) {\n",
             "int draw_spare(int x) { return x * 5 + 1; }\n"
             "u32 rgb(u32 red, u32 green, u32 blue) {\n"),
}


def copy_sources(files, folder, change=None):
    copies = []
    for file in files:
        target = os.path.join(folder, file)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        text = open(os.path.join(ROOT, file)).read()
        if change and change[0] == file:
            text = text.replace(change[1], change[2], 1)
        with open(target, "w") as out:
            out.write(text)
        copies.append(target)
    keep = os.path.join(folder, "keep_all.c")
    with open(keep, "w") as out:
        out.write('#include "engine/keep.h"\nENGINE_KEEP_ALL;\n')
    return copies + [keep]


def module_edits(tree, name, options):
    files, edited_file, before, after, anchor, added = C_EDITS[name]
    print("%s, %s:" % (name, " ".join(options)))
    old_folder = os.path.join(tree.work, name, "original")
    old = os.path.join(old_folder, name + tree.suffix)
    sources = copy_sources(files, old_folder)
    compile_mixed(tree, sources, old, options, name)
    for edit, change, folder in (("the same build again", None, "again"),
                                 ("a body changed", (edited_file, before, after), "body"),
                                 ("a function added", (edited_file, anchor, added), "function"),
                                 ("moved", None, "moved/elsewhere")):
        new_folder = os.path.join(tree.work, name, folder)
        new = os.path.join(new_folder, name + tree.suffix)
        compile_mixed(tree, copy_sources(files, new_folder, change), new, options, name)
        lines = tree.match(old, new)
        new_keys = set(subprocess_keys(tree, new, lines))
        show(edit, tally(lines, {}, {}, new_keys, edit == "moved"))


def compile_mixed(tree, sources, output, options, name):
    objects = []
    for source in sources:
        if source.endswith(".h"):
            continue
        is_c = source.endswith(".c")
        compiler = tree.cc if is_c else tree.cxx
        language = ["-std=gnu99"] if is_c else ["-std=c++17", "-fno-exceptions", "-fno-rtti"]
        defines = ["-DWHOLER_VERSION=1"] if name == "wholer" else []
        obj = source + ".o"
        subprocess.run(compiler + options + language + defines +
                       ([] if tree.windows else ["-fPIC"]) +
                       ["-I", os.path.join(ROOT, "include"), "-I", ROOT, "-c", source, "-o", obj],
                       check=True, cwd=os.path.dirname(source))
        objects.append(obj)
    link = ["-shared"] + (["-static"] if tree.windows else ["-fuse-ld=gold"])
    subprocess.run(tree.cxx + link + objects + tree.libraries + ["-o", output], check=True)


def main():
    kind = sys.argv[1] if len(sys.argv) > 1 else "linux"
    tree = Tree(kind)
    shutil.rmtree(tree.work, ignore_errors=True)
    print("functions (pointed at by std::function)  by name: right/wrong/missing  "
          "now: right/wrong/unsure/removed")
    base = ["-O0", "-g", "-fno-exceptions"]
    lambda_program(tree, base + ["-fno-rtti"], "lambdas")
    lambda_program(tree, base + ["-frtti"], "lambdas")
    lambda_program(tree, ["-O2", "-g", "-fno-exceptions", "-fno-rtti"], "lambdas")
    for name in ("wholer", "demo"):
        module_edits(tree, name, ["-O0", "-g"])
        module_edits(tree, name, ["-O2", "-g"])


if __name__ == "__main__":
    main()
