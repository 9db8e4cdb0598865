"""The schedules experiment: on known times and known records, every figure that it derives,
in its tables and its two figures, by value; and a run of it on a small setting, whose
outcome counts are the real programs' and whose cells agree with each other. Nothing here is
timed against a bound."""

import contextlib
import csv
import io
import os
import re
import shutil
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from harness import main, require, run
from known import BIN
from test_figures import one_line
import schedules
import tables

SOURCE = os.environ["GLASSBOX_SOURCE"]
# Known times, in seconds: the medians are 2 ms bare, 5 ms held, 250 ms gdb, 35 ms for the
# long schedule and 500 ms for the race, right at its aim; each round's step is (long −
# held) / 300: 0.1, 0.2 and 0.1 ms. The 20 schedules take 1.0 and 1.2 s on 2 processors,
# 100 and 120 ms a schedule; the 924 take 9.24 s, 20 ms a schedule.
SECONDS = {"bare": [0.003, 0.001, 0.002], "held": [0.004, 0.009, 0.005], "gdb": [0.3, 0.2],
           "long": [0.034, 0.069, 0.035], "race": [0.6, 0.4, 0.5], "every 1": [1.2, 1.0],
           "every 2": [9.24]}
COUNTS = {"every 1": 20, "every 2": 924}
# Records as interleave writes them, one a run, each standing for its orders' schedules,
# each run's class after its row: a deadlock comes first, even where a change was lost; then
# a lost change, even with no break.
RECORDS = """schedule,orders,lines,final,changes,lost,breaks,verdict,deadlock
MIII,1,2,0,2,0,0,consistent,no
MIIDDD,1,2,0,2,0,2,inconsistent,no
MIDDD,2,2,-1,2,1,1,inconsistent,no
MID,1,0,0,0,0,0,empty,yes
MIDDI,1,1,1,2,1,0,consistent,yes
DDII,1,2,-1,2,1,0,consistent,no
"""
CLASSES = ["consistent", "late reports only", "lost a change", "deadlock", "deadlock",
           "lost a change"]


def rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def known_found():
    """Records of each program and passes: loosetally's of one pass are RECORDS."""
    loose = rows(RECORDS)
    return {("loosetally", 1): loose, ("guardtally", 1): loose[:1] * 2,
            ("loosetally", 2): [loose[2], loose[5], loose[2], loose[1]],
            ("guardtally", 2): loose[:1] * 4}


def known_speed(without=()):
    return schedules.Speed({key: times for key, times in SECONDS.items() if key not in without},
                           COUNTS, 2, 0.25)


TABLES = """
### Holding the program: its start, a step and the race

| what | command | runs | ms | × bare start | aim | met |
|---|---|---|---|---|---|---|
| loosetally alone: start to its first line | `loosetally` | 3 | 2.00 (1.00–3.00) | – | – | – |
| held start: Inc started and held, one step | `interleave --lines -s I loosetally` | 3 | \
5.00 (4.00–9.00) | 2.5 | within 3× the bare start | yes |
| gdb's start: each worker stopped at its first instruction | `gdb -nx -batch -iex 'set \
debuginfod enabled off' -x hold.gdb --args loosetally` | 2 | 250.00 (200.00–300.00) | 125.0 | \
– | – |
| 301 steps | `interleave --lines -s I301 loosetally` | 3 | 35.00 (34.00–69.00) | – | – | – |
| one step | (`I301` − `I`) / 300 | 3 | 0.10 (0.10–0.20) | – | under 1 ms | yes |
| the race of 100 | `interleave --lines --race=100 loosetally` | 3 | 500.00 (400.00–600.00) | \
– | under 500 ms | yes |

### Every schedule of loosetally: its wall time, and the time a schedule

| command | schedules | processors | runs | wall, ms | ms a schedule | × bare start | aim | met |
|---|---|---|---|---|---|---|---|---|
| `interleave --all --passes=1 loosetally` | 20 | 2 | 2 | 1,100.00 (1,000.00–1,200.00) | \
110.00 (100.00–120.00) | 55.0 | under 1 s | no |
| `interleave --all --passes=2 loosetally` | 924 | 2 | 1 | 9,240.00 (9,240.00–9,240.00) | \
20.00 (20.00–20.00) | 10.0 | under 30 s | yes |
"""
OUTCOMES = """
| program | passes | schedules | consistent | late reports only | lost a change | deadlock |
|---|---|---|---|---|---|---|
| `loosetally` | 1 | 7 | 1 | 1 | 3 | 2 |
| `guardtally` | 1 | 2 | 2 | 0 | 0 | 0 |
| `loosetally` | 2 | 6 | 0 | 1 | 5 | 0 |
| `guardtally` | 2 | 4 | 4 | 0 | 0 | 0 |
"""


def printed(speed, found, disturbed_percent=10):
    with contextlib.redirect_stdout(io.StringIO()) as markdown:
        tables.schedule_tables(speed, found, disturbed_percent)
    return markdown.getvalue()


# Two judgements, as interleave --all prints them, and the table that they make.
JUDGED = {("loosetally", "sc"): "14 schedules in 9 runs\nverdict: fails: 6 of 14 ...\n",
          ("petersontally", "tso"): "1,2\n1082 schedules in 1082 runs\nverdict: passes: no\n"}
ORDER_TABLE = """
| program | memory | schedules | runs | verdict | wall, s |
|---|---|---|---|---|---|
| `loosetally` | sc | 14 | 9 | fails | 0.50 |
| `petersontally` | tso | 1,082 | 1,082 | passes | 12.35 |
"""


class KnownTimesAndRecords(unittest.TestCase):
    def test_each_judgement_and_the_memory_orders_table(self):
        orders = {key: (*schedules.judged(text), seconds)
                  for (key, text), seconds in zip(JUDGED.items(), (0.5, 12.345))}
        with contextlib.redirect_stdout(io.StringIO()) as markdown:
            tables.order_table(orders)
        self.assertIn(ORDER_TABLE, markdown.getvalue())
        with self.assertRaisesRegex(SystemExit, "printed no schedules line or no verdict"):
            schedules.judged("3 runs, one for each class of equivalent schedules\n")

    def test_each_record_s_class(self):
        for record, name in zip(rows(RECORDS), CLASSES):
            self.assertEqual(schedules.classify(record), name, record)
        self.assertEqual(schedules.outcome_counts(rows(RECORDS)),
                         {"consistent": 1, "late reports only": 1, "lost a change": 3,
                          "deadlock": 2})
        self.assertEqual(schedules.schedule_count(rows(RECORDS)), 7)
        nothing = rows(RECORDS.replace("MIII,1,2,0,2,0,0,consistent", "MIII,1,1,0,2,0,0,malformed"))
        with self.assertRaisesRegex(SystemExit, r"^bench\.py: interleave's records: schedule "
                                                r"MIII is malformed, with nothing lost, no "
                                                r"break and no deadlock$"):
            schedules.classify(nothing[0])

    def test_the_tables_of_known_times_and_records(self):
        said = printed(known_speed(), known_found())
        self.assertEqual(said[:said.index("\nEach time:")], TABLES)
        self.assertIn(" Other work used 25% of all CPUs while they ran: disturbed, above 10%.\n",
                      said)
        self.assertIn(OUTCOMES, said)
        # Without gdb its row says so; at a threshold above the load, the times are not
        # called disturbed.
        said = printed(known_speed(without=("gdb",)), known_found(), 30)
        self.assertIn("\n| gdb's start: each worker stopped at its first instruction | gdb is "
                      "not installed (Debian: apt-get install gdb): not timed | – | – | – | – "
                      "| – |\n| 301 steps |", said)
        self.assertIn(" Other work used 25% of all CPUs while they ran.\n", said)


def drawn(ax, gid):
    return [[round(value, 6) for value in point] for line in ax.lines if line.get_gid() == gid
            for point in line.get_xydata()]


class KnownFigures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require("python3:matplotlib", "python3-matplotlib")

    def test_the_speed_of_known_times(self):
        import canvas
        import schedule_figures
        figure = schedule_figures.holding_speed(known_speed(), "machine", 3)
        ax = figure.axes[0]
        self.assertEqual([tick.get_text() for tick in ax.get_yticklabels()],
                         ["loosetally alone: start to its first line",
                          "interleave: start, hold both workers, one step",
                          "gdb: start, hold both workers", "interleave: one step",
                          "interleave: the race of 100", "interleave: every schedule of 1 pass "
                          "(20)", "a schedule of them, × 2 processors", "interleave: every "
                          "schedule of 2 passes (924)", "a schedule of them, × 2 processors"])
        # Each row's median, by whose time it is; its range; and its aim, held's three times
        # the bare start.
        self.assertEqual(drawn(ax, "alone"), [[2, 0]])
        self.assertEqual(drawn(ax, "gdb"), [[250, 2]])
        self.assertEqual(drawn(ax, "interleave"), [[5, 1], [0.1, 3], [500, 4], [1100, 5],
                                                   [110, 6], [9240, 7], [20, 8]])
        self.assertEqual(drawn(ax, "range")[::2], [[1, 0], [4, 1], [200, 2], [0.1, 3], [400, 4],
                                                   [1000, 5], [100, 6], [9240, 7], [20, 8]])
        self.assertEqual([x for x, _ in drawn(ax, "range")[1::2]],
                         [3, 9, 300, 0.2, 600, 1200, 120, 9240, 20])
        self.assertEqual(drawn(ax, "aim")[::2], [[6, 0.65], [1, 2.65], [500, 3.65], [1000, 4.65],
                                                 [30_000, 6.65]])
        self.assertEqual([text.get_text() for text in ax.texts],
                         ["2.0 ms", "5.0 ms, 2.5× bare", "250 ms, 125× bare", "0.10 ms",
                          "500 ms", "1.1 s", "110 ms, 55× bare", "9.2 s", "20 ms, 10× bare"])
        title = ("Holding loosetally: interleave starts it and holds both workers in 5.0 ms, "
                 "2.5× its bare start of 2.0 ms (aim: within 3× the bare start); {}. A step "
                 "takes 0.10 ms (aim: under 1 ms), the race of 100 500 ms (aim: under 500 ms). "
                 "Every schedule: the 20 of 1 pass take 1.1 s (aim: under 1 s) and the 924 of 2 "
                 "passes take 9.2 s (aim: under 30 s), 20 ms a schedule on 2 processors, 10× the "
                 "bare start.")
        self.assertEqual(one_line(canvas.title_of(figure)), title.format("gdb takes 250 ms"))
        figure = schedule_figures.holding_speed(known_speed(without=("gdb",)), "machine", 3)
        self.assertEqual(one_line(canvas.title_of(figure)), title.format("gdb is not installed"))
        self.assertNotIn("gdb: start, hold both workers",
                         [tick.get_text() for tick in figure.axes[0].get_yticklabels()])

    def test_the_outcomes_of_known_records(self):
        import canvas
        import schedule_figures
        figure = schedule_figures.outcomes_by_schedule(known_found(), "machine")
        # Each panel's parts: (outcome, program's row, where it starts, its share, %), and
        # the counts written on them.
        # The run MIDDD stands for two schedules: of one pass, loosetally has 7, of two, 6.
        seventh, sixth = 100 / 7, 100 / 6
        panels = (([("consistent", 0, 0, seventh), ("late reports only", 0, seventh, seventh),
                    ("lost a change", 0, 2 * seventh, 3 * seventh),
                    ("deadlock", 0, 5 * seventh, 2 * seventh), ("consistent", 1, 0, 100)],
                   ["1", "1", "3", "2", "2"]),
                  ([("late reports only", 0, 0, sixth), ("lost a change", 0, sixth, 5 * sixth),
                    ("consistent", 1, 0, 100)], ["1", "5", "4"]))
        for ax, (parts, counts) in zip(figure.axes, panels):
            bars = [(bar.get_gid(), round(bar.get_y() + bar.get_height() / 2),
                     round(bar.get_x(), 6), round(bar.get_width(), 6))
                    for bar in ax.patches if bar.get_width()]
            self.assertEqual(bars, [(name, row, round(left, 6), round(width, 6))
                                    for name, row, left, width in parts])
            self.assertEqual([text.get_text() for text in ax.texts], counts)
        self.assertEqual([tick.get_text() for tick in figure.axes[1].get_yticklabels()],
                         ["loosetally\n6 schedules", "guardtally\n4 schedules"])
        self.assertEqual(one_line(canvas.title_of(figure)),
                         "Every schedule by its outcome. 1 pass of each worker: loosetally, of "
                         "7: 3 lost a change, 1 broke with late reports only, 2 deadlocked; "
                         "guardtally, of 2: all consistent. 2 passes of each worker: loosetally, "
                         "of 6: 5 lost a change, 1 broke with late reports only; guardtally, of "
                         "4: all consistent.")


# The real programs' outcomes, which every machine gives alike.
REAL_OUTCOMES = [["`loosetally`", "1", "20", "4", "4", "12", "0"],
                 ["`guardtally`", "1", "2", "2", "0", "0", "0"],
                 ["`fetchaddtally`", "1", "6", "2", "4", "0", "0"],
                 ["`loosetally`", "2", "924", "28", "122", "774", "0"],
                 ["`guardtally`", "2", "6", "6", "0", "0", "0"],
                 ["`fetchaddtally`", "2", "70", "6", "64", "0", "0"]]


class SchedulesRun(unittest.TestCase):
    def test_one_round_end_to_end(self):
        require("python3:matplotlib", "python3-matplotlib")
        from test_bench import TOOLS, tables as found_tables
        with tempfile.TemporaryDirectory() as folder:
            # In a session of its own, so that a time-out ends the interleave --all that the
            # bench runs too, not the bench alone.
            done = run([sys.executable, os.path.join(SOURCE, "bench", "bench.py"), "--bin",
                        BIN, "--tools", TOOLS, "-e", "schedules", "-r", "1", "--plot", folder],
                       timeout=280, env=os.environ)
            self.assertEqual(done.returncode, 0, done.stderr)
            titles = {name: one_line(ElementTree.parse(os.path.join(folder, name + ".svg"))
                                     .find(".//{http://purl.org/dc/elements/1.1/}title").text)
                      for name in ("holding-speed", "outcomes-of-every-schedule")}
        found = found_tables(done.stdout)
        self.assertEqual(found["Every schedule by its outcome"][1:], REAL_OUTCOMES)
        # Peterson's lock without a fence passes under sequential consistency and fails
        # under store buffers; with its fence, and every other program, the same under both.
        verdicts = {(row[0], row[1]): row[4]
                    for row in found["Every schedule under each memory order"][1:]}
        self.assertEqual(verdicts, {
            (f"`{program}`", order): "fails" if program == "loosetally" or
            (program, order) == ("petersontally", "tso") else "passes"
            for program in schedules.ORDER_PROGRAMS for order in schedules.ORDERS})
        # Each row of times: its runs, one round of each command's turns; gdb's where it is
        # installed.
        _, *times = found["Holding the program: its start, a step and the race"]
        gdb = bool(shutil.which("gdb"))
        self.assertEqual([row[2] for row in times], ["10", "10"] + (["2"] if gdb else ["–"])
                         + ["10", "10", "10"])
        self.assertEqual("gdb is not installed" in times[2][1], not gdb)
        # The 924's one run: its time a schedule is its wall time × 2 processors / 924, to
        # the cells' rounding.
        _, *every = found["Every schedule of loosetally: its wall time, and the time a schedule"]
        self.assertEqual([row[1:4] for row in every],
                         [["20", str(len(os.sched_getaffinity(0))), "2"],
                          ["924", str(len(os.sched_getaffinity(0))), "1"]])
        wall, each = (float(re.match(r"([\d,.]+) \(", cell)[1].replace(",", ""))
                      for cell in every[1][4:6])
        self.assertAlmostEqual(each, wall * int(every[1][2]) / 924, delta=0.006)
        self.assertTrue(titles["holding-speed"].startswith(
            "Holding loosetally: interleave starts it and holds both workers in "), titles)
        self.assertTrue(titles["outcomes-of-every-schedule"].startswith(
            "Every schedule by its outcome. 1 pass of each worker: loosetally, of 20: 12 lost a "
            "change, 4 broke with late reports only; guardtally, of 2: all consistent; "
            "fetchaddtally, of 6: none lost a change, 4 broke with late reports only. 2 passes"),
            titles)


if __name__ == "__main__":
    main()
