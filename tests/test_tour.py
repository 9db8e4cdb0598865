"""The tour as a reader runs it: every step ends by itself, and the second act shows the
race and the hand-off by placement and the system calls beneath each program."""

import os
import re
import shutil
import unittest

from harness import BIN, sh


class Tour(unittest.TestCase):
    @unittest.skipUnless(shutil.which("strace") and os.access("/usr/bin/time", os.X_OK),
                         "the second act needs strace and /usr/bin/time (Debian: strace, time)")
    def test_second_act_shows_each_cause_and_the_calls_beneath(self):
        # strace writes its excerpts to standard error, which a reader sees in line.
        done = sh(f"{os.environ['GLASSBOX_SOURCE']}/tour.sh {BIN} 2>&1", timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertNotRegex(done.stdout, r"(?i)not found|no such file|cannot|failed")
        act = done.stdout.split("=== Act two")[1]
        placements = r"\$ taskset -c 0 {0}.*\n(.*\n)+\$ {0}"
        # The race: breaks and drift, on one core and then on every core.
        self.assertRegex(act, placements.format("loosetally"))
        self.assertEqual(len(re.findall(r"^breaks: \d+.*\ndrift: -?\d+ ", act, re.M)), 2, act)
        # The hand-off: a rate and the context switches behind it, twice.
        self.assertRegex(act, placements.format("guardtally"))
        self.assertEqual(len(re.findall(r"^[\d.]+ M lines/s; per 1,000 lines, [\d.]+ voluntary "
                                        r"and [\d.]+ involuntary", act, re.M)), 2, act)

        spawn, swap, raw = re.split(r"\n== \w+ beneath", act)[1:]
        # Each excerpt line is "PROGRAM.PID:call", from one file of strace -ff a process.
        parent = re.search(r"^spawnlist\.(\d+):clone3?\(.* = (\d+)$", spawn, re.M)
        self.assertIsNotNone(parent, spawn)
        self.assertRegex(spawn, rf'(?m)^spawnlist\.{parent[2]}:execve\("/bin/ls", '
                                r'\["/bin/ls", "-a", "-l"\]')
        self.assertRegex(spawn, rf'(?m)^spawnlist\.{parent[1]}:write\(1, "Parent: \\n", 9\) += 9$')
        self.assertRegex(spawn, rf"(?m)^spawnlist\.{parent[1]}:exit_group\(0\)")
        self.assertNotRegex(spawn, r"(?m)^spawnlist\.\d+:wait4")
        self.assertEqual(len(set(re.findall(r"^spawnlist\.(\d+):", spawn, re.M))), 2)
        self.assertRegex(swap, r'(?m)^swaplist\.(\d+):write\(1, "Before exec\\n", 12\) += 12\n'
                               r'swaplist\.\1:execve\("/bin/ls"')
        self.assertEqual(len(set(re.findall(r"^swaplist\.(\d+):", swap, re.M))), 1)
        self.assertEqual(re.findall(r"^write\(1, (.*)\)", raw, re.M), ['"Hello", 5', '"World", 5'])
        # The first act's unguarded trace shows its first break in context, when it breaks.
        self.assertRegex(done.stdout, r"\n(breaks: 0\n|breaks: \d+, first .*\n(  line .*\n)*> line )")

    def test_command_line(self):
        tour = f"{os.environ['GLASSBOX_SOURCE']}/tour.sh"
        version = sh(f"{tour} --version")
        self.assertRegex(version.stdout, r"^tour\.sh \(glassbox\) \d+\.\d+\.\d+\n$")
        self.assertEqual(version.stdout.split()[-1], sh("tallycheck --version").stdout.split()[-1])
        for arguments, message in (("-x", "invalid option -x"),
                                   ("$'-\\e'", "invalid option $'-\\E'"),
                                   ("", "expected one operand, the folder of the built programs")):
            with self.subTest(arguments=arguments):
                done = sh(f"{tour} {arguments}")
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertEqual(done.stderr, f"tour.sh: {message}\n"
                                              "Try 'tour.sh --help' for more information.\n")


if __name__ == "__main__":
    unittest.main()
