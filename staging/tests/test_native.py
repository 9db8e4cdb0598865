"""The learners' programs run natively, without interleave: each is what its name says,
where that holds in every run, so that a verdict of interleave's on it means what it seems
to."""

import os
import platform
import re
import shlex
import subprocess
import time
import unittest

from harness import main, require, sh
from test_learners import Built

# read(2)'s system call number, as /proc/PID/task/TID/syscall gives it.
READ = {"x86_64": "0", "aarch64": "63"}.get(platform.machine())


class LearnerProgramsNatively(unittest.TestCase):
    """Each program is what its name says, where that holds in every run and so can be
    checked without interleave: a verdict on a program that is not would prove nothing."""

    @classmethod
    def setUpClass(cls):
        cls.built = Built(cls)

    def run_natively(self, source, *arguments, build="gcc", then=""):
        return sh(shlex.join([self.built(source, build), *arguments]) + then)

    @unittest.skipUnless(platform.machine() == "x86_64", "the instructions are x86-64's")
    def test_each_wrong_fix_compiles_to_the_instruction_it_is_about(self):
        """A read-modify-write of the counter in one instruction, none of them locked."""
        require("objdump", "binutils")
        for source, build, instruction in (("volatile_add.c", "clang", r"add[lq]?\s+\$0x1,"),
                                           ("atomic_xchg.cpp", "gcc", r"xchg\s+%eax,"),
                                           ("xadd_nolock.c", "gcc", r"xadd\s+%eax,")):
            with self.subTest(source=source, build=build):
                code = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn",
                                       self.built(source, build)], capture_output=True,
                                      text=True, check=True).stdout
                routine = re.search(r"<incThread(\(void\*\))?>:\n(.*?)\n\n", code, re.S)[2]
                self.assertRegex(routine, rf"\t{instruction}.*<count>")
                self.assertNotIn("lock", routine)

    def test_what_each_program_prints_and_returns(self):
        for source, arguments, status, out, err in (
                ("race_arg.c", [], 1, "", "usage: race <loops>\n"),
                ("race_arg.c", ["0"], 0, "Initial value : 0\nFinal value   : 0\n", ""),
                ("worker_exit.c", [], 3, "", "adder: negative item -2\n"),
                ("worker_fork.c", [], 0, "child exited with 7\n", ""),
                ("worker_pipe.c", [], 0, "read: hello through the pipe\n", ""),
                ("worker_sleep.c", ["0"], 0, "ready after 0 s\n", ""),
                ("sem_lock.c", [], 0, "count = 0\n", ""),
                ("condvar_ok.c", [], 0, "sum = 3\n", "")):
            with self.subTest(source=source, arguments=arguments):
                done = self.run_natively(source, *arguments)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (status, out, err))
        done = self.run_natively("worker_stderr.c")
        self.assertEqual((done.returncode, done.stdout), (0, ""))
        self.assertEqual(sorted(done.stderr.splitlines()), [
            "2 workers done", "worker 1: finished", "worker 1: starting", "worker 2: finished",
            "worker 2: starting"])

    def test_every_right_fix_writes_a_consistent_trace(self):
        """A right lock keeps the lines consistent in every run, on any processor: the
        checker finds no break. Peterson's lock without a fence is left out, as the
        processor's store buffer can break it natively."""
        for source in ("spin_xchg.c", "spin_flag.cpp", "spin_tas.c", "trylock_loop.c",
                       "spin_lock_pthread.c", "std_thread.cpp", "peterson_fence.c"):
            with self.subTest(source=source):
                done = self.run_natively(source, then=" | tallycheck; exit $((PIPESTATUS[0] "
                                                      "| PIPESTATUS[1]))")
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertIn("lines: 4 (Inc 2, Dec 2)\n", done.stdout)

    @unittest.skipIf(READ is None, f"read(2)'s number on {platform.machine()} is not known")
    def test_a_reader_whose_writer_writes_to_the_wrong_end_stays_blocked(self):
        """Once the writer has ended, the reader waits in read(2) with the pipe's write end
        still open: no run of this program can end by itself."""
        program = self.built("worker_pipe_silent.c")
        with subprocess.Popen([program], stdout=subprocess.PIPE, text=True) as process:
            try:
                # However slow the machine, the state comes; the bound only ends a run
                # that went wrong some other way.
                for _ in range(6000):
                    if process.poll() is not None or reading_alone(process.pid):
                        break
                    time.sleep(0.01)
                self.assertIsNone(process.poll())
                self.assertTrue(reading_alone(process.pid))
            finally:
                process.kill()
            self.assertEqual(process.stdout.read(), "")


def reading_alone(pid):
    """Whether the process has two threads left, main and one in read(2)."""
    tasks = os.listdir(f"/proc/{pid}/task")
    calls = []
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/syscall", encoding="ascii") as call:
                calls.append(call.read().split()[0])
        except OSError:
            return False
    return len(tasks) == 2 and READ in calls


if __name__ == "__main__":
    main()
