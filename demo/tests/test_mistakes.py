"""The two classic mistakes as a learner meets them: right on a terminal, wrong through a
pipe, because only a terminal makes the stream write each line as it is printed."""

import unittest

from harness import main, on_terminal, sh, still_folder


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


if __name__ == "__main__":
    main()
