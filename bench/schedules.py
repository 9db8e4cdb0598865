"""The schedules experiment: interleave holding loosetally, timed against the program's own
bare start and, where gdb is installed, gdb's start; one step; the race of 100; and every
schedule of one and of two passes. Then the outcome of every schedule of loosetally,
guardtally and the fetch-add fix, from interleave's records. What the tables and figures
derive from these is here too, in Speed and outcome_counts."""

import csv
import os
import re
import resource
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import time

from experiments import cpu_busy, cpu_time, other_load

# gdb's start: each worker stopped at its routine's first instruction in turn, then the
# program killed. From a command file gdb stops at the first command that fails, and with
# pending breakpoints refused a program without the routines' symbols (a stripped one) is
# never run free, to write for ever.
GDB_HOLD = ("set breakpoint pending off", "break incThread", "break decThread", "run",
            "continue", "kill")
# The long schedule: 100 passes of Inc (load, store, report) and one load more, a letter
# each, as main could go at each of them. The held start is its short counterpart, one
# step, so a step costs their difference over 300.
LONG_STEPS = 301
RACE = 100
PASSES = (1, 2)  # of each worker, in the `every` runs: their keys are "every 1" and "every 2"
# Each timed key: what it times, and how many times a round its command runs. The commands
# take turns round by round, so that a change in the machine's load falls on each alike;
# the short ones run more often, as their times scatter more.
TIMED = {"bare": ("loosetally alone: start to its first line", 10),
         "held": ("held start: Inc started and held, one step", 10),
         "gdb": ("gdb's start: each worker stopped at its first instruction", 2),
         "long": (f"{LONG_STEPS} steps", 10),
         "race": (f"the race of {RACE}", 10),
         "every 1": ("every schedule of 1 pass", 2),
         "every 2": ("every schedule of 2 passes", 1)}
# The aims, each as a limit in milliseconds or, where a key follows, a multiple of its median.
AIMS = {"held": (3, "bare"), "step": (1, None), "race": (500, None), "every 1": (1000, None),
        "every 2": (30_000, None)}
OUTCOME_PROGRAMS = ("loosetally", "guardtally", "fetchaddtally")
# The memory orders: each program's every schedule of one pass within two preemptions, under
# sequential consistency and under x86's store buffers, each judged once.
ORDER_PROGRAMS = ("loosetally", "guardtally", "fetchaddtally", "petersontally",
                  "petersonfencetally")
ORDERS = ("sc", "tso")
ORDER_PREEMPTIONS = 2
CLASSES = ("consistent", "late reports only", "lost a change", "deadlock")


def commands(hold):
    """The command of each timed key, with gdb's command file at `hold`. gdb looks for no
    debug information over the network while it is timed."""
    interleave = ["interleave", "--lines"]
    return {"bare": ["loosetally"], "held": [*interleave, "-s", "I", "loosetally"],
            "gdb": ["gdb", "-nx", "-batch", "-iex", "set debuginfod enabled off", "-x", hold,
                    "--args", "loosetally"],
            "long": [*interleave, "-s", f"I{LONG_STEPS}", "loosetally"],
            "race": [*interleave, f"--race={RACE}", "loosetally"],
            **{f"every {passes}": ["interleave", "--all", f"--passes={passes}", "loosetally"]
               for passes in PASSES}}


def aim_words(key):
    """The aim of a key in words: "under 500 ms", "within 3× the bare start"."""
    limit, of = AIMS[key]
    if of:
        return f"within {limit:g}× the bare start"
    return f"under {limit / 1000:g} s" if limit >= 1000 else f"under {limit:g} ms"


def classify(record):
    """A schedule's outcome from its row of interleave's records: a deadlock; else a lost
    change; else late reports only (breaks, nothing lost); else consistent."""
    if record["deadlock"] == "yes":
        return "deadlock"
    if int(record["lost"]):
        return "lost a change"
    if int(record["breaks"]):
        return "late reports only"
    if record["verdict"] == "consistent":
        return "consistent"
    sys.exit(f"bench.py: interleave's records: schedule {record['schedule']} is "
             f"{record['verdict']}, with nothing lost, no break and no deadlock")


def outcome_counts(records):
    """The schedules of each class, in the order of CLASSES: each record is one run, which
    stands for the schedules in its `orders` column, those that differ from it only in the
    order of steps that touch nothing in common."""
    counts = dict.fromkeys(CLASSES, 0)
    for record in records:
        counts[classify(record)] += int(record["orders"])
    return counts


def schedule_count(records):
    """The schedules that the runs of `records` stand for."""
    return sum(int(record["orders"]) for record in records)


class Speed:
    """The seconds of each run of each timed key (gdb's absent where it is not installed),
    the schedules of each `every` key, the processors that its runs can use, and the share
    of the CPUs that other work used meanwhile; and, in milliseconds, what follows."""

    def __init__(self, seconds, schedules, processors, load):
        self.seconds, self.schedules = seconds, schedules
        self.processors, self.load = processors, load

    def times(self, key):
        if key == "step":  # each round's long and held runs, paired in the order they ran
            return [(long - held) / (LONG_STEPS - 1)
                    for long, held in zip(self.times("long"), self.times("held"))]
        return [seconds * 1e3 for seconds in self.seconds[key]]

    def median(self, key):
        return statistics.median(self.times(key))

    def per_schedule(self, key):
        """The processor time that a schedule of an `every` run had: its wall time times
        the processors that it could use, over its schedules."""
        return [ms * self.processors / self.schedules[key] for ms in self.times(key)]

    def against_bare(self, ms):
        return ms / self.median("bare")

    def aim(self, key):
        limit, of = AIMS[key]
        return limit * self.median(of) if of else limit

    def met(self, key):
        return self.median(key) <= self.aim(key)


def first_line(env, command):
    """The seconds from starting `command` to its end, once its first line is read and the
    pipe closed behind it, as `command | head -n 1` ends it, with no head to start."""
    start = time.perf_counter()
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE) as program:
        program.stdout.readline()
    seconds = time.perf_counter() - start
    if program.returncode != -signal.SIGPIPE:
        sys.exit(f"bench.py: {shlex.join(command)} ended with status {program.returncode} "
                 "when its pipe was closed, not by SIGPIPE")
    return seconds


def measure(bench, schedules):
    """Each timed command, round after round, and the other work meanwhile. `schedules`
    gives each `every` key's number of schedules."""
    hold = os.path.join(bench.scratch.name, "hold.gdb")
    with open(hold, "w", encoding="ascii") as script:
        script.write("\n".join(GDB_HOLD) + "\n")
    command = commands(hold)
    keys = [(key, turns) for key, (_, turns) in TIMED.items()
            if key != "gdb" or shutil.which("gdb", path=bench.env["PATH"])]
    seconds = {key: [] for key, _ in keys}
    busy_before, cpus = cpu_busy()
    own_before = own_cpu()
    start = time.perf_counter()
    for _ in range(bench.args.runs):
        for key, turns in keys:
            for _ in range(turns):
                seconds[key].append(first_line(bench.env, command[key]) if key == "bare" else
                                    bench.timed(command[key], (0, 1) if key in schedules
                                                else (0,)))
    load = other_load(cpu_busy()[0] - busy_before, own_cpu() - own_before,
                      time.perf_counter() - start, cpus)
    return Speed(seconds, schedules, len(os.sched_getaffinity(0)), load)


def own_cpu():
    """The CPU time of the bench and of every command it has waited for."""
    return sum(cpu_time(resource.getrusage(who))
               for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))


def outcomes(bench):
    """interleave's records of every schedule, by program and passes."""
    found = {}
    for passes in PASSES:
        for program in OUTCOME_PROGRAMS:
            path = os.path.join(bench.scratch.name, f"{program}-{passes}.csv")
            bench.timed(["interleave", "--all", f"--passes={passes}", f"--records={path}",
                         program], (0, 1))
            with open(path, encoding="utf-8", newline="") as records:
                found[(program, passes)] = list(csv.DictReader(records))
    return found


def order_command(program, order):
    return ["interleave", "--all", f"--memory={order}", f"--preemptions={ORDER_PREEMPTIONS}",
            program]


def judged(output):
    """(schedules, runs, verdict) from what interleave --all printed of a counter program:
    its "N schedules in R runs" line and the first word of its verdict."""
    counts = re.search(r"^(\d+) schedules in (\d+) runs$", output, re.M)
    verdict = re.search(r"^verdict: (\w+)", output, re.M)
    if not counts or not verdict:
        sys.exit("bench.py: interleave --all printed no schedules line or no verdict")
    return int(counts[1]), int(counts[2]), verdict[1]


def memory_orders(bench):
    """Each program judged under each memory order: {(program, order): (schedules, runs,
    verdict, seconds)}."""
    found = {}
    for program in ORDER_PROGRAMS:
        for order in ORDERS:
            command = order_command(program, order)
            start = time.perf_counter()
            done = subprocess.run(command, env=bench.env, capture_output=True, text=True,
                                  check=False)
            seconds = time.perf_counter() - start
            if done.returncode not in (0, 1):
                sys.exit(f"bench.py: {shlex.join(command)} failed with status "
                         f"{done.returncode}")
            found[program, order] = (*judged(done.stdout), seconds)
    return found


def run(bench):
    """The experiment: the outcomes first, which give the number of schedules that each
    timed `every` run makes, then the timings, then each program under each memory order."""
    found = outcomes(bench)
    speed = measure(bench, {f"every {passes}": schedule_count(found[("loosetally", passes)])
                            for passes in PASSES})
    return speed, found, memory_orders(bench)
