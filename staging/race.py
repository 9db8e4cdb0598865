"""loosetally's race made to happen on demand, inside gdb (run by race.sh).

Once both workers run, only one thread runs at a time (scheduler locking), so every step
of the race is chosen here, not by the scheduler. Each worker's store is found by stepping
its first change one instruction at a time until the counter changes: that works on the
program as built, on any processor, with or without a sanitizer's runtime in between. The
held worker stops at its store, its load done; the other worker alone makes its changes;
the held worker's stale store wipes them out. Before the held worker loads the counter
again for its report, the other worker makes one more change, so that report is late too.
Then the held worker alone prints a few more lines, its output is flushed, and the program
is killed."""

import os
import shlex
import sys

import gdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import holding  # noqa: E402
from holding import quiet, read_int, routine, symbol_address  # noqa: E402

HOLD = os.environ["RACE_HOLD"]  # "Inc" or "Dec": the worker held with a stale value
OTHER = "Dec" if HOLD == "Inc" else "Inc"
CHANGES = int(os.environ["RACE_CHANGES"])
OUTPUT = os.environ["RACE_OUTPUT"]  # the file that takes the program's standard output
PROGRAM = gdb.current_progspace().filename
AFTER = 20  # lines the held worker prints after the staged race

stops = []
gdb.events.stop.connect(stops.append)


def say(text):
    sys.stderr.write(f"race: {text}\n")


def give_up(reason):
    say(reason)
    if gdb.selected_inferior().pid:
        gdb.execute("kill")
    gdb.execute("quit 1")


def changes(number):
    return f"{number} change{'' if number == 1 else 's'}"


def counter():
    return read_int(COUNT)


def go(thread, command="continue"):
    """Lets `thread` alone run until it stops again; the race cannot be staged otherwise."""
    try:
        holding.go(thread, command)
    except holding.Lost as error:
        give_up(str(error))


def find_store(thread):
    """Steps `thread` until the counter changes, and returns the address of the instruction
    that changed it: the worker's store. A worker stopped at its report runs the report
    through first: a thread's first printf allocates the stream's buffer and may bind the
    symbol, many thousands of instructions, and stepped one by one on a busy machine those
    take minutes."""
    thread.switch()
    if routine() != f"{thread.name.lower()}Thread":
        printing(False)
        go(thread, "finish")
        printing(True)
    before = counter()
    while True:
        thread.switch()
        address = gdb.selected_frame().pc()
        go(thread, "stepi")
        if counter() != before:
            return address


def printing(enabled):
    for stop in reports:
        stop.enabled = enabled


quiet()
# A stripped program has no symbols to break on: it would run free, printing, where it should
# stop. The same name is given for each worker's routine and for the counter.
for symbol in ("incThread", "decThread"):
    if symbol_address(symbol) is None:
        give_up(f"{shlex.quote(PROGRAM)} has no symbol {symbol} to hold its workers by "
                "(is it stripped?); use the loosetally built from source: put its "
                "build/default/bin first on PATH")
entries = {gdb.Breakpoint(f"{name.lower()}Thread", internal=True): name for name in ("Inc", "Dec")}
try:
    gdb.execute("run > " + shlex.quote(OUTPUT), to_string=True)
except gdb.error as error:
    give_up(f"gdb cannot run the program: {error}")
if not gdb.selected_inferior().pid or not stops or not isinstance(stops[-1], gdb.BreakpointEvent):
    give_up("gdb cannot trace the program (is ptrace permitted here?)")


COUNT = symbol_address("count")
if COUNT is None:
    give_up("cannot find the counter among the program's symbols")
# Should gdb itself be killed (race.sh's time-out), the program would run on, detached and
# printing; race.sh then kills it by this process id.
with open(os.environ["RACE_PID"], "w") as pid_file:
    pid_file.write(f"{gdb.selected_inferior().pid}\n")

# The first worker to arrive runs on alone, a consistent prefix, while the main thread
# creates the second (a thread's creation may wait for the new thread to start, so
# everything runs here). The second is stopped at its first instruction: it has not yet
# touched the counter. The first is then brought to where it calls printf, holding no lock.
workers = {}
while len(workers) < 2:
    entry = stops[-1].breakpoints[0]
    gdb.selected_thread().name = entries[entry]
    workers[entries[entry]] = gdb.selected_thread()
    entry.delete()
    if len(workers) < 2:
        gdb.execute("continue", to_string=True)
first = next(iter(workers.values()))
gdb.execute("set scheduler-locking on")
reports = [gdb.Breakpoint(name, internal=True) for name in ("printf", "__printf_chk")]
go(first)
held, other = workers[HOLD], workers[OTHER]

# Each worker makes one change one instruction at a time, to find its store, and runs on to
# print it. The held worker prints and comes back to its store, its load done: held there.
stores = {held: find_store(held)}
go(held)
stores[other] = find_store(other)
go(other)
hold = gdb.Breakpoint(f"*{stores[held]:#x}", internal=True)
printing(False)
go(held)
hold.delete()
stale = counter()
say(f"{HOLD} loaded {stale} and is held before its store")
printing(True)
for _ in range(CHANGES):  # each: print the last report, load, store, load for the next
    go(other)
if CHANGES:
    say(f"{OTHER} alone made {changes(CHANGES)}, to {counter()}")
go(held, "stepi")
say(f"{HOLD} stored {counter()}, computed from {stale}: {changes(CHANGES)} lost")
go(other)
say(f"{OTHER} changed it to {counter()} before {HOLD} loaded it again for its report")
go(held)
say(f"{HOLD} loaded {counter()} for its report: a late report")

# The other worker prints its pending line and stops at its next store, for good; the held
# worker alone prints a few more lines. Then what the stream buffers is written out.
last = gdb.Breakpoint(f"*{stores[other]:#x}", internal=True)
printing(False)
go(other)
last.delete()
printing(True)
for _ in range(AFTER):
    go(held)
gdb.execute("call (int) fflush(0)", to_string=True)
gdb.execute("kill")
