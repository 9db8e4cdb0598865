"""The benchmark as a user runs it, on a small setting: every counter cell is the median and
range of its quiet runs, recomputed from --records, which keep every run; every figure is
drawn, titled as its file says; a producer whose sleeps are known is measured as such; and
its command line. Nothing here is timed against a bound."""

import csv
import json
import os
import re
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

import harness
from harness import main, require, sh

SOURCE = os.environ["GLASSBOX_SOURCE"]
BENCH = os.path.join(SOURCE, "bench", "bench.py")
BIN = os.environ["GLASSBOX_BIN"]
TOOLS = os.path.join(os.environ["GLASSBOX_BUILD"], "bench")
RUNS = 2
PLACEMENTS = ["one core", "all cores"] + (["split"] if len(os.sched_getaffinity(0)) >= 2 else [])
COUNTERS = {"The price of the guard, by placement": ("guardtally", "serialtally"),
            "The rate of the race, by placement": ("loosetally",)}
# Each counter column from a record: its field, its scale, what it is per and its digits.
ORACLE = {"M lines/s": ("rate", 1e-6, None, 2), "× serial bound": ("bound", 1, None, 2),
          "mean run": ("mean_run", 1, None, 1), "drift": ("drift", 1, None, 0),
          "breaks per M lines": ("breaks", 1e6, "lines", 0),
          "breaks at a block's start, %": ("block_breaks", 100, "breaks", 0),
          "voluntary switches": ("voluntary_switches", 1e3, "lines", 1),
          "involuntary switches": ("involuntary_switches", 1e3, "lines", 1),
          "system µs": ("system_seconds", 1e9, "lines", 0),
          "futex calls": ("futex_calls", 1e3, "lines", 1)}
sys.path.insert(0, os.path.join(SOURCE, "bench"))


def bench(*arguments, tools=TOOLS):
    # A session of its own: a time-out ends whatever the bench has started with it.
    return harness.run([sys.executable, BENCH, "--bin", BIN, "--tools", tools, "-n", "3000",
                        "--checker-lines", "3000", "-r", str(RUNS), *arguments], timeout=280,
                       env=os.environ)


def tables(markdown):
    """Each table under its heading, as rows of cells, header first."""
    found = {}
    for section in re.split(r"^### ", markdown, flags=re.M)[1:]:
        heading, body = section.split("\n", 1)
        found[heading] = [[cell.strip() for cell in line.strip("|").split(" | ")]
                          for line in body.splitlines()
                          if line.startswith("|") and not line.startswith(("|---", "|:--"))]
    return found


def expected_cell(records, heading):
    """The median and range of the quiet runs to which the column applies, or a dash."""
    field, scale, per, digits = ORACLE[heading]
    values = sorted(float(run[field]) * scale / (float(run[per]) if per else 1)
                    for run in records if str(run["disturbed"]) == "False"
                    and run[field] not in ("", None) and (not per or float(run[per])))
    if not values:
        return "–"
    low, median, high = (f"{value:,.{digits}f}" for value in
                         (values[0], statistics.median(values), values[-1]))
    return f"{median} ({low}–{high})"


def check_counter_tables(test, markdown, records, programs_by_heading):
    """Every counter cell is the median and range of the quiet runs in the records."""
    found = tables(markdown)
    for heading, programs in programs_by_heading.items():
        header, *rows = found[heading]
        test.assertEqual([row[:2] for row in rows], [[f"`{program}`", placement]
                         for placement in dict.fromkeys(run["placement"] for run in records)
                         for program in programs])
        for row in rows:
            mine = [run for run in records
                    if (f"`{run['program']}`", run["placement"]) == tuple(row[:2])]
            quiet = sum(str(run["disturbed"]) == "False" for run in mine)
            test.assertEqual(row[-1], f"{len(mine) - quiet} of {len(mine)}" if quiet else
                             f"all {len(mine)}: no median")
            for column, cell in zip(header[2:-1], row[2:-1]):
                with test.subTest(table=heading, row=row[:2], column=column):
                    test.assertEqual(cell, expected_cell(mine, column))
    return found


class Tables(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require("hyperfine", "hyperfine")
        require("taskset", "util-linux")
        require("python3:matplotlib", "python3-matplotlib")
        cls.folder = tempfile.TemporaryDirectory()
        cls.csv, cls.jsonl, cls.traces, cls.plots = (
            os.path.join(cls.folder.name, name)
            for name in ("runs.csv", "runs.jsonl", "traces", "plots"))
        # The schedules experiment has a test of its own, in test_schedules.py.
        cls.done = bench("-e", "guard", "-e", "race", "-e", "checker", "-e", "startup",
                         "--records", cls.csv, "--records", cls.jsonl, "--traces", cls.traces,
                         "--plot", cls.plots, "--png")
        with open(cls.csv, encoding="utf-8", newline="") as records:
            cls.records = list(csv.DictReader(records))

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_every_cell_is_recomputed_from_the_records(self):
        self.assertEqual(self.done.returncode, 0, self.done.stderr)
        self.assertRegex(self.done.stdout, r"the median of 2 runs, with their range; 3,000 "
                                           r"lines in each counter run, 3,000 lines in each "
                                           r"trace that the checker reads\.")
        found = check_counter_tables(self, self.done.stdout, self.records, COUNTERS)
        figure = r"[\d,.]+ \([\d,.]+–[\d,.]+\)"
        header, *rows = found["The checker against the cost of reading the bytes"]
        self.assertEqual([row[0].split(" (")[0] for row in rows],
                         ["guarded, long runs", "guarded, short runs", "unguarded"])
        for row in rows:
            self.assertEqual(len(row), len(header), row)
            for value in row[2:]:
                self.assertRegex(value, rf"^{figure}$", row)
        header, *rows = found["Start to exit, timed by hyperfine"]
        self.assertEqual([row[0] for row in rows],
                         ["`/bin/true`", "`rawhello`", "`swaplist`", "`spawnlist`"])
        self.assertNotIn("Warning", self.done.stdout)

    def test_the_futex_column_where_perf_can_count(self):
        counts = subprocess.run(["perf", "stat", "-e", "syscalls:sys_enter_futex", "-o",
                                 os.devnull, "true"], capture_output=True, check=False)
        header = tables(self.done.stdout)["The price of the guard, by placement"][0]
        if counts.returncode != 0:
            self.assertNotIn("futex calls", header)
            self.assertEqual({run["futex_calls"] for run in self.records}, {""})
            self.skipTest("perf cannot read the syscalls:sys_enter_futex tracepoint here "
                          "(install linux-perf; as an ordinary user, set kernel."
                          "perf_event_paranoid to -1): the futex column is not checked")
        self.assertIn("futex calls", header)  # its cells are checked with the others

    def test_records_keep_every_run_and_field(self):
        with open(self.jsonl, encoding="utf-8") as records:
            lines = [json.loads(line) for line in records]
        self.assertEqual([(row["program"], row["placement"], row["run"]) for row in self.records],
                         [(program, placement, str(number)) for placement in PLACEMENTS
                          for number in range(1, RUNS + 1)
                          for program in ("guardtally", "serialtally", "loosetally")])
        self.assertEqual(len(lines), len(self.records))
        readers = {"one core": "core 0", "all cores": "any core", "split": "core 1"}
        for row, line in zip(self.records, lines):
            self.assertEqual(list(line), list(row))
            for field, value in line.items():
                self.assertEqual("" if value is None else str(value), row[field], field)
            self.assertEqual(line["reader"], readers[line["placement"]])
            self.assertEqual(line["disturbed"], line["other_load"] > 0.1, line)
            if line["program"] != "loosetally":
                self.assertEqual((line["breaks"], line["drift"]), (0, 0), line)
        for name in os.listdir(self.traces):
            with open(os.path.join(self.traces, name), "rb") as trace:
                self.assertEqual(trace.read().count(b"\n"), 3000, name)

    def test_each_figure_is_svg_with_its_title(self):
        for name in ("kinds-of-break", "who-held-the-counter", "run-lengths",
                     "race-by-placement", "price-of-the-guard"):
            with self.subTest(figure=name):
                with open(os.path.join(self.plots, name + ".png"), "rb") as png:
                    self.assertEqual(png.read(8), b"\x89PNG\r\n\x1a\n")
                svg = ElementTree.parse(os.path.join(self.plots, name + ".svg")).getroot()
                title = svg.find(".//{http://purl.org/dc/elements/1.1/}title").text
                shown = [" ".join("".join(group.itertext()).split())
                         for group in svg.iter() if group.get("id") == "title"]
                self.assertEqual(shown, [title])
                for kind in ("xlabel-", "ylabel-"):
                    self.assertTrue(any("".join(group.itertext()).strip() for group in svg.iter()
                                        if group.get("id", "").startswith(kind)), kind)
                self.assertIn("2 runs of 3,000 lines per program and placement",
                              "".join(svg.itertext()))
        # The strips are images, one for each program and placement, not an element a line.
        strips = ElementTree.parse(os.path.join(self.plots, "who-held-the-counter.svg"))
        self.assertEqual(len(strips.findall(".//{http://www.w3.org/2000/svg}image")),
                         2 * len(PLACEMENTS))


# A guardtally that sleeps 1,000 times, then says 10,000 well-formed lines.
SLEEPER = """import os, time
for _ in range(1000):
    time.sleep(0.0001)
view = memoryview("".join(f"Inc: {value}\\n" for value in range(1, 10001)).encode())
try:
    while view:
        view = view[os.write(1, view):]
except BrokenPipeError:
    pass
"""


class KnownProducer(unittest.TestCase):
    def test_a_producer_that_sleeps_a_known_number_of_times(self):
        """Each sleep is a voluntary switch; the little CPU time it uses leaves room for
        few involuntary ones, whatever the load. The sleeps last 0.1 s at least, and no run
        lasts longer than the bench that timed it."""
        require("taskset", "util-linux")
        with tempfile.TemporaryDirectory() as folder:
            for name in ("serialtally", "tallycheck", "loosetally"):
                os.symlink(os.path.join(TOOLS if name == "serialtally" else BIN, name),
                           os.path.join(folder, name))
            producer = os.path.join(folder, "guardtally")
            with open(producer, "w", encoding="utf-8") as script:
                script.write(f"#!{sys.executable}\n" + SLEEPER)
            os.chmod(producer, 0o755)
            records = os.path.join(folder, "runs.jsonl")
            start = time.monotonic()
            done = bench("-e", "guard", "-r", "1", "--bin", folder, "--records", records)
            bench_seconds = time.monotonic() - start
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(records, encoding="utf-8") as lines:
                runs = [json.loads(line) for line in lines]
        for run in runs:
            if run["program"] == "guardtally":
                self.assertGreaterEqual(run["voluntary_switches"], 1000, run)
                self.assertLess(run["involuntary_switches"], 1000, run)
                self.assertTrue(0.1 <= run["seconds"] <= bench_seconds, (run, bench_seconds))


class CommandLine(unittest.TestCase):
    def test_a_missing_program_is_named_before_any_table(self):
        with tempfile.TemporaryDirectory() as empty:
            done = bench("-e", "guard", tools=empty)
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertRegex(done.stderr, r"^bench\.py: serialtally not built in .*; build them "
                                      r"with: cmake --preset default && cmake --build "
                                      r"build/default\n$")

    def test_usage_errors(self):
        # --plot draws from the guard and race experiments together, or from schedules.
        for arguments in (["--records", "runs.txt"], ["--disturbed", "101"], ["-r", "0"],
                          ["-e", "guard", "-e", "schedules", "--plot", "figures"],
                          ["-e", "checker", "--plot", "figures"]):
            with self.subTest(arguments=arguments):
                done = bench(*arguments)
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertRegex(done.stderr, r"^usage: bench\.py ")

    def test_check_quiet_measures_the_machine_with_nothing_built(self):
        # No share of the CPUs is above 100%, so with that threshold the machine is quiet
        # enough whatever else runs. The verdict on either side of a threshold is checked on
        # a known load in test_measures.py.
        done = bench("--check-quiet", "--disturbed", "100", tools="/nonexistent")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertRegex(done.stdout, r"^Other work used \d+% of all CPUs over 2 seconds: quiet "
                                      r"enough to measure \(a run is disturbed above 100%\)\.\n$")

    def test_through_a_symlink_and_into_an_output_that_fails(self):
        """A symlink to the bench still finds its tree, and the project's version there, and
        a failed write is the bench's own error, which fails it."""
        with tempfile.TemporaryDirectory() as folder:
            link = shlex.quote(os.path.join(folder, "bench.py"))
            os.symlink(BENCH, os.path.join(folder, "bench.py"))
            with open(os.path.join(SOURCE, "VERSION"), encoding="utf-8") as version:
                said = f"bench.py (glassbox) {version.read().strip()}\n"
            for path in (link, shlex.quote(BENCH)):
                done = sh(f"{path} --version")
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, said, ""))
            # Buffered, the write fails when the output is flushed at the end; unbuffered,
            # at once; closed, Python has no standard output to write to at all.
            full = "No space left on device"
            for option in ("--help", "--version"):
                for command, reason in (("env -u PYTHONUNBUFFERED {} >/dev/full", full),
                                        ("env PYTHONUNBUFFERED=1 {} >/dev/full", full),
                                        ("{} >&-", "Bad file descriptor")):
                    with self.subTest(option=option, command=command):
                        done = sh(command.format(f"{link} {option}"))
                        self.assertEqual((done.returncode, done.stderr),
                                         (1, f"bench.py: write error: {reason}\n"))


if __name__ == "__main__":
    main()
