"""interleave as users run it: the real programs held under ptrace, one step at a time in the
order a schedule gives, or in every order of a few passes; the same output on every run, on
any machine, and nothing left running."""

import os
import pty
import re
import subprocess
import unittest

from harness import BIN, ENV, main, require, sh, still_folder
from programs import copy_of, running

# A row of a threaded schedule: step, who, does, printed; with --instructions, each row is
# followed by its instruction, indented.
ROW = re.compile(r"^ {0,3}(\d+)  (\w) {4}(.{50})(.*)$")
HEADER = "step  who  does                                                printed"


def steps(test, output):
    """The rows of a threaded schedule as (who, does, printed), numbered from 1 in order."""
    rows = []
    for line in output.splitlines():
        row = ROW.match(line)
        if row:
            number, who, does, printed = row.groups()
            test.assertEqual(int(number), len(rows) + 1, line)
            rows.append((who, does.rstrip(), printed.strip()))
    return rows


def instructions(output):
    """The instruction shown under each row by --instructions."""
    return [line.strip() for line in output.splitlines() if line.startswith(" " * 9)]


LOST_DECREMENT = [("M", "pthread_create: starts I (incThread)", ""),
                  ("I", "loads 0 from count", ""),
                  ("M", "pthread_create: starts D (decThread)", ""),
                  ("D", "loads 0 from count", ""), ("D", "stores -1 to count", ""),
                  ("D", "loads -1 from count", "Dec: -1"), ("I", "stores 1 to count", ""),
                  ("I", "loads 1 from count", "Inc: 1")]
LOST_DECREMENT_SUMMARY = """lines printed:
  Dec: -1
  Inc: 1
stopped: the schedule ends here
  M joins I
counter: 1 after 2 changes; 1 lost
tallycheck: inconsistent, breaks 1
"""


SPAWN_HEADER = "step  who     does                  processes after it"


def interleave(arguments, **kwargs):
    return sh(f"interleave {arguments}", timeout=200, **kwargs)


class CounterSchedules(unittest.TestCase):
    """The same schedule gives the same steps, lines, counter and verdict on every run, for
    the program as built and for a stripped copy alike."""

    def test_a_lost_decrement_in_loosetally_built_and_stripped(self):
        built = interleave("-c -s 'i d2  D I2' loosetally")
        # The lost change is a failing schedule.
        self.assertEqual((built.returncode, built.stderr), (1, ""))
        self.assertTrue(built.stdout.startswith(f"loosetally, schedule IDDDII\n{HEADER}\n"))
        self.assertEqual(steps(self, built.stdout), LOST_DECREMENT)
        self.assertIn("\nthreads: M main I incThread D decThread\n", built.stdout)
        self.assertTrue(built.stdout.endswith(LOST_DECREMENT_SUMMARY), built.stdout)
        shown = interleave("-c --instructions -s IDDDII loosetally")
        self.assertEqual(steps(self, shown.stdout), LOST_DECREMENT)
        made = instructions(shown.stdout)
        self.assertEqual(len(made), len(LOST_DECREMENT))
        for (_, does, _), instruction in zip(LOST_DECREMENT, made):
            pattern = {"loads": r"^mov \w+, dword ptr \[.+\]$",
                       "stores": r"^mov dword ptr \[.+\], \w+$"}.get(does.split()[0],
                                                                       r"^pthread_create$")
            self.assertRegex(instruction, pattern)
        # With no symbols the workers are A and B in the order they start, and the counter
        # is shown by its address: the same steps, lines, counter and verdict.
        require("strip", "binutils")
        stripped = copy_of(self, "loosetally")
        subprocess.run(["strip", stripped], check=True)
        bare = interleave(f"-c -s ABBBAA {stripped}")
        self.assertEqual((bare.returncode, bare.stderr), (1, ""))
        address = re.search(r" from (0x[0-9a-f]+) ", bare.stdout)[1]
        renamed = [(who.translate(str.maketrans("ID", "AB")), does.replace("count", address),
                    printed) for who, does, printed in LOST_DECREMENT if who != "M"]
        self.assertEqual([row for row in steps(self, bare.stdout) if row[0] != "M"], renamed)
        self.assertIn("\nthreads: M main A (no name) B (no name)\n", bare.stdout)
        self.assertTrue(bare.stdout.endswith(
            LOST_DECREMENT_SUMMARY.replace("joins I", "joins A")), bare.stdout)

    def test_a_guardtally_worker_waits_for_the_post_without_a_letter(self):
        """Once Inc holds the semaphore only it can go: its steps up to the post are taken
        without a letter, and Dec's wait takes it only then."""
        done = interleave("--answer --passes=1 --schedule=MID guardtally")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(steps(self, done.stdout), [
            ("M", "pthread_create: starts I (incThread)", ""),
            ("M", "pthread_create: starts D (decThread)", ""),
            ("I", "sem_wait(semCount): takes it, value now 0", ""),
            ("I", "loads 0 from count", ""), ("I", "stores 1 to count", "Inc: 1"),
            ("I", "sem_post(semCount): value now 1", ""),
            ("D", "sem_wait(semCount): takes it, value now 0", ""),
            ("D", "loads 1 from count", ""), ("D", "stores 0 to count", "Dec: 0"),
            ("D", "sem_post(semCount): value now 1", "")])
        self.assertTrue(done.stdout.endswith(
            "lines printed:\n  Inc: 1\n  Dec: 0\noutcome: passes made\ncounter: 0 after 2 "
            "changes; 0 lost\ntallycheck: consistent, breaks 0\n"), done.stdout)

    def test_a_seed_draws_the_same_run_every_time(self):
        runs = [interleave(f"-c --seed={seed} --steps=30 loosetally") for seed in (7, 7, 8)]
        self.assertEqual([run.returncode for run in runs[:2]], [1, 1])
        self.assertEqual(runs[0].stdout, runs[1].stdout)
        self.assertNotEqual(steps(self, runs[0].stdout), steps(self, runs[2].stdout))
        # The letters drawn are those that the questions show for the same seed.
        asked = interleave("--seed=7 --steps=30 loosetally").stdout.split("\n")[0]
        self.assertRegex(asked, r"^loosetally, schedule [ID]{30}: 30 choices$")
        letters = asked.split("schedule ")[1].split(":")[0]
        self.assertTrue(runs[0].stdout.startswith(f"loosetally, schedule {letters}\n"))
        self.assertIn("\ntallycheck: ", runs[0].stdout)

    def test_the_race_on_demand_gives_the_same_trace_every_time(self):
        """The held worker's store wipes out exactly the changes made meanwhile; its report,
        loaded after one more change of the other's, is late: two breaks."""
        for arguments, drift, late in (("--race=40", "40", r"\nDec: (-?\d+)\nInc: \1\n"),
                                       ("--race=0 --hold=dec", "0", r"^Inc: (-?\d+)\nDec: \1\n")):
            with self.subTest(arguments=arguments):
                traces = [interleave(f"--lines {arguments} loosetally").stdout for _ in range(2)]
                self.assertEqual(traces[0], traces[1])
                self.assertRegex(traces[0], late)
                check = subprocess.run([os.path.join(BIN, "tallycheck")], input=traces[0],
                                       capture_output=True, text=True, check=False)
                self.assertIn("\nbreaks: 2, ", check.stdout)
                self.assertIn(f"\ndrift: {drift} ", check.stdout)

    def test_asked_step_by_step_on_a_terminal(self):
        """Each answer typed is the next step; a thread that cannot go is asked again; q
        ends the run and shows what it came to."""
        text, status = typed(["loosetally"], [f"{answer}\n".encode() for answer in
                                              ("i", "x", "m", "d", "d", "d", "i", "i", "q")])
        self.assertEqual(status, 1)
        self.assertIn("\nnext (M, I; q to stop)? x\nno thread x here\n", text)
        self.assertEqual(steps(self, text), LOST_DECREMENT)
        self.assertTrue(text.endswith(LOST_DECREMENT_SUMMARY), text)

    def test_an_interrupt_ends_the_held_program_with_interleave(self):
        copy = copy_of(self, "loosetally")
        pid, master = pty.fork()
        if pid == 0:
            os.execve(os.path.join(BIN, "interleave"), ["interleave", copy], ENV)
        screen = b""
        for asked, typed_now in enumerate((b"I\n", b"\x03"), 1):  # the terminal's interrupt
            while screen.count(ASKED) < asked:
                screen += os.read(master, 65536)
            if asked == 2:
                self.assertNotEqual(running(copy), [])  # held after its load
            os.write(master, typed_now)
        drain(master)
        self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), 130)
        self.assertEqual(running(copy), [])


class SpawnSchedules(unittest.TestCase):
    """spawnlist's processes as ptrace's events give them, each under its parent."""

    def test_the_prompt_before_the_listing_and_after_it(self):
        folder, listing = still_folder(self, files=["notes"])
        lines = "".join(f"  {line}\n" for line in listing.splitlines())
        first = interleave("-c -s PPPCC spawnlist", cwd=folder)
        self.assertEqual((first.returncode, first.stderr), (0, ""))
        self.assertEqual(first.stdout, f"""\
spawnlist, schedule PPPCC
{SPAWN_HEADER}
   1  parent  forks                 parent under interleave, child under parent
   2  parent  prints "Parent: "     parent under interleave, child under parent
   3  parent  exits 0               child under interleave
      the parent has ended: here a shell prints its prompt
   4  child   execs /bin/ls         child under interleave
   5  child   lists, exits 0        none
lines printed:
  Parent: \n{lines}prompt and listing: the prompt first, then the listing
""")
        # A child that ends before its parent waits for it as a zombie.
        last = interleave("-c -s 'P C2 P2' spawnlist", cwd=folder)
        self.assertEqual((last.returncode, last.stderr), (0, ""))
        self.assertIn("\n   3  child   lists, exits 0        parent under interleave, child (zombie)\n"
                      "                                    under parent\n", last.stdout)
        self.assertIn("\n   5  parent  exits 0               none\n", last.stdout)
        self.assertTrue(last.stdout.endswith(
            f"lines printed:\n{lines}  Parent: \nprompt and listing: the listing first, "
            "then the prompt\n"), last.stdout)

    def test_a_failed_exec_ends_the_child_with_nothing_listed(self):
        # In a mount namespace of its own, /bin/ls is /dev/null, which cannot be executed.
        require("unshare", "util-linux")
        # Where the test is not root, the mount namespace needs a user namespace of its own.
        unshare = "unshare --mount --propagation private" + ("" if os.geteuid() == 0 else
                                                             " --map-root-user")
        refused = sh(f"{unshare} true")
        if refused.returncode != 0:
            self.skipTest(f"no mount namespace of its own: {refused.stderr.strip()} (unshare "
                          "needs root, or unprivileged user namespaces)")
        done = sh(f"{unshare} sh -c 'mount --bind /dev/null /bin/ls "
                  "&& exec interleave -c -s PCCPP spawnlist'", timeout=200)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, f"""\
spawnlist, schedule PCCPP
{SPAWN_HEADER}
   1  parent  forks                 parent under interleave, child under parent
   2  child   exec fails: 126       parent under interleave, child (zombie)
                                    under parent
   3  child   has ended             parent under interleave, child (zombie)
                                    under parent
   4  parent  prints "Parent: "     parent under interleave, child (zombie)
                                    under parent
   5  parent  exits 0               none
      the parent has ended: here a shell prints its prompt
lines printed:
  Parent: \nprompt and listing: no listing, the exec failed
""")


# The end of the question asked on a terminal before each step.
ASKED = b"; q to stop)? "


def typed(arguments, answers):
    """Runs interleave on a terminal, typing each answer when it asks; returns the screen
    and the exit status."""
    pid, master = pty.fork()
    if pid == 0:
        os.execve(os.path.join(BIN, "interleave"), ["interleave", *arguments], ENV)
    screen = b""
    for asked, answer in enumerate(answers, 1):
        while screen.count(ASKED) < asked:
            screen += os.read(master, 65536)
        os.write(master, answer)
    screen += drain(master)
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    return screen.decode().replace("\r\n", "\n"), status


def drain(master):
    """What is left to read on a terminal whose program is ending."""
    screen = b""
    try:
        while chunk := os.read(master, 65536):
            screen += chunk
    except OSError:  # EIO: the program has ended, and its terminal with it
        pass
    os.close(master)
    return screen


if __name__ == "__main__":
    main()
