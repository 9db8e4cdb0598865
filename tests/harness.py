"""Runs the built programs as users do: from a shell, through pipes and into files, on a
pseudo-terminal, and with system calls made to fail under strace or a seccomp filter."""

import atexit
import ctypes
import os
import importlib
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BIN = os.environ["GLASSBOX_BIN"]
ENV = dict(os.environ, PATH=BIN + os.pathsep + os.environ["PATH"], LC_ALL="C")
# ThreadSanitizer's runtime starts a thread of its own before the program's first.
RUNTIME_THREADS = 1 if "thread" in os.environ.get("GLASSBOX_SANITIZE", "") else 0


def require(tool, package):
    """Fails the calling test, naming the Debian package to install, unless `tool` (a
    command on PATH, or a Python module given as "python3:NAME") is there. A missing tool
    must never make a test pass without testing."""
    if tool.startswith("python3:"):
        try:
            return importlib.import_module(tool.split(":", 1)[1])
        except ImportError:
            pass
    elif shutil.which(tool, path=ENV["PATH"]):
        return None
    raise AssertionError(f"this test needs {tool}: install Debian's {package}")


# This process is a child subreaper: a process that a test started, directly or through
# others, and whose parent has ended comes to it rather than to init. So every one of them
# stays in this process's tree, which CTest kills whole when the test times out, and the
# sweep at exit below finds them.
PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def processes():
    """Each living process of the machine, as (pid, parent's pid, session id); a zombie,
    or one that ends while it is read, is left out."""
    found = []
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{name}/stat", encoding="utf-8", errors="replace") as stat:
                # After the command's name, in parentheses that may hold anything: the
                # state, the parent, the process group and the session.
                state, parent, _, session = stat.read().rsplit(")", 1)[1].split()[:4]
        except (OSError, ValueError):
            continue
        if state not in ("Z", "X"):
            found.append((int(name), int(parent), int(session)))
    return found


def end_session(leader):
    """Kills every process of the session that `leader` started with start_new_session (or
    pty.fork), whatever process group each put itself in, and returns once none is left
    alive; their parents collect them. A program that made a session of its own escapes
    this, but not end_descendants."""
    while members := [pid for pid, _, session in processes() if session == leader]:
        for pid in members:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.01)  # for the kills to land: the loop ends on what it sees, not this


def end_descendants():
    """Kills and collects every process that this one started, directly or through others:
    as the subreaper, each orphan among them is this process's child by now."""
    while True:
        children = [pid for pid, parent, _ in processes() if parent == os.getpid()]
        for pid in children:
            os.kill(pid, signal.SIGKILL)
        for pid in children:  # whose own children come here as each ends
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:  # collected elsewhere meanwhile
                pass
        try:  # zombies that nobody collected
            while os.waitpid(-1, os.WNOHANG)[0]:
                pass
        except ChildProcessError:
            pass
        if not children:
            return


# Nothing that a test started outlives the test script, however the test ended.
atexit.register(end_descendants)


def run(argv, timeout=60, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, **kwargs):
    """Runs argv as subprocess.run does, with its output as text, but in a session of its
    own: when it times out, or the test fails while it runs, every process that it started
    is killed with it, not the first alone. It returns once every process holding its pipes
    has ended, a forked child included."""
    with subprocess.Popen(argv, env=env, stdout=stdout, stderr=stderr, text=True,
                          start_new_session=True, **kwargs) as process:
        try:
            out, err = process.communicate(timeout=timeout)
        except BaseException:
            end_session(process.pid)
            raise
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def sh(script, timeout=60, stdout=subprocess.PIPE, prefix=("bash", "-c"), env=ENV, **kwargs):
    """Runs a bash script with the built programs first on PATH (unless `env` says
    otherwise); returns the finished process with its standard output (unless sent
    elsewhere) and error as text, as `run` does. `prefix` is the command that takes the
    script as its last argument."""
    return run([*prefix, script], timeout=timeout, stdout=stdout, env=env, **kwargs)


# What CTest counts as a skipped test, rather than a passed one.
SKIPPED = 77


def main():
    """Runs the script's tests as unittest.main does, but ends with status SKIPPED when a
    test was skipped and none failed: a test that could not run is not shown as passed."""
    result = unittest.main(exit=False).result
    sys.exit(1 if not result.wasSuccessful() else SKIPPED if result.skipped else 0)


# The folders that every user of the machine may write to.
SHARED = ("/tmp", "/var/tmp", "/dev/shm")


def sealed(folder, cwd):
    """A prefix for sh that runs its script from the folder `cwd`, with TMPDIR set to
    `folder` and, in a mount namespace of its own, the root file system and every shared
    folder read-only but `folder`: a command that writes to a fixed name in a shared folder
    then fails, where elsewhere it would write, or read another user's file. Nothing is
    hidden: a tree under /tmp stays visible. Where the test is not root, the namespace
    needs a user namespace; where the machine allows neither, the prefix only sets TMPDIR,
    and the reason comes second (else None)."""
    start = 'cd "$1" && export TMPDIR="$0" && exec bash -c "$2"'
    shared = " ".join(SHARED)
    mounts = (f'for d in {shared}; do if [ -d "$d" ]; then mount --bind "$d" "$d"; fi; done; '
              'mount --bind "$0" "$0"; '
              f'for d in / {shared}; do if [ -d "$d" ]; then mount -o remount,bind,ro "$d"; '
              f'fi; done; {start}')
    user = [] if os.geteuid() == 0 else ["--map-root-user"]
    prefix = ["unshare", "--mount", "--propagation", "private", *user, "--", "bash", "-ec",
              mounts, folder, cwd]
    done = subprocess.run(prefix + ["true"], capture_output=True, text=True, check=False)
    if done.returncode == 0:
        return prefix, None
    return ["bash", "-c", start, folder, cwd], (
        f"cannot make the shared folders read-only: {done.stderr.strip()} (unshare needs "
        "root, or unprivileged user namespaces: sysctl kernel.unprivileged_userns_clone=1)")


def assert_usage_error(test, done, tool, message):
    """Checks that a finished command of `tool` was a usage error, as a Unix tool reports
    one: status 2, nothing on standard output, the message and the hint to --help."""
    test.assertEqual((done.returncode, done.stdout), (2, ""))
    test.assertEqual(done.stderr, f"{tool}: {message}\n"
                                  f"Try '{tool} --help' for more information.\n")


def still_folder(test, files=(), folders=(), programs=()):
    """Makes a folder for `test` (a test, or a test class in setUpClass) whose `ls -a -l`
    cannot change while the test runs, and returns its path and that listing; it holds
    `files`, `folders` and copies of the built `programs`. Its parent, "..", is a fresh
    folder too: a shared one such as /tmp changes its link count whenever other work makes a
    folder in it. Every time stamp is fixed. The folders are removed when the test ends."""
    top = tempfile.TemporaryDirectory()
    (test.addClassCleanup if isinstance(test, type) else test.addCleanup)(top.cleanup)
    folder = os.path.join(top.name, "here")
    os.makedirs(folder)
    for name in folders:
        os.makedirs(os.path.join(folder, name))
    for name in files:
        with open(os.path.join(folder, name), "w") as file:
            file.write(name)
    for name in programs:
        shutil.copy(os.path.join(BIN, name), folder)
    for path in [os.path.join(folder, name) for name in folders] + [folder, top.name]:
        os.utime(path, (1e9, 1e9))
    listing = subprocess.run(["/bin/ls", "-a", "-l"], cwd=folder, env=ENV,
                             capture_output=True, text=True, check=True).stdout
    return folder, listing


def strace(*injections):
    """A command prefix that runs a program under strace with each injection applied
    (for example "execve:error=ENOENT:when=2"), following its children."""
    require("strace", "strace")
    prefix = "strace -f -o /dev/null"
    return prefix + "".join(f" -e inject={injection}" for injection in injections)


def on_terminal(argv, interrupt_after_lines=None, cwd=None, timeout=20):
    """Runs argv with a new pseudo-terminal as its controlling terminal and standard
    streams, and reads what it writes until it ends. With interrupt_after_lines, types the
    interrupt character once that many lines have appeared. Returns the output (the terminal turns
    each "\\n" into "\\r\\n"), whether the program was still running when the interrupt
    was typed, and its exit status, negative for the signal that ended it."""
    pid, master = pty.fork()
    if pid == 0:
        try:
            if cwd:
                os.chdir(cwd)
            os.execvpe(argv[0], argv, ENV)
        finally:
            os._exit(127)
    output, running, deadline = b"", None, time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if (running is None and interrupt_after_lines is not None and
                    output.count(b"\n") >= interrupt_after_lines):
                running = os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None
                os.write(master, b"\x03")
            if select.select([master], [], [], 0.1)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # EIO: the program has ended and its terminal with it
                    break
                output += chunk
        else:
            end_session(pid)  # pty.fork made the program the leader of a session
    except BaseException:
        end_session(pid)
        raise
    finally:
        os.close(master)
    return output, running, os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def libraries_needed(elf):
    """The NEEDED entries of a program's `readelf -l -d` text, less its own interpreter:
    glibc for aarch64 keeps the stack protector's canary in the dynamic loader, so there a
    program with protected frames names it too; on x86-64 none does."""
    loader = os.path.basename(re.search(r"interpreter: (\S+)\]", elf).group(1))
    return [name for name in re.findall(r"\(NEEDED\).*\[(.*)\]", elf) if name != loader]


def fail_with(syscall, value, errno_value, argument=1, mask=0xFFFFFFFF):
    """A preexec function that installs a seccomp filter making `syscall` fail with
    errno_value whenever its argument number `argument` (the second by default), masked
    with `mask` (its low 32 bits by default), equals `value`; everything else runs. This
    targets one kind of call where strace can only count calls. libseccomp resolves the
    call's number and the audit architecture of the machine it runs on."""
    seccomp = require("python3:seccomp", "python3-seccomp")

    def install():
        only_this_kind = seccomp.Arg(argument, seccomp.MASKED_EQ, mask, value)
        rules = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
        rules.add_rule(seccomp.ERRNO(errno_value), syscall, only_this_kind)
        rules.load()
    return install
