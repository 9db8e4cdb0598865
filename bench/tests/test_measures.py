"""What the bench derives from its measurements, on inputs whose answers are known: a run's
record from known resource usage and a known trace, the machine's other load, the serial
bound, the trace kept of each program and placement, the checker's table, the counter
tables of made-up records, and the positions of lines in a trace."""

import contextlib
import io
import os
import tempfile
import types
import unittest
from unittest import mock

from harness import main
from known import BIN, check, known_records, write_trace
import detail
import experiments
import tables

# A trace of 1,000 lines in turns of 8: a report 3 changes late at line 500, which line 501
# puts right, and at line 800 a store that wipes out 5 changes for good.
TURNS = [("Inc", "Dec")[index // 8 % 2] for index in range(1000)]
LATE, STALE = [(500, 3)], [(800, 5)]


class Records(unittest.TestCase):
    def test_a_run_s_record_from_known_usage_and_a_known_trace(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "trace")
            write_trace(path, TURNS, LATE, STALE)
            summary, rows = check(path), detail.break_rows(check(path, "--breaks"))
        usage = types.SimpleNamespace(ru_utime=0.75, ru_stime=0.25, ru_nvcsw=7, ru_nivcsw=11)
        common = {"run": 4, "lines": 1000, "seconds": 0.5, "rate": 2000.0, "bound": None,
                  "breaks": 3, "block_breaks": 2, "drift": -5, "runs": 125,
                  "voluntary_switches": 7, "involuntary_switches": 11, "system_seconds": 0.25,
                  "futex_calls": None}
        # (program, placement, other load, --disturbed): reader, mean run, disturbed. A run
        # whose load is the threshold itself is still quiet.
        cases = {("guardtally", "one core", 0.1, 10): ("core 0", 8.0, False),
                 ("serialtally", "all cores", 0.25, 20): ("any core", None, True),
                 ("loosetally", "split", 0.0, 0): ("core 1", 8.0, False)}
        for (program, placement, load, threshold), (reader, mean_run, disturbed) in cases.items():
            with self.subTest(program=program, placement=placement):
                record = experiments.counter_record(
                    program, placement, 4, 1000, seconds=0.5, usage=usage, load=load,
                    summary=summary, rows=rows, starts={499, 501, 800},
                    disturbed_percent=threshold)
                self.assertEqual(record, {**common, "program": program, "placement": placement,
                                          "reader": reader, "mean_run": mean_run,
                                          "other_load": load, "disturbed": disturbed})

    def test_the_share_of_the_cpus_that_other_work_used(self):
        with tempfile.NamedTemporaryFile("w", encoding="ascii") as stat:
            # user nice system idle iowait irq softirq steal guest guest_nice
            stat.write("cpu  1000 200 300 4000 500 60 70 80 90 100\n"
                       "cpu0 500 100 150 2000 250 30 35 40 45 50\n"
                       "cpu1 500 100 150 2000 250 30 35 40 45 50\nctxt 99999\n")
            stat.flush()
            busy, cpus = experiments.cpu_busy(stat.name)
        self.assertEqual((round(busy * experiments.CLOCK_TICKS), cpus), (1710, 2))
        # (busy, own, seconds, CPUs): the share, held to 0..1.
        for measured, share in (((3.0, 1.0, 2.0, 2), 0.5), ((1.5, 0.5, 4.0, 2), 0.125),
                                ((1.0, 2.0, 1.0, 1), 0.0), ((10.0, 0.0, 1.0, 2), 1.0)):
            self.assertEqual(experiments.other_load(*measured), share, measured)
        perf = ("# started on Wed Dec  9 10:46:30 2026\n\n"
                "8123,,syscalls:sys_enter_futex,705736,100.00,,\n")
        self.assertEqual(experiments.futex_count(perf), 8123)

    def test_check_quiet_on_a_known_load(self):
        import bench
        # (--disturbed, the verdict's words, status) with other work at 25% of the CPUs: a
        # load at the threshold itself is still quiet enough.
        for threshold, verdict, status in ((20, "too busy to measure: the race hides and the "
                                                "timings slow; wait, or close other work, and "
                                                "run this again", 1),
                                           (25, "quiet enough to measure", 0),
                                           (30, "quiet enough to measure", 0)):
            with mock.patch.object(bench, "sample_load", {2: 0.25}.__getitem__), \
                    contextlib.redirect_stdout(io.StringIO()) as said:
                self.assertEqual(bench.check_quiet(threshold), status)
            self.assertEqual(said.getvalue(), "Other work used 25% of all CPUs over 2 seconds: "
                             f"{verdict} (a run is disturbed above {threshold}%).\n")

    def test_the_serial_bound_is_the_median_of_serialtally_s_quiet_runs(self):
        # (program, rate, disturbed) of one placement's runs: each run's share of the bound.
        cases = ([(("serialtally", 100, False), 0.5), (("serialtally", 300, False), 1.5),
                  (("serialtally", 200, False), 1.0), (("serialtally", 10, True), 0.05),
                  (("guardtally", 50, False), 0.25), (("loosetally", 600, True), 3.0)],
                 # None quiet: the median of all of serialtally's runs, 250.
                 [(("serialtally", 100, True), 0.4), (("serialtally", 400, True), 1.6),
                  (("guardtally", 50, False), 0.2)])
        for case in cases:
            runs = [{"program": program, "rate": rate, "disturbed": disturbed}
                    for (program, rate, disturbed), _ in case]
            experiments.share_of_bound(runs)
            self.assertEqual([run["bound"] for run in runs], [share for _, share in case])


def bench_here(test, **settings):
    """A Bench as bench.py makes it, its scratch folder removed when the test ends."""
    args = types.SimpleNamespace(**{"bin": BIN, "tools": BIN, "traces": None, "plot": None,
                                    "disturbed": 10, **settings})
    bench = experiments.Bench(args)
    test.addCleanup(bench.scratch.cleanup)
    return bench


class Choices(unittest.TestCase):
    def test_the_trace_kept_is_that_of_the_median_quiet_run(self):
        # Each program's runs, (turns, disturbed) in the order of their numbers, and the
        # number of the run whose trace is kept: the lower median of the quiet runs' turns,
        # or of all where none was quiet.
        cases = ({"loosetally": ([(50, True), (30, False), (90, False), (10, False),
                                  (70, False)], 2)},
                 {"loosetally": ([(5, True), (3, True), (1, True), (7, True)], 2)},
                 {"guardtally": ([(3, False), (1, False), (2, False)], 3),
                  "serialtally": ([(20, False), (10, False), (30, False)], 1)})
        for case in cases:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as folder:
                bench = bench_here(self, traces=folder)
                runs = [{"program": program, "placement": "all cores", "run": number,
                         "runs": turns, "disturbed": disturbed}
                        for program, (each, _) in case.items()
                        for number, (turns, disturbed) in enumerate(each, 1)]
                for run in runs:
                    with open(bench.candidate(run), "w", encoding="ascii") as candidate:
                        candidate.write(f"{run['program']} {run['run']}\n")
                bench.keep(runs)
                kept = {program: os.path.join(folder, f"{program}-all-cores.trace")
                        for program in case}
                self.assertEqual(bench.kept, {(program, "all cores"): path
                                              for program, path in kept.items()})
                for program, (_, chosen) in case.items():
                    with open(kept[program], encoding="ascii") as trace:
                        self.assertEqual(trace.read(), f"{program} {chosen}\n")
                self.assertEqual(os.listdir(bench.scratch.name), [])

    def test_the_checker_against_wc_and_cat_from_known_times(self):
        bench = bench_here(self, runs=3, checker_lines=2_000_000)
        means = {("guardtally", "one core"): 2000.0, ("guardtally", "all cores"): 3.5,
                 ("loosetally", "all cores"): 1.5}
        bench.counter_run = lambda program, placement, number, lines: {
            "mean_run": means[(program, placement)]}
        seconds = {"tallycheck": 4.0, "wc": 1.0, "cat": 0.5}
        bench.timed = lambda command, statuses=(0,): seconds[command[0]]
        with contextlib.redirect_stdout(io.StringIO()) as markdown:
            tables.checker_table(bench.checker(), 2_000_000)
        cells = ("0.5 (0.5–0.5) | 2.0 (2.0–2.0) | 4.0 (4.0–4.0) | 4.00 (4.00–4.00) | "
                 "0.50 (0.50–0.50) |")
        self.assertEqual(markdown.getvalue().splitlines()[5:8],
                         [f"| guarded, long runs (guardtally, one core) | 2,000.0 | {cells}",
                          f"| guarded, short runs (guardtally, all cores) | 3.5 | {cells}",
                          f"| unguarded (loosetally, all cores) | 1.5 | {cells}"])


GUARD = """
### The price of the guard, by placement

| program | placement | M lines/s | × serial bound | mean run | voluntary switches | \
involuntary switches | system µs | futex calls | disturbed runs |
|---|---|---|---|---|---|---|---|---|---|
| `guardtally` | one core | 3.00 (1.00–5.00) | 0.30 (0.10–0.50) | 6.0 (2.0–10.0) | \
3.0 (1.0–5.0) | 9.0 (3.0–15.0) | 3,000 (1,000–5,000) | 21.0 (7.0–35.0) | 2 of 5 |
| `serialtally` | one core | 6.00 (2.00–10.00) | 0.60 (0.20–1.00) | – | 6.0 (2.0–10.0) | \
18.0 (6.0–30.0) | 6,000 (2,000–10,000) | 42.0 (14.0–70.0) | 2 of 5 |
| `guardtally` | all cores | 12.00 (4.00–20.00) | 1.20 (0.40–2.00) | 24.0 (8.0–40.0) | \
12.0 (4.0–20.0) | 36.0 (12.0–60.0) | 12,000 (4,000–20,000) | 84.0 (28.0–140.0) | 2 of 5 |
| `serialtally` | all cores | 15.00 (5.00–25.00) | 1.50 (0.50–2.50) | – | 15.0 (5.0–25.0) | \
45.0 (15.0–75.0) | 15,000 (5,000–25,000) | 105.0 (35.0–175.0) | 2 of 5 |
"""
RACE = """
### The rate of the race, by placement

| program | placement | M lines/s | × serial bound | breaks per M lines | breaks at a block's \
start, % | drift | mean run | disturbed runs |
|---|---|---|---|---|---|---|---|---|
| `loosetally` | one core | 9.00 (3.00–15.00) | 0.90 (0.30–1.50) | 1,800 (600–3,000) | \
17 (17–17) | -9 (-15–-3) | 18.0 (6.0–30.0) | 2 of 5 |
| `loosetally` | all cores | – | – | – | – | – | – | all 5: no median |
"""


class KnownTables(unittest.TestCase):
    def test_the_counter_tables_of_known_records(self):
        records = known_records()
        for run in records:  # no quiet run of the race on all cores
            run["disturbed"] |= (run["program"], run["placement"]) == ("loosetally", "all cores")
        with contextlib.redirect_stdout(io.StringIO()) as markdown:
            for experiment in ("guard", "race"):
                tables.counter_table(records, experiment, ["one core", "all cores"], True)
        self.assertEqual(markdown.getvalue(), GUARD + RACE)
        with contextlib.redirect_stdout(io.StringIO()) as markdown:
            tables.counter_table(records, "guard", ["one core"], False)
        self.assertNotIn("futex", markdown.getvalue())

    def test_figures_as_text(self):
        cases = ((tables.cell, ([3, None, 1, 2, 10], 1), "2.5 (1.0–10.0)"),
                 (tables.cell, ([-1, -3], 0), "-2 (-3–-1)"),
                 (tables.cell, ([None], 2), "–"),
                 (tables.cell, ([1234.5678], 2), "1,234.57 (1,234.57–1,234.57)"),
                 (tables.count, (1, "run"), "1 run"), (tables.count, (0, "break"), "0 breaks"),
                 (tables.count, (5_000_000, "line"), "5,000,000 lines"),
                 (tables.number, (None,), "–"), (tables.number, (1234.5, 1), "1,234.5"))
        for function, arguments, text in cases:
            self.assertEqual(function(*arguments), text, (function.__name__, arguments))


class Positions(unittest.TestCase):
    def test_the_lines_at_each_block_s_start(self):
        # (the lengths of the lines, bytes a block): the line in which each block after
        # the first begins, and the two after it. A boundary at the very end starts none.
        cases = (([5] * 10, 16, {4, 5, 6, 7, 8, 9, 10, 11, 12}),
                 ([4] * 8, 16, {5, 6, 7}),
                 ([20, 4], 16, {1, 2, 3}))
        for lengths, block, starts in cases:
            with tempfile.NamedTemporaryFile("wb") as trace:
                trace.write(b"".join(b"x" * (length - 1) + b"\n" for length in lengths))
                trace.flush()
                self.assertEqual(detail.block_starts(trace.name, block), starts, lengths)

    def test_the_lines_read_to_draw(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "trace")
            write_trace(path, ["Inc", "Inc", "Dec", "Dec", "Inc", "Inc", "Inc", "Dec", "Dec",
                               "Inc"], late=[(9, 2)])
            self.assertEqual(detail.trace_lines(path, 3, 5), (["Dec", "Dec", "Inc"], [1, 0, 1]))
            self.assertEqual(detail.trace_lines(path, 9, None), (["Dec", "Inc"], [-1, 2]))


if __name__ == "__main__":
    main()
