"""The folders' layers: base and the contract < platform < input < guard and
loop < carry and sound < host. A file includes headers of its own folder
and of lower layers only, and the project's headers include one another
without a cycle."""

import os
import re
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# A folder and the folders whose headers it may include.
LAYERS = {
    "base": {"engine"},
    "include/engine": {"engine"},
    "platform": {"engine"},
    "input": {"engine", "platform"},
    "guard": {"engine", "platform"},
    "loop": {"engine", "platform", "input"},
    "carry": {"engine", "platform", "input", "guard", "loop"},
    "sound": {"engine", "platform", "input", "guard", "loop"},
    "host": {"engine", "platform", "input", "guard", "loop", "carry", "sound"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
SOURCES = (".c", ".cpp", ".h")


def project_includes(path):
    with open(path, errors="replace") as source:
        return INCLUDE.findall(source.read())


def files_of(root, folder):
    for top, _, names in os.walk(os.path.join(root, folder)):
        for name in sorted(names):
            if name.endswith(SOURCES):
                yield os.path.join(top, name)


def upward_includes(root, layers):
    """Each include of a folder's file that reaches a folder it may not."""
    found = []
    for folder, allowed in layers.items():
        own = folder.split("/")[-1]
        for path in files_of(root, folder):
            for header in project_includes(path):
                target = header.split("/")[0]
                if "/" in header and target != own and target not in allowed:
                    found.append("%s includes %s" % (os.path.relpath(path, root), header))
    return found


def header_cycle(root, folders):
    """One cycle among the project's headers, as a list, or None."""
    graph = {}
    for folder in folders:
        for path in files_of(root, folder):
            if path.endswith(".h"):
                name = os.path.relpath(path, os.path.join(root, "include")) \
                    if folder.startswith("include") else os.path.relpath(path, root)
                graph[name] = project_includes(path)
    state, stack = {}, []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for target in graph.get(node, ()):
            if state.get(target) == 1:
                return stack[stack.index(target):] + [target]
            if target in graph and not state.get(target):
                cycle = visit(target)
                if cycle:
                    return cycle
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if not state.get(node):
            cycle = visit(node)
            if cycle:
                return cycle
    return None


class Layers(unittest.TestCase):
    def test_no_folder_includes_a_higher_one(self):
        self.assertEqual(upward_includes(ROOT, LAYERS), [])

    def test_the_headers_include_one_another_without_a_cycle(self):
        self.assertIsNone(header_cycle(ROOT, LAYERS))

    def test_the_checks_find_what_they_guard(self):
        with tempfile.TemporaryDirectory() as root:
            files = {"carry/kept.cpp": '#include "carry/kept.h"\n#include "host/os.h"\n',
                     "carry/kept.h": '#include "carry/image.h"\n',
                     "carry/image.h": '#include "carry/kept.h"\n',
                     "sound/sound.cpp": '#include "guard/fault.h"\n'}
            for name, text in files.items():
                os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
                with open(os.path.join(root, name), "w") as out:
                    out.write(text)
            self.assertEqual(upward_includes(root, LAYERS),
                             ["carry/kept.cpp includes host/os.h"])
            self.assertEqual(sorted(set(header_cycle(root, LAYERS))),
                             ["carry/image.h", "carry/kept.h"])


if __name__ == "__main__":
    sys.exit(unittest.main())
