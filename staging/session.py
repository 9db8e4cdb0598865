"""The driver's side of a run under gdb: gdb started with the program's standard output on
a pseudo-terminal that this process owns, one step asked for and answered at a time, and
everything that gdb started ended and reaped at the close."""

import json
import os
import resource
import select
import signal
import subprocess
import tempfile
import termios

# The gdb side, steps.py, sits beside this file, in the source tree and installed alike.
STEPS = os.path.join(os.path.dirname(os.path.realpath(__file__)), "steps.py")
STEP_LIMIT = 120  # seconds: a safety net for a gdb that lost the program, not a schedule
OUTPUT_LIMIT = 1 << 20  # bytes one step may print: the program is held, so it never nears it
LOG_LIMIT = 1 << 24  # bytes of gdb's own messages, and of anything the program writes to files


class Failure(Exception):
    pass


# A signal that comes just before a wait begins would not end it: its handler runs only once
# the wait is over. So each signal also writes a byte to this pipe, which every wait watches.
SIGNALLED, SIGNALS = os.pipe()
for end in (SIGNALLED, SIGNALS):
    os.set_blocking(end, False)


def readable(fd, timeout):
    """Whether `fd` can be read within `timeout` seconds (None: no limit). A signal ends the
    wait, and its handler, which ends interleave, runs as soon as this returns."""
    ready = select.select([fd, SIGNALLED], [], [], timeout)[0]
    if SIGNALLED in ready:
        os.read(SIGNALLED, 512)
    return fd in ready


def bound_files():
    resource.setrlimit(resource.RLIMIT_FSIZE, (LOG_LIMIT, LOG_LIMIT))


class Session:
    """One run of the program under gdb. Its standard output is a pseudo-terminal that this
    process owns, so the C library buffers it by lines, as at a terminal: a line is written
    out by the step that prints it. After each step a NUL byte, which no program here
    prints, is written to the same terminal behind what the program wrote; reading up to it
    gives exactly that step's output, with no waiting on a clock."""

    def __init__(self, program, kind):
        self.master, self.slave = os.openpty()
        modes = termios.tcgetattr(self.slave)
        modes[1] &= ~termios.OPOST  # the bytes as written: no "\n" made into "\r\n"
        termios.tcsetattr(self.slave, termios.TCSANOW, modes)
        requests, self.requests = os.pipe()
        self.replies, replies = os.pipe()
        self.log = tempfile.TemporaryFile()
        self.pending = b""
        env = dict(os.environ, INTERLEAVE_KIND=kind, INTERLEAVE_PROGRAM=program,
                   INTERLEAVE_TTY=os.ttyname(self.slave), INTERLEAVE_REQUESTS=str(requests),
                   INTERLEAVE_REPLIES=str(replies),
                   # AddressSanitizer's leak check at exit needs to ptrace the program, which
                   # gdb already does; it would fail the exit.
                   ASAN_OPTIONS=":".join(filter(None, (os.environ.get("ASAN_OPTIONS"),
                                                      "detect_leaks=0"))))
        self.gdb = subprocess.Popen(
            ["gdb", "-nx", "-batch", "-q", "-x", STEPS, "--args",
             program], stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            env=env, pass_fds=(requests, replies), start_new_session=True,
            preexec_fn=bound_files)
        os.close(requests)
        os.close(replies)

    def reply(self):
        while b"\n" not in self.pending:
            if not readable(self.replies, STEP_LIMIT):
                raise Failure(f"gdb did not take a step within {STEP_LIMIT} seconds")
            chunk = os.read(self.replies, 65536)
            if not chunk:
                raise Failure("gdb ended before the step was taken" +
                              "".join(f"\n  {line}" for line in self.said()[-3:]))
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        answer = json.loads(line)
        if "error" in answer:
            refusals = [said for said in self.said() if said.startswith("warning: ptrace: ")]
            if refusals:  # the kernel, a seccomp filter or a container said no
                raise Failure(f"gdb cannot trace the program here: {refusals[0][9:]}")
            raise Failure(answer["error"])
        return answer

    def said(self):
        """The lines of gdb's log, read without moving the offset that gdb writes at."""
        return os.pread(self.log.fileno(), LOG_LIMIT, 0).decode(errors="replace").splitlines()

    def step(self, letter):
        os.write(self.requests, letter.encode() + b"\n")
        answer = self.reply()
        os.write(self.slave, b"\0")
        printed = b""
        while not printed.endswith(b"\0"):
            if not readable(self.master, STEP_LIMIT):
                raise Failure("the program's output did not arrive")
            printed += os.read(self.master, 65536)
            if len(printed) > OUTPUT_LIMIT:
                raise Failure("the program printed more than a step can")
        return answer, printed[:-1].decode(errors="backslashreplace")

    def close(self):
        """Ends gdb and everything it started: the program, and an orphan of its fork that
        came to this process, its subreaper."""
        try:
            os.write(self.requests, b"end\n")
            self.gdb.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        try:
            os.killpg(self.gdb.pid, signal.SIGKILL)
        except OSError:
            pass
        self.gdb.wait()
        # What gdb still held comes to this process, the subreaper, when gdb ends, and what
        # each of those started comes when it ends: each is killed and reaped in turn.
        while True:
            for child in children():
                os.kill(child, signal.SIGKILL)
            try:
                os.waitpid(-1, 0)
            except ChildProcessError:
                break
        for fd in (self.master, self.slave, self.requests, self.replies):
            os.close(fd)
        self.log.close()


def children():
    """This process's children, as /proc tells them."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                    found.append(int(pid))
        except (OSError, IndexError, ValueError):
            continue
    return found
