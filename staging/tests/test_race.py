"""The race on demand as users run it: race.sh holds one worker of loosetally in gdb and
stages a lost update and a late report, the same on any machine."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import BIN, ENV, assert_usage_error, main, require, sh

RACE = os.path.join(os.environ["GLASSBOX_SOURCE"], "staging", "race.sh")


def stand_in_gdb(folder, script):
    """Puts a shell script in `folder` under the name gdb, to stand in for the debugger when
    `folder` comes first on PATH."""
    path = os.path.join(folder, "gdb")
    with open(path, "w", encoding="utf-8") as gdb:
        gdb.write("#!/bin/sh\n" + script)
    os.chmod(path, 0o755)


class RaceOnDemand(unittest.TestCase):
    """loosetally under the debugger: a worker held between its load and its store loses
    exactly the changes the other worker makes meanwhile, and the report it then loads
    afresh shows the other worker's later change. Every run, on any number of cores."""

    def race(self, arguments):
        require("gdb", "gdb")
        done = sh(f"{RACE} {arguments}", timeout=200)
        self.assertEqual(done.returncode, 0, done.stderr)
        check = subprocess.run([os.path.join(BIN, "tallycheck")], input=done.stdout,
                               capture_output=True, text=True, check=False)
        self.assertEqual(check.returncode, 1, check.stdout)  # the trace breaks
        return done.stdout, check.stdout

    def test_the_held_worker_wipes_out_exactly_the_changes_made_meanwhile(self):
        for changes in (1, 40):
            with self.subTest(changes=changes):
                trace, out = self.race(changes)
                # The lost changes and the late report are the only two breaks.
                self.assertIn("\nbreaks: 2, ", out)
                self.assertIn(f"\ndrift: {changes} ", out)
                # Dec changed Inc's stale store; Inc's report, loaded afresh, shows it.
                self.assertRegex(trace, r"\nDec: (-?\d+)\nInc: \1\n")

    def test_with_no_change_lost_the_report_is_only_late(self):
        trace, out = self.race("--hold=dec 0")
        self.assertIn("\nbreaks: 2, ", out)
        self.assertIn("\ndrift: 0 ", out)
        self.assertRegex(trace, r"\nInc: (-?\d+)\nDec: \1\n")

    def test_command_line(self):
        for arguments, message in (("-x", "invalid option -x"), ("1x", "not a number of changes "
                                   "from 0 to 999999: 1x"), ("1 2", "expected at most one "
                                   "operand, the number of changes to lose")):
            with self.subTest(arguments=arguments):
                assert_usage_error(self, sh(f"{RACE} {arguments}"), "race.sh", message)
        done = sh(f"PATH=/usr/bin:/bin {RACE}")
        self.assertEqual((done.returncode, done.stderr), (1, "race.sh: loosetally is not on "
                         "PATH; add the folder of the built programs\n"))

    def test_help_version_and_what_gdb_is_given(self):
        done = sh(f"{RACE} --help")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertRegex(done.stdout, r"^Usage: race\.sh \[--hold=inc\|dec\] \[--\] \[N\]\n"
                                      r"(.*\n)*.*\(default 5\)")
        done = sh(f"{RACE} --version")
        version = sh("tallycheck --version").stdout.split()[-1]
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (0, f"race.sh (glassbox) {version}\n", ""))
        # A gdb that runs no script: it tells what it was given, and exits 0 as gdb's batch
        # mode does even when its script stops on an error. Only the script's last word,
        # the late report, makes the race a success.
        with tempfile.TemporaryDirectory() as folder:
            stand_in_gdb(folder, 'printf "Inc: 1\\n" > "$RACE_OUTPUT"\n'
                                 'echo "race: hold $RACE_HOLD, lose $RACE_CHANGES, run ${*##* }"\n'
                                 '[ -z "$LAST_WORD" ] || echo "race: $LAST_WORD"\n')
            given = f"race.sh: hold Inc, lose 5, run {BIN}/loosetally\n"
            for word, status, out, err in (
                    ("Inc loaded 7 for its report: a late report", 0, "Inc: 1\n", ""),
                    ("", 1, "", "race.sh: the race could not be staged\n")):
                with self.subTest(last_word=word):
                    done = sh(f"LAST_WORD='{word}' PATH={folder}:$PATH {RACE}")
                    self.assertEqual((done.returncode, done.stdout), (status, out))
                    self.assertEqual(done.stderr, given + (f"race.sh: {word}\n" if word else "")
                                     + err)


def left_running(marker):
    """The processes other than this one whose command line or environment names `marker`:
    what a run that `marker` tells apart left behind."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline, \
                    open(f"/proc/{pid}/environ", "rb") as environ:
                if marker.encode() in cmdline.read() + environ.read() and int(pid) != os.getpid():
                    found.append(pid)
        except OSError:
            pass  # it ended meanwhile, or is another user's
    return found


class NothingLeftBehind(unittest.TestCase):
    """Whatever ends race.sh, the debugger and the program it holds end with it, and a
    program that gdb cannot hold is refused at once rather than left to run free."""

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.bin = folder.name

    def test_a_stripped_loosetally_is_refused_at_once(self):
        require("gdb", "gdb")
        require("strip", "binutils")
        shutil.copy(os.path.join(BIN, "loosetally"), self.bin)
        subprocess.run(["strip", os.path.join(self.bin, "loosetally")], check=True)
        done = sh(f"PATH={self.bin}:$PATH {RACE} 3", timeout=60)
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertEqual(done.stderr, f"race.sh: {self.bin}/loosetally has no symbol incThread "
                         "to hold its workers by (is it stripped?); use the loosetally built "
                         "from source: put its build/default/bin first on PATH\n"
                         "race.sh: the race could not be staged\n")
        self.assertEqual(left_running(self.bin), [])

    def test_a_signal_to_race_sh_ends_the_debugger_too(self):
        # A stand-in gdb that says it has started and then waits for ever, as a gdb whose
        # program runs free would.
        started = os.path.join(self.bin, "started")
        stand_in_gdb(self.bin, f": > {started}\nexec sleep 1000000\n")
        for signal_number in (signal.SIGINT, signal.SIGTERM, signal.SIGKILL):
            with self.subTest(signal=signal_number.name):
                path = f"{self.bin}:{ENV['PATH']}"
                with subprocess.Popen([RACE, "1"], env=dict(ENV, PATH=path, MARKER=self.bin),
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      start_new_session=True) as race:
                    while not os.path.exists(started) and race.poll() is None:
                        os.sched_yield()
                    self.assertTrue(os.path.exists(started), "race.sh never started gdb")
                    race.send_signal(signal_number)
                    race.wait(timeout=60)
                os.remove(started)
                # The parent-death signal reaches the stand-in as race.sh ends, but is
                # delivered by the kernel in its own time: the bound is for a hang only.
                deadline = time.monotonic() + 60
                while left_running(self.bin) and time.monotonic() < deadline:
                    os.sched_yield()
                self.assertEqual(left_running(self.bin), [])


if __name__ == "__main__":
    main()
