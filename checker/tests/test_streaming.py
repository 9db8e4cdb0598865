"""tallycheck on traces split anywhere across its reads, on long runs through every turn of
the digits, and the rows of --breaks and --runs."""

import os
import re
import tempfile
import unittest

from checking import check, check_each, consistent_trace
from harness import main, sh, strace

class Streaming(unittest.TestCase):
    def test_lines_split_across_reads_are_joined(self):
        for count, chunk in ((300, 1), (3000, 7), (3000, 4096)):
            trace, last = consistent_trace(count)
            with self.subTest(chunk=chunk):
                status, out, _ = check(trace, chunk=chunk)
                self.assertEqual(status, 0, out)
                self.assertIn(f"lines: {count} (Inc {count * 2 // 3}, Dec {count // 3})\n", out)
                self.assertIn(f"last value: {last}\n", out)

    def test_long_runs_through_every_turn_of_the_digits(self):
        # A long run is followed by predicting each next line's text, stepped on like an
        # odometer from the run's second line to wherever the hundreds digit, the length or
        # the sign must change. Each run below is cut at every line and followed by a line
        # that an odometer a step wrong would take (see wrong_steps). Each cut is a file of
        # its own, read whole, so the odometer meets that line after as many carries as the
        # run has made since its last such change. Lines of 16 bytes are predicted, of 17 not.
        traces = []
        for label, start, count in (("Inc", 1, 125), ("Dec", 125, 150), ("Inc", -125, 130),
                                    ("Inc", 2147483630, 20), ("Dec", -2147483630, 20),
                                    ("Inc", 999999970, 35), ("Dec", 1000000029, 35),
                                    ("Dec", -999999970, 45), ("Inc", -1000000039, 45)):
            lines = run(label, start, count).splitlines(keepends=True)
            traces.append(b"".join(lines))
            traces += [b"".join(lines[:cut]) + wrong + b"\n" for cut in range(2, count)
                       for wrong in wrong_steps(lines[cut - 1][:-1], lines[cut][:-1])]
        status, summaries = check_each(traces)
        self.assertEqual(status, 2)
        for trace, summary in zip(traces, summaries):
            for part in reference_summary(trace):
                self.assertIn(part, summary, trace[-60:])

    def test_a_long_run_cut_by_reads_anywhere(self):
        # A run followed across reads: cut in the middle of a line, and exactly at a line's
        # end, with a break and a change of label right after the cut.
        lines = run("Inc", 1, 40)
        for tail in (b"Inc: 42\n", b"Dec: 39\n", b"Inc: 41\n"):
            trace = lines + tail + run(tail[:3].decode(), int(tail[5:]) + (1 if tail[0] == 73 else -1), 20)
            whole = check(trace)
            for chunk in (len(lines), len(lines) - 3, len(lines) + 3):
                with self.subTest(tail=tail, chunk=chunk):
                    self.assertEqual(check(trace, chunk=chunk), whole)
            self.assertIn("lines: 61 ", whole[1])

    def test_an_interrupted_read_is_retried_and_a_failed_one_reported(self):
        trace, last = consistent_trace(40_000)  # more than one read
        with tempfile.TemporaryDirectory() as folder:
            name = os.path.join(folder, "trace")
            with open(name, "wb") as file:
                file.write(trace)
            # LeakSanitizer cannot run under ptrace, so a sanitizer build goes without it here.
            def failing(injection):
                return (f"ASAN_OPTIONS=detect_leaks=0 {strace(injection)} -P {name} "
                        f"tallycheck {name}")
            # Every other read of the file fails with EINTR, the one that finds its end too.
            done = sh(failing("read:error=EINTR:when=1+2"))
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            self.assertIn(f"lines: 40000 (Inc 26666, Dec 13334)\nbreaks: 0\nmalformed: 0\n"
                          f"tail: complete\nlast value: {last}\n", done.stdout)
            # The second read fails: what the first brought is summarised, and not called
            # consistent. Its unfinished last line is the tail it would be at an end.
            *lines, tail = trace[:256 * 1024].split(b"\n")  # the checker reads 256 KiB
            done = sh(failing("read:error=EIO:when=2"))
            self.assertEqual((done.returncode, done.stderr),
                             (2, f'tallycheck: "{name}": Input/output error\n'))
            self.assertIn(f"\nlines: {len(lines)} (", done.stdout)
            self.assertIn(f'\ntail: truncated, line {len(lines) + 1}: "{tail.decode()}"\n',
                          done.stdout)
            self.assertTrue(done.stdout.endswith("\nverdict: read error\n"), done.stdout)

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


def run(label, start, count):
    """A run of `count` lines with this label from the value `start`, wrapping at the limits."""
    step = 1 if label == "Inc" else -1
    values = ((start + step * i + 2**31) % 2**32 - 2**31 for i in range(count))
    return "".join(f"{label}: {value}\n" for value in values).encode()


def wrong_steps(line, right):
    """The texts that an odometer a step wrong would predict after `line`, where `right` is
    the true next line: `line` with its last digit moved by 0, 1 or 9 either way and its
    tens digit by 0 or 1 either way, as a step or a carry does; and `right` running on by a
    byte, as where too few bytes are compared."""
    wrong = {right + b"x"}
    for last in (-9, -1, 0, 1, 9):
        for tens in (-1, 0, 1):
            text = bytearray(line)
            text[-1] += last
            text[-2] += tens
            wrong.add(bytes(text))
    return sorted(wrong - {right})


def reference_summary(trace):
    """What tallycheck's summary must say of a trace, worked out line by line."""
    incs = decs = breaks = malformed = last = 0
    for line in trace.splitlines():
        parsed = re.fullmatch(rb"(Inc|Dec): (0|-?[1-9][0-9]{0,9})", line)
        if not parsed or not -2**31 <= int(parsed[2]) < 2**31:
            malformed += 1
            continue
        up, value = parsed[1] == b"Inc", int(parsed[2])
        breaks += value != (last + (1 if up else -1) + 2**31) % 2**32 - 2**31
        incs, decs, last = incs + up, decs + (not up), value
    return (f"lines: {incs + decs + malformed} (Inc {incs}, Dec {decs})\nbreaks: {breaks}",
            f"\nmalformed: {malformed}", f"\nlast value: {last}\n")


def runs_trace(lengths):
    """A consistent trace of runs of these lengths, Inc first."""
    lines, value = [], 0
    for run, length in enumerate(lengths):
        step, label = (1, "Inc") if run % 2 == 0 else (-1, "Dec")
        for _ in range(length):
            value += step
            lines.append(f"{label}: {value}\n")
    return "".join(lines).encode()


def without_detail(out):
    """The summary with the rows of --breaks and --runs and their headers taken out."""
    return re.sub(r"^(line\tlabel|from\tto|\d+\t).*\n", "", out, flags=re.M)


class Detail(unittest.TestCase):
    """--breaks and --runs: rows a script or a plot reads, around an unchanged summary."""

    def test_a_row_for_every_break_as_the_trace_is_read(self):
        # A report printed late (Inc 0 to 1 reported after Dec 1 to 0): the drift goes away
        # and comes back. A lost update (Inc loads -1, Dec makes -2 and -3, Inc stores 0):
        # the drift stays. Then the counter wraps, in one step and in a break.
        trace = (b"Dec: 0\nInc: 1\nDec: -1\n" b"Dec: -2\nDec: -3\nInc: 0\nInc: 1\n"
                 b"Inc: 2147483647\nInc: -2147483648\nDec: 2147483647\nDec: -2147483648\n")
        rows = ["line\tlabel\tvalue\texpected\tdrift",
                "1\tDec\t0\t-1\t1", "3\tDec\t-1\t0\t0", "6\tInc\t0\t-2\t2",
                "8\tInc\t2147483647\t2\t2147483647",
                "11\tDec\t-2147483648\t2147483646\t-2147483647"]
        plain = check(trace)
        self.assertEqual(plain[0], 1)
        for chunk in (None, 5, 13):  # lines cut across reads, the breaking ones too
            with self.subTest(chunk=chunk):
                status, out, _ = check(trace, "--breaks", chunk=chunk)
                self.assertEqual(status, 1)
                self.assertEqual(out.splitlines()[:len(rows)], rows)
                self.assertEqual(out[out.index("lines: "):], plain[1])
        self.assertEqual(check(b"Inc: 1\n", "--breaks")[1].splitlines()[:2],
                         [rows[0], "lines: 1 (Inc 1, Dec 0)"])

    def test_runs_by_length_in_powers_of_two(self):
        # Runs of 1, 3, 2, 8 and 1 lines, a malformed line inside the run of 8, and a run of
        # 70,000 lines that spans reads.
        trace = runs_trace([1, 3, 2, 8, 1, 70_000])
        cut = trace.index(b"Dec: ", 20)
        trace = trace[:cut] + b"bad\n" + trace[cut:]
        status, out, _ = check(trace, "--runs")
        self.assertEqual(status, 2)
        table = out[out.index("\nruns: ") + 1:].splitlines()
        total = 70_015
        self.assertEqual(table[0], "runs: 6, mean length 11669.2, longest 70000 Dec from line 17")
        self.assertEqual(table[1], "from\tto\truns\tlines\tshare")
        expected = {0: (2, 2), 1: (2, 5), 3: (1, 8), 16: (1, 70_000)}
        for k, row in enumerate(table[2:-1]):
            runs, lines = expected.get(k, (0, 0))
            self.assertEqual(row, f"{2 ** k}\t{2 ** (k + 1) - 1}\t{runs}\t{lines}\t"
                                  f"{lines / total:.4f}")
        self.assertEqual(len(table), 2 + 17 + 1)
        self.assertEqual(table[-1], "verdict: malformed")
        self.assertTrue(check(b"", "--runs")[1].endswith(
            "\nruns: 0\nfrom\tto\truns\tlines\tshare\nverdict: empty\n"))

    def test_options_together_leave_the_summary_as_it_is(self):
        trace, _ = consistent_trace(2000)
        trace = trace.replace(b"Inc: 300\n", b"Inc: 299\n").replace(b"Dec: 500\n", b"Dec: 5\n")
        with tempfile.TemporaryDirectory() as folder:
            name = os.path.join(folder, "trace")
            with open(name, "wb") as file:
                file.write(trace)
            plain = check(b"", "-C", "2", name, "-")
            status, out, _ = check(b"", "--runs", name, "--breaks", "-C", "2", "-")
            self.assertEqual(status, plain[0])
            self.assertEqual(without_detail(out), plain[1])
            self.assertEqual(out.count("line\tlabel"), 2)
            self.assertEqual(out.count("from\tto"), 2)
            breaks = sum(int(count) for count in re.findall(r"^breaks: (\d+)", out, re.M))
            self.assertEqual(len(re.findall(r"^\d+\t(Inc|Dec)\t", out, re.M)), breaks)
            self.assertGreater(breaks, 0)


if __name__ == "__main__":
    main()
