"""Each manual page against its program: every default, limit and exit status that a page
states, in its lists and in its prose, is read from the page and confirmed by running the
program."""

import collections
import glob
import os
import re
import subprocess
import unittest

from harness import main, require, sh, strace

BUILD = os.environ["GLASSBOX_BUILD"]
# The pages as the build fills them in, by program.
PAGES = {os.path.basename(page)[:-2]: page for page in glob.glob(os.path.join(BUILD, "*", "*.1"))
         if os.path.isfile(page)}
# The numbers that a page writes as words.
WORDS = ("zero one two three four five six seven eight nine ten eleven twelve thirteen "
         "fourteen fifteen sixteen seventeen eighteen nineteen twenty").split()


def rendered(program):
    """The page of a program as man shows it, each paragraph on one line."""
    return subprocess.run(["man", "-l", PAGES[program]], capture_output=True, text=True,
                          check=True, env=dict(os.environ, MANWIDTH="1000", LC_ALL="C")).stdout


def number(figure):
    """A figure of a page as a number, where it is one."""
    return int(figure) if figure.isdigit() else WORDS.index(figure) if figure in WORDS else figure


def accepts(test, command, least, most):
    """The command with each end of the range accepts it; one past either end is refused
    as a usage error."""
    for value, status in ((least, 0), (most, 0), (least - 1, 2), (most + 1, 2)):
        with test.subTest(value=value):
            done = sh(command.format(value) + " >/dev/null")
            test.assertEqual(done.returncode, status, done.stderr)


def drawn(test, steps, process_steps):
    """A seeded schedule of threads has `steps` choices unless --steps says otherwise,
    and one of a process `process_steps` steps, whatever --steps says."""
    for arguments, expected in (("loosetally", f"{steps} choices"),
                                ("--steps=3 spawnlist", f"{process_steps} steps")):
        first = sh(f"interleave --seed=1 {arguments}").stdout.split("\n")[0]
        test.assertTrue(first.endswith(f": {expected}"), first)


def passes(test, default):
    first = sh("interleave --all loosetally").stdout.split("\n")[0]
    test.assertRegex(first, rf" of {default} pass(es)? of each worker$")


def held(test, more_passes, default):
    """The race holds the `default` worker, which makes `more_passes` after its report."""
    reports = collections.Counter(line.split(":")[0] for line in
                                  sh("interleave --lines --race=0 loosetally").stdout.split("\n")
                                  if line)
    test.assertEqual(reports, {default.capitalize(): 1 + more_passes,
                               {"inc": "Dec", "dec": "Inc"}[default]: 1})


def quotes(test, length):
    done = sh(f"echo {'x' * 100} | tallycheck")
    test.assertIn(f'line 1: "{"x" * length}"...\n', done.stdout)


def at_most(test, command, most):
    """The command accepts `most` and refuses one more as a usage error."""
    for value, status in ((most, 0), (most + 1, 2)):
        with test.subTest(value=value):
            done = sh(command.format(value) + " >/dev/null")
            test.assertEqual(done.returncode, status, done.stderr)


def bounds(test, preemptions, steps):
    """A program that is not a counter's is explored within `preemptions` and `steps` a
    thread, and a counter program's every order."""
    first = sh("interleave --all swaplist").stdout.split("\n")[0]
    test.assertEqual(first, f"swaplist: every schedule within {preemptions} preemptions and "
                            f"{steps} steps a thread")
    counter = sh("interleave --all loosetally").stdout.split("\n")[1]
    test.assertEqual(counter, "20 schedules in 12 runs")


# Each statement of a page: the program, a pattern of the page as man shows it whose groups
# are the figures stated, and what confirms them on the program, given the figures last.
STATEMENTS = (
    ("tallycheck", r"--context=n\n.* from (\d+) to (\d+)", accepts,
     "echo 'Inc: 1' | tallycheck -C {}"),
    ("tallycheck", r"quoted with their first (\d+) bytes", quotes),
    ("interleave", r"A schedule has at most (\d+) letters", at_most,
     "interleave -s I{} loosetally"),
    ("interleave", r"--seed=n\n.*?(\d+) to (\d+)", accepts, "interleave --seed={} loosetally"),
    ("interleave", r"--steps=n\n.*?(\d+) to (\d+)", accepts,
     "interleave --seed=1 --steps={} loosetally"),
    ("interleave", r"--race=n\n.*?(\d+) to (\d+)", accepts, "interleave --race={} loosetally"),
    ("interleave", r"--passes=n\n.*?(\d+) to (\d+)", accepts,
     "interleave --all --passes={} guardtally"),
    ("interleave", r"--preemptions=k\n.*?(\d+) to (\d+)", accepts,
     "interleave --all --preemptions={} guardtally"),
    ("interleave", r"--max-steps=n\n.*?(\d+) to (\d+)", accepts,
     "interleave --all --max-steps={} guardtally"),
    ("interleave", r"--time-limit=s\n.*?(\d+) to (\d+)", accepts,
     "interleave --all --time-limit={} guardtally"),
    ("interleave", r"--steps=n\n.*; (\w+) unless given\. +A process's has its (\w+) steps",
     drawn),
    ("interleave", r"--passes=n\n.*; (\w+) unless given", passes),
    ("interleave", r"held worker alone makes (\w+) more passes\.\n(?:.*\n)*? +--hold=who\n"
                   r".* (\w+) \(the default\)", held),
    ("interleave", r"--preemptions=k\n.*; (\d+) unless given(?:.*\n)*? +--max-steps=n\n"
                   r".*; (\d+) *\n? *unless given", bounds),
)


def exit_cases():
    """For each program, commands that end with each status its page gives, and words that
    the page's entry for that status must hold (where it has no entry of that number, the
    section as a whole)."""
    no_thread = strace("clone3:error=ENOSYS", "clone:error=EAGAIN:when=1")
    no_fork = strace("clone:error=EAGAIN", "clone3:error=EAGAIN")
    no_exec = {error: strace(f"execve:error={error}:when=1") for error in ("EACCES", "ENOENT")}
    # spawnlist's child, whose status strace's record gives: its parent has not waited.
    child = ('log=$(mktemp) && strace -f -o "$log" -e trace=execve '
             '-e inject=execve:error={}:when=1 spawnlist >/dev/null 2>&1; '
             'status=$(grep -o "exited with [1-9][0-9]*" "$log"); rm "$log"; '
             'exit "${{status##* }}"')
    cases = {program: ((f"{program} >/dev/full", 1, "Standard output failed"),
                       (f"{no_thread} {program} >/dev/null", 1, f"a thread could not be {what}"),
                       (f"{program} | head -n 1; exit ${{PIPESTATUS[0]}}", 141, "141 after"),
                       # SIGINT at its default, which a job started in the background
                       # would ignore; should it not end the program, SIGKILL does.
                       (f"env --default-signal=INT timeout -k 10 --preserve-status -s INT 1 "
                        f"{program} >/dev/null", 130, "130 after an interrupt"))
             for program, what in (("guardtally", "set up"), ("loosetally", "started"))}
    return cases | {
        "tallycheck": (("echo 'Inc: 1' | tallycheck", 0, "consistent"),
                       ("echo 'Inc: 2' | tallycheck", 1, "step breaks"),
                       ("printf 'Inc: 2\\nbad\\n' | tallycheck", 2, "line is malformed"),
                       ("tallycheck </dev/null", 2, "trace is empty"),
                       ("tallycheck /", 2, "file could not be read"),
                       ("echo 'Inc: 1' | tallycheck >/dev/full", 2, "summary could not be written"),
                       ("tallycheck -C x", 2, "command line is wrong")),
        "spawnlist": (("spawnlist >/dev/null", 0, "The child was started"),
                      (f"{no_fork} spawnlist", 1, "fork"),
                      ("spawnlist >/dev/full", 1, "the parent's line could not be written"),
                      (child.format("ENOENT"), 127, "127 if it does not exist"),
                      (child.format("EACCES"), 126, "126 if it cannot be executed")),
        "swaplist": (("swaplist >/dev/null", 0, "the status is that of ls"),
                     (f"{no_exec['EACCES']} swaplist", 126, "cannot be executed"),
                     (f"{no_exec['ENOENT']} swaplist", 127, "does not exist"),
                     ("swaplist >/dev/full", 1, "first line could not be written")),
        "rawhello": (("rawhello >/dev/null", 0, "Both words were written"),
                     ("rawhello >/dev/full", 1, "A write failed")),
        "interleave": (("interleave -s ID loosetally >/dev/null", 0, "questions were printed"),
                       ("interleave -c -s MI guardtally >/dev/null", 0, "did not fail"),
                       ("interleave --all guardtally >/dev/null", 0, "no schedule failed"),
                       ("interleave -c -s IDDDII loosetally >/dev/null", 1, "the one run"),
                       ("interleave --all loosetally >/dev/null", 1, "some schedule"),
                       ("interleave -s I? loosetally", 2, "command line is wrong"),
                       ("interleave -c -s ID /nonexistent/loosetally", 3, "could not be found"),
                       ("interleave -c -s ID loosetally >/dev/full", 3, "could not be written"))}


def exit_statuses(page):
    """The EXIT STATUS section of a page's source as plain text: each entry by its tag,
    and the whole section under ""."""
    section = re.search(r"^\.SH EXIT STATUS\n(.*?)^\.SH ", page, re.M | re.S).group(1)
    plain = re.sub(r'\\f[BIRP]|\\\(lq|\\\(rq|"|^\.(?!TP|PP)[A-Z]{1,2} ', "", section, flags=re.M)
    entries = {"": " ".join(re.sub(r"^\.(TP|PP)$", "", plain, flags=re.M).split())}
    for tag, text in re.findall(r"^\.TP\n(.*)\n((?:(?!\.TP$|\.PP$).*\n)*)", plain, re.M):
        entries[tag] = " ".join(text.split())
    return entries


class Statements(unittest.TestCase):
    def test_every_default_and_limit_is_what_the_program_does(self):
        require("man", "man-db")
        for program, pattern, confirm, *arguments in STATEMENTS:
            with self.subTest(program=program, statement=pattern):
                stated = re.search(pattern, rendered(program))
                self.assertIsNotNone(stated, "the page no longer says so")
                confirm(self, *arguments, *map(number, stated.groups()))

    def test_each_exit_status_is_what_the_page_says(self):
        require("timeout", "coreutils")
        for program, page in PAGES.items():
            with open(page) as text:
                entries = exit_statuses(text.read())
            cases = exit_cases()[program]
            # Every status the page gives, in its list or in its prose, is one that some
            # command ends with; a signal's number added to 128, and a page's section in
            # parentheses, are none.
            stated = re.findall(r"\b\d+\b(?! plus)", re.sub(r"\(\d\)", "", entries[""]))
            self.assertLessEqual(set(stated), {str(status) for _, status, _ in cases}, program)
            for command, status, words in cases:
                with self.subTest(command=command):
                    self.assertEqual(sh(command).returncode, status)
                    self.assertIn(words, entries.get(str(status), entries[""]))


if __name__ == "__main__":
    main()
