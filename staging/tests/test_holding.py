"""interleave always stops: a signal ends it, and everything it started, in every state it
can be in; and a program that cannot be held, byte-damaged copies of the built programs
included, gets one message and ends, leaving no process behind. Each signal is sent once
the state it is meant to reach can be seen in /proc, never after a delay."""

import os
import pty
import random
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import BIN, ENV, main, require
from programs import copy_of

INTERLEAVE = os.path.join(BIN, "interleave")
# A bound for the wait on an interleave that should already have ended; reached only by a
# fault, and then everything in its session is killed.
SAFETY_NET = 30

# A worker that blocks in a system call within its first step: a step that runs for good.
BLOCKING = """#include <pthread.h>
#include <stdio.h>
#include <unistd.h>
static int count;
static void *up(void *) { for (;;) { pause(); count = count + 1; printf("%d\\n", count); } }
static void *down(void *) { for (;;) { count = count - 1; printf("%d\\n", count); } }
int main() {
    pthread_t a, b;
    pthread_create(&a, nullptr, up, nullptr);
    pthread_create(&b, nullptr, down, nullptr);
    pthread_join(a, nullptr);
}
"""


def session_processes(session):
    """The processes of the session `session`, zombies included, each as (pid, path of its
    program or None)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", encoding="utf-8", errors="replace") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == session:
            try:
                found.append((pid, os.readlink(f"/proc/{pid}/exe")))
            except OSError:
                found.append((pid, None))
    return found


def thread_states(pid):
    """Each thread's state letter and tracer, for the process `pid`."""
    states = []
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/status", encoding="utf-8") as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
            states.append((fields["State"].split()[0], int(fields["TracerPid"])))
    except (OSError, KeyError):
        pass
    return states


def held(session, program):
    """The processes of `program` in the session that a tracer holds."""
    return [pid for pid, path in session_processes(session)
            if path == program and any(tracer for _, tracer in thread_states(pid))]


def ended(test, pid):
    """Waits for the process `pid`, a child leading a session of its own, to end; returns its
    exit status, 128 + the signal that ended it as a shell shows it. A fault that keeps it
    running fails the test, and the session is killed."""
    deadline = time.monotonic() + SAFETY_NET
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            code = os.waitstatus_to_exitcode(status)
            return code if code >= 0 else 128 - code
        time.sleep(0.05)
    os.killpg(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    test.fail(f"interleave still ran {SAFETY_NET} s after it was told to end")
    return None


def started(argv, terminal):
    """Starts argv leading a session of its own, on a new pseudo-terminal or with its
    streams on /dev/null; returns its pid and the terminal's master side (or None)."""
    if terminal:
        pid, master = pty.fork()
        if pid == 0:
            try:
                os.execve(argv[0], argv, ENV)
            finally:
                os._exit(127)
        return pid, master
    with open(os.devnull, "r+b") as null:
        return subprocess.Popen(argv, env=ENV, stdin=null, stdout=null, stderr=null,
                                start_new_session=True).pid, None


class Signals(unittest.TestCase):
    """SIGINT (as a terminal sends it, to the process group), SIGTERM and SIGHUP end interleave
    with 128 + the signal, however busy or idle it is, and leave nothing of its run."""

    SENT = ((signal.SIGINT, True), (signal.SIGTERM, False), (signal.SIGHUP, False))

    def check_ends(self, argv, ready, terminal=False):
        for number, to_group in self.SENT:
            with self.subTest(argv=argv[1:], signal=number.name):
                pid, master = started(argv, terminal)
                try:
                    while not ready(pid, master):
                        done, status = os.waitpid(pid, os.WNOHANG)
                        if done:
                            self.fail(f"it ended ({status:#x}) before it was signalled")
                        os.sched_yield()
                    (os.killpg if to_group else os.kill)(pid, number)
                    self.assertEqual(ended(self, pid), 128 + number)
                    self.assertEqual(session_processes(pid), [])
                finally:
                    if master is not None:
                        os.close(master)

    def test_while_a_step_blocks_in_a_system_call(self):
        require("g++", "g++")
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        source = os.path.join(folder, "blocking.cpp")
        with open(source, "w", encoding="utf-8") as text:
            text.write(BLOCKING)
        program = os.path.join(folder, "blocking")
        subprocess.run(["g++", "-O2", "-pthread", "-o", program, source], check=True)

        # The up worker runs into pause() as it starts: it sleeps in the kernel while the
        # down worker's steps, the only ones left, go on.
        def blocked(session, _):
            return any(state == "S" for pid in held(session, program)
                       for state, _ in thread_states(pid))
        self.check_ends([INTERLEAVE, "-c", "-s", "D", "--max-steps=100000", program], blocked)

    def test_while_every_schedule_runs(self):
        copy = copy_of(self, "loosetally")
        self.check_ends([INTERLEAVE, "--all", "--passes=3", copy],
                        lambda session, _: len(held(session, copy)) >= 1)

    def test_while_it_asks_at_the_terminal(self):
        copy = copy_of(self, "loosetally")
        shown = bytearray()

        def asking(session, master):
            if select.select([master], [], [], 0)[0]:
                try:
                    shown.extend(os.read(master, 65536))
                except OSError:
                    return False
            return b"; q to stop)? " in shown and held(session, copy) != []
        self.check_ends([INTERLEAVE, "-c", copy], asking, terminal=True)


class Damaged(unittest.TestCase):
    """Copies of the built programs with random bytes changed, drawn from a fixed seed: each
    is held, or refused with one message, within the bound, and none leaves a process."""

    def test_byte_damaged_programs_end_and_leave_nothing(self):
        require("timeout", "coreutils")
        draw = random.Random(38)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        schedules = {"loosetally": "IDDDII", "guardtally": "IDDDII", "spawnlist": "PCCPP"}
        originals = {name: open(os.path.join(BIN, name), "rb").read() for name in schedules}
        for copy in range(100):
            name = draw.choice(sorted(schedules))
            damaged = bytearray(originals[name])
            for _ in range(draw.randint(1, 8)):
                damaged[draw.randrange(len(damaged))] = draw.randrange(256)
            path = os.path.join(folder, f"{name}{copy}")
            with open(path, "wb") as file:
                file.write(damaged)
            os.chmod(path, 0o755)
            with self.subTest(copy=path):
                # timeout is a safety net only: a fault that hangs ends as SIGKILL's 137.
                with subprocess.Popen(["timeout", "-s", "KILL", str(SAFETY_NET), INTERLEAVE,
                                       "-c", path, schedules[name]], env=ENV,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, start_new_session=True) as run:
                    said = run.stderr.read().decode(errors="replace")
                    status = ended(self, run.pid)
                    run.returncode = status
                self.assertIn(status, (0, 1, 2, 3), said)
                self.assertEqual(session_processes(run.pid), [])
                messages = [line for line in said.splitlines() if line.startswith("interleave:")]
                self.assertLessEqual(len(messages), 1, said)
                self.assertNotRegex(said, r"wait status|did not reach|cannot set a breakpoint")
                os.unlink(path)


if __name__ == "__main__":
    main()
