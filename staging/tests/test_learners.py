"""interleave --all judging programs as learners write them (the sources in learners/, and the
lab's two counter programs built for a debugger): races and wrong fixes that must fail, right
fixes and spin waits that must pass, deadlocks, crashes, exits and aborts as outcomes, and
workers that sleep, fork, read pipes or write to stderr. Each failure's replay line must show
the same failure again. A second group checks natively that each program is what its name
says, so that a verdict on it means what the first group takes it to mean."""

import os
import platform
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

from harness import main, require, sh
from programs import running, unfolded

LEARNERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "learners")
SOURCE = os.environ["GLASSBOX_SOURCE"]
# The lab's programs are C++20 and include the counter's shared header and diagnostics.
COUNTERS = {"loosetally", "guardtally"}
# Each build: the C compiler, the C++ compiler, the options. gcc -O2 is a learner's usual
# build; -O0 -g a debugger's; clang -O3 fuses a volatile load, add and store into one add to
# memory without lock.
BUILDS = {"gcc": ("gcc", "g++", ["-O2"]), "debug": ("gcc", "g++", ["-O0", "-g"]),
          "clang": ("clang", "clang++", ["-O3"])}
PACKAGES = {"gcc": "gcc", "g++": "g++", "clang": "clang", "clang++": "clang"}

# What a failing outcome is called, in --all's table and in the replay of its schedule.
LOST = r"\b(lose|loses|lost)\b"
DEADLOCK = r"\bdeadlock"
BLOCKED = r"\b(deadlock|blocked)"


def names(text, pattern):
    """Whether some clause of the text names the outcome `pattern`. A clause that counts
    none of it ("0 deadlock", "no change lost") does not."""
    return any(re.search(pattern, clause) and not re.match(r"\s*(no|0)\b", clause)
               for clause in re.split(r"[,;:\n]", text))


class Built:
    """The programs, each built on first use into a folder of the test class's own."""

    def __init__(self, test_class):
        self.folder = tempfile.mkdtemp()
        test_class.addClassCleanup(shutil.rmtree, self.folder)
        self.paths = {}

    def __call__(self, source, build="gcc"):
        if (source, build) in self.paths:
            return self.paths[source, build]
        c, cplusplus, options = BUILDS[build]
        compiler = cplusplus if source in COUNTERS or source.endswith(".cpp") else c
        require(compiler, PACKAGES[compiler])
        if source in COUNTERS:
            path = os.path.join(SOURCE, "counter-threads", f"{source}.cpp")
            options = ["-std=c++20", *options, "-I", os.path.dirname(path),
                       "-I", os.path.join(SOURCE, "common")]
        else:
            path = os.path.join(LEARNERS, source)
        program = os.path.join(self.folder, f"{os.path.splitext(source)[0]}-{build}")
        subprocess.run([compiler, *options, "-pthread", "-o", program, path], check=True)
        self.paths[source, build] = program
        return program


class LearnerVerdicts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.built = Built(cls)

    def judged(self, source, build="gcc", options="", arguments=(), timeout=120):
        """interleave --all on the program with its own arguments: checks that no process
        of the program outlives it, and returns the finished run and its program's path."""
        program = self.built(source, build)
        done = sh(f"interleave --all {options} -- {shlex.join([program, *arguments])}",
                  timeout=timeout)
        self.assertEqual(running(program), [])
        return done, program

    def passes(self, source, build="gcc", options="", arguments=()):
        done, _ = self.judged(source, build, options, arguments)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertTrue(unfolded(done.stdout).splitlines()[-1].startswith("verdict: "),
                        done.stdout)
        return done

    def fails(self, source, outcome, build="gcc", options="", arguments=()):
        """Checks that the program fails with `outcome` named, and that the replay line
        replays its schedule, arguments and all, to the same failure; returns the replay."""
        done, program = self.judged(source, build, options, arguments)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        *table, verdict, replay = unfolded(done.stdout).splitlines()
        self.assertTrue(verdict.startswith("verdict: "), done.stdout)
        self.assertTrue(names("\n".join(table + [verdict]), outcome), done.stdout)
        self.assertRegex(replay, r"^replay: interleave -c (--passes=\d+ )?(--memory=tso )?-s \S+ ")
        self.assertTrue(replay.endswith(" " + shlex.join([program, *arguments])), replay)
        again = sh(replay[len("replay: "):], timeout=60)
        self.assertEqual(running(program), [])
        self.assertEqual(again.returncode, 1, again.stdout + again.stderr)
        self.assertTrue(names(again.stdout + again.stderr, outcome), again.stdout)
        return again

    def test_races_and_wrong_fixes_lose_a_change_in_a_schedule_that_replays(self):
        for source, build, options, arguments, outcome in (
                ("race_arg.c", "gcc", "", ["2"], r"\bexit 1\b"),
                ("loosetally", "debug", "--passes=1", [], LOST),
                ("atomic_xchg.cpp", "gcc", "", [], LOST),
                ("volatile_add.c", "clang", "", [], LOST),
                ("volatile_add.c", "gcc", "", [], LOST),
                ("mutex_load_only.c", "gcc", "", [], LOST),
                ("sem_two.c", "gcc", "", [], LOST),
                ("stack_local.c", "gcc", "", [], r"\bexit 1\b")):
            with self.subTest(source=source, build=build):
                self.fails(source, outcome, build, options, arguments)

    def test_a_debug_build_s_grid_shows_where_changes_are_lost(self):
        """Built at -O0, the counter's store may be an exchange (GCC stores a relaxed atomic
        with xchg): still the store of a load-and-store pair, so the grid's one bracketed
        state is where the losing schedules go, as in the optimised build."""
        done, _ = self.judged("loosetally", "debug", "--passes=1 --grid")
        self.assertEqual(done.returncode, 1, done.stdout)
        grid = done.stdout[done.stdout.index("\nprogress: "):]
        self.assertEqual(re.findall(r"\[[ox+#!.]\]", grid), ["[x]"], grid)

    def test_a_missing_program_is_trouble_not_a_failing_fix(self):
        """A grader's script tells a broken fix (1) from a file that is not there (3)."""
        missing = os.path.join(self.built.folder, "race")
        done = sh(f"interleave --all -- {shlex.quote(missing)} 2")
        self.assertEqual((done.returncode, done.stdout), (3, ""))
        self.assertTrue(done.stderr.startswith("interleave: "), done.stderr)

    @unittest.skipUnless(platform.machine() == "x86_64", "xadd is an x86-64 instruction")
    def test_an_xadd_without_lock_loses_a_change(self):
        self.fails("xadd_nolock.c", LOST)

    def test_three_workers_each_shown_by_name_in_the_failing_schedule(self):
        replay = self.fails("three_threads.c", r"\bexit 1\b")
        for routine in ("alice", "bob", "carol"):
            self.assertRegex(replay.stdout, rf"(?i)\b{routine}\b")

    def test_right_fixes_and_spin_waits_pass_every_schedule(self):
        for source, build, options in (
                ("guardtally", "debug", "--passes=2"),
                ("spin_xchg.c", "gcc", ""), ("spin_flag.cpp", "gcc", ""),
                ("spin_tas.c", "gcc", ""), ("trylock_loop.c", "gcc", ""),
                ("spin_lock_pthread.c", "gcc", ""), ("cas_loop.c", "gcc", ""),
                ("std_thread.cpp", "gcc", ""), ("sem_lock.c", "gcc", ""),
                ("condvar_ok.c", "gcc", ""), ("peterson.c", "gcc", ""),
                ("peterson.c", "clang", ""), ("peterson_fence.c", "gcc", "")):
            with self.subTest(source=source, build=build):
                self.passes(source, build, options)

    def test_store_buffering_never_shows_both_loads_zero_under_sequential_consistency(self):
        done = self.passes("store_buffer.c")
        self.assertNotIn("r1=0 r2=0", done.stdout)

    def test_under_store_buffers_both_loads_see_zero_each_past_the_other_s_store(self):
        replay = self.fails("store_buffer.c", r"\bexit 1\b", options="--memory=tso")
        self.assertIn("r1=0 r2=0", replay.stdout)
        # The replay shows why: each store waits in its thread's buffer while the other
        # thread loads the old value from memory.
        self.assertRegex(replay.stdout, r"stores 1 to x, into F's buffer *\n(.*\n)*.*"
                                        r"\bS +loads 0 from x *\n(.*\n)*.*x = 1 leaves F's buffer")

    def test_under_store_buffers_peterson_s_lock_needs_its_fence(self):
        """Proved under sequential consistency (above), broken by the store buffer, proved
        again with a full fence after its stores."""
        # One preemption is enough to break it, and keeps the test short: every order takes
        # over a thousand runs.
        replay = self.fails("peterson.c", LOST, options="--memory=tso --preemptions=1")
        self.assertRegex(replay.stdout, r"into [ID]'s buffer")
        for source, options in (("peterson_fence.c", ""), ("spin_xchg.c", ""),
                                ("mutex_fix.c", ""), ("guardtally", "--passes=2")):
            with self.subTest(source=source):
                self.passes(source, options=f"--memory=tso {options}")
        self.fails("loosetally", LOST, options="--memory=tso")

    def test_four_threads_show_every_outcome_that_the_order_allows(self):
        """Two writers and two readers that read in opposite orders: every one of the 16
        outcomes but the one where the readers disagree on which write came first, under
        sequential consistency and under store buffers alike (x86's stores reach every other
        processor at once). Each outcome needs its own order of the readers' loads against
        the writers' stores, so a reduction that loses one loses an outcome."""
        for order in ("sc", "tso"):
            with self.subTest(order=order):
                done, _ = self.judged("iriw.c", options=f"--memory={order}")
                seen = {int(status) for status in re.findall(r"^ +\d+ +exit (\d+)\b",
                                                               done.stdout, re.M)}
                self.assertEqual(seen, set(range(100, 116)) - {110}, done.stdout)

    def test_deadlocks_are_found_and_replayed(self):
        for source, options, outcome in (
                ("two_mutex_deadlock.c", "", DEADLOCK),
                ("condvar_lost_wakeup.c", "", DEADLOCK),
                ("worker_pipe_silent.c", "", BLOCKED),
                ("philosophers.c", "--preemptions=4 --time-limit=120", DEADLOCK)):
            with self.subTest(source=source):
                self.fails(source, outcome, options=options)

    def test_a_worker_s_exit_crash_or_failed_assertion_is_the_outcome(self):
        for source, build, outcome in (("worker_exit.c", "gcc", r"\bexit 3\b"),
                                       ("worker_crash.c", "debug", r"\bSIGSEGV\b"),
                                       ("worker_assert.c", "gcc", r"\babort")):
            with self.subTest(source=source):
                self.fails(source, outcome, build)

    def test_workers_that_sleep_fork_read_pipes_or_write_to_stderr_pass(self):
        """A ten-minute sleep returns at once: with real sleeps the run would outlast the
        time-out."""
        for source, arguments in (("worker_sleep.c", ["600"]), ("worker_fork.c", []),
                                  ("worker_pipe.c", []), ("worker_stderr.c", [])):
            with self.subTest(source=source):
                self.passes(source, arguments=arguments)


if __name__ == "__main__":
    main()
