"""interleave --all as users run it: every schedule of a few passes of the real program, each
a fresh run, counted by outcome; and a learner's own program, right or wrong, judged by every
schedule, with the one that loses replayed."""

import csv
import json
import os
import re
import tempfile
import unittest
from xml.etree import ElementTree

from harness import main, sh, still_folder
from programs import compiled, unfolded

LOOSETALLY_HEAD = """\
loosetally: every schedule of 1 pass of each worker
20 schedules in 12 runs
count final changes lost lines  tallycheck   breaks deadlock  first schedule
"""
LOOSETALLY_TAIL = """\
of 20 schedules: 12 lose a change, 16 break the trace, 0 deadlock
verdict: fails: 12 of 20 schedules fail (the first loses a change); each step
         taken whole, under sequential consistency
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
            if re.match(r"^ +\d+ ", line)}



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
        self.assertRegex(unfolded(done.stdout), r"\nof (\d+) schedules: 0 lose a change, 0 break the "
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


class Graph(unittest.TestCase):
    """--graph and --grid: the grid of the two workers' steps, every schedule a path."""

    SVG = {"s": "http://www.w3.org/2000/svg"}

    def drawn(self, arguments):
        with tempfile.TemporaryDirectory() as folder:
            picture = os.path.join(folder, "progress graph.svg")
            done = interleave(f"--all --grid --graph='{picture}' {arguments}")
            svg = ElementTree.parse(picture).getroot() if os.path.exists(picture) else None
        self.assertTrue(all(len(line) <= 80 for line in done.stdout.splitlines()), done.stdout)
        return done, svg

    def states(self, svg, kind):
        return {(int(rect.get("data-x")), int(rect.get("data-y")))
                for rect in svg.iterfind(f".//s:rect[@class='{kind}']", self.SVG)}

    def crossed(self, svg):
        """Each outcome's paths as the states they go through, with the outcome's lost
        changes and number of schedules, read back from where the lines are drawn."""
        cell, left, top = (float(svg.get(key)) for key in ("data-cell", "data-left", "data-top"))
        found = []
        for path in svg.iterfind(".//s:path[@class='schedules']", self.SVG):
            states = set()
            for x, y, way, to in re.findall(r"M([\d.]+) ([\d.]+)([HV])([\d.]+)", path.get("d")):
                start = (round((float(x) - left) / cell), round((float(y) - top) / cell))
                end = ((round((float(to) - left) / cell), start[1]) if way == "H"
                       else (start[0], round((float(to) - top) / cell)))
                states |= {start, end}
            found.append((states, int(path.get("data-lost")), int(path.get("data-paths"))))
        return found

    def test_the_losing_schedules_and_only_they_cross_the_shaded_states(self):
        done, svg = self.drawn("--passes=2 loosetally")
        self.assertEqual((done.returncode, done.stderr), (1, ""))
        # I's and D's passes: a load and its store at steps 1-2 and 4-5 of each.
        race = {(x, y) for x in (1, 4) for y in (1, 4)}
        self.assertEqual(self.states(svg, "race"), race)
        outcomes = self.crossed(svg)
        for states, lost, _ in outcomes:
            self.assertEqual(bool(states & race), lost > 0, (states, lost))
        schedules, losing = map(int, re.search(r"\nof (\d+) schedules: (\d+) lose a change",
                                               done.stdout).groups())
        self.assertEqual((sum(n for *_, n in outcomes), sum(n for _, lost, n in outcomes if lost)),
                         (schedules, losing))
        self.assertEqual([text.text for text in svg.iterfind(".//s:text[@data-thread='I']",
                                                             self.SVG)],
                         ["1 load count", "2 store count", "3 load count", "4 load count",
                          "5 store count", "6 load count"])
        grid = done.stdout[done.stdout.index("\nprogress: "):]
        self.assertEqual((grid.count("[x]"), grid.count("[")), (4, 5), grid)  # 4, and the key

    def test_a_lock_keeps_every_schedule_out_of_the_shaded_states(self):
        done, svg = self.drawn("guardtally")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        # Both between their sem_wait and sem_post: steps 1 to 3 of each.
        inside = {(x, y) for x in (1, 2, 3) for y in (1, 2, 3)}
        self.assertEqual((self.states(svg, "unreached"), self.states(svg, "race")), (inside, set()))
        self.assertTrue(all(not states & inside for states, *_ in self.crossed(svg)))
        titles = {rect.find("s:title", self.SVG).text
                  for rect in svg.iterfind(".//s:rect[@class='unreached']", self.SVG)}
        self.assertEqual(titles, {"no schedule reaches this state: both would hold semCount"})

    def test_what_makes_no_graph_is_said_and_leaves_no_file(self):
        done, svg = self.drawn(os.path.join(compiled(self, ["spinning"]), "spinning"))
        self.assertEqual((done.returncode, svg), (3, None))
        self.assertEqual(done.stderr, "interleave: no graph: D's steps differ from run to run "
                                      "(a loop that waits?)\n")
        self.assertIn("\nverdict: passes: ", done.stdout)


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
        page = os.path.join(self.folder, "deadlock.html")
        done = self.run_program(f"-c --passes=1 -s MUD --page={page}", "opposite")
        self.assertEqual((done.returncode, done.stderr), (1, ""))
        self.assertTrue(done.stdout.endswith(
            "\n   4  D    sem_wait(second): takes it, value now 0             \n"
            "threads: M main U up D down\nlines printed: none\n"
            "outcome: deadlock: M joins U, U holds first and waits for second (held by D), D\n"
            "  holds second and waits for first (held by U)\n"),
            done.stdout)
        # The page draws the cycle alone: main, which waits for U, is not in it.
        with open(page, encoding="utf-8") as html:
            text = html.read()
        ending = json.loads("{" + re.search(r'"waits":.*?"deadlock":\[.*?\]', text)[0] + "}")
        # A semaphore has no owner: the page says who took it and has not posted it.
        self.assertEqual(json.loads(re.findall(r'"lockStates":(\{.*?\})', text)[-1]),
                         {"first": "value 0, taken by U", "second": "value 0, taken by D"})
        self.assertEqual(ending, {"waits": ["M joins U"], "deadlock": [
            "U holds first and waits for second (held by D)",
            "D holds second and waits for first (held by U)"]})
        every = self.run_program("--all --grid", "opposite")
        self.assertEqual(every.returncode, 1)
        # Each holding the lock that the other waits for: stuck after a step of each.
        self.assertRegex(every.stdout, r"\n 1 sem_wait\(second\) +\+  !  #")
        self.assertEqual(rows(every.stdout)["MUD"], ["2", "0", "0", "0", "0", "empty", "0",
                                                     "yes"])
        self.assertIn("\nreplay: interleave -c --passes=1 -s MUD ", every.stdout)

    def test_a_worker_that_never_ends_stops_at_the_step_bound(self):
        """A program with one worker is judged like any other: its endless loop ends each
        run at the bound, which is said, and fails nothing."""
        done = self.run_program("--all --max-steps=50", "alone")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertIn("\n    1  bound: thread U took 50 steps   ", done.stdout)
        self.assertIn("\nverdict: passes: no schedule fails before its bound; ",
                      unfolded(done.stdout))

    def test_a_worker_that_spins_on_a_lock_waits_until_it_is_cleared(self):
        """Re-reading a flag that nobody changed is waiting: the spinning worker is not
        chosen again until the holder clears it."""
        done = self.run_program("-c -s MUDUD", "spinning")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual([line[6:].rstrip() for line in done.stdout.splitlines()[4:11]], [
            "U    changes busy from 0 to 1, indivisibly",
            "D    changes busy from 1 to 1, indivisibly", "U    loads 0 from tally",
            "D    changes busy from 1 to 1, indivisibly; then waits: it would re-read",
            "     what nobody changed", "U    stores 1 to tally                                   Inc: 1",
            "U    changes busy from 1 to 0, indivisibly"])

if __name__ == "__main__":
    main()
