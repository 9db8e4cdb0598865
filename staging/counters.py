"""The two counter programs taken one step at a time in gdb (run by steps.py).

Both workers are held at the first instruction of their routine before either touches the
counter; from then on only the worker whose turn it is runs (scheduler locking). Every place
a step ends is found in the program itself, on any processor: the counter's accesses by a
hardware watchpoint on it, which stops the worker just after the instruction that read or
wrote it, and the semaphore's operations by breakpoints on sem_wait and sem_post."""

import re

import gdb

from holding import Lost, go, read_int, routine, run, symbol_address

ROUTINES = {"I": ("Inc", "incThread"), "D": ("Dec", "decThread")}


def stripped(program):
    return Lost(f"{program} has no symbols to hold its workers by (it is stripped); use the "
                "programs as built: cmake --workflow --preset tour, then build/default/bin")


def needed(program, *names):
    addresses = [symbol_address(name) for name in names]
    if None in addresses:
        raise stripped(program)
    if symbol_address("__tsan_init") is not None:
        raise Lost(f"{program} is built with ThreadSanitizer, whose runtime makes every access "
                   "to the counter itself, so no step ends in a worker; use another build")
    return addresses


def watchpoint(address, kind):
    try:
        return gdb.Breakpoint(f"*(int *) {address:#x}", gdb.BP_WATCHPOINT, kind, internal=True)
    except (gdb.error, RuntimeError) as error:
        raise Lost(f"gdb cannot watch the counter in hardware here: {error}") from error


def start(program, tty, routines):
    """Runs the program with standard output on `tty` and holds each worker at the entry of
    its routine. The first to arrive stops everything; from then on one thread runs at a
    time, the main thread first (a thread it creates runs with it) until the other worker
    arrives or main reaches its join. A sanitizer's thread start is a handshake: the parent
    and the new thread each wait, yielding the processor, for a word from the other. A
    thread that yields, or stops anywhere else, makes way for the next that has not
    arrived, so neither waits for ever on one that is held."""
    entries = {gdb.Breakpoint(name, internal=True): letter for letter, name in routines.items()}
    joins = gdb.Breakpoint("pthread_join", internal=True)
    try:
        yields = re.search(r"\d+", gdb.execute("catch syscall sched_yield", to_string=True))[0]
    except gdb.error:  # gdb knows no system call names for this processor
        yields = None
    run(program, tty)
    gdb.execute("set scheduler-locking on")
    workers, main, runner = {}, None, None
    while True:
        thread, name = gdb.selected_thread(), routine()
        letter = next((entries[stop] for stop in entries if stop.location == name), None)
        if letter:
            thread.name = ROUTINES[letter][0]
            workers[letter] = thread
        elif "pthread_join" in name:
            main = thread
        if len(workers) == len(routines):
            break
        waiting = sorted((t for t in gdb.selected_inferior().threads()
                          if t not in workers.values() and t != main), key=lambda t: t.num)
        if runner in waiting and thread == runner:  # it yielded: the next one's turn
            runner = waiting[(waiting.index(runner) + 1) % len(waiting)]
        else:
            runner = waiting[0]
        runner.switch()
        gdb.execute("continue", to_string=True)
    for stop in (*entries, joins):
        stop.delete()
    if yields:
        gdb.execute(f"delete {yields}")
    return workers


class LooseTally:
    """A pass of a worker is three steps: its load of the counter, its store of the changed
    value, and its report: the second load, then the printf, up to the next pass's load."""

    def __init__(self, program, tty):
        needed(program, "count", *(name for _, name in ROUTINES.values()))
        self.workers = start(program, tty, {letter: name for letter, (_, name) in ROUTINES.items()})
        (self.count,) = needed(program, "count")  # where the program is loaded, this run
        self.access = watchpoint(self.count, gdb.WP_ACCESS)
        self.next = {letter: "load" for letter in self.workers}
        self.loads = {}  # the address of each worker's load, found in its first pass

    def accessed(self, thread):
        hits = self.access.hit_count
        go(thread)
        if self.access.hit_count != hits + 1:
            raise Lost(f"the {thread.name} worker stopped before it reached the counter")

    def step(self, letter):
        thread, kind = self.workers[letter], self.next[letter]
        if kind == "load":
            # Instruction by instruction, from the routine's entry the first time: the
            # instruction that touches the counter first is the load, where every later
            # pass starts.
            hits = self.access.hit_count
            while self.access.hit_count == hits:
                thread.switch()
                address = gdb.selected_frame().pc()
                go(thread, "stepi")
            if letter not in self.loads:
                self.loads[letter] = address
                gdb.Breakpoint(f"*{address:#x}", internal=True)
            self.next[letter] = "store"
        elif kind == "store":
            self.accessed(thread)
            self.next[letter] = "report"
        else:
            self.accessed(thread)
            value = read_int(self.count)
            go(thread)  # through printf, to the next pass's load
            if gdb.selected_frame().pc() != self.loads[letter]:
                raise Lost(f"the {thread.name} worker did not come back to its load")
            self.next[letter] = "load"
            return {"kind": kind, "value": value, "count": read_int(self.count)}
        return {"kind": kind, "value": read_int(self.count), "count": read_int(self.count)}


class GuardTally:
    """A pass of a worker is four steps: its wait on the semaphore, its change of the counter,
    its report and its post. A wait is let into sem_wait only when the semaphore's value,
    asked of the C library, says that it will not block; otherwise the worker stays where it
    is, blocked, and tries again at its next turn."""

    def __init__(self, program, tty):
        needed(program, "count", "semCount", *(name for _, name in ROUTINES.values()))
        self.workers = start(program, tty, {letter: name for letter, (_, name) in ROUTINES.items()})
        self.count, self.semaphore = needed(program, "count", "semCount")
        # sem_getvalue writes the value below the main thread's stack pointer: main is
        # blocked in its join for good and never uses that memory again.
        main = next(t for t in gdb.selected_inferior().threads() if t not in self.workers.values())
        main.switch()
        self.scratch = (int(gdb.parse_and_eval("(long) $sp")) - 4096) & ~15
        self.changes = watchpoint(self.count, gdb.WP_WRITE)
        self.calls = [gdb.Breakpoint(name, internal=True) for name in ("sem_wait", "sem_post")]
        for thread in self.workers.values():
            go(thread)  # from the routine's entry to its first sem_wait
        self.next = {letter: "wait" for letter in self.workers}

    def value(self):
        # Called through a pointer of the C library's own type, which a sanitizer's wrapper
        # of the same name, with a type of its own, would not take.
        gdb.execute(f"call ((int (*)(void *, int *)) sem_getvalue)((void *) {self.semaphore:#x},"
                    f" (int *) {self.scratch:#x})", to_string=True)
        return read_int(self.scratch)

    def leave(self, thread, name):
        """Runs `thread` out of the call it is stopped at the start of, back to its routine."""
        for call in self.calls:
            call.enabled = False
        for _ in range(4):
            go(thread, "finish")
            if routine() == name:
                break
        for call in self.calls:
            call.enabled = True
        if routine() != name:
            raise Lost(f"the {thread.name} worker did not come back to {name}")

    def step(self, letter):
        thread, kind = self.workers[letter], self.next[letter]
        name = ROUTINES[letter][1]
        reply = {"kind": kind}
        thread.switch()
        if kind == "wait":
            reply["before"] = self.value()
            reply["blocked"] = reply["before"] == 0
            if not reply["blocked"]:
                self.leave(thread, name)
                self.next[letter] = "change"
        elif kind == "change":
            hits = self.changes.hit_count
            go(thread)
            if self.changes.hit_count != hits + 1:
                raise Lost(f"the {thread.name} worker stopped before it changed the counter")
            self.next[letter] = "report"
        elif kind == "report":
            go(thread)  # through printf, to sem_post
            if "sem_post" not in routine():
                raise Lost(f"the {thread.name} worker did not come to its post")
            reply["value"] = read_int(self.count)
            self.next[letter] = "post"
        else:
            reply["before"] = self.value()
            self.leave(thread, name)
            go(thread)  # on to the next pass's sem_wait
            self.next[letter] = "wait"
        thread.switch()
        reply["semaphore"] = self.value()
        reply["count"] = read_int(self.count)
        return reply
