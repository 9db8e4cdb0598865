"""The tour as a reader runs it: every step ends by itself, the second act shows the race
and the hand-off by placement and the system calls beneath each program, the third the
classic mistakes and the race on demand, the fourth the programs step by step by schedule;
with --step it shows each command and waits for Enter before running it."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import BIN, ENV, assert_usage_error, main, require, sealed, sh, still_folder

SOURCE = os.environ["GLASSBOX_SOURCE"]
TOUR = os.path.join(SOURCE, "tour.sh")
STEPS = 15  # the sections headed "== "


def tour_programs():
    """The programs that the tour runs, as it names them when a folder has none of them."""
    with tempfile.TemporaryDirectory() as empty:
        return re.search(r"\(missing: ([^)]*)\)", sh(f"{TOUR} '{empty}'").stderr)[1].split()


def figures(pattern, text):
    """Every match of pattern in text, its groups as numbers."""
    return [tuple(float(group) for group in match) for match in re.findall(pattern, text, re.M)]


class Tour(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool, package in (("strace", "strace"), ("/usr/bin/time", "time"),
                              ("script", "util-linux"), ("taskset", "util-linux")):
            if not shutil.which(tool):
                raise AssertionError(f"the tour needs {tool} (Debian: {package})")
        # The tour is given a folder of its own programs, whose listing cannot change, and
        # runs sealed to a TMPDIR of its own from a folder that is not theirs; first on PATH,
        # stand-ins named like the programs note that they ran. strace writes its excerpts
        # to standard error, which a reader sees in line.
        programs = tour_programs()
        cls.bindir, cls.listing = still_folder(cls, programs=programs)
        own = tempfile.TemporaryDirectory()
        cls.addClassCleanup(own.cleanup)
        cls.caller, cls.tmpdir, stand_ins = (os.path.join(own.name, name)
                                             for name in ("caller", "tmp", "stand-ins"))
        for folder in (cls.caller, cls.tmpdir, stand_ins):
            os.mkdir(folder)
        for program in programs:
            with open(os.path.join(stand_ins, program), "w") as stand_in:
                stand_in.write(f'#!/bin/sh\necho "$0" >> "{cls.tmpdir}/ran from PATH"\n')
            os.chmod(stand_in.name, 0o755)
        prefix, cls.unsealed = sealed(cls.tmpdir, cls.caller)
        # The listing as the tour sees it: in a user namespace of its own, the owner is root.
        cls.seen = sh(f"/bin/ls -a -l {cls.bindir}", prefix=prefix).stdout
        cls.done = sh(f"{TOUR} {cls.bindir} 2>&1", timeout=180, prefix=prefix,
                      env=dict(ENV, PATH=stand_ins + os.pathsep + ENV["PATH"]))
        cls.out = cls.done.stdout

    def test_it_runs_the_programs_of_bindir_in_it_and_leaves_nothing_behind(self):
        self.assertEqual(os.listdir(self.tmpdir), [])
        self.assertEqual(os.listdir(self.caller), [])
        self.assertEqual(sh("/bin/ls -a -l", cwd=self.bindir).stdout, self.listing)
        # Each step that lists its working folder lists BINDIR as it was: nothing that an
        # earlier step made is in it. (spawnlist on a terminal is left out: its listing
        # need not be over when the terminal closes.)
        lines = self.seen.splitlines(keepends=True)
        for shown in ("$ swaplist | head -n 4\nBefore exec\n" + "".join(lines[:3]),
                      "$ swaplist | head -n 2\nBefore exec\n" + lines[0],
                      "$ execdropsline | head -n 2\n" + "".join(lines[:2]),
                      "\nlines printed:\n  Parent: \n" + "".join("  " + line for line in lines),
                      "".join("  " + line for line in lines) + "  Parent: \nprompt and"):
            self.assertIn(shown, self.out)
        if self.unsealed:
            self.skipTest(f"the tour ran, but not sealed: {self.unsealed}")

    def test_first_act_guarded_trace_is_consistent_and_the_unguarded_breaks_in_context(self):
        self.assertEqual(self.done.returncode, 0, self.out)
        self.assertNotRegex(self.out, r"(?i)not found|no such file|cannot|failed")
        first = self.out.split("=== Act two")[0]
        guarded = first.split("$ guardtally | head -n 300000 | tallycheck\n")[1]
        self.assertRegex(guarded, r"^lines: 300000 .*\nbreaks: 0\n(.*\n){3}drift: 0 ")
        # The unguarded trace shows its first break in context, when it breaks, and how busy
        # the machine was, which decides how often it breaks.
        self.assertRegex(first, r"\n(breaks: 0\n|breaks: \d+, first .*\n(  line .*\n)*> line )")
        self.assertRegex(first, r"\nverdict: \w+\n\(other work used \d+% of the \d+ CPUs "
                                r"meanwhile; at a fifth or more the race hides\)\n")
        # spawnlist and rawhello on a terminal of their own: the stand-in for the prompt comes
        # after the parent's line (the child's listing may come anywhere), and on rawhello's
        # line, which has no newline.
        self.assertRegex(first, r"\n\$ script .*spawnlist.*\n(.*\n)*Parent: \n(.*\n)*prompt\n")
        self.assertRegex(first, r"\n\$ script .*rawhello.*\nHelloWorldprompt\n")
        self.assertTrue(self.out.endswith(f"the lab sheet,\n{os.path.join(SOURCE, 'LAB.md')}\n"))

    def test_second_act_shows_each_cause_and_the_calls_beneath(self):
        act = self.out.split("=== Act two")[1].split("=== Act three")[0]
        placements = r"\$ (/usr/bin/time .* )?taskset -c 0 {0}.*\n(.*\n)+\$ (/usr/bin/time .* )?{0}"
        # The race: breaks, drift and how busy the machine was, on one core, then on all.
        self.assertRegex(act, placements.format("loosetally"))
        races = figures(r"^breaks: (\d+).*\ndrift: (-?\d+) .*\n(?:  .*\n)?\(other work used (\d+)% of the "
                        r"(\d+) CPUs meanwhile", act)
        self.assertEqual(len(races), 2, act)
        for breaks, drift, other, cpus in races:
            self.assertLessEqual(breaks, 1000000)
            self.assertLessEqual(abs(drift), 1000000)
            self.assertLessEqual(other, 100)
            self.assertEqual(cpus, os.cpu_count())
        # The hand-off: what GNU time printed of guardtally, then the rate and the context
        # switches per 1,000 lines worked out from exactly those figures, twice.
        self.assertRegex(act, placements.format("guardtally"))
        handoffs = figures(r"^([\d.]+) s, (\d+) voluntary and (\d+) involuntary context switches\n"
                           r"\(1,000,000 lines: ([\d.]+) M lines/s; per 1,000 lines, ([\d.]+) "
                           r"voluntary and ([\d.]+) involuntary .*\n\(other work used (\d+)% of "
                           r"the (\d+) CPUs meanwhile", act)
        self.assertEqual(len(handoffs), 2, act)
        for seconds, switched, preempted, rate, voluntary, involuntary, other, cpus in handoffs:
            self.assertLessEqual(other, 100)
            self.assertEqual(cpus, os.cpu_count())
            self.assertAlmostEqual(rate, 1 / seconds, delta=0.051)
            self.assertEqual((voluntary, involuntary),
                             tuple(float(f"{count / 1000:.1f}") for count in (switched, preempted)))
            self.assertLessEqual(voluntary + involuntary, 1000)  # at most one a line
        # Worked out for the lines that head let through.
        counted = re.findall(r"head -n (\d+) > /dev/null\n.*\n\(([\d,]+) lines:", act)
        self.assertEqual(len(counted), 2, act)
        for shown, worked in counted:
            self.assertEqual(worked.replace(",", ""), shown)

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

    def test_third_act_shows_the_mistakes_beside_the_cures_and_the_race_on_demand(self):
        act = self.out.split("=== Act three")[1].split("=== Act four")[0]
        exec_, fork, race = act.split("\n== ")[1:]
        self.assertRegex(exec_.split("\n$ ")[3], r"^script .*\nBefore exec\ntotal ")
        self.assertRegex(fork, r"\$ spawnlist \| grep -c Parent\n1\n")
        self.assertRegex(fork, r"\$ forkdoublesline \| cat\nBefore fork\nBefore fork\n\n")
        self.assertRegex(fork, r"\$ script .*forkdoublesline.*\nBefore fork\n$")
        self.assertRegex(race, r"\$ interleave --lines --race=100 loosetally \| tallycheck -C 2"
                               r"\nlines: 122 \(Inc 21, Dec 101\)\n")
        self.assertRegex(race, r"\nbreaks: 2, first .*\n(  line .*\n)*> line ")
        self.assertIn("\ndrift: 100 ", race)


    def test_fourth_act_shows_the_worker_loops_and_both_orders_of_prompt_and_listing(self):
        act = self.out.split("=== Act four")[1]
        for routine in ("incThread", "decThread"):
            self.assertRegex(act, rf"\nstatic void \*{routine}\(void \*\) {{\n    for \(;;\) {{\n")
        self.assertIn("\n   7  I    stores 1 to count   ", act)
        self.assertIn("\nstopped: the schedule ends here\n  M joins I\ncounter: 1 after 2 "
                      "changes; 1 lost\ntallycheck: inconsistent, breaks 1\n", act)
        self.assertIn("\n$ interleave --all loosetally\nloosetally: every schedule of 1 pass of "
                      "each worker\n20 schedules in 12 runs\n", act)
        self.assertIn("\nof 20 schedules: 12 lose a change, 16 break the trace, 0 deadlock\n"
                      "verdict: fails: 12 of 20 schedules fail (the first loses a change); ", act)
        self.assertIn("\nreplay: interleave -c --passes=1 -s MIDDD loosetally\n", act)
        first, last = act.split("$ interleave -c -s P")[1:]
        self.assertIn("\nprompt and listing: the prompt first, then the listing\n", first)
        self.assertIn("\nprompt and listing: the listing first, then the prompt\n", last)


class Stepping(unittest.TestCase):
    def test_every_step_number_typed_goes_there_and_each_command_waits_for_enter(self):
        # Typed at the prompts: two numbers that are no step, which ask again and run
        # nothing; the last step twice, the first twice, then every step in turn and the
        # first again: each goes to that step. Then Enter, through the whole tour: it goes
        # on only when answered, and has run nothing of a command it asks about. Each step
        # number starts the tour again, which must clean up as it goes.
        typed = ["0", str(STEPS + 1), *map(str, (STEPS, STEPS, 1, *range(1, STEPS + 1), 1))]
        prompt = re.compile(rb"\[step (\d+) of (\d+): Enter runs it, or a step's number\] ")
        tmpdir = tempfile.TemporaryDirectory()
        self.addCleanup(tmpdir.cleanup)
        with subprocess.Popen([TOUR, "--step", BIN], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              env=dict(ENV, TMPDIR=tmpdir.name), start_new_session=True) as tour:
            output, asked = b"", []  # each prompt's step, and what came since the one before
            while chunk := tour.stdout.read1(65536):
                output += chunk
                while len(prompt.findall(output)) > len(asked):
                    before, step, steps = prompt.split(output)[-4:-1]
                    asked.append((int(step), before))
                    self.assertEqual(int(steps), STEPS)
                    if not asked[len(typed):]:
                        tour.stdin.write(typed[len(asked) - 1].encode() + b"\n")
                    else:
                        shown = before.rsplit(b"\n$ ", 1)[1]  # the command, of one or two lines
                        self.assertTrue(shown.endswith(b"\n") and shown.count(b"\n") <= 2, shown)
                        tour.stdin.write(b"\n")
                    tour.stdin.flush()
            self.assertEqual(tour.wait(timeout=300), 0)
        self.assertEqual(os.listdir(tmpdir.name), [])
        self.assertNotRegex(asked[0][1], rb"(Inc|Dec): ")  # guardtally | head -n 5 waits
        through = asked[len(typed):]
        self.assertEqual(sorted({step for step, _ in through}), list(range(1, STEPS + 1)))
        titles = re.findall(rb"\n== (.*)\n", b"".join(before for _, before in through))
        self.assertEqual(len(titles), STEPS)
        for answer, (was, _), (step, since) in zip(typed, asked, asked[1:]):
            with self.subTest(answer=answer, at=was):
                if 1 <= int(answer) <= STEPS:
                    self.assertEqual(step, int(answer))
                    self.assertEqual(re.findall(rb"\n== (.*)\n", since), [titles[step - 1]])
                else:
                    self.assertEqual((step, since), (was, b""))


class FailingStep(unittest.TestCase):
    def test_a_failed_step_is_named_and_the_tour_fails(self):
        # Under a tracer no program can be traced a second time: strace's own step fails,
        # and the tour goes on to its end, says which steps failed and ends with status 1.
        require("strace", "strace")
        done = sh(f"strace -f -o /dev/null {TOUR} --from=10 {BIN}", timeout=180)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertEqual(done.stdout.count("\n== "), STEPS - 9)
        self.assertIn("the lab sheet,", done.stdout)
        failures = done.stderr.split("tour.sh: steps failed: ")[1].splitlines()
        self.assertRegex(failures[0], rf"^\d+ of {STEPS}$")
        self.assertEqual(failures[1], "  step 10 (status 1): rawhello beneath: exactly two writes")
        self.assertFalse([line for line in failures if re.match(r"  step 1[12] ", line)])


class CommandLine(unittest.TestCase):
    def test_through_a_link_and_into_a_failing_output(self):
        # Run by another name from another folder, the tour finds its own folder; a write
        # that fails is its own failure, in the name it was run by.
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "glassbox tour")
            os.symlink(TOUR, link)
            version = sh("tallycheck --version").stdout.split()[-1]
            for redirect, status, out, err in (
                    ("", 0, f"glassbox tour (glassbox) {version}\n", ""),
                    (">/dev/full", 1, "", "glassbox tour: write error: No space left on device\n"),
                    (">&-", 1, "", "glassbox tour: write error: Bad file descriptor\n")):
                for option in ("--version", "--help"):
                    with self.subTest(option=option, redirect=redirect):
                        done = sh(f"'{link}' {option} {redirect}")
                        self.assertEqual(done.returncode, status)
                        self.assertEqual(done.stderr, err)
                        if option == "--version":
                            self.assertEqual(done.stdout, out)

    def test_command_line(self):
        tour = TOUR
        for arguments, message in (("-x", "invalid option -x"),
                                   ("$'-\\e'", "invalid option $'-\\E'"),
                                   ("--from=16 .", f"not a step from 1 to {STEPS}: 16"),
                                   ("--from=0 .", f"not a step from 1 to {STEPS}: 0"),
                                   ("", "expected one operand, the folder of the built programs")):
            with self.subTest(arguments=arguments):
                assert_usage_error(self, sh(f"{tour} {arguments}"), "tour.sh", message)

    def test_a_folder_without_the_programs_is_a_usage_error(self):
        # The folder with some of them has the others on PATH, where the tour must not look;
        # a file that is there but cannot run is missing too.
        with tempfile.TemporaryDirectory() as empty, tempfile.TemporaryDirectory() as some:
            for program in ("guardtally", "tallycheck", "swaplist", "forkdoublesline"):
                os.symlink(os.path.join(BIN, program), os.path.join(some, program))
            with open(os.path.join(some, "rawhello"), "w"):
                pass
            for folder, missing in ((empty, "guardtally .*forkdoublesline interleave"),
                                    (os.path.join(empty, "no such folder"), "guardtally .*"),
                                    (some, "loosetally spawnlist rawhello execdropsline interleave")):
                with self.subTest(folder=folder):
                    done = sh(f"{TOUR} '{folder}'")
                    self.assertEqual((done.returncode, done.stdout), (2, ""))
                    self.assertRegex(done.stderr, rf"^tour\.sh: no built programs in .*\(missing: "
                                     rf"{missing}\); cmake --workflow --preset tour builds them\n"
                                     r"Try 'tour.sh --help'")

    def test_the_tour_target_builds_every_program_the_tour_runs(self):
        # cmake --workflow --preset tour on a fresh clone builds only what the tour target
        # depends on; tour.sh names what it needs when given a folder that has none of it.
        require("ninja", "ninja-build")
        query = subprocess.run(["ninja", "-C", os.environ["GLASSBOX_BUILD"], "-t", "query",
                                "tour"], capture_output=True, text=True, check=True).stdout
        built = set(re.findall(r"^\s+bin/(\S+)$", query, re.M))
        self.assertLessEqual(set(tour_programs()), built)


if __name__ == "__main__":
    main()
