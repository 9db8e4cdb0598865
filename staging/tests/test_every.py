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

LOOSETALLY_HEAD = """\
loosetally: every schedule of 1 pass of each worker
20 schedules in 12 runs
count  final  changes  lost  lines  tallycheck    breaks  deadlock  first schedule
"""
LOOSETALLY_TAIL = """\
of 20 schedules: 12 lose a change, 16 break the trace, 0 deadlock
verdict: fails: 12 of 20 schedules fail (the first loses a change); each step taken whole, \
under sequential consistency
replay: interleave -c --passes=1 -s MIDDD loosetally
"""
# Each row but its final value: count, changes, lost, lines, tallycheck, breaks, deadlock,
# by first schedule.
# Count, final, changes, lost, lines, tallycheck, breaks, deadlock, by first schedule.
LOOSETALLY_ROWS = {"MIII": ["4", "0", "2", "0", "2", "consistent", "0", "no"],
                   "MIIDDD": ["4", "0", "2", "0", "2", "inconsistent", "2", "no"],
                   "MIDDD": ["4", "1", "2", "1", "2", "inconsistent", "1", "no"],
                   "MIDDID": ["2", "1", "2", "1", "2", "inconsistent", "2", "no"],
                   "MIDII": ["4", "-1", "2", "1", "2", "inconsistent", "1", "no"],
                   "MIDIDI": ["2", "-1", "2", "1", "2", "inconsistent", "2", "no"]}


def interleave(arguments, **kwargs):
    return sh(f"interleave {arguments}", timeout=250, **kwargs)


def rows(output):
    """The outcome rows: count and the rest, by first schedule."""
    return {line.split()[-1]: line.split()[:-1] for line in output.splitlines()
            if re.match(r"^ *\d+  ", line)}


class Every(unittest.TestCase):
    def test_loosetally_s_twenty_schedules_and_their_records(self):
        """Twelve runs, one a class of equivalent schedules, stand for the twenty orders;
        a run's record says how many orders it stands for."""
        with tempfile.TemporaryDirectory() as folder:
            records = os.path.join(folder, "all runs.csv")
            done = interleave(f"--all --records='{records}' loosetally")
            self.assertEqual((done.returncode, done.stderr), (1, ""))
            with open(records, newline="", encoding="utf-8") as table:
                runs = list(csv.DictReader(table))
        self.assertTrue(done.stdout.startswith(LOOSETALLY_HEAD), done.stdout)
        self.assertTrue(done.stdout.endswith(LOOSETALLY_TAIL), done.stdout)
        self.assertEqual(rows(done.stdout), LOOSETALLY_ROWS)
        self.assertEqual(list(runs[0]), ["schedule", "orders", "lines", "final", "changes",
                                         "lost", "breaks", "verdict", "deadlock"])
        self.assertEqual((len({run["schedule"] for run in runs}), len(runs)), (12, 12))
        self.assertEqual(sum(int(run["orders"]) for run in runs), 20)
        self.assertEqual(sum(int(run["orders"]) for run in runs if run["lost"] == "1"), 12)
        # One pass of each worker: a lost change leaves the counter one off zero.
        self.assertEqual(sorted(run["schedule"] for run in runs if run["lost"] != "0"),
                         sorted(run["schedule"] for run in runs if run["final"] != "0"))
        self.assertEqual(runs[0], {"schedule": "MIII", "orders": "2", "lines": "2",
                                   "final": "0", "changes": "2", "lost": "0", "breaks": "0",
                                   "verdict": "consistent", "deadlock": "no"})

    def test_guardtally_loses_nothing_in_any_schedule_of_two_passes(self):
        done = interleave("--all --passes=2 guardtally")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertRegex(done.stdout, r"\nof (\d+) schedules: 0 lose a change, 0 break the "
                                      r"trace, 0 deadlock\nverdict: passes: no schedule fails; "
                                      r"each step taken whole, under sequential consistency\n$")
        self.assertEqual(list(rows(done.stdout).values()),
                         [[re.search(r"\n(\d+) schedules in \d+ runs\n", done.stdout)[1], "0",
                           "4", "0", "4", "consistent", "0", "no"]])

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
        self.assertIn(": 0 lose a change, 0 break the trace, 0 deadlock\nverdict: passes: ",
                      right.stdout)
        wrong = self.run_program("--all", "storeonly")
        self.assertEqual((wrong.returncode, wrong.stderr), (1, ""))
        replay = re.search(r"\nreplay: interleave (.*)\n$", wrong.stdout)[1]
        self.assertEqual(replay, f"-c --passes=1 -s MUUDU {self.folder}/storeonly")
        replayed = interleave(replay)
        self.assertEqual(replayed.returncode, 1)
        self.assertIn(" after 2 changes; 1 lost\n", replayed.stdout)

    def test_the_mutex_holder_goes_on_alone_until_it_unlocks(self):
        """Steps of a thread that is the only one that can go take no letter: the schedule
        MUD gives ten steps."""
        done = self.run_program("-c --passes=1 -s MUD", "mutexfix")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        does = [line[6:61].rstrip() for line in done.stdout.splitlines()[4:12]]
        self.assertEqual(does, [
            "U    pthread_mutex_lock(guard): takes it", "U    loads 0 from tally",
            "U    stores 1 to tally", "U    pthread_mutex_unlock(guard): releases it",
            "D    pthread_mutex_lock(guard): takes it", "D    loads 1 from tally",
            "D    stores 0 to tally", "D    pthread_mutex_unlock(guard): releases it"])

    def test_two_semaphores_taken_in_opposite_orders_deadlock(self):
        done = self.run_program("-c --passes=1 -s MUD", "opposite")
        self.assertEqual((done.returncode, done.stderr), (1, ""))
        self.assertTrue(done.stdout.endswith(
            "\n   4  D    sem_wait(second): takes it, value now 0             \n"
            "threads: M main U up D down\nlines printed: none\n"
            "outcome: deadlock: M joins U, U waits for second, D waits for first\n"),
            done.stdout)
        every = self.run_program("--all", "opposite")
        self.assertEqual(every.returncode, 1)
        self.assertEqual(rows(every.stdout)["MUD"], ["2", "0", "0", "0", "0", "empty", "0",
                                                     "yes"])
        self.assertIn("\nreplay: interleave -c --passes=1 -s MUD ", every.stdout)

    def test_a_worker_that_never_ends_stops_at_the_step_bound(self):
        """A program with one worker is judged like any other: its endless loop ends each
        run at the bound, which is said, and fails nothing."""
        done = self.run_program("--all --max-steps=50", "alone")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertIn("\n    1  bound: thread U took 50 steps   ", done.stdout)
        self.assertIn("\nverdict: passes: no schedule fails before its bound; ", done.stdout)

    def test_a_worker_that_spins_on_a_lock_waits_until_it_is_cleared(self):
        """Re-reading a flag that nobody changed is waiting: the spinning worker is not
        chosen again until the holder clears it."""
        done = self.run_program("-c -s MUDUD", "spinning")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual([line[6:].rstrip() for line in done.stdout.splitlines()[4:10]], [
            "U    changes busy from 0 to 1, indivisibly",
            "D    changes busy from 1 to 1, indivisibly", "U    loads 0 from tally",
            "D    changes busy from 1 to 1, indivisibly; then waits: it would re-read what "
            "nobody changed", "U    stores 1 to tally                                   Inc: 1",
            "U    changes busy from 1 to 0, indivisibly"])

if __name__ == "__main__":
    main()
