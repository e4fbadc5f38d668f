"""Input for the host's window through the X server, and reading back what
the input recording module saw (its lines in data/input.log)."""

import os
import time

from harness import read_records, wait_for, xdotool

LOG = "input.log"


def records(run_dir):
    return read_records(run_dir, LOG)


def focus(host):
    """Gives the window the keyboard (there is no window manager to do it)."""
    xdotool("windowfocus", "--sync", host.window)


def keys(*names):
    """Presses and releases each key or chord in turn, as a user types."""
    result = xdotool("key", "--delay", "80", *names)
    assert result.returncode == 0, result.stderr


def move(host, column, row):
    """Puts the pointer at a client-area position (row 0 at the top)."""
    result = xdotool("mousemove", "--window", host.window, str(column), str(row))
    assert result.returncode == 0, result.stderr


def click(button):
    """X button 1 left, 2 middle, 3 right, 4 wheel up, 5 wheel down."""
    result = xdotool("click", str(button))
    assert result.returncode == 0, result.stderr


def request_flags(run_dir, mode, frames):
    """Asks the module to set accumulate, suppress or both for some frames."""
    path = os.path.join(run_dir, "data", "input_control.txt")
    with open(path + ".partial", "w") as out:
        out.write("%s %d\n" % (mode, frames))
    os.replace(path + ".partial", path)


def buttons(record):
    """The record's active buttons: code -> (is_down, transitions, character,
    duration_index, time)."""
    if record["b"] == "-":
        return {}
    found = {}
    for entry in record["b"].split(","):
        code, *fields = (int(value) for value in entry.split(":"))
        found[code] = tuple(fields)
    return found


def wait_records(run_dir, predicate, timeout=15.0):
    """Waits for records of which at least one satisfies predicate; returns
    all records then."""
    found = wait_for(lambda: any(predicate(r) for r in records(run_dir)) and records(run_dir),
                     timeout)
    assert found, "no record matched in %.0f s" % timeout
    return found


def frames_after(run_dir, count, timeout=15.0):
    """Waits until count more frames than now are recorded; returns them all."""
    start = len(records(run_dir))
    found = wait_for(lambda: len(records(run_dir)) >= start + count and records(run_dir),
                     timeout)
    assert found, "the module stopped recording"
    return found


def settle():
    """A few frames' time for X events to reach the host's queue."""
    time.sleep(0.3)
