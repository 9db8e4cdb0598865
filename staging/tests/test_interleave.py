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

# A row of a counter schedule: step, who, does, counter, printed, instruction.
ROW = re.compile(r"^ {0,3}(\d+)  (\w+)  (.{40})  (.{7})(?:  (.{0,10}))?(?:  (.*))?$")
HEADER = "step  who  does                                      counter  printed     instruction"


def steps(test, output):
    """The rows of a counter schedule as (who, does, counter, printed), with the register
    that a load fills left out: it is the compiler's choice. Each access shows the
    instruction that made it, and a load names the register that its instruction fills."""
    rows = []
    for line in output.splitlines():
        row = ROW.match(line)
        if not row:
            continue
        number, who, does, counter, printed, instruction = row.groups()
        does = does.rstrip()
        load = re.fullmatch(r"loads -?\d+ into (\w+)", does)
        if load:
            test.assertRegex(instruction, rf"^mov {load[1]}, dword ptr \[.+\]$")
            does = does.rsplit(" into ", 1)[0]
        elif does.startswith("stores "):
            test.assertRegex(instruction, r"^mov dword ptr \[.+\], \w+$")
        else:
            test.assertIsNone(instruction, line)
        test.assertEqual(int(number), len(rows) + 1)
        rows.append((who, does, counter.strip(), (printed or "").strip()))
    return rows


LOST_DECREMENT = [("Inc", "loads 0", "0", ""), ("Dec", "loads 0", "0", ""),
                  ("Dec", "stores -1", "-1", ""), ("Dec", "loads -1", "-1", "Dec: -1"),
                  ("Inc", "stores 1", "1", ""), ("Inc", "loads 1", "1", "Inc: 1")]
LOST_DECREMENT_SUMMARY = """lines printed:
  Dec: -1
  Inc: 1
counter: 1 after 2 changes (1 Inc, 1 Dec); 1 change (1 Dec) lost
tallycheck: inconsistent, breaks 1, drift 1
"""


SPAWN_HEADER = ("step  who     does                  processes after it                         "
                "     printed")


def interleave(arguments, **kwargs):
    return sh(f"interleave {arguments}", timeout=200, **kwargs)


class CounterSchedules(unittest.TestCase):
    """The same schedule gives the same lines, counter and verdict on every run, for the
    program as built and for a stripped copy alike."""

    def test_a_lost_decrement_in_loosetally_built_and_stripped(self):
        require("strip", "binutils")
        stripped = copy_of(self, "loosetally")
        subprocess.run(["strip", stripped], check=True)
        built = interleave("-c -s 'i d2  D I2' loosetally")
        self.assertEqual((built.returncode, built.stderr), (0, ""))
        self.assertTrue(built.stdout.startswith(f"loosetally, schedule IDDDII\n{HEADER}\n"))
        self.assertEqual(steps(self, built.stdout), LOST_DECREMENT)
        self.assertTrue(built.stdout.endswith(LOST_DECREMENT_SUMMARY), built.stdout)
        self.assertEqual(interleave(f"-c -s IDDDII {stripped}").stdout, built.stdout)

    def test_a_guardtally_wait_blocks_until_the_other_posts(self):
        done = interleave("--answer --schedule=IDIIIDDDD guardtally")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(steps(self, done.stdout), [
            ("Inc", "sem_wait: takes it", "0", ""),
            ("Dec", "sem_wait: blocked (futex wait)", "0", ""),
            ("Inc", "loads 0", "0", ""), ("Inc", "stores 1", "1", "Inc: 1"),
            ("Inc", "sem_post: wakes Dec", "1", ""),
            ("Dec", "sem_wait: woken, takes it", "1", ""),
            ("Dec", "loads 1", "1", ""), ("Dec", "stores 0", "0", "Dec: 0"),
            ("Dec", "sem_post", "0", "")])
        self.assertTrue(done.stdout.endswith(
            "lines printed:\n  Inc: 1\n  Dec: 0\ncounter: 0 after 2 changes (1 Inc, 1 Dec); no "
            "change lost\ntallycheck: consistent, breaks 0, drift 0\n"), done.stdout)

    def test_a_seed_draws_the_same_schedule_and_the_same_run_every_time(self):
        questions = [interleave(f"--seed={seed} --steps=30 loosetally").stdout
                     for seed in (7, 7, 8)]
        self.assertEqual(questions[0], questions[1])
        self.assertNotEqual(questions[0].splitlines()[0], questions[2].splitlines()[0])
        self.assertRegex(questions[0], r"^loosetally, schedule [ID]{30}: 30 steps\n")
        runs = [interleave("-c --seed=7 --steps=30 loosetally") for _ in range(2)]
        self.assertEqual([run.returncode for run in runs], [0, 0])
        self.assertEqual(runs[0].stdout, runs[1].stdout)
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
        """Each answer typed is the next steps; a wrong one is asked again; Enter ends."""
        text, status = typed(["loosetally"], (b"i\n", b"x\n", b"DD\n", b"d i2\n", b"\n"))
        self.assertEqual(status, 0)
        self.assertIn("'x' is not a step of loosetally: its steps are I (Inc) and D (Dec)", text)
        self.assertEqual(steps(self, text), LOST_DECREMENT)
        self.assertIn("schedule taken: IDDDII\n", text)
        self.assertTrue(text.endswith(LOST_DECREMENT_SUMMARY), text)

    def test_an_interrupt_ends_the_held_program_with_interleave(self):
        copy = copy_of(self, "loosetally")
        pid, master = pty.fork()
        if pid == 0:
            os.execve(os.path.join(BIN, "interleave"), ["interleave", copy], ENV)
        screen = b""
        for asked, typed_now in enumerate((b"I\n", b"\x03"), 1):  # the terminal's interrupt
            while screen.count(b"who goes next") < asked:
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
   2  parent  prints "Parent: "     parent under interleave, child under parent   Parent:
   3  parent  exits 0               child under interleave
      the parent has ended: here a shell prints its prompt
   4  child   execs /bin/ls         child under interleave
   5  child   lists, exits 0        none                                          ({len(listing.splitlines())} lines)
lines printed:
  Parent: \n{lines}prompt and listing: the prompt first, then the listing
""")
        # A child that ends before its parent waits for it as a zombie.
        last = interleave("-c -s 'P C2 P2' spawnlist", cwd=folder)
        self.assertEqual((last.returncode, last.stderr), (0, ""))
        self.assertIn("\n   3  child   lists, exits 0        parent under interleave, child "
                      "(zombie) under parent  ", last.stdout)
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
   2  child   exec fails: 126       parent under interleave, child (zombie) under parent
   3  child   has ended             parent under interleave, child (zombie) under parent
   4  parent  prints "Parent: "     parent under interleave, child (zombie) under parent  Parent:
   5  parent  exits 0               none
      the parent has ended: here a shell prints its prompt
lines printed:
  Parent: \nprompt and listing: no listing, the exec failed
""")


def typed(arguments, answers):
    """Runs interleave on a terminal, typing each answer when it asks; returns the screen
    and the exit status."""
    pid, master = pty.fork()
    if pid == 0:
        os.execve(os.path.join(BIN, "interleave"), ["interleave", *arguments], ENV)
    screen = b""
    for asked, answer in enumerate(answers, 1):
        while screen.count(b"who goes next") < asked and b"\nschedule taken: " not in screen:
            screen += os.read(master, 65536)
        if b"\nschedule taken: " in screen:
            break
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
