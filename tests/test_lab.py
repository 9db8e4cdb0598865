"""The lab sheet, LAB.md, as a learner uses it: the build commands of "Before you start"
are run, then every command of its exercises from the top of the source tree, with the PATH
that the sheet sets and nothing else of the build's, and each must end, succeed and stay
quiet on standard error; and every exercise has its answer. A command that wants a terminal
(a block fenced "```sh terminal") runs on a pseudo-terminal of its own, with a schedule typed
at it. A program that the sheet gives as text is the file of that name in lab/, which the
sheet copies into the learner's folder; the two are held to the same text. A command
misspelt, or a program whose option was renamed, fails here before it fails in a lab. The
commands
run with the root file system and the folders that every user shares read-only, but for
the learner's own folder: a command that would write a fixed name there fails, as it would
for a second learner on the same machine.

The sheet's counter runs are long so that their figures mean something; here they are cut
to a small setting by one rule: a `head -n N` above 20,000 lines reads 20,000. What each
command must show is held by the sheet's answers
and by the programs' own tests; this test holds the commands to running, and interleave's
screens to 80 columns."""

import os
import re
import shlex
import subprocess
import tempfile
import unittest

from harness import ENV, main, require, sealed, sh

SOURCE = os.environ["GLASSBOX_SOURCE"]
SHEET = os.path.join(SOURCE, "LAB.md")
PROGRAMS = os.path.join(SOURCE, "lab")
HEAD_LINES = 20000
SH_BLOCK = re.compile(r"^```sh\n(.*?)^```", re.M | re.S)
# A command that asks the learner at each step, which only a terminal lets it do.
TERMINAL_BLOCK = re.compile(r"^```sh terminal\n(.*?)^```", re.M | re.S)
# What the test types there, a letter a line: a counter program's schedule (main, then its
# workers by turns), then q, which ends the run.
TYPED = "MIDIDID"
# A program given as text: its first line, a comment, starts with the file's name.
CPP_BLOCK = re.compile(r"^```cpp\n// ([\w.]+): (.*?)^```", re.M | re.S)
NUMBERED = re.compile(r"^### (\d+)\. (.+)$", re.M)
# The learner's environment: the build's programs are on PATH only once the sheet puts them.
LEARNER = dict(ENV, PATH=os.environ["PATH"])


def before_you_start(text):
    """The command lines of "Before you start": those that build (cmake), then the others,
    which set up each shell the learner works in."""
    start = re.search(r"^## Before you start\n(.*?)^## ", text, re.M | re.S).group(1)
    lines = [line for block in SH_BLOCK.findall(start) for line in command_lines(block)]
    build = [line for line in lines if line.startswith("cmake ")]
    return build, [line for line in lines if line not in build]


def sections(text):
    """The exercises and the answers, each a {number: (title, body)} in the sheet's order:
    the numbered headings under "## Exercises" and under "## Answers"."""
    exercises = re.search(r"^## Exercises\n(.*?)^## Answers\n", text, re.M | re.S)
    answers = re.search(r"^## Answers\n(.*)", text, re.M | re.S)
    found = []
    for part in (exercises, answers):
        body = part.group(1) if part else ""
        heads = list(NUMBERED.finditer(body))
        found.append({int(head.group(1)): (head.group(2),
                                           body[head.end():heads[i + 1].start()
                                                if i + 1 < len(heads) else len(body)])
                      for i, head in enumerate(heads)})
    return found


def small(command):
    """The command at the test's small setting (the rule above)."""
    return re.sub(r"\bhead -n (\d+)",
                  lambda m: f"head -n {min(int(m.group(1)), HEAD_LINES)}", command)


def allowed_statuses(command):
    """0; and 1 from a pipeline that ends in tallycheck, whose 1 says that the trace
    breaks, or from interleave -c or --all, whose 1 says that a schedule failed."""
    code = re.sub(r"\s+#\s.*$", "", command)
    shows = (re.search(r"\|\s*tallycheck\b[^|;&]*$", code)
             or re.match(r"interleave (-c|--all) ", code))
    return {0, 1} if shows else {0}


def at_a_terminal(command):
    """The command on a pseudo-terminal of its own (script), with TYPED typed at it: its
    status is the command's, and it says on standard error when the command did not ask
    who goes next or did not take every letter typed."""
    typed = " ".join(TYPED)
    return (f"shown=$(printf '%s\\n' {typed} q |\n"
            f"    script -e -q -c {shlex.quote(command)} /dev/null)\n"
            "status=$?\n"
            f"case $shown in *'q to stop)?'*'schedule taken: {TYPED}'*) ;;\n"
            "*) printf 'asked nothing, or took another schedule:\\n%s\\n' \"$shown\" >&2 ;;\n"
            "esac\n"
            "(exit $status)")


def command_lines(block):
    """A block's command lines: not blank, not a comment."""
    return [line for line in block.splitlines()
            if line.strip() and not line.lstrip().startswith("#")]


def commands_of(body):
    """An exercise's commands, each as the sheet gives it and as the test runs it."""
    return ([(line, small(line)) for block in SH_BLOCK.findall(body)
             for line in command_lines(block)]
            + [(line, at_a_terminal(line)) for block in TERMINAL_BLOCK.findall(body)
               for line in command_lines(block)])


def run_block(commands, folder):
    """Runs a block's commands in one shell from the top of the source tree, as a learner
    types them, sealed to `folder`, with the PATH that the learner had before the sheet;
    returns each command's status, standard error and, for a command of interleave's own, its
    standard output, and why the shared folders could not be sealed, if they could not."""
    script = ""
    for i, command in enumerate(commands):
        own = command.startswith("interleave ") and "|" not in command  # its screen alone
        out = f'"{folder}/out.{i}"' if own else "/dev/null"
        script += (f'{{\n{command}\n}} >{out} 2>"{folder}/err.{i}"\n'
                   f'echo $? >"{folder}/status.{i}"\n')
    prefix, unsealed = sealed(folder, SOURCE)
    sh(script, timeout=240, prefix=prefix, env=LEARNER, stdin=subprocess.DEVNULL,
       stdout=subprocess.DEVNULL)
    results = []
    for i in range(len(commands)):
        try:
            with open(f"{folder}/status.{i}", encoding="utf-8") as status, \
                    open(f"{folder}/err.{i}", encoding="utf-8", errors="replace") as err:
                shown = ""
                if os.path.exists(f"{folder}/out.{i}"):
                    with open(f"{folder}/out.{i}", encoding="utf-8", errors="replace") as out:
                        shown = out.read()
                results.append((int(status.read()), err.read(), shown))
        except FileNotFoundError:
            results.append((None, "the command was never reached", ""))
    return results, unsealed


class Lab(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(SHEET, encoding="utf-8") as sheet:
            cls.text = sheet.read()
        cls.exercises, cls.answers = sections(cls.text)

    def test_every_exercise_has_its_answer(self):
        self.assertGreaterEqual(len(self.exercises), 9)
        self.assertEqual(list(self.exercises), list(range(1, len(self.exercises) + 1)))
        self.assertEqual({n: title for n, (title, _) in self.exercises.items()},
                         {n: title for n, (title, _) in self.answers.items()})
        for number, (_, body) in self.answers.items():
            with self.subTest(answer=number):
                self.assertNotIn("```", body, "an answer shows no commands to run")
                self.assertGreater(len(body.split()), 20)
        headings = re.findall(r"^## (.+)$", self.text, re.M)
        self.assertIn("When the race hides", headings)
        self.assertEqual(headings.count("Answers"), 1, "the answers stand together, once")

    def test_every_command_runs(self):
        for tool, package in (("g++", "g++"), ("strace", "strace"), ("script", "util-linux"),
                              ("taskset", "util-linux")):
            require(tool, package)
        build, start = before_you_start(self.text)
        self.assertTrue(build, "the sheet builds the programs first")
        self.assertTrue([line for line in start if line.startswith("lab=")],
                        "the sheet makes the learner's folder, lab, first")
        # The build writes into the source tree: it is the one step that runs unsealed.
        built = sh(" && ".join(build), timeout=600, env=LEARNER, cwd=SOURCE)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        for number, (title, body) in self.exercises.items():
            commands = [(line, line) for line in start] + commands_of(body)
            with self.subTest(exercise=number):
                self.assertGreater(len(commands), len(start),
                                   f"exercise {number}, {title}, has no commands")
            with tempfile.TemporaryDirectory() as folder:
                results, unsealed = run_block([run for _, run in commands], folder)
            for (command, _), (status, err, shown) in zip(commands, results):
                with self.subTest(exercise=number, command=command):
                    self.assertIn(status, allowed_statuses(command), err)
                    self.assertEqual(err, "")
                    # interleave's screens fit an 80-column terminal.
                    self.assertEqual([line for line in shown.splitlines() if len(line) > 80],
                                     [], shown)
        if unsealed:
            self.skipTest(f"every command ran, but not sealed: {unsealed}")

    def test_the_programs_on_the_sheet_are_the_files_in_lab(self):
        # The learner copies a program from lab/ and reads it on the sheet: one text.
        shown = CPP_BLOCK.findall(self.text)
        self.assertEqual(len(shown), self.text.count("```cpp\n"),
                         "every program on the sheet names its file on its first line")
        self.assertEqual(sorted(name for name, _ in shown), sorted(os.listdir(PROGRAMS)),
                         "each program is on the sheet once, and each file in lab/ is there")
        for name, text in shown:
            with self.subTest(program=name), \
                    open(os.path.join(PROGRAMS, name), encoding="utf-8") as program:
                self.assertEqual(program.read(), f"// {name}: {text}")

    def test_a_tree_under_tmp_is_seen_and_only_the_own_folder_written(self):
        # A clone under /tmp is common; sealing the shared folders must not hide it.
        with tempfile.TemporaryDirectory(dir="/tmp") as tree, \
                tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(tree, "LAB.md"), "w", encoding="utf-8") as sheet:
                sheet.write("# Lab\n")
            prefix, unsealed = sealed(folder, tree)
            if unsealed:
                self.skipTest(unsealed)
            done = sh('head -n 1 LAB.md; d=$(mktemp -d) && touch "$d/trace" && echo made; '
                      ': > /tmp/fixed-name || echo refused', prefix=prefix)
            self.assertEqual(done.stdout, "# Lab\nmade\nrefused\n", done.stderr)


if __name__ == "__main__":
    main()
