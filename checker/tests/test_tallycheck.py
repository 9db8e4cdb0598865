"""tallycheck on crafted traces: every verdict and status, what the summary explains, its
command line and operands, and the failures of its own input and output."""

import os
import re
import tempfile
import unittest

from checking import check, check_each, consistent_trace
from harness import main, sh


class Verdicts(unittest.TestCase):
    def test_consistent_trace(self):
        status, out, _ = check(b"Dec: -1\nInc: 0\nInc: 1\nDec: 0\n")
        self.assertEqual(status, 0)
        self.assertEqual(out, "lines: 4 (Inc 2, Dec 2)\nbreaks: 0\nmalformed: 0\n"
                              "tail: complete\nlast value: 0\ndrift: 0 (no change lost, net)\n"
                              "runs: 3, mean length 1.3, longest 2 Inc from line 2\n"
                              "verdict: consistent\n")

    def test_every_verdict_with_its_exit_status(self):
        # A trace both malformed and broken is malformed, in the verdict and the status alike.
        # A read error is tried where the reads are counted, with the long traces.
        for trace, verdict, status in ((b"Inc: 2\n", "inconsistent", 1),
                                       (b"Inc: 1\nbad\n", "malformed", 2),
                                       (b"Inc: 3\nbad\nInc: 5\n", "malformed", 2),
                                       (b"bad\nInc: 3\n", "malformed", 2),
                                       (b"In", "empty", 2), (b"Inc: 1\nIn", "consistent", 0)):
            with self.subTest(trace=trace):
                done = check(trace)
                self.assertEqual((done[0], re.findall(r"^verdict: (.*)", done[1], re.M)),
                                 (status, [verdict]))

    def test_breaks_are_counted_and_the_first_quoted(self):
        out = check(b"Inc: 1\nInc: 3\nDec: 2\nDec: 5\n")[1]
        self.assertIn('breaks: 2, first at line 2: "Inc: 3"\n', out)

    def test_steps_wrap_at_both_limits(self):
        status, out, _ = check(b"Inc: 1\nInc: 2147483647\nInc: -2147483648\nDec: 2147483647\n")
        self.assertEqual(status, 1)
        self.assertIn("breaks: 1, first at line 2", out)
        self.assertIn("last value: 2147483647\n", out)

    def test_lines_not_exactly_as_printed_are_malformed(self):
        for line in (b"Inc: 01", b"Inc: +1", b"Inc:  1", b"inc: 1", b"Inc: 1 ", b"Inc:1",
                     b"Inc: -0", b"Inc: ", b"Inc: 1\r", b"", b"Inc: 2147483648",
                     b"Dec: -2147483649", b"Inc: 12345678901", b"Tic: 1", b"\x00\xff",
                     # 2 + 2**32 and 2 + 2**64: a magnitude that wraps would read as 2
                     b"Inc: 4294967298", b"Inc: 18446744073709551618"):
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
        status, out, _ = check(b'Inc: "\\\x1b\x7f' + b"x" * 100 + b"\n")
        self.assertEqual(status, 2)
        self.assertIn('first at line 1: "Inc: \\"\\\\\\x1b\\x7f' + "x" * 31 + '"...\n', out)

    def test_a_quote_is_the_first_40_bytes_of_the_whole_line(self):
        # The line arrives in two reads; "..." only where the line goes on past 40 bytes.
        for first, rest, quote in ((b"x" * 20, b"y" * 30, "x" * 20 + "y" * 20 + '"...'),
                                   (b"x" * 20, b"y" * 20, "x" * 20 + "y" * 20 + '"'),
                                   (b"x" * 39, b"yz", "x" * 39 + 'y"...')):
            with self.subTest(length=len(first + rest)):
                out = check(b"Inc: 1\n" + first + rest + b"\nDec: 0\n", chunk=7 + len(first))[1]
                self.assertIn(f'malformed: 1, first at line 2: "{quote}\n', out)

    def test_unterminated_last_line_of_up_to_17_bytes_is_a_truncated_tail(self):
        # The longest report line, "Dec: -2147483648\n", is 17 bytes: an unfinished last line
        # no longer than that is one cut short, a longer one is malformed.
        for tail in (b"In", b"Dec: -21474836480"):
            with self.subTest(tail=tail):
                status, out, _ = check(b"Inc: 1\nInc: 2\n" + tail)
                self.assertEqual(status, 0)
                self.assertIn(f'lines: 2 (Inc 2, Dec 0)\nbreaks: 0\nmalformed: 0\n'
                              f'tail: truncated, line 3: "{tail.decode()}"\n', out)
        status, out, _ = check(b"Inc: 1\nInc: 2\nDec: -214748364800")
        self.assertEqual(status, 2)
        self.assertIn('lines: 3 (Inc 2, Dec 0)\nbreaks: 0\nmalformed: 1, first at line 3: '
                      '"Dec: -214748364800"\ntail: complete\n', out)

    def test_a_trace_without_a_complete_line_is_empty_not_consistent(self):
        for trace in (b"", b"In"):
            with self.subTest(trace=trace):
                status, out, _ = check(trace)
                self.assertEqual(status, 2)
                self.assertTrue(out.startswith("lines: 0 (Inc 0, Dec 0)\nbreaks: 0\n"), out)
                self.assertTrue(out.endswith("runs: 0\nverdict: empty\n"), out)
        self.assertEqual(sh("gaurdtally 2>/dev/null | tallycheck").returncode, 2)


class Explanations(unittest.TestCase):
    """Drift tells lost changes from late reports; runs show who held the counter."""

    def test_drift_counts_lost_changes_net_with_wrap_around(self):
        lost_inc = "drift: -1 (lost changes, net: 1 more Inc than Dec"
        for trace, drift in ((b"Inc: 1\nInc: 1\n", lost_inc),
                             (b"Dec: -1\nDec: -1\n", "drift: 1 (lost changes, net: 1 more Dec"),
                             (b"Inc: 1\nInc: 1\nDec: 0\nDec: 0\n", "drift: 0 (no change lost"),
                             # both reports loaded after both changes: breaks, nothing lost
                             (b"Inc: 2\nInc: 2\nDec: 1\n", "drift: 0 ("),
                             (b"Inc: -2147483648\n", "drift: 2147483647 (lost changes, net: "
                                                     "2147483647 more Dec"),
                             (b"Dec: 2147483647\n", "drift: -2147483648 (lost changes, net: "
                                                    "2147483648 more Inc")):
            with self.subTest(trace=trace):
                self.assertIn("\n" + drift, check(trace)[1])

    def test_runs_of_one_label_skip_malformed_lines(self):
        status, out, _ = check(b"Inc: 1\nInc: 2\nbad\nInc: 3\nDec: 2\nDec: 1\nDec: 0\n"
                               b"Dec: -1\nInc: 0\nInc: 1\nInc: 2\nInc: 3\n")
        self.assertEqual(status, 2)
        self.assertIn("\nruns: 3, mean length 3.7, longest 4 Dec from line 5\n", out)

    def test_context_around_the_first_break_wherever_it_falls(self):
        trace, _ = consistent_trace(400)
        lines = trace.splitlines(keepends=True)
        lines[199] = b"Inc: 999999\n"
        lines[200] = b"x" * 100 + b"\n"  # quoted cut, with its number kept
        middle, last = b"".join(lines), trace + b"Dec: 7\n"
        for name, trace, radius, chunk, expected in (
                ("middle", middle, 2, None, range(198, 203)),
                ("middle in one-byte reads", middle, 3, 1, range(197, 204)),
                ("middle in seven-byte reads", middle, 2, 7, range(198, 203)),
                ("last line", last, 2, None, range(399, 402)),
                ("none around", last, 0, None, range(401, 402))):
            with self.subTest(name=name):
                self.assert_context(check(trace, "-C", str(radius), chunk=chunk)[1], trace,
                                    expected)
        # A break at every line up to past the radius, where fewer lines come before it.
        lines = consistent_trace(12)[0].splitlines(keepends=True)
        traces = [b"".join(lines[:at - 1] + [b"Dec: 7\n"] + lines[at - 1:]) for at in range(1, 7)]
        for at, (trace, out) in enumerate(zip(traces, check_each(traces, "-C", "4")[1]), 1):
            with self.subTest(at=at):
                self.assert_context(out, trace, range(max(1, at - 4), at + 5))
        self.assertNotIn("> ", check(b"Inc: 1\n", "-C", "3")[1])

    def assert_context(self, out, trace, expected):
        """The context in `out` shows the lines of `trace` numbered as `expected`, the first
        break marked."""
        context = re.findall(r"^(?:  |> )line (\d+): (.*)$", out, re.M)
        self.assertEqual([int(number) for number, _ in context], list(expected), out)
        numbered = trace.splitlines()
        for number, quoted in context:
            text = numbered[int(number) - 1].decode()
            self.assertEqual(quoted, f'"{text[:40]}"' + ("..." if len(text) > 40 else ""))
        breaking = re.search(r"^> line (\d+):", out, re.M).group(1)
        self.assertRegex(out, rf"breaks: \d+, first at line {breaking}:")


class Operands(unittest.TestCase):
    def test_each_operand_is_its_own_trace_and_the_worst_status_wins(self):
        with tempfile.TemporaryDirectory() as folder:
            good, broken = os.path.join(folder, "good"), os.path.join(folder, "broken")
            with open(good, "wb") as file:
                file.write(b"Inc: 1\n")
            with open(broken, "wb") as file:
                file.write(b"Inc: 1\nInc: 5\n")
            status, out, err = check(b"Dec: -1\n", broken, "-", good)
            self.assertEqual(status, 1)
            self.assertEqual(out.count("verdict: consistent"), 2)
            self.assertIn(f'trace: "{broken}"\nlines: 2 (Inc 2, Dec 0)\nbreaks: 1', out)
            self.assertIn('trace: "-"\nlines: 1 (Inc 0, Dec 1)', out)
            status, out, err = check(b"", os.path.join(folder, "missing"), folder, good)
            self.assertEqual(status, 2)
            self.assertEqual(err, f'tallycheck: "{folder}/missing": No such file or directory\n'
                                  f'tallycheck: "{folder}": Is a directory\n')
            self.assertIn(f'trace: "{folder}"\nlines: 0', out)
            self.assertIn("verdict: read error", out)

    def test_nothing_of_one_trace_carries_into_the_next(self):
        # An unfinished overlong line, whose rest would be skipped, and a tail that would be
        # joined to what follows, each end with their trace.
        with tempfile.TemporaryDirectory() as folder:
            files = {"overlong": b"Inc: 1\n" + b"x" * 100, "tail": b"Inc: 1\nInc: ",
                     "next": b"Dec: -1\n"}
            for name, text in files.items():
                with open(os.path.join(folder, name), "wb") as file:
                    file.write(text)
            overlong, tail, after = (os.path.join(folder, name) for name in files)
            status, out, _ = check(b"", overlong, after, tail, after)
            self.assertEqual(status, 2)
            summaries = out.split("trace: ")
            self.assertEqual(summaries[2], summaries[4])
            self.assertTrue(summaries[2].startswith(f'"{after}"\nlines: 1 (Inc 0, Dec 1)\n'
                                                    'breaks: 0\nmalformed: 0\ntail: complete\n'),
                            out)
            self.assertTrue(summaries[4].endswith("verdict: consistent\n"), out)

    def test_more_operands_than_open_files_are_all_read(self):
        # Each operand's file is closed before the next is opened: with 64 descriptors
        # allowed, 200 operands are each read whole.
        with tempfile.TemporaryDirectory() as folder:
            names = [str(number) for number in range(200)]
            for name in names:
                with open(os.path.join(folder, name), "wb") as file:
                    file.write(b"Inc: 1\nDec: 0\n")
            done = sh(f"ulimit -n 64 && tallycheck {' '.join(names)}", cwd=folder)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(re.findall(r'^trace: "(\d+)"\nlines: 2 \(Inc 1, Dec 1\)\n', done.stdout,
                                    re.M), names)
        self.assertEqual(done.stdout.count("\nverdict: consistent\n"), 200)

    def test_names_from_outside_are_quoted(self):
        with tempfile.TemporaryDirectory() as folder:
            name = os.path.join(folder, "evil\nverdict: consistent\x1b[2J")
            with open(name, "wb") as file:
                file.write(b"Inc: 1\nInc: 5\n")
            status, out, err = check(b"", name, name + "-missing")
            quoted = folder + '/evil\\x0averdict: consistent\\x1b[2J'
            self.assertEqual(status, 2)
            self.assertIn(f'trace: "{quoted}"\n', out)
            self.assertEqual(re.findall(r"^verdict: .*", out, re.M), ["verdict: inconsistent"])
            self.assertEqual(err, f'tallycheck: "{quoted}-missing": No such file or directory\n')

    def test_command_line_conventions(self):
        with open(os.path.join(os.environ["GLASSBOX_SOURCE"], "VERSION")) as version_file:
            version = version_file.read().strip()
        hint = "Try 'tallycheck --help' for more information.\n"
        for arguments, status, out, err in (
                (["--version"], 0, f"tallycheck (glassbox) {version}\n", ""),
                (["-x"], 2, "", "tallycheck: invalid option -- 'x'\n"),
                (["-\x1b"], 2, "", "tallycheck: invalid option -- '\\x1b'\n"),
                (["--bogus"], 2, "", "tallycheck: unrecognized option '--bogus'\n"),
                (["--help=x"], 2, "", "tallycheck: option '--help' does not allow an argument\n"),
                (["--vers=1"], 2, "", "tallycheck: option '--vers' does not allow an argument\n"),
                (["-C"], 2, "", "tallycheck: option requires an argument -- 'C'\n"),
                (["--context"], 2, "", "tallycheck: option '--context' requires an argument\n"),
                # N is digits only, and no more lines than can sensibly be kept
                *((["-C", count], 2, "", f"tallycheck: invalid context length: '{count}'\n")
                  for count in ("1x", " 1", "+1", "-1", "", "1000001", "18446744073709551617")),
                (["-C", "1000000"], 0, "", "")):
            with self.subTest(arguments=arguments):
                done = check(b"Inc: 1\n", *arguments)
                self.assertEqual(done[0], status)
                self.assertEqual(done[2], err + hint if status == 2 else err)
                if out or status == 2:
                    self.assertEqual(done[1], out)
        status, out, err = check(b"", "--help")
        self.assertEqual((status, err), (0, ""))
        self.assertRegex(out, r"^Usage: tallycheck \[-C N\] \[--runs\] \[--breaks\] \[FILE\]\.\.\.\n"
                              r"(.*\n)*  -C, --context=N ")
        self.assertRegex(out, r"\n      --  +end the options")
        self.assertTrue(out.endswith("\nExit status: 0 consistent, 1 some step breaks, 2 malformed "
                                     "or empty input,\nor a read, write or usage error.\n"), out)
        with tempfile.TemporaryDirectory() as folder:  # an operand that looks like an option
            with open(os.path.join(folder, "-C"), "wb") as file:
                file.write(b"Dec: -1\n")
            done = sh("tallycheck -- -C - <<<'Inc: 1'", cwd=folder)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertIn('trace: "-C"\nlines: 1 (Inc 0, Dec 1)', done.stdout)
            self.assertIn('trace: "-"\nlines: 1 (Inc 1, Dec 0)', done.stdout)

    def test_write_error_is_reported(self):
        for redirect, reason in ((">/dev/full", "No space left on device"),
                                 (">&-", "Bad file descriptor")):
            with self.subTest(redirect=redirect):
                done = sh(f"echo 'Inc: 1' | tallycheck {redirect}")
                self.assertEqual((done.returncode, done.stderr),
                                 (2, f"tallycheck: write error: {reason}\n"))


if __name__ == "__main__":
    main()
