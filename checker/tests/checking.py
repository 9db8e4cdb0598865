"""Feeding crafted traces to tallycheck, as the checker's tests do: through a pipe, all at
once or a few bytes a read."""

import array
import fcntl
import os
import re
import subprocess
import tempfile
import termios

from harness import BIN

TALLYCHECK = os.path.join(BIN, "tallycheck")


def wait_until_read(process, pipe):
    """Returns once the pipe holds no unread byte, or the process has ended. FIONREAD gives
    the count on either end of a pipe."""
    unread = array.array("i", [0])
    while process.poll() is None:
        fcntl.ioctl(pipe, termios.FIONREAD, unread)
        if unread[0] == 0:
            return
        os.sched_yield()


def check(trace, *operands, chunk=None):
    """Feeds trace to tallycheck's standard input and returns its status, output and error.
    With `chunk`, writes that many bytes at a time, each once the one before has been read,
    so that each arrives in a read of its own. tallycheck may end before it reads its input
    (--version, a usage error): the broken pipe is then no failure. Output goes to files, so
    that however much tallycheck prints before it has read everything, it never blocks."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        with subprocess.Popen([TALLYCHECK, *operands], stdin=subprocess.PIPE, stdout=out,
                              stderr=err, bufsize=0) as process:
            pipe = process.stdin.fileno()
            step = chunk or len(trace) or 1
            try:
                for start in range(0, len(trace), step):
                    piece = memoryview(trace)[start:start + step]
                    while piece:
                        piece = piece[os.write(pipe, piece):]
                    if chunk:
                        wait_until_read(process, pipe)
            except BrokenPipeError:
                pass
        out.seek(0)
        err.seek(0)
        return process.returncode, out.read().decode(), err.read().decode()


def check_each(traces, *options):
    """Saves each trace to a file of its own and checks them all in one run of tallycheck,
    where each file is a trace of its own, read whole by one read. Returns the status and
    each trace's summary, in order. The files go to a folder in memory where there is one:
    a disk may take a millisecond a file."""
    memory = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=memory) as folder:
        names = [os.path.join(folder, str(number)) for number in range(len(traces))]
        for name, trace in zip(names, traces):
            with open(name, "wb") as file:
                file.write(trace)
        status, out, err = check(b"", *options, *names)
    summaries = re.split(r"^trace: .*\n", out, flags=re.M)
    if len(summaries) != len(traces) + 1 or err:
        raise AssertionError(out + err)
    return status, summaries[1:]


def consistent_trace(count):
    lines, value = [], 0
    for i in range(count):
        value += 1 if i % 3 else -1
        lines.append(f"{'Inc' if i % 3 else 'Dec'}: {value}\n")
    return "".join(lines).encode(), value
