"""Programs for interleave's tests: copies of the built ones, and programs of the counter
shape written and compiled here, as a learner would write them, with names of their own."""

import os
import shutil
import subprocess
import tempfile

from harness import BIN, require

# A learner's program: two workers started by main, a counter, report lines. Each worker's
# pass is TAKE, the change of the counter (a load and a store), the report, GIVE.
SHAPE = """#include <atomic>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

static int tally;
static pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;
static sem_t first, second;
static std::atomic_flag busy;

static void *up(void *) {
    for (;;) {
        %(up)s
    }
}

static void *down(void *) {
    for (;;) {
        %(down)s
    }
}

int main() {
    sem_init(&first, 0, 1);
    sem_init(&second, 0, 1);
    pthread_t a, b;
    pthread_create(&a, nullptr, up, nullptr);
    %(second)s
    pthread_join(a, nullptr);
}
"""


def shaped(before, change, after, sign):
    label = "Inc" if sign == "+" else "Dec"
    return (f"{before} int loaded = tally; {change[0]} tally = loaded {sign} 1; {change[1]} "
            f'printf("{label}: %d\\n", tally); {after}')


def worker(take, give, sign, only_the_store=False):
    if only_the_store:
        return shaped("", (take, give), "", sign)
    return shaped(take, ("", ""), give, sign)


LOCK, UNLOCK = "pthread_mutex_lock(&guard);", "pthread_mutex_unlock(&guard);"
SPIN, UNSPIN = "while (busy.test_and_set()) {}", "busy.clear();"
PROGRAMS = {
    # The fix: the change and its report under one mutex.
    "mutexfix": (worker(LOCK, UNLOCK, "+"), worker(LOCK, UNLOCK, "-")),
    # A fix that guards only the store: the load before it is still free.
    "storeonly": (worker(LOCK, UNLOCK, "+", True), worker(LOCK, UNLOCK, "-", True)),
    # Two semaphores, taken in opposite orders.
    "opposite": (worker("sem_wait(&first); sem_wait(&second);",
                        "sem_post(&second); sem_post(&first);", "+"),
                 worker("sem_wait(&second); sem_wait(&first);",
                        "sem_post(&first); sem_post(&second);", "-")),
    # A spin lock of the program's own: a worker that waits for it re-reads the flag.
    "spinning": (worker(SPIN, UNSPIN, "+"), worker(SPIN, UNSPIN, "-")),
    # One worker alone, which main joins: it never starts a second, and never ends.
    "alone": (worker("", "", "+"), worker("", "", "-"), ""),
}
SECOND = "pthread_create(&b, nullptr, down, nullptr);"


def compiled(test_class, names=tuple(PROGRAMS)):
    """Compiles each of PROGRAMS named into a folder of the test class's own; returns the
    folder."""
    require("g++", "g++")
    folder = tempfile.mkdtemp()
    test_class.addClassCleanup(shutil.rmtree, folder)
    for name in names:
        up, down, *second = PROGRAMS[name]
        source = os.path.join(folder, f"{name}.cpp")
        with open(source, "w", encoding="utf-8") as text:
            text.write(SHAPE % {"up": up, "down": down, "second": (second or [SECOND])[0]})
        subprocess.run(["g++", "-std=c++20", "-O2", "-pthread", "-o",
                        os.path.join(folder, name), source], check=True)
    return folder


def unfolded(output):
    """interleave's output with its verdict and its replay command, folded to fit the
    screen, each on one line again."""
    return output.replace("\n         ", " ").replace(" \\\n    ", " ")


def copy_of(test, program):
    """A copy of a built program in a folder of the test's own, found by its path."""
    folder = tempfile.mkdtemp()
    test.addCleanup(shutil.rmtree, folder)
    shutil.copy(os.path.join(BIN, program), folder)
    return os.path.join(folder, program)


def running(path):
    """The processes, of any user, whose program is the file at `path`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/exe") == path:
                found.append(pid)
        except OSError:
            continue
    return found
