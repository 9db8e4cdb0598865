"""Inputs whose answers are known, shared by the bench's tests: records made up to have one
median a column, traces written line by line with their breaks where the test puts them,
and the source that the figures are drawn from, with the real checker."""

import os
import subprocess
import sys

BIN = os.environ["GLASSBOX_BIN"]
sys.path.insert(0, os.path.join(os.environ["GLASSBOX_SOURCE"], "bench"))
# Each program and placement scales its figures by a factor of its own, so that a figure
# taken from the wrong program or placement shows.
SCALE = {(program, placement): 1 + index + 3 * row
         for row, placement in enumerate(("one core", "all cores"))
         for index, program in enumerate(("guardtally", "serialtally", "loosetally"))}


def known_records():
    """Five runs of each program and placement, 10,000 lines each: quiet runs 1, 3 and 5,
    whose every figure is the run's number times the key's SCALE times a factor of the
    field's own, and disturbed runs 2 and 4, far off. So each quiet median is run 3's."""
    records = []
    for placement in ("one core", "all cores"):
        for number, disturbed in enumerate((False, True, False, True, False), 1):
            for program in ("guardtally", "serialtally", "loosetally"):
                step = 1000 if disturbed else number
                scaled = step * SCALE[(program, placement)]
                records.append({
                    "program": program, "placement": placement, "run": number, "lines": 10_000,
                    "rate": scaled * 1e6, "bound": scaled / 10, "breaks": scaled * 2,
                    "block_breaks": step, "drift": -scaled,
                    "runs": 5, "mean_run": None if program == "serialtally" else scaled * 2.0,
                    "voluntary_switches": scaled * 10, "involuntary_switches": scaled * 30,
                    "system_seconds": scaled / 100, "futex_calls": scaled * 70,
                    "disturbed": disturbed})
    return records


def write_trace(path, labels, late=(), stale=()):
    """A trace of these labels, each line one step from the last, but for the late reports
    in `late`, (line, how many changes old the value it shows is), and the stale stores in
    `stale`, (line, how many changes it wipes out)."""
    value, late, stale = 0, dict(late), dict(stale)
    with open(path, "w", encoding="ascii") as trace:
        for number, label in enumerate(labels, 1):
            value += (1 if label == "Inc" else -1) - stale.get(number, 0)
            trace.write(f"{label}: {value - late.get(number, 0)}\n")


def check(path, *options):
    """What the built checker prints for a trace, as the bench runs it."""
    return subprocess.run([os.path.join(BIN, "tallycheck"), *options, "--", path],
                          capture_output=True, text=True, check=False).stdout


def figure_source(records, traces, caption="caption"):
    """What the figures are drawn from, as the bench gives it, with the real checker."""
    import figures
    return figures.Figures(records, traces, check, caption)
