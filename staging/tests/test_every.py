"""interleave --all as users run it: every schedule of a few passes of the real program, each
a fresh run, counted by outcome; and a learner's own program, right or wrong, judged by every
schedule, with the one that loses replayed."""

import csv
import os
import re
import tempfile
import unittest

from harness import main, sh, still_folder
from programs import compiled

LOOSETALLY = """\
loosetally: every schedule of 1 pass of each worker
20 schedules
count  final  changes  lost  lines  tallycheck    breaks  deadlock  first schedule
    4      0        2     0      2  consistent         0  no        IIIDDD
    4      0        2     0      2  inconsistent       2  no        IIDDID
    4     -1        2     1      2  inconsistent       1  no        IDIIDD
    2     -1        2     1      2  inconsistent       2  no        IDIDID
    4      1        2     1      2  inconsistent       1  no        IDDIID
    2      1        2     1      2  inconsistent       2  no        IDDIDI
of 20 schedules: 12 lose a change, 16 break the trace, 0 deadlock
"""


def interleave(arguments, **kwargs):
    return sh(f"interleave {arguments}", timeout=250, **kwargs)


def rows(output):
    """The outcome rows: count and the rest, by first schedule."""
    return {line.split()[-1]: line.split()[:-1] for line in output.splitlines()
            if re.match(r"^ *\d+  ", line)}


class Every(unittest.TestCase):
    def test_loosetally_s_twenty_schedules_and_their_records(self):
        with tempfile.TemporaryDirectory() as folder:
            records = os.path.join(folder, "all runs.csv")
            done = interleave(f"--all --records='{records}' loosetally")
            self.assertEqual((done.returncode, done.stdout, done.stderr), (1, LOOSETALLY, ""))
            with open(records, newline="", encoding="utf-8") as table:
                runs = list(csv.DictReader(table))
        self.assertEqual(list(runs[0]), ["schedule", "lines", "final", "changes", "lost",
                                         "breaks", "verdict", "deadlock"])
        self.assertEqual(len({run["schedule"] for run in runs}), 20)
        self.assertEqual(sorted(run["schedule"] for run in runs if run["lost"] != "0"),
                         sorted(run["schedule"] for run in runs if run["final"] != "0"))
        self.assertEqual(sum(run["lost"] == "1" for run in runs), 12)
        self.assertEqual(runs[0], {"schedule": "IIIDDD", "lines": "2", "final": "0",
                                   "changes": "2", "lost": "0", "breaks": "0",
                                   "verdict": "consistent", "deadlock": "no"})

    def test_guardtally_loses_nothing_in_any_schedule_of_two_passes(self):
        done = interleave("--all --passes=2 guardtally")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertRegex(done.stdout, r"\nof (\d+) schedules: 0 lose a change, 0 break the "
                                      r"trace, 0 deadlock\n$")
        self.assertEqual(list(rows(done.stdout).values()),
                         [[re.search(r"\n(\d+) schedules\n", done.stdout)[1], "0", "4", "0",
                           "4", "consistent", "0", "no"]])

    def test_spawnlist_s_six_orders(self):
        folder, _ = still_folder(self, files=["notes"])
        done = interleave("--all spawnlist", cwd=folder)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, """\
spawnlist: every order of its steps
6 schedules
count  parent's line     parent's exit    first schedule
    3  before listing   before listing   PPPCC
    2  before listing   after listing    PPCCP
    1  after listing    after listing    PCCPP
""")


class LearnersPrograms(unittest.TestCase):
    """Programs of the counter shape, written and compiled here with names of their own."""

    @classmethod
    def setUpClass(cls):
        cls.folder = compiled(cls)

    def run_program(self, options, program):
        return interleave(f"{options} {os.path.join(self.folder, program)}")

    def test_a_right_fix_passes_and_a_store_only_fix_loses_in_a_schedule_that_replays(self):
        right = self.run_program("--all", "mutexfix")
        self.assertEqual((right.returncode, right.stderr), (0, ""))
        self.assertIn(": 0 lose a change, 0 break the trace, 0 deadlock\n", right.stdout)
        wrong = self.run_program("--all", "storeonly")
        self.assertEqual((wrong.returncode, wrong.stderr), (1, ""))
        losing = [first for first, row in rows(wrong.stdout).items() if row[3] != "0"]
        self.assertTrue(losing, wrong.stdout)
        replayed = self.run_program(f"-c -s {losing[0]}", "storeonly")
        self.assertEqual(replayed.returncode, 0)
        self.assertRegex(replayed.stdout, r"\ncounter: -?1 after 2 changes \(1 Inc, 1 Dec\); "
                                          r"1 change \(1 (Inc|Dec)\) lost\n")

    def test_a_mutex_wait_is_shown_blocked_and_goes_on_when_it_is_woken(self):
        done = self.run_program("-c -s IDIIIID", "mutexfix")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        does = [line[11:51].rstrip() for line in done.stdout.splitlines()[2:9]]
        self.assertEqual([does[0], does[1], does[4], does[5], does[6]], [
            "pthread_mutex_lock: takes it", "pthread_mutex_lock: blocked (futex wait)",
            "pthread_mutex_unlock: wakes Dec", "pthread_mutex_lock: takes it",
            "pthread_mutex_lock: woken, blocked again"])

    def test_two_semaphores_taken_in_opposite_orders_deadlock(self):
        done = self.run_program("-c -s IDIDII", "opposite")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertIn("\n   4  Dec  sem_wait: blocked (futex wait)        ", done.stdout)
        self.assertIn("\ndeadlock: every worker is blocked, and none can wake the other; the "
                      "rest of the schedule cannot be taken\n", done.stdout)
        every = self.run_program("--all", "opposite")
        self.assertEqual(every.returncode, 1)
        self.assertEqual(rows(every.stdout)["IDID"], ["4", "0", "0", "0", "0", "empty", "0",
                                                      "yes"])

    def test_a_main_that_joins_before_a_second_worker_is_named(self):
        done = self.run_program("-c -s I", "alone")
        self.assertEqual((done.returncode, done.stdout, done.stderr), (
            1, "", "interleave: main joins a thread before it has started two workers: the "
                   "program is not of the counter's shape\n"))

    def test_a_worker_that_spins_is_stopped_with_what_it_does(self):
        for options in ("-c -s IID", "--all"):
            with self.subTest(options=options):
                done = self.run_program(options, "spinning")
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stderr.splitlines(), [
                    "interleave: the Dec worker ran 10000 instructions without reaching the "
                    "counter or a lock: it spins, waiting for what the other worker alone can "
                    "do"])


if __name__ == "__main__":
    main()
