"""What the benchmark reads back from the checker and from its traces: the rows of
`tallycheck --breaks` and `--runs`, a field of its summary, and the lines of a trace to
draw. Every judgement of a line is the checker's; these only read what it printed."""

import itertools
import re
import sys


def summary_field(summary, pattern):
    """The number that the pattern's group finds in a line of the checker's summary."""
    return float(re.search(pattern, summary, re.M).group(1))


def rows_after(output, header):
    """The tab-separated rows that tallycheck prints under header, as lists of fields."""
    lines = output.splitlines()
    if header not in lines:
        sys.exit(f"bench.py: tallycheck printed no {header!r} header: build the tallycheck "
                 "that comes with this bench")
    return [line.split("\t") for line in
            itertools.takewhile(lambda line: "\t" in line, lines[lines.index(header) + 1:])]


def break_rows(output):
    """The rows of `tallycheck --breaks`: (line, label, value, expected, drift after it)."""
    return [(int(line), label, int(value), int(expected), int(drift)) for line, label, value,
            expected, drift in rows_after(output, "line\tlabel\tvalue\texpected\tdrift")]


def run_bins(output):
    """The rows of `tallycheck --runs`: (from, to, runs, lines, share), and the mean run."""
    bins = [(int(low), int(high), int(runs), int(lines), float(share)) for low, high, runs,
            lines, share in rows_after(output, "from\tto\truns\tlines\tshare")]
    return bins, float(re.search(r"^runs: \d+, mean length ([\d.]+)", output, re.M).group(1))


def summary_count(output, field):
    return int(summary_field(output, rf"^{field}: (\d+)"))


def block_starts(path, block=4096):
    """The numbers of the lines at the start of each block of `block` bytes after the first:
    the line that the boundary falls in and the two after it. The stream hands the kernel
    its buffer whole, a block at a time, so a report that waited for the stream while the
    other worker's write was blocked comes out there."""
    starts, line = set(), 1
    with open(path, "rb") as trace:
        data = trace.read()
    for boundary in range(block, len(data), block):
        line += data.count(b"\n", boundary - block, boundary)
        starts.update((line, line + 1, line + 2))
    return starts


def trace_lines(path, first, last):
    """Labels and values of lines first to last (1-based, inclusive) of a trace, to draw."""
    labels, values = [], []
    with open(path, encoding="ascii", errors="replace") as trace:
        for line in itertools.islice(trace, first - 1, last):
            label, _, value = line.partition(": ")
            labels.append(label)
            values.append(int(value))
    return labels, values
