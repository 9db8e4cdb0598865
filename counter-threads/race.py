"""loosetally's race made to happen on demand, inside gdb (run by race.sh).

Only one thread runs at a time (scheduler locking), and a hardware watchpoint on the counter
stops the running thread right after each of its accesses: the load, the store, and the load
for the report. Counting accesses, not instructions, finds the load and the store in the
program as built, on any processor that gdb can watch memory on. The held worker stops
between its load and its store; the other worker alone makes its changes; the held worker
then stores its stale value over them. Before it loads the counter again for its report,
the other worker makes one more change, so that report is late too. Then the held worker
alone runs on until the reader of the output has its lines."""

import os
import shlex
import sys

import gdb

HOLD = os.environ["RACE_HOLD"]  # "Inc" or "Dec": the worker held with a stale value
OTHER = "Dec" if HOLD == "Inc" else "Inc"
CHANGES = int(os.environ["RACE_CHANGES"])
OUTPUT = os.environ["RACE_OUTPUT"]  # where the program's standard output goes
PIDFILE = os.environ["RACE_PIDFILE"]  # for race.sh, which kills the program if gdb dies

stops = []
gdb.events.stop.connect(stops.append)


def say(text):
    sys.stderr.write(f"race: {text}\n")


def give_up(reason):
    say(reason)
    if gdb.selected_inferior().pid:
        gdb.execute("kill")
    gdb.execute("quit 1")


def counter():
    return int.from_bytes(gdb.selected_inferior().read_memory(COUNT, 4), sys.byteorder,
                          signed=True)


def go(thread, command="continue"):
    """Lets `thread` alone run (scheduler locking) until it stops again, by itself."""
    thread.switch()
    try:
        gdb.execute(command, to_string=True)
    except gdb.error as error:
        give_up(f"the {thread.name} worker did not get that far: {error}")
    if not gdb.selected_inferior().pid or gdb.selected_thread() != thread:
        give_up(f"the {thread.name} worker stopped elsewhere")


def find_store(thread):
    """Steps `thread` one instruction at a time until the counter changes, and returns the
    address of the instruction that changed it: the worker's store. The step finds it in
    the program as built, on any processor."""
    before = counter()
    while True:
        thread.switch()
        address = gdb.selected_frame().pc()
        go(thread, "stepi")
        if counter() != before:
            return address


def at(address, thread, times=1):
    """Lets `thread` alone run until it has reached `address` `times` times."""
    stop = gdb.Breakpoint(f"*{address:#x}", internal=True)
    stop.ignore_count = times - 1
    go(thread)
    stop.delete()


for setting in ("pagination off", "confirm off", "print thread-events off",
                "print inferior-events off"):
    gdb.execute(f"set {setting}")
# The reader stops after the lines it needs; the program then ends by SIGPIPE, as it would.
gdb.execute("handle SIGPIPE nostop noprint pass", to_string=True)
entries = {gdb.Breakpoint(f"{name.lower()}Thread", internal=True): name for name in ("Inc", "Dec")}
try:
    gdb.execute("run > " + shlex.quote(OUTPUT), to_string=True)
except gdb.error as error:
    give_up(f"gdb cannot run the program: {error}")
if not gdb.selected_inferior().pid or not stops or not hasattr(stops[-1], "breakpoints"):
    give_up("gdb cannot trace the program (is ptrace permitted here?)")
with open(PIDFILE, "w", encoding="ascii") as pidfile:
    pidfile.write(f"{gdb.selected_inferior().pid}\n")
COUNT = int(gdb.parse_and_eval("(long) &count"))

# Each thread is held where it holds nothing: the workers at their first instruction,
# before they touch the counter, and the main thread as it starts to wait for them. One
# thread runs at a time, the others waiting where they are: the main thread until it has
# created both workers, then each worker not yet held. The workers are the two threads the
# main thread created last (a sanitizer's runtime may have a thread of its own).
gdb.execute("set scheduler-locking on")
places = {gdb.Breakpoint("pthread_join", internal=True): "main"}
places.update(entries)
waiting = {}
while True:
    thread = gdb.selected_thread()
    place = places[stops[-1].breakpoints[0]]
    thread.name = place
    waiting[place] = thread
    if len(waiting) == 3:
        break
    threads = sorted(gdb.selected_inferior().threads(), key=lambda t: t.num)
    if "main" not in waiting:
        threads[0].switch()
    else:
        threads[-2 if "Dec" in waiting else -1].switch()
    gdb.execute("continue", to_string=True)
for place in places:
    place.delete()
held, other = waiting[HOLD], waiting[OTHER]

# The first change of each worker, one instruction at a time, finds its store; each then
# runs on to the call that prints its report, the value in hand. The held worker prints it
# and comes back to its store, having loaded the other worker's value: it is held there.
printing = [gdb.Breakpoint(name, internal=True) for name in ("printf", "__printf_chk")]
stores = {held: find_store(held), other: None}
go(held)
stores[other] = find_store(other)
go(other)
for stop in printing:
    stop.enabled = False
at(stores[held], held)
stale = counter()
say(f"{HOLD} loaded {stale} and is held before its store")
for stop in printing:
    stop.enabled = True
for _ in range(CHANGES):  # each: print the last report, load, store, load for the next
    go(other)
if CHANGES:
    say(f"{OTHER} alone made {CHANGES} change{'s' if CHANGES != 1 else ''}, to {counter()}")
go(held, "stepi")
say(f"{HOLD} stored {counter()}, computed from {stale}: "
    f"{CHANGES} change{'s' if CHANGES != 1 else ''} lost")
go(other)
say(f"{OTHER} changed it to {counter()} before {HOLD} loaded it again for its report")
go(held)
say(f"{HOLD} loaded {counter()} for its report: a late report")
for stop in printing:
    stop.delete()
# The other worker prints its pending line and stops at its next store, for good; the held
# worker alone runs on, so nothing after the staged race is left to chance.
at(stores[other], other)
held.switch()
try:
    gdb.execute("continue", to_string=True)
except gdb.error:
    pass  # gdb may lose sight of a process that SIGPIPE ended while one thread ran
if gdb.selected_inferior().pid:
    gdb.execute("kill")
