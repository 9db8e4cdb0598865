"""The two classic mistakes as a learner meets them: right on a terminal, wrong through a
pipe, because only a terminal makes the stream write each line as it is printed."""

import os
import subprocess
import time
import unittest

from harness import BIN, ENV, end_session, main, on_terminal, require, sh, still_folder


def fill(pipe):
    """Fills the pipe whose writing end is given until no byte more fits; returns how many
    went in."""
    os.set_blocking(pipe, False)
    written = 0
    for size in (65536, 1):  # whole pages, then whatever room the last one has left
        try:
            while True:
                written += os.write(pipe, b"x" * size)
        except BlockingIOError:
            pass
    os.set_blocking(pipe, True)
    return written


class Mistakes(unittest.TestCase):
    def test_exec_without_a_flush_loses_the_line_in_a_pipe(self):
        folder, listing = still_folder(self)
        done = sh("execdropsline | cat", cwd=folder)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, listing, ""))
        out, _, status = on_terminal(["execdropsline"], cwd=folder)
        self.assertEqual(status, 0)
        self.assertEqual(out.decode(), "Before exec\r\n" + listing.replace("\n", "\r\n"))

    def test_fork_after_a_print_doubles_the_line_in_a_pipe(self):
        done = sh("forkdoublesline | cat")
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (0, "Before fork\nBefore fork\n", ""))
        out, _, status = on_terminal(["forkdoublesline"])
        self.assertEqual((status, out), (0, b"Before fork\r\n"))

    def test_the_parent_waits_until_the_child_s_copy_is_out(self):
        # Standard output is a pipe with no room left, so the first copy of the line, the
        # child's, cannot go out. The parent must then be waiting for its child in wait4,
        # not writing its own copy nor ended: both copies are out before the parent ends,
        # and so before a shell's next prompt. /proc shows the call a process sleeps in.
        seccomp = require("python3:seccomp", "python3-seccomp")
        wait4, write = (seccomp.resolve_syscall(seccomp.Arch.NATIVE, name)
                        for name in ("wait4", "write"))
        reader, writer = os.pipe()
        self.addCleanup(os.close, reader)
        filled = fill(writer)
        parent = subprocess.Popen([os.path.join(BIN, "forkdoublesline")], stdout=writer,
                                  stderr=subprocess.PIPE, env=ENV, start_new_session=True)
        os.close(writer)
        # Should the test fail while a copy is held, the processes are killed, then collected.
        self.addCleanup(parent.stderr.close)
        self.addCleanup(parent.wait)
        self.addCleanup(end_session, parent.pid)
        with open(f"/proc/{parent.pid}/syscall", encoding="ascii") as proc:
            deadline = time.monotonic() + 60
            while (call := proc.read().split()[0]) not in (str(wait4), str(write)):
                self.assertLess(time.monotonic(), deadline, f"the parent is in {call}")
                time.sleep(0.01)
                proc.seek(0)
        self.assertEqual(int(call), wait4, "the parent writes before its child's copy is out")
        out = b""
        while chunk := os.read(reader, 65536):
            out += chunk
        self.assertEqual((parent.wait(), parent.stderr.read()), (0, b""))
        self.assertEqual(out[filled:], b"Before fork\nBefore fork\n")


if __name__ == "__main__":
    main()
