"""guardtally and loosetally as users run them: through pipes, into files, on a terminal,
and with their output or their threads made to fail."""

import errno
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from harness import (BIN, RUNTIME_THREADS, fail_with, main, on_terminal, sh,
                     strace)

PROGRAMS = ("guardtally", "loosetally")
REPORT_LINE = re.compile(r"(Inc|Dec): (0|-?[1-9][0-9]*)\n")


def pipeline(script, **kwargs):
    """Runs a pipeline and returns its output and the statuses of its commands."""
    done = sh(script + '; echo "status ${PIPESTATUS[*]}"', **kwargs)
    *lines, statuses = done.stdout.splitlines()
    return "\n".join(lines), statuses.split()[1:], done.stderr


class GuardedTrace(unittest.TestCase):
    def test_trace_through_a_pipe_is_consistent_whatever_the_arguments(self):
        for arguments in ("", " --help -x 1"):
            with self.subTest(arguments=arguments):
                out, statuses, err = pipeline(
                    f"guardtally{arguments} | head -n 400000 | tallycheck")
                self.assertEqual(statuses, [str(128 + signal.SIGPIPE), "0", "0"], out + err)
                self.assertIn("lines: 400000 ", out)
                self.assertIn("\ndrift: 0 (", out)
                self.assertEqual(err, "")

    def test_first_line_is_the_first_change(self):
        for _ in range(20):
            out, _, _ = pipeline("guardtally | head -n 1")
            self.assertIn(out, ("Inc: 1", "Dec: -1"))

    def test_file_written_until_a_signal_is_consistent_up_to_its_cut(self):
        with tempfile.TemporaryFile() as trace:
            producer = subprocess.Popen([os.path.join(BIN, "guardtally")], stdout=trace)
            # Interrupted once the file holds well over 1,000 lines, however slow the machine.
            deadline = time.monotonic() + 120
            while os.fstat(trace.fileno()).st_size < 64 * 1024 and time.monotonic() < deadline:
                time.sleep(0.01)
            producer.send_signal(signal.SIGINT)
            self.assertEqual(producer.wait(), -signal.SIGINT)
            trace.seek(0)
            check = subprocess.run([os.path.join(BIN, "tallycheck")], stdin=trace,
                                   capture_output=True, text=True, check=False)
        self.assertEqual(check.returncode, 0, check.stdout)
        self.assertRegex(check.stdout, r"lines: [1-9][0-9]{3,} ")

    def test_semaphore_wait_interrupted_is_retried(self):
        # Every blocking semaphore wait fails with EINTR (futex op 393 is a private
        # FUTEX_WAIT_BITSET on the realtime clock, which only sem_wait uses here). A worker
        # that went on without the semaphore would break the trace.
        sem_wait_op = 393
        out, statuses, err = pipeline("guardtally | head -n 200000 | tallycheck",
                                      preexec_fn=fail_with("futex", sem_wait_op, errno.EINTR))
        self.assertEqual((statuses, err), ([str(128 + signal.SIGPIPE), "0", "0"], ""), out)


class Sustained(unittest.TestCase):
    def test_seconds_of_output_through_a_pipe(self):
        # Long enough for a sanitizer build to see many thousands of hand-offs.
        for program, verdicts in (("guardtally", ("0",)), ("loosetally", ("0", "1"))):
            with self.subTest(program=program):
                out, statuses, err = pipeline(f"timeout -s INT 2 {program} | tallycheck")
                self.assertEqual(err, "")
                self.assertEqual(statuses[0], "124")  # timeout's own: it sent the signal
                self.assertIn(statuses[1], verdicts, out)


class LooseTrace(unittest.TestCase):
    def test_lines_are_well_formed_whatever_the_arguments(self):
        # How often the trace breaks depends on the machine; RaceOnDemand makes it break.
        out, statuses, err = pipeline("loosetally x y | head -n 1000000 | tallycheck")
        self.assertEqual(statuses[:2], [str(128 + signal.SIGPIPE), "0"], out + err)
        self.assertIn(statuses[2], ("0", "1"), out)  # 2 would be a malformed line
        self.assertIn("lines: 1000000 ", out)
        self.assertIn("\nmalformed: 0\n", out)


class OnTerminal(unittest.TestCase):
    def test_lines_appear_while_running_and_an_interrupt_ends_the_program(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                out, running, status = on_terminal([program], interrupt_after_lines=200)
                self.assertTrue(running)
                self.assertEqual(status, -signal.SIGINT)
                lines = out.decode().split("\r\n")[:-1]  # what follows the last may be cut
                self.assertGreaterEqual(len(lines), 200)
                for line in lines:
                    self.assertRegex(line + "\n", REPORT_LINE)
                if program == "guardtally":  # unguarded, the other may change it first
                    self.assertIn(lines[0], ("Inc: 1", "Dec: -1"))


class Failures(unittest.TestCase):
    def assertFails(self, script, program, reason):
        done = sh(script, timeout=10)
        self.assertEqual((done.returncode, done.stderr), (1, f"{program}: {reason}\n"))

    def test_output_that_fails_ends_the_program_with_one_diagnostic(self):
        ways = {"trap '' PIPE; {} | head -n 1 >/dev/null; exit ${{PIPESTATUS[0]}}":
                "write error: Broken pipe",
                "{} >&-": "write error: Bad file descriptor",
                "{} >/dev/full": "write error: No space left on device"}
        for program in PROGRAMS:
            for script, reason in ways.items():
                with self.subTest(program=program, script=script):
                    self.assertFails(script.format(program), program, reason)

    def test_a_thread_that_cannot_start_ends_the_program(self):
        # glibc tries clone3 first and falls back to clone; when=2 lets the first worker
        # start and fails the second, which must not be joined.
        for program in PROGRAMS:
            for worker in (1, 2):
                with self.subTest(program=program, failing_worker=worker):
                    when = RUNTIME_THREADS + worker
                    self.assertFails(
                        strace("clone3:error=ENOSYS", f"clone:error=EAGAIN:when={when}") +
                        f" {program} >/dev/null", program,
                        "cannot start thread: Resource temporarily unavailable")

    def test_a_thread_start_is_reported_with_pthread_create_s_own_error(self):
        # Every thread stack's mmap (the only mapping made with MAP_STACK) fails with ENOMEM:
        # pthread_create then returns EAGAIN, while errno is left at ENOMEM. The diagnostic
        # must give the code that pthread_create returned.
        map_stack = 0x20000  # MAP_STACK of <sys/mman.h>, the same on every Linux target
        for program in PROGRAMS:
            with self.subTest(program=program):
                done = sh(f"{program} >/dev/null", timeout=10, preexec_fn=fail_with(
                    "mmap", map_stack, errno.ENOMEM, argument=3, mask=map_stack))
                self.assertEqual((done.returncode, done.stderr),
                                 (1, f"{program}: cannot start thread: "
                                     f"{os.strerror(errno.EAGAIN)}\n"))


if __name__ == "__main__":
    main()
