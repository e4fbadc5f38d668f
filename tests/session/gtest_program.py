#!/usr/bin/env python3
"""Runs a whole GoogleTest program once (one Wine start for all its cases)
and reports every case by name.

    gtest_program.py [--results FILE] [--case-timeout SECONDS] PROGRAM [ARGS...]

A PROGRAM ending in .exe runs under Wine, in the environment the caller has
(tests/session/run.sh sources the session's). The cases' results come from
GoogleTest's own XML report. When the program crashes or a case hangs, the
case it was in is reported as failed by name, and the cases it had not yet
run are run again in a new process, so a crash never hides the cases after
it. Prints one line per failed case ("FAILED CASE: Suite.Case") and a
summary; with --results, writes the counts and the failed names as JSON for
./test. Exits 0 only when every case passed or was skipped.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree

_RUN = re.compile(r"\[ RUN      \] (\S+)")
_END = re.compile(r"\[ +(OK|FAILED|SKIPPED) +\] (\S+) \(\d+ ms\)")


def _command(program, arguments):
    if program.endswith(".exe"):
        return ["wine", program, *arguments]
    return [program, *arguments]


def _list_cases(program, arguments):
    listing = subprocess.run(_command(program, [*arguments, "--gtest_list_tests"]),
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             errors="replace", timeout=300)
    cases, suite = [], None
    for line in listing.stdout.splitlines():
        if not line.strip() or line.startswith("Running main()"):
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()
        elif suite:
            cases.append(suite + line.split("#")[0].strip())
    return cases


class _Run:
    """One process of the program: its output passed through as it comes,
    the case it is in, and the cases it finished."""

    def __init__(self, program, arguments, xml_path, case_timeout):
        self.current = None
        self.started = time.monotonic()
        self.finished = {}
        self.timed_out = None
        command = _command(program, [*arguments, "--gtest_output=xml:" + xml_path])
        if program.endswith(".exe"):
            # Wine names the Unix root Z:.
            command[-1] = "--gtest_output=xml:Z:" + xml_path
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        watchdog = threading.Thread(target=self._watch, args=(case_timeout,), daemon=True)
        watchdog.start()
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace")
            sys.stdout.write(line)
            sys.stdout.flush()
            started = _RUN.search(line)
            if started:
                self.current = started.group(1)
                self.started = time.monotonic()
                continue
            ended = _END.search(line)
            if ended and ended.group(2) == self.current:
                self.finished[self.current] = ended.group(1)
                self.current = None
        self.returncode = self.process.wait()

    def _watch(self, case_timeout):
        while self.process.poll() is None:
            time.sleep(1)
            if self.current and time.monotonic() - self.started > case_timeout:
                self.timed_out = self.current
                try:
                    os.killpg(self.process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                return


def _xml_results(path):
    """{case: OK | FAILED | SKIPPED} from GoogleTest's XML report."""
    results = {}
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError):
        return None
    for case in root.iter("testcase"):
        name = case.get("classname", "") + "." + case.get("name", "")
        if case.get("result") == "skipped" or case.find("skipped") is not None:
            results[name] = "SKIPPED"
        elif case.find("failure") is not None or case.find("error") is not None:
            results[name] = "FAILED"
        elif case.get("status", "run") == "run":
            results[name] = "OK"
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results")
    parser.add_argument("--case-timeout", type=float, default=300)
    parser.add_argument("program")
    parser.add_argument("arguments", nargs=argparse.REMAINDER)
    options = parser.parse_args()

    results = {}
    crashed = []
    filters = []
    work = tempfile.mkdtemp(prefix="gtest-program-")
    try:
        for attempt in range(1000):
            xml_path = os.path.join(work, "run%d.xml" % attempt)
            run = _Run(options.program, [*options.arguments, *filters], xml_path,
                       options.case_timeout)
            from_xml = _xml_results(xml_path) if run.returncode == 0 or not run.current else None
            results.update(from_xml if from_xml is not None else run.finished)
            if run.returncode == 0 and from_xml is not None:
                break
            # Stopped before its end: name the case it was in, then go on with
            # the cases it never reached.
            name = run.timed_out or run.current
            if not name:
                # Every case it started has ended: either some failed (the
                # XML says which) or the program itself failed outside them.
                if from_xml is None or "FAILED" not in from_xml.values():
                    print("\n%s failed outside any case (exit code %d)"
                          % (os.path.basename(options.program), run.returncode), flush=True)
                    results["(outside any case)"] = "FAILED"
                break
            how = "timed out" if run.timed_out else "ended the program (exit code %d)" \
                % run.returncode
            print("\n%s: %s" % (name, how), flush=True)
            results[name] = "FAILED"
            crashed.append(name)
            remaining = [case for case in _list_cases(options.program, options.arguments)
                         if case not in results]
            if not remaining:
                break
            filters = ["--gtest_filter=" + ":".join(remaining)]
    finally:
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        os.rmdir(work)

    failed = sorted(name for name, result in results.items() if result == "FAILED")
    skipped = sum(1 for result in results.values() if result == "SKIPPED")
    passed = sum(1 for result in results.values() if result == "OK")
    program = os.path.basename(options.program)
    print()
    for name in failed:
        print("FAILED CASE: %s (%s)" % (name, program))
    print("%s: %d cases: %d passed, %d failed, %d skipped"
          % (program, len(results), passed, len(failed), skipped))
    if options.results:
        os.makedirs(os.path.dirname(options.results), exist_ok=True)
        with open(options.results, "w") as out:
            json.dump({"program": program, "passed": passed, "failed": failed,
                       "skipped": skipped, "crashed": crashed}, out)
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
