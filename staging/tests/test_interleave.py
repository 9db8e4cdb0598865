"""interleave as users run it: the real programs under gdb, one step at a time in the order a
schedule gives, with the same output on every run and nothing left running."""

import errno
import os
import pty
import shutil
import subprocess
import tempfile
import unittest

from harness import BIN, ENV, assert_usage_error, main, require, sh, still_folder

INTERLEAVE = os.path.join(os.environ["GLASSBOX_SOURCE"], "staging", "interleave")
# ThreadSanitizer's runtime makes the counter's every access itself, inside its own code.
LOST_DECREMENT = """\
loosetally, schedule IDDDII
step  who     does                                counter  printed
   1  Inc     loads 0                                   0
   2  Dec     loads 0                                   0
   3  Dec     stores -1                                -1
   4  Dec     prints "Dec: -1"                         -1  Dec: -1
   5  Inc     stores 1                                  1
   6  Inc     prints "Inc: 1"                           1  Inc: 1
lines printed:
  Dec: -1
  Inc: 1
counter: 1 after 2 changes (1 Inc, 1 Dec); 1 change (1 Dec) lost
tallycheck: inconsistent, breaks 1, drift 1
"""
BLOCKED_WAIT = """\
guardtally, schedule IDIIIDDDD
step  who     does                                counter  printed
   1  Inc     waits: takes the semaphore, 1 to 0        0
   2  Dec     waits: blocked, semaphore 0               0
   3  Inc     changes the counter to 1                  1
   4  Inc     prints "Inc: 1"                           1  Inc: 1
   5  Inc     posts: semaphore 0 to 1                   1
   6  Dec     waits: takes the semaphore, 1 to 0        1
   7  Dec     changes the counter to 0                  0
   8  Dec     prints "Dec: 0"                           0  Dec: 0
   9  Dec     posts: semaphore 0 to 1                   0
lines printed:
  Inc: 1
  Dec: 0
counter: 0 after 2 changes (1 Inc, 1 Dec); no change lost
tallycheck: consistent, breaks 0, drift 0
"""


def running(path):
    """The processes, of any user, whose program is the file at `path`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/exe") == path:
                found.append(pid)
        except OSError:
            continue
    return found


def interleave(arguments, **kwargs):
    require("gdb", "gdb")
    return sh(f"{INTERLEAVE} {arguments}", timeout=200, **kwargs)


class CounterSchedules(unittest.TestCase):
    """The same schedule gives the same lines, counter and verdict on every run."""

    def test_a_lost_decrement_in_loosetally(self):
        done = interleave("-c loosetally 'i d2  D I2'")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, LOST_DECREMENT)

    def test_a_guardtally_wait_blocks_until_the_other_posts(self):
        done = interleave("--answer guardtally IDIIIDDDD")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, BLOCKED_WAIT)

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

    def test_asked_step_by_step_on_a_terminal(self):
        """Each answer typed is the next steps; a wrong one is asked again; Enter ends."""
        require("gdb", "gdb")
        pid, master = pty.fork()
        if pid == 0:
            os.execve(INTERLEAVE, [INTERLEAVE, "loosetally"], ENV)
        screen = b""
        for asked, typed in enumerate((b"i\n", b"x\n", b"DD\n", b"d i2\n", b"\n"), 1):
            while screen.count(b"who goes next") < asked:
                screen += os.read(master, 65536)
            os.write(master, typed)
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: interleave has ended, and its terminal with it
                break
            if not chunk:
                break
            screen += chunk
        os.close(master)
        self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), 0)
        text = screen.decode().replace("\r\n", "\n")
        self.assertIn("'x' is not a step of loosetally: its steps are I (Inc) and D (Dec)", text)
        steps = [line for line in text.splitlines() if line[:4].strip().isdigit()]
        self.assertEqual("\n".join(steps), "\n".join(
            line for line in LOST_DECREMENT.splitlines() if line[:4].strip().isdigit()))
        self.assertIn("schedule taken: IDDDII\n", text)
        self.assertTrue(text.endswith(LOST_DECREMENT.split("\n", 8)[-1]), text)

    def test_an_interrupt_ends_the_held_program_with_interleave(self):
        copy = self.copy("loosetally")
        pid, master = pty.fork()
        if pid == 0:
            os.execve(INTERLEAVE, [INTERLEAVE, copy], ENV)
        screen = b""
        for asked, typed in enumerate((b"I\n", b"\x03"), 1):  # the terminal's interrupt
            while screen.count(b"who goes next") < asked:
                screen += os.read(master, 65536)
            if asked == 2:
                self.assertNotEqual(running(copy), [])  # held after its load
            os.write(master, typed)
        try:
            while os.read(master, 65536):
                pass
        except OSError:  # EIO: interleave has ended, and its terminal with it
            pass
        os.close(master)
        self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), 130)
        self.assertEqual(running(copy), [])

    def copy(self, program):
        """A copy of a built program in a folder of this test's own, found by its path."""
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        shutil.copy(os.path.join(BIN, program), folder)
        return os.path.join(folder, program)

    def test_a_stripped_program_is_refused_at_once_and_nothing_is_left_running(self):
        require("strip", "binutils")
        copy = self.copy("loosetally")
        subprocess.run(["strip", copy], check=True)
        done = interleave(f"-c {copy} IDDDII")
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertEqual(done.stderr, f"interleave: {copy} has no symbols to hold its workers by "
                         "(it is stripped); use the programs as built: cmake --workflow --preset "
                         "tour, then build/default/bin\n")
        self.assertEqual(running(copy), [])


class SpawnSchedules(unittest.TestCase):
    def test_the_prompt_before_the_listing_and_after_it(self):
        folder, listing = still_folder(self, files=["notes"])
        lines = "".join(f"  {line}\n" for line in listing.splitlines())
        first = interleave("-c spawnlist PPPCC", cwd=folder)
        self.assertEqual((first.returncode, first.stderr), (0, ""))
        self.assertEqual(first.stdout, f"""\
spawnlist, schedule PPPCC
step  who     does                  processes after it                    printed
   1  parent  forks                 parent under gdb, child under parent
   2  parent  prints "Parent: "     parent under gdb, child under parent  Parent:
   3  parent  exits 0               child under interleave
      the parent has ended: here a shell prints its prompt
   4  child   execs /bin/ls         child under interleave
   5  child   lists, exits 0        none                                  ({len(listing.splitlines())} lines)
lines printed:
  Parent: \n{lines}prompt and listing: the prompt first, then the listing
""")
        last = interleave("-c spawnlist 'P C2 P2'", cwd=folder)
        self.assertEqual((last.returncode, last.stderr), (0, ""))
        self.assertTrue(last.stdout.endswith(
            f"lines printed:\n{lines}  Parent: \nprompt and listing: the listing first, "
            "then the prompt\n"), last.stdout)

    def test_a_failed_exec_ends_the_child_with_nothing_listed(self):
        # In a mount namespace of its own, /bin/ls is /dev/null, which cannot be executed.
        require("gdb", "gdb")
        require("unshare", "util-linux")
        # Where the test is not root, the mount namespace needs a user namespace of its own.
        unshare = "unshare --mount --propagation private" + ("" if os.geteuid() == 0 else
                                                             " --map-root-user")
        refused = sh(f"{unshare} true")
        if refused.returncode != 0:
            self.skipTest(f"no mount namespace of its own: {refused.stderr.strip()} (unshare "
                          "needs root, or unprivileged user namespaces)")
        done = sh(f"{unshare} sh -c 'mount --bind /dev/null /bin/ls "
                  f"&& exec {INTERLEAVE} -c spawnlist PCCPP'", timeout=200)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, """\
spawnlist, schedule PCCPP
step  who     does                  processes after it                    printed
   1  parent  forks                 parent under gdb, child under parent
   2  child   exec fails: 126       parent under gdb
   3  child   has ended             parent under gdb
   4  parent  prints "Parent: "     parent under gdb                      Parent:
   5  parent  exits 0               none
      the parent has ended: here a shell prints its prompt
lines printed:
  Parent: \nprompt and listing: no listing, the exec failed
""")


class CommandLine(unittest.TestCase):
    def test_usage_errors(self):
        for arguments, message in (
                ("-x loosetally I", "invalid option -x"),
                ("loosetally", "expected a schedule or --seed=N (without them, it asks on a "
                               "terminal)"),
                ("loosetally IP", "'P' is not a step of loosetally: its steps are I (Inc) and D "
                                  "(Dec)"),
                ("spawnlist CP", "the child exists only after the parent's fork: a P comes first"),
                ("--steps=3 guardtally", "--steps is the length of a schedule drawn by --seed"),
                ("--seed=-1 guardtally", "--seed takes a number from 0 to 4294967295"),
                ("swaplist P", "cannot schedule swaplist: only loosetally, guardtally and "
                               "spawnlist")):
            with self.subTest(arguments=arguments):
                done = sh(f"{INTERLEAVE} {arguments} < /dev/null")
                assert_usage_error(self, done, "interleave", message)

    def test_what_it_needs_is_named(self):
        done = sh(f"PATH=/usr/bin:/bin {INTERLEAVE} -c loosetally I")
        self.assertEqual((done.returncode, done.stderr), (1, "interleave: loosetally is not on "
                         "PATH; add the folder of the built programs\n"))
        done = sh(f"PATH={BIN} {INTERLEAVE} -c loosetally I")
        self.assertEqual((done.returncode, done.stderr), (1, "interleave: gdb is not installed; "
                         "on Debian: apt-get install gdb\n"))

        seccomp = require("python3:seccomp", "python3-seccomp")

        def forbid_ptrace():
            rules = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
            rules.add_rule(seccomp.ERRNO(errno.EPERM), "ptrace")
            rules.load()
        require("gdb", "gdb")
        done = subprocess.run([INTERLEAVE, "-c", "spawnlist", "P"], env=ENV, capture_output=True,
                              text=True, check=False, preexec_fn=forbid_ptrace, timeout=200)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (1, "", "interleave: gdb "
                         "cannot trace the program here: ptrace: Operation not permitted\n"))


if __name__ == "__main__":
    main()
