"""interleave's command line as users meet it: its limits at both ends, its refusals, the
hint it prints, its output failing, and what it says of a program or a machine that it
cannot hold. Only what needs the program held holds it."""

import errno
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import BIN, ENV, assert_usage_error, main, require, sh

INTERLEAVE = os.path.join(BIN, "interleave")


class CommandLine(unittest.TestCase):
    def test_usage_errors(self):
        steps = "a schedule has at most 10000 steps"
        every = "--all runs every schedule: it takes no -s, --seed, --race, -c or --lines"
        bounds = "--preemptions, --time-limit, --records, --graph and --grid go with --all"
        for arguments, message in (
                ("-x loosetally", "invalid option -x"),
                ("--seed", "option --seed needs a value"),
                ("--all=1 loosetally", "option --all takes no value"),
                ("", "expected a program"), ("-c -- ", "expected a program"),
                ("loosetally", "expected -s SCHEDULE, --seed=N or --race=N (without them, it "
                               "asks on a terminal)"),
                ("-sI² loosetally", "'\\xc2' is not a step of loosetally: a thread's letter is "
                                  "one from A to Z"),
                ("-s I10001 loosetally", steps), ("-s I9999D2 loosetally", steps),
                ("-s CP spawnlist", "the child exists only after the parent's fork: a P comes "
                                    "first"),
                ("-s PPPP spawnlist", "spawnlist's parent has only 3 steps"),
                ("-s PCCC spawnlist", "spawnlist's child has only 2 steps"),
                ("--steps=3 guardtally", "--steps is the length of a schedule drawn by --seed"),
                ("--seed=1 -s I loosetally", "-s, --seed or --race: one of them"),
                ("-s I --race=1 loosetally", "-s, --seed or --race: one of them"),
                ("--race=1 spawnlist", "--race is a schedule of two workers; spawnlist has none"),
                ("--hold=dec -s I loosetally", "--hold says which worker --race holds"),
                ("--graph=g.svg -c -s I loosetally", bounds),
                ("--page=p.html -s I loosetally",
                 "--page shows the run of -c: it goes with -c, not --lines or --all"),
                ("--all --grid --memory=tso loosetally",
                 "--graph and --grid draw schedules of whole steps, under --memory=sc"),
                ("--all --grid spawnlist", "--graph, --grid and --page show threads; spawnlist "
                                           "runs processes, which share no memory"),
                ("--race=1 --hold=both loosetally", "--hold takes inc or dec, not both"),
                ("--all -s I loosetally", every), ("--all -c loosetally", every),
                ("--all --seed=1 loosetally", every),
                ("--all --steps=3 loosetally", "--steps is the length of a schedule drawn by "
                                               "--seed"),
                ("--preemptions=1 -s I loosetally", bounds),
                ("--time-limit=5 -s I loosetally", bounds),
                ("--records=x.csv -s I loosetally", bounds)):
            with self.subTest(arguments=arguments):
                assert_usage_error(self, sh(f"interleave {arguments} < /dev/null"), "interleave",
                                   message)

    def test_every_number_at_both_ends(self):
        """The least and the most accepted run; one past either end, or a digit that is not
        ASCII, is a usage error."""
        for option, least, most, arguments in (
                ("--seed", 0, 4294967295, "{} loosetally"),
                ("--steps", 1, 1000, "--seed=1 {} loosetally"),
                ("--race", 0, 3000, "{} loosetally"),
                ("--passes", 1, 3, "--all {} spawnlist"),
                ("--preemptions", 0, 1000, "--all {} spawnlist"),
                ("--max-steps", 1, 100000, "--all {} spawnlist"),
                ("--time-limit", 1, 86400, "--all {} spawnlist")):
            for value, status in ((least, 0), (most, 0), (least - 1, 2), (most + 1, 2),
                                  (f"0{most}", 0), ("١", 2), ("", 2)):
                if value == -1:
                    continue
                with self.subTest(option=option, value=value):
                    done = sh(f"interleave {arguments.format(f'{option}={value}')} >/dev/null")
                    self.assertEqual(done.returncode, status, done.stderr)
                    if status == 2:
                        self.assertTrue(done.stderr.startswith(
                            f"interleave: {option} takes a number from {least} to {most}\n"))
        self.assertEqual(sh("interleave -s I10000 loosetally >/dev/null").returncode, 0)

    def test_seeded_schedules_are_valid_and_the_hint_gives_back_the_same(self):
        # Called by its path with the programs off PATH, as from the lab's folder, the hint
        # must work as printed.
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        shutil.copy(os.path.join(BIN, "spawnlist"), folder)
        for seed in range(0, 40):
            with self.subTest(seed=seed):
                done = sh(f"cd {folder} && PATH=/usr/bin:/bin {INTERLEAVE} --seed={seed} "
                          "./spawnlist")
                schedule = done.stdout.split("\n")[0]
                self.assertRegex(schedule, r"^spawnlist, schedule P[PC]{4}: 5 steps$")
                self.assertEqual(sorted(schedule.split()[2][:5]), list("CCPPP"))
                hint = done.stdout.splitlines()[-1]
                self.assertEqual(hint, f"Check with: {INTERLEAVE} -c --seed={seed} "
                                       "./spawnlist")
                if seed < 3:
                    answered = sh(f"cd {folder} && PATH=/usr/bin:/bin {hint[12:]}")
                    self.assertEqual(answered.returncode, 0, answered.stderr)
                    self.assertEqual(answered.stdout.split("\n")[0], schedule.split(":")[0])

    def test_output_that_fails_is_reported_once(self):
        """A write error of a run that held the program is trouble (3); of the questions or
        the help, a failure (1)."""
        cases = [("-c -s PPPCC spawnlist", 3), ("-s ID loosetally", 1),
                 ("--lines -s PPPCC spawnlist", 3), ("--all spawnlist", 3), ("--help", 1)]
        # The threaded programs are held by every build but ThreadSanitizer's, which interleave
        # refuses before it writes anything (its own test says so).
        if "thread" not in os.environ.get("GLASSBOX_SANITIZE", ""):
            cases += [("-c -s IDDDII loosetally", 3), ("--all guardtally", 3)]
        for arguments, status in cases:
            for output, reason in ((">/dev/full", os.strerror(errno.ENOSPC)),
                                   (">&-", os.strerror(errno.EBADF))):
                with self.subTest(arguments=arguments, output=output):
                    done = sh(f"interleave {arguments} {output}")
                    self.assertEqual((done.returncode, done.stderr),
                                     (status, f"interleave: write error: {reason}\n"))

    def test_a_name_from_outside_is_shown_escaped(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        odd = os.path.join(folder, "loose\033[2Jtally")
        shutil.copy(os.path.join(BIN, "loosetally"), odd)
        done = subprocess.run([INTERLEAVE, "-s", "I", odd], env=ENV, capture_output=True, text=True,
                              check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.startswith("$'loose\\x1b[2Jtally', schedule I: 1 choice\n"))
        self.assertNotIn("\033", done.stdout)

    def test_what_it_cannot_hold_is_named_with_a_status_of_its_own(self):
        done = sh(f"PATH=/usr/bin:/bin {INTERLEAVE} -c -s I loosetally")
        self.assertEqual((done.returncode, done.stderr), (3, "interleave: loosetally is not on "
                         "PATH; add the folder of the built programs\n"))
        require("gcc", "gcc")
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        sh(f"cd {folder} && printf '#!/bin/sh\\n' >script && echo 'int f(void){{return 1;}}' >f.c "
           "&& gcc -c f.c && gcc -shared -fPIC -o f.so f.c && chmod +x script f.o f.so")
        # A program of the counter's shape whose library is gone: the dynamic linker ends it.
        with open(os.path.join(folder, "gone.c"), "w", encoding="utf-8") as source:
            source.write("#include <pthread.h>\nint f(void);\nstatic void *run(void *a) "
                         "{ return a; }\nint main(void) { pthread_t t; "
                         "pthread_create(&t, 0, run, 0); return f(); }\n")
        sh(f"cd {folder} && gcc -shared -fPIC -o libgone.so f.c && gcc -pthread -o gone gone.c "
           "-L. -lgone && rm libgone.so")
        for name, reason in (("absent", "no such file"), ("script", "it is not an ELF program"),
                             ("f.o", "an object file, not a program"),
                             ("f.so", "a shared library, not a program"),
                             ("gone", "it exited with status 127 before its own code started: "
                                      "the dynamic linker could not load it or a library it "
                                      "needs (run it alone to see why)")):
            with self.subTest(name=name):
                done = sh(f"interleave -c -s I {folder}/{name}")
                self.assertEqual((done.returncode, done.stdout, done.stderr), (
                    3, "", f"interleave: cannot hold {folder}/{name}: {reason}\n"))
        # A process has one tracer: under strace -f, interleave's child already has it.
        require("strace", "strace")
        done = sh("strace -f -o /dev/null interleave -c -s P spawnlist")
        self.assertEqual(done.returncode, 3)
        self.assertRegex(done.stderr, r"^interleave: cannot hold \S*spawnlist: interleave is "
                                      r"already traced \(by process \d+, a debugger or strace -f\)")
        seccomp = require("python3:seccomp", "python3-seccomp")

        def forbid_ptrace():
            rules = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
            rules.add_rule(seccomp.ERRNO(errno.EPERM), "ptrace")
            rules.load()
        done = subprocess.run([INTERLEAVE, "-c", "-s", "P", "spawnlist"], env=ENV,
                              capture_output=True, text=True, check=False,
                              preexec_fn=forbid_ptrace, timeout=60)
        self.assertEqual((done.returncode, done.stdout), (3, ""))
        self.assertRegex(done.stderr, r"^interleave: the kernel does not let programs be traced "
                                      r"here: ptrace: Operation not permitted \((a seccomp filter"
                                      r"|kernel\.yama\.ptrace_scope is [23])")

    def test_help_and_version(self):
        done = sh("interleave --help")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertTrue(done.stdout.startswith("Usage: interleave "))
        version = sh("tallycheck --version").stdout.split()[-1]
        self.assertEqual(sh("interleave --version").stdout, f"interleave (glassbox) {version}\n")


# A counter program that starts its workers only when it is called as ./argued with the
# arguments -s and IIIDDD: an interleave that took them for its own, or ran the program by
# another name, would see it end before it starts a worker.
ARGUED = """#include <pthread.h>
#include <stdio.h>
#include <string.h>

static int tally;

static void *up(void *) {
    for (;;) {
        int loaded = tally;
        tally = loaded + 1;
        printf("Inc: %d\\n", tally);
    }
}

static void *down(void *) {
    for (;;) {
        int loaded = tally;
        tally = loaded - 1;
        printf("Dec: %d\\n", tally);
    }
}

int main(int argc, char **argv) {
    if (argc != 3 || strcmp(argv[0], "./argued") || strcmp(argv[1], "-s") ||
        strcmp(argv[2], "IIIDDD"))
        return 3;
    pthread_t a, b;
    pthread_create(&a, nullptr, up, nullptr);
    pthread_create(&b, nullptr, down, nullptr);
    pthread_join(a, nullptr);
}
"""


class ProgramArguments(unittest.TestCase):
    """What follows PROGRAM is the program's own, options too, and argv[0] is the name the
    user gave it."""

    @classmethod
    def setUpClass(cls):
        require("g++", "g++")
        cls.folder = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.folder)
        with open(os.path.join(cls.folder, "argued.cpp"), "w", encoding="utf-8") as source:
            source.write(ARGUED)
        subprocess.run(["g++", "-O2", "-pthread", "-o", "argued", "argued.cpp"],
                       cwd=cls.folder, check=True)

    def interleave(self, arguments):
        return sh(f"interleave {arguments}", timeout=200, cwd=self.folder)

    def test_the_arguments_reach_the_program(self):
        run = self.interleave("-c -s UUUDDD ./argued -s IIIDDD")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("lines printed:\n  Inc: 1\n  Dec: 0\n", run.stdout)
        self.assertEqual(self.interleave("-c -s UUUDDD -- ./argued -s IIIDDD").stdout, run.stdout)
        for arguments in ("-c -s UUUDDD ./argued", "-c -s UUUDDD ./argued -s",
                          "-c ./argued -s IIIDDD"):
            with self.subTest(arguments=arguments):
                done = self.interleave(f"{arguments} < /dev/null")
                self.assertNotEqual(done.returncode, 0)
                self.assertNotIn("Inc: 1", done.stdout)
        every = self.interleave("--all ./argued -s IIIDDD")
        self.assertEqual(every.returncode, 1, every.stderr)
        self.assertIn("\nof 6 schedules: 4 lose a change, 4 break the trace, 0 deadlock\n",
                      every.stdout)
        # The replay hands the program its arguments again.
        self.assertIn("\nreplay: interleave -c --passes=1 -s MUDD ./argued -s IIIDDD\n",
                      every.stdout)

    def test_the_hint_gives_back_the_program_with_its_arguments(self):
        questions = self.interleave("-s UUUDDD ./argued -s IIIDDD")
        self.assertEqual(questions.returncode, 0, questions.stderr)
        hint = questions.stdout.splitlines()[-1]
        self.assertEqual(hint, "Check with: interleave -c -s UUUDDD ./argued -s IIIDDD")
        self.assertEqual(self.interleave(hint[len("Check with: interleave "):]).stdout,
                         self.interleave("-c -s UUUDDD ./argued -s IIIDDD").stdout)


if __name__ == "__main__":
    main()
