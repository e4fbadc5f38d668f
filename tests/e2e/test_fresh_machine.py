"""The README's first command on a fresh machine: ./run, and ./run --watch,
with a PATH that holds only the programs a fresh machine's packages
(fresh_machine_packages.txt) and the packages ./run installs itself bring,
with everything those depend on, as dpkg's database here says. The runs are
real, without a display, so ./run starts its own; this tree's build is up to
date, so they compile nothing. The Linux tree runs ./run, the Windows tree
./run --windows."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from harness import wait_for

SOURCE_DIR = os.environ["ENGINE_SOURCE_DIR"]
FRESH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fresh_machine_packages.txt")
# Where a fresh machine's shell looks for programs.
PATH_DIRS = ["/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"]
PRESET = "windows" if harness.WINDOWS else "linux"
RUN = ["./run", "--windows"] if harness.WINDOWS else ["./run"]


def installed_packages():
    """name -> (name as dpkg -L takes it, its dependencies' alternatives),
    and virtual name -> the installed packages that provide it."""
    fields = "${db:Status-Abbrev}\t${Package}\t${binary:Package}\t${Depends}\t${Pre-Depends}" \
             "\t${Provides}\n"
    listing = subprocess.run(["dpkg-query", "-W", "-f=" + fields], capture_output=True,
                             text=True, check=True).stdout
    packages, providers = {}, {}
    for line in listing.splitlines():
        status, name, binary, depends, pre_depends, provides = line.split("\t")
        if not status.startswith("ii"):
            continue
        groups = [group.strip() for group in (depends + "," + pre_depends).split(",")]
        alternatives = [[bare(choice) for choice in group.split("|")] for group in groups if group]
        packages[name] = (binary, alternatives)
        for provided in provides.split(","):
            if provided.strip():
                providers.setdefault(bare(provided), []).append(name)
    return packages, providers


def bare(relation):
    """"libc6:any (>= 2.34)" -> "libc6"."""
    return relation.strip().split(" ")[0].split(":")[0]


def closure(roots, packages, providers):
    """The packages and what they depend on, the first alternative that is
    installed for each dependency, as apt picks without recommends."""
    wanted, todo = set(), list(roots)
    while todo:
        name = todo.pop()
        if name in wanted or name not in packages:
            continue
        wanted.add(name)
        for alternatives in packages[name][1]:
            for choice in alternatives:
                found = [choice] if choice in packages else providers.get(choice, [])
                if found:
                    todo.append(found[0])
                    break
    return wanted


def programs(names, packages):
    """Every program on a fresh machine's PATH that these packages bring,
    their alternatives' links included: name -> path."""
    listed = subprocess.run(["dpkg-query", "-L"] + sorted(packages[n][0] for n in names),
                            capture_output=True, text=True).stdout
    files = {os.path.realpath(path) for path in listed.splitlines() if path.startswith("/")}
    found = {}
    for directory in PATH_DIRS:
        if not os.path.isdir(directory):
            continue
        for entry in sorted(os.listdir(directory)):
            path = os.path.join(directory, entry)
            placed = os.path.join(os.path.realpath(directory), entry)
            if entry not in found and (placed in files or os.path.realpath(path) in files) \
                    and os.access(path, os.X_OK):
                found[entry] = path
    return found


def run_packages():
    """What ./run installs for this host: (commands, packages)."""
    listed = subprocess.run(["bash", "-c", ". scripts/setup.sh && engine_packages %s"
                             % ("windows" if harness.WINDOWS else "native")],
                            cwd=SOURCE_DIR, capture_output=True, text=True, check=True).stdout
    entries = listed.split()
    return ([e.split(":")[0] for e in entries if ":" in e],
            [e.split(":")[-1] for e in entries])


class FreshMachineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.path.realpath(harness.BUILD_DIR) != os.path.realpath(
                os.path.join(SOURCE_DIR, "out", PRESET)):
            raise unittest.SkipTest("./run builds out/%s; this tree is %s"
                                    % (PRESET, harness.BUILD_DIR))
        with open(FRESH) as listing:
            fresh = [line.strip().split(":")[0] for line in listing
                     if line.strip() and not line.startswith("#")]
        cls.commands, own = run_packages()
        packages, providers = installed_packages()
        absent = [name for name in own if name not in packages]
        if absent:
            raise AssertionError("./test installs these first: %s" % " ".join(absent))
        cls.found = programs(closure(fresh + own, packages, providers), packages)
        cls.bin = tempfile.mkdtemp(prefix="fresh-path-", dir=harness.BUILD_DIR)
        for name, path in cls.found.items():
            os.symlink(path, os.path.join(cls.bin, name))
        # No display and no Wine prefix of the tests': ./run makes its own.
        cls.env = {"PATH": cls.bin, "HOME": os.environ.get("HOME", "/root"),
                   "LANG": "C.UTF-8"}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.bin, ignore_errors=True)

    def test_the_path_is_a_fresh_machines(self):
        # What only the tests install is not on it; what ./run asks for is.
        self.assertTrue(os.path.exists("/usr/bin/sox"), "./test installs sox")
        self.assertNotIn("sox", self.found)
        missing = [command for command in self.commands if command not in self.found]
        self.assertEqual(missing, [])

    def test_run_builds_runs_and_leaves_a_screenshot(self):
        shot = os.path.join(harness.BUILD_DIR, "run", "screenshot.png")
        started = time.time()
        done = subprocess.run(RUN + ["--seconds", "1"], cwd=SOURCE_DIR, env=self.env,
                              capture_output=True, text=True, timeout=600,
                              stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("screenshot of its window: " + shot, done.stdout)
        self.assertGreater(os.path.getmtime(shot), started)
        # The demo's drawing: a gradient under its help panel.
        ppm = subprocess.run(["convert", shot, "-depth", "8", "ppm:-"], capture_output=True,
                             check=True, timeout=60).stdout
        image = harness.Image.from_ppm(ppm)
        self.assertGreater(image.width * image.height, 500 * 400)
        corners = {image.pixel(x, y) for x in (image.width - 1, image.width // 2)
                   for y in (image.height - 1, image.height // 2)}
        self.assertEqual(len(corners), 4, corners)
        self.assertNotIn((0, 0, 0), corners)

    def test_watch_starts_the_host_and_its_first_build(self):
        output = os.path.join(self.bin, "watch.out")
        with open(output, "w") as out:
            watching = subprocess.Popen(RUN + ["--watch"], cwd=SOURCE_DIR, env=self.env,
                                        stdout=out, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, start_new_session=True)

        def said():
            with open(output, errors="replace") as text:
                return text.read()

        try:
            self.assertTrue(wait_for(lambda: re.search(r"nothing to rebuild|built demo", said()) or
                                     watching.poll() is not None, 300), said())
            self.assertIsNone(watching.poll(), said())
            self.assertIn("The host runs on the virtual display", said())
            # ^C ends it, as it says.
            os.killpg(watching.pid, signal.SIGINT)
            watching.wait(60)
        finally:
            if watching.poll() is None:
                os.killpg(watching.pid, signal.SIGKILL)
                watching.wait(10)
        self.assertNotRegex(said(), r"cannot watch|failed|missing|not found")


if __name__ == "__main__":
    unittest.main()
