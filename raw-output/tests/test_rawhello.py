"""rawhello: exactly ten bytes, in exactly two write calls, whatever standard output is."""

import os
import re
import signal
import subprocess
import tempfile
import unittest

from harness import BIN, main, on_terminal, require, sh

RAWHELLO = os.path.join(BIN, "rawhello")
# Every system call that could put bytes on a descriptor.
OUTPUT_CALLS = "write,writev,pwrite64,pwritev,pwritev2,sendto,sendmsg,sendfile,splice"


def traced(injection="", redirect=""):
    """Runs rawhello under strace, into a pipe unless redirected; returns the finished
    process and its output calls."""
    require("strace", "strace")
    with tempfile.NamedTemporaryFile("r") as trace:
        done = sh(f"strace -o {trace.name} -e trace={OUTPUT_CALLS} {injection} rawhello "
                  + redirect)
        calls = [re.sub(r"\)\s+=", ") =", line) for line in trace.read().splitlines()
                 if not line.startswith("+++")]
    return done, calls


class Output(unittest.TestCase):
    def test_ten_bytes_into_a_pipe_a_file_and_a_terminal(self):
        self.assertEqual(sh("rawhello").stdout, "HelloWorld")
        with tempfile.NamedTemporaryFile("rb") as file:
            self.assertEqual(sh(f"rawhello --help >{file.name}").returncode, 0)
            self.assertEqual(file.read(), b"HelloWorld")
        out, _, status = on_terminal([RAWHELLO])
        self.assertEqual((out, status), (b"HelloWorld", 0))

    def test_exactly_two_writes(self):
        done, calls = traced()
        self.assertEqual((done.stdout, calls), ("HelloWorld", ['write(1, "Hello", 5) = 5',
                                                             'write(1, "World", 5) = 5']))

    def test_short_and_interrupted_writes_are_continued(self):
        # A short count is injected without the call running, so "He" never goes out.
        done, calls = traced("-e inject=write:retval=2:when=1")
        self.assertEqual((done.stdout, calls[1:]), ("lloWorld", ['write(1, "llo", 3) = 3',
                                                         'write(1, "World", 5) = 5']))
        done, calls = traced("-e inject=write:error=EINTR:when=1")
        self.assertEqual((done.stdout, calls[1:]), ("HelloWorld", ['write(1, "Hello", 5) = 5',
                                                           'write(1, "World", 5) = 5']))


class Failures(unittest.TestCase):
    def test_failed_write_is_reported_and_the_second_word_not_tried(self):
        # A write that takes nothing of a non-empty request would repeat for ever; it means
        # there is no room.
        for injection, redirect, result, reason in (
                ("", ">/dev/full", "-1", "No space left on device"),
                ("", ">&-", "-1", "Bad file descriptor"),
                ("-e inject=write:retval=0:when=1", "", "0", "No space left on device")):
            with self.subTest(injection=injection, redirect=redirect):
                done, calls = traced(injection, redirect)
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (1, "", f"rawhello: write error: {reason}\n"))
                self.assertEqual(len(calls), 2)  # "Hello" and rawhello's own message
                self.assertTrue(calls[0].startswith(f'write(1, "Hello", 5) = {result}'), calls)

    def test_broken_pipe_with_sigpipe_ignored(self):
        reader, writer = os.pipe()
        os.close(reader)
        done = subprocess.run([RAWHELLO], stdout=writer, stderr=subprocess.PIPE, text=True,
                              preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN),
                              check=False)
        os.close(writer)
        self.assertEqual((done.returncode, done.stderr), (1, "rawhello: write error: Broken pipe\n"))


if __name__ == "__main__":
    main()
