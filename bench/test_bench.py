"""The benchmark as a user runs it, on a small setting: it ends well, every table has all of
its rows, --records keeps one record a run with every field, --plot draws each figure as
well-formed SVG with its title and axis labels, and a missing program is named with the
command that builds it before any table. Nothing here is timed against a bound."""

import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from harness import main

BENCH = os.path.join(os.environ["GLASSBOX_SOURCE"], "bench", "bench.py")
BIN = os.environ["GLASSBOX_BIN"]
TOOLS = os.path.join(os.environ["GLASSBOX_BUILD"], "bench")
RUNS = 2
PLACEMENTS = ["one core", "all cores"] + (["split"] if len(os.sched_getaffinity(0)) >= 2 else [])


def bench(*arguments, tools=TOOLS):
    return subprocess.run([sys.executable, BENCH, "--bin", BIN, "--tools", tools, "-n", "3000",
                           "--checker-lines", "3000", "-r", str(RUNS), *arguments],
                          capture_output=True, text=True, timeout=280, check=False)


def tables(markdown):
    """Each table of the bench's output under its heading, as rows of cells, header first."""
    found = {}
    for section in re.split(r"^### ", markdown, flags=re.M)[1:]:
        heading, body = section.split("\n", 1)
        rows = [line.strip("|").split(" | ") for line in body.splitlines()
                if line.startswith("|") and not line.startswith(("|---", "|:--"))]
        found[heading] = [[cell.strip() for cell in row] for row in rows]
    return found


def require(tool, package):
    if not shutil.which(tool):
        raise AssertionError(f"the benchmark test needs {tool} (Debian: {package})")


class Tables(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require("hyperfine", "hyperfine")
        require("taskset", "util-linux")
        require("perf", "linux-perf")
        cls.folder = tempfile.TemporaryDirectory()
        cls.csv, cls.jsonl = (os.path.join(cls.folder.name, name)
                              for name in ("runs.csv", "runs.jsonl"))
        cls.traces = os.path.join(cls.folder.name, "traces")
        cls.done = bench("--records", cls.csv, "--records", cls.jsonl, "--traces", cls.traces)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_every_table_has_its_rows(self):
        self.assertEqual(self.done.returncode, 0, self.done.stderr)
        self.assertRegex(self.done.stdout, r"the median of 2 runs, with their range; 3,000 "
                                           r"lines in each counter run, 3,000 lines in each "
                                           r"trace that the checker reads\.")
        found = tables(self.done.stdout)
        counters = {"The price of the guard, by placement": ("guardtally", "serialtally"),
                    "The rate of the race, by placement": ("loosetally",)}
        # A cell is a median with its range, or a dash where the figure does not apply or
        # every run was disturbed, as the last column then says.
        figure = r"-?[\d,.]+ \(-?[\d,.]+–-?[\d,.]+\)|–"
        for heading, programs in counters.items():
            with self.subTest(table=heading):
                header, *rows = found[heading]
                self.assertEqual(header[-1], "disturbed runs")
                self.assertIn("futex calls" if "guard" in heading else "drift", header)
                self.assertEqual([row[:2] for row in rows],
                                 [[f"`{program}`", placement] for placement in PLACEMENTS
                                  for program in programs])
                for row in rows:
                    self.assertEqual(len(row), len(header), row)
                    self.assertRegex(row[-1], rf"^(\d of {RUNS}|all {RUNS}: no median)$")
                    for value in row[2:-1]:
                        self.assertRegex(value, rf"^({figure})$", row)
                    # Where some run was quiet, only serialtally's mean run has none.
                    dashes = row[2:-1].count("–")
                    self.assertEqual(dashes, len(row) - 3 if row[-1].startswith("all") else
                                     int(row[0] == "`serialtally`"), row)
        header, *rows = found["The checker against the cost of reading the bytes"]
        self.assertEqual([row[0].split(" (")[0] for row in rows],
                         ["guarded, long runs", "guarded, short runs", "unguarded"])
        for row in rows:
            self.assertEqual(len(row), len(header), row)
            for value in row[2:]:
                self.assertRegex(value, rf"^({figure})$", row)
        header, *rows = found["Start to exit, timed by hyperfine"]
        self.assertEqual([row[0] for row in rows],
                         ["`/bin/true`", "`rawhello`", "`swaplist`", "`spawnlist`"])
        self.assertNotIn("Warning", self.done.stdout)

    def test_records_keep_every_run_and_field(self):
        self.assertEqual(self.done.returncode, 0, self.done.stderr)
        with open(self.csv, encoding="utf-8", newline="") as records:
            table = list(csv.DictReader(records))
        with open(self.jsonl, encoding="utf-8") as records:
            lines = [json.loads(line) for line in records]
        runs = [(program, placement, str(number)) for placement in PLACEMENTS
                for number in range(1, RUNS + 1)
                for program in ("guardtally", "serialtally", "loosetally")]
        self.assertEqual([(row["program"], row["placement"], row["run"]) for row in table], runs)
        self.assertEqual(len(lines), len(table))
        for row, line in zip(table, lines):
            self.assertEqual(list(line), list(row))
            # Every field is filled, but the mean run of serialtally, which says nothing.
            for field, value in line.items():
                self.assertEqual("" if value is None else str(value), row[field], field)
                if (field, line["program"]) != ("mean_run", "serialtally"):
                    self.assertIsNotNone(value, field)
            self.assertEqual(line["lines"], 3000)
            self.assertTrue(0 <= line["other_load"] <= 1, line)
            self.assertEqual(line["disturbed"], line["other_load"] > 0.1, line)
            if line["program"] != "loosetally":
                self.assertEqual((line["breaks"], line["drift"]), (0, 0), line)
        kept = sorted(os.listdir(self.traces))
        self.assertEqual(kept, sorted(f"{program}-{placement.replace(' ', '-')}.trace"
                                      for program in ("guardtally", "serialtally", "loosetally")
                                      for placement in PLACEMENTS))
        for name in kept:
            with open(os.path.join(self.traces, name), "rb") as trace:
                self.assertEqual(trace.read().count(b"\n"), 3000, name)


class Figures(unittest.TestCase):
    def test_each_figure_is_svg_with_its_title_and_axis_labels(self):
        require("taskset", "util-linux")
        require("perf", "linux-perf")
        with tempfile.TemporaryDirectory() as folder:
            done = bench("-e", "guard", "-e", "race", "--plot", folder, "--png")
            self.assertEqual(done.returncode, 0, done.stderr)
            names = ("kinds-of-break", "who-held-the-counter", "run-lengths",
                     "race-by-placement", "price-of-the-guard")
            self.assertEqual(sorted(os.listdir(folder)),
                             sorted(name + suffix for name in names for suffix in (".png", ".svg")))
            for name in names:
                with self.subTest(figure=name):
                    with open(os.path.join(folder, name + ".png"), "rb") as png:
                        self.assertEqual(png.read(8), b"\x89PNG\r\n\x1a\n")
                    svg = ElementTree.parse(os.path.join(folder, name + ".svg")).getroot()

                    def texts(kind):
                        """The words of each title or axis label, found by the id of its
                        group."""
                        return [" ".join("".join(group.itertext()).split())
                                for group in svg.iter() if group.get("id", "").startswith(kind)]

                    title = svg.find(".//{http://purl.org/dc/elements/1.1/}title")
                    self.assertEqual(texts("title"), [" ".join(title.text.split())])
                    # Its finding, in numbers; a short trace may have no break to show.
                    self.assertRegex(title.text, r"\d|no clear late report in these traces; "
                                                 r"no clear lost update")
                    for kind in ("xlabel-", "ylabel-"):
                        self.assertTrue(any(texts(kind)), kind)
                    # A caption line names the machine, the runs and the placements.
                    self.assertRegex("".join(svg.itertext()), r"2 runs of 3,000 lines per "
                                                             r"program and placement")
            # The strips are images, one for each program and placement, not an element a line.
            strips = ElementTree.parse(os.path.join(folder, "who-held-the-counter.svg"))
            self.assertEqual(len(strips.findall(".//{http://www.w3.org/2000/svg}image")),
                             2 * len(PLACEMENTS))


class CommandLine(unittest.TestCase):
    def test_a_missing_program_is_named_before_any_table(self):
        with tempfile.TemporaryDirectory() as empty:
            done = bench("-e", "guard", tools=empty)
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertRegex(done.stderr, r"^bench\.py: serialtally not built in .*; build them "
                                      r"with: cmake --preset default && cmake --build "
                                      r"build/default\n$")

    def test_usage_errors(self):
        for arguments in (["--records", "runs.txt"], ["--disturbed", "101"], ["-r", "0"]):
            with self.subTest(arguments=arguments):
                done = bench(*arguments)
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertRegex(done.stderr, r"^usage: bench\.py ")


if __name__ == "__main__":
    main()
