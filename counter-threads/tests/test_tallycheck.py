"""tallycheck on crafted traces: every verdict and status, lines split anywhere, and the
failures of its own input and output."""

import os
import subprocess
import tempfile
import unittest

from harness import BIN, sh

TALLYCHECK = os.path.join(BIN, "tallycheck")


def check(trace, *operands, chunk=None):
    """Feeds trace to tallycheck's standard input, in writes of `chunk` bytes if given."""
    process = subprocess.Popen([TALLYCHECK, *operands], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    step = chunk or len(trace) or 1
    for start in range(0, len(trace), step):
        process.stdin.write(trace[start:start + step])
        process.stdin.flush()
    out, err = process.communicate()
    return process.returncode, out.decode(), err.decode()


def consistent_trace(count):
    lines, value = [], 0
    for i in range(count):
        value += 1 if i % 3 else -1
        lines.append(f"{'Inc' if i % 3 else 'Dec'}: {value}\n")
    return "".join(lines).encode(), value


class Verdicts(unittest.TestCase):
    def test_consistent_trace(self):
        status, out, _ = check(b"Dec: -1\nInc: 0\nInc: 1\nDec: 0\n")
        self.assertEqual(status, 0)
        self.assertEqual(out, "lines: 4 (Inc 2, Dec 2)\nbreaks: 0\nmalformed: 0\n"
                              "tail: complete\nlast value: 0\nverdict: consistent\n")

    def test_breaks_are_counted_and_the_first_quoted(self):
        status, out, _ = check(b"Inc: 1\nInc: 3\nDec: 2\nDec: 5\n")
        self.assertEqual(status, 1)
        self.assertIn('breaks: 2, first at line 2: "Inc: 3"\n', out)
        self.assertIn("verdict: inconsistent\n", out)

    def test_steps_wrap_at_both_limits(self):
        status, out, _ = check(b"Inc: 1\nInc: 2147483647\nInc: -2147483648\nDec: 2147483647\n")
        self.assertEqual(status, 1)
        self.assertIn("breaks: 1, first at line 2", out)
        self.assertIn("last value: 2147483647\n", out)

    def test_lines_not_exactly_as_printed_are_malformed(self):
        for line in (b"Inc: 01", b"Inc: +1", b"Inc:  1", b"inc: 1", b"Inc: 1 ", b"Inc:1",
                     b"Inc: -0", b"Inc: ", b"Inc: 1\r", b"", b"Inc: 2147483648",
                     b"Dec: -2147483649", b"Inc: 12345678901", b"Tic: 1", b"\x00\xff"):
            with self.subTest(line=line):
                status, out, _ = check(b"Inc: 1\n" + line + b"\nInc: 2\n")
                self.assertEqual(status, 2, out)
                self.assertIn("malformed: 1, first at line 2", out)
                self.assertIn("breaks: 0\n", out)  # the next step is checked against line 1

    def test_extreme_values_are_well_formed(self):
        status, out, _ = check(b"Dec: -2147483648\nInc: 2147483647\n")
        self.assertEqual(status, 1)
        self.assertIn("malformed: 0\n", out)

    def test_quotes_are_escaped_and_cut(self):
        status, out, _ = check(b'Inc: "\\\x1b' + b"x" * 100 + b"\n")
        self.assertEqual(status, 2)
        self.assertIn('first at line 1: "Inc: \\"\\\\\\x1b' + "x" * 32 + '"...\n', out)

    def test_unterminated_last_line_is_a_truncated_tail(self):
        status, out, _ = check(b"Inc: 1\nInc: 2\nIn")
        self.assertEqual(status, 0)
        self.assertIn('tail: truncated, line 3: "In"\n', out)
        self.assertIn("lines: 2 ", out)

    def test_empty_input_is_consistent(self):
        self.assertEqual(check(b"")[:2], (0, "lines: 0 (Inc 0, Dec 0)\nbreaks: 0\nmalformed: 0\n"
                                             "tail: complete\nlast value: 0\n"
                                             "verdict: consistent\n"))


class Streaming(unittest.TestCase):
    def test_lines_split_across_reads_are_joined(self):
        trace, last = consistent_trace(3000)
        for chunk in (1, 7, 4096):
            with self.subTest(chunk=chunk):
                status, out, _ = check(trace, chunk=chunk)
                self.assertEqual(status, 0, out)
                self.assertIn("lines: 3000 (Inc 2000, Dec 1000)\n", out)
                self.assertIn(f"last value: {last}\n", out)

    def test_large_trace_and_overlong_lines(self):
        trace, last = consistent_trace(1_000_000)
        overlong = b"x" * 1_000_000 + b"\n"
        # An unterminated last line longer than any report line is malformed, not a tail.
        status, out, _ = check(trace + overlong + b"Inc: %d\n" % (last + 1) + overlong[:50])
        self.assertEqual(status, 2)
        self.assertIn("lines: 1000003 ", out)
        self.assertIn("malformed: 2, first at line 1000001", out)
        self.assertIn("breaks: 0\n", out)
        self.assertIn("tail: complete\n", out)


class Operands(unittest.TestCase):
    def test_each_operand_is_its_own_trace_and_the_worst_status_wins(self):
        with tempfile.TemporaryDirectory() as folder:
            good, broken = os.path.join(folder, "good"), os.path.join(folder, "broken")
            with open(good, "wb") as file:
                file.write(b"Inc: 1\n")
            with open(broken, "wb") as file:
                file.write(b"Inc: 1\nInc: 5\n")
            status, out, err = check(b"Dec: -1\n", good, "-", broken)
            self.assertEqual(status, 1)
            self.assertEqual(out.count("verdict: consistent"), 2)
            self.assertIn(f"trace: {broken}\nlines: 2 (Inc 2, Dec 0)\nbreaks: 1", out)
            self.assertIn("trace: -\nlines: 1 (Inc 0, Dec 1)", out)
            status, out, err = check(b"", good, os.path.join(folder, "missing"), folder)
            self.assertEqual(status, 2)
            self.assertEqual(err, f"tallycheck: {folder}/missing: No such file or directory\n"
                                  f"tallycheck: {folder}: Is a directory\n")
            self.assertIn(f"trace: {folder}\nlines: 0", out)
            self.assertIn("verdict: read error", out)

    def test_write_error_is_reported(self):
        for redirect, reason in ((">/dev/full", "No space left on device"),
                                 (">&-", "Bad file descriptor")):
            with self.subTest(redirect=redirect):
                done = sh(f"echo 'Inc: 1' | tallycheck {redirect}")
                self.assertEqual((done.returncode, done.stderr),
                                 (2, f"tallycheck: write error: {reason}\n"))


if __name__ == "__main__":
    unittest.main()
